// The frame accumulator against the reference usage-statistics service and
// configuration server of ComponentsLib.dll: switch, delivery, retries,
// stop, the transient storage file and restart.
#include "Sources/Subsystems/UsageStatistics/Common/TransientStorage.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientUsageStatsAccumulator.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/ActivityFrame.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/CountedTestObject.h"
#include "support/HresultOf.h"
#include "support/ReferenceServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using KestrovaTest::HresultOf;
using KestrovaTest::ReferenceServices;
using KestrovaTest::WaitUntil;
using RuntimeTest::ScopedCapture;
using RuntimeTest::TempDirectory;
using UsageStatistics::CTransientUsageStatsAccumulator;

// Every frame-traffic text is checked, so all severities are on.
const bool g_allSeverities = ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG3") != FALSE;

constexpr wchar_t kSwitchPath[] = L"\\Veltrano\\Statistics\\Accumulator";

struct Options {
  int64_t sendIntervalSec = 1;
  int32_t maxSendFailures = 3;
  bool withStorage = true;
  int64_t maxQueuedFrames = 0;
};

DXNodePtr Frame(int64_t sequence) {
  DXNodePtr frame = UsageStatistics::MakeActivityFrame(L"Frame");
  frame.SetInt64(L"Seq", sequence);
  frame.SetString(L"Value", L"value " + std::to_wstring(sequence));
  return frame;
}

int64_t SequenceOf(const DXNodePtr& frame) {
  int64_t sequence = -1;
  frame.TryGetInt64(L"Seq", sequence);
  return sequence;
}

std::vector<int64_t> Sequences(const std::vector<DXNodePtr>& frames) {
  std::vector<int64_t> sequences;
  for (const DXNodePtr& frame : frames) sequences.push_back(SequenceOf(frame));
  return sequences;
}

bool AnyLineContains(const std::vector<std::wstring>& lines, const std::wstring& text) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; });
}

size_t LinesContaining(const std::vector<std::wstring>& lines, const std::wstring& text) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::wstring& line) {
    return line.find(text) != std::wstring::npos;
  }));
}

class AccumulatorTest : public ::testing::Test {
 protected:
  void SetUp() override { m_services.WriteSwitch(kSwitchPath, true); }

  DXNodePtr Settings(const Options& options = {}) const {
    DXNodePtr settings = DXNodePtr::Create(L"TransientStorage", nullptr);
    settings.SetInt64(L"SendIntervalSec", options.sendIntervalSec);
    settings.SetInt64(L"MaxSendFailures", options.maxSendFailures);
    settings.SetString(L"UsageStatisticsCfgPath", kSwitchPath);
    if (options.withStorage) settings.SetString(L"TransientStoragePath", StoragePath());
    if (options.maxQueuedFrames != 0) settings.SetInt64(L"MaxQueuedFrames", options.maxQueuedFrames);
    return settings;
  }

  std::unique_ptr<CTransientUsageStatsAccumulator> Make(const Options& options = {}) const {
    return std::make_unique<CTransientUsageStatsAccumulator>(m_services.ServicePtr(), Settings(options));
  }

  std::wstring StoragePath() const { return m_temp / L"pending\\frames.dat"; }
  bool StorageExists() const { return ::GetFileAttributesW(StoragePath().c_str()) != INVALID_FILE_ATTRIBUTES; }
  std::vector<DXNodePtr> StoredFrames() const {
    return UsageStatistics::Detail::CTransientStorage::ReadFile(StoragePath(),
                                                                DataEncryption::CNodeEncryptor::EncryptAll());
  }
  std::string StorageBytes() const {
    std::ifstream file(StoragePath().c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  TempDirectory m_temp;
  ReferenceServices m_services;
};

TEST_F(AccumulatorTest, DeliversFramesInOrderOneRequestEach) {
  auto accumulator = Make();
  ASSERT_TRUE(accumulator->IsEnabled()) << "the switch node is read before the first frame";
  for (int64_t sequence = 1; sequence <= 3; ++sequence) accumulator->StoreFrame(Frame(sequence));

  ASSERT_TRUE(m_services.WaitForFrames(3));
  EXPECT_EQ(Sequences(m_services.Frames()), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(m_services.ServiceCalls(), 3u);
  accumulator->Stop();
  EXPECT_FALSE(StorageExists());
}

TEST_F(AccumulatorTest, DisabledSwitchDiscardsFramesAndWritesNoFile) {
  m_services.WriteSwitch(kSwitchPath, false);
  auto accumulator = Make();
  EXPECT_FALSE(accumulator->IsEnabled());
  accumulator->StoreFrame(Frame(1));
  accumulator->Stop();
  EXPECT_EQ(m_services.ServiceCalls(), 0u);
  EXPECT_FALSE(StorageExists());
}

TEST_F(AccumulatorTest, AbsentSwitchNodeStartsDisabled) {
  Options options;
  auto settings = Settings(options);
  settings.SetString(L"UsageStatisticsCfgPath", L"\\Veltrano\\Statistics\\Missing");
  CTransientUsageStatsAccumulator accumulator(m_services.ServicePtr(), settings);
  EXPECT_FALSE(accumulator.IsEnabled());
}

TEST_F(AccumulatorTest, SwitchFollowsItsOwnNodeOnly) {
  ScopedCapture capture;
  auto accumulator = Make();
  m_services.WriteSwitch(kSwitchPath, false);
  ASSERT_TRUE(WaitUntil([&] { return !accumulator->IsEnabled(); }));

  // Another path, and the same path in other letter case, change nothing.
  m_services.WriteSwitch(L"\\Veltrano\\Statistics\\Other", true);
  m_services.WriteSwitch(L"\\Veltrano\\Statistics\\ACCUMULATOR", true);
  m_services.WaitIdle();
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));  // one publication of the sink
  EXPECT_FALSE(accumulator->IsEnabled());

  m_services.WriteSwitch(kSwitchPath, true);
  ASSERT_TRUE(WaitUntil([&] { return accumulator->IsEnabled(); }));
  accumulator->StoreFrame(Frame(7));
  ASSERT_TRUE(m_services.WaitForFrames(1));
  EXPECT_EQ(SequenceOf(m_services.Frames()[0]), 7);
  EXPECT_EQ(LinesContaining(capture.Lines(), L"Usage statistics tracking set to false"), 1u);
}

TEST_F(AccumulatorTest, SetEnabledLogsOnlyChanges) {
  ScopedCapture capture;
  auto accumulator = Make();
  // The server's current-content notification comes on its own thread: once
  // it is in, no switch change but the test's own remains.
  m_services.WaitIdle();
  capture.Clear();
  accumulator->SetEnabled(true);  // already true
  accumulator->SetEnabled(false);
  accumulator->SetEnabled(false);
  const auto lines = capture.Lines();
  EXPECT_EQ(LinesContaining(lines, L"Usage statistics tracking set to "), 1u);
  EXPECT_TRUE(AnyLineContains(lines, L"Usage statistics tracking set to false"));
}

TEST_F(AccumulatorTest, AlwaysFailingServiceTriesThreeTimesThenDrops) {
  ScopedCapture capture;
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  auto accumulator = Make();
  const DXNodePtr frame = Frame(1);
  accumulator->StoreFrame(frame);

  ASSERT_TRUE(WaitUntil([&] { return AnyLineContains(capture.Lines(), L"Unsuccessful send attempts count exceeded"); }));
  accumulator->Stop();
  EXPECT_EQ(m_services.ServiceCalls(), 3u);
  int64_t failures = 0;
  ASSERT_TRUE(frame.TryGetInt64(L"FailureCounter", failures));
  EXPECT_EQ(failures, 3);
  EXPECT_EQ(LinesContaining(capture.Lines(), L"Failed sending usage activity frame "), 3u);
  EXPECT_FALSE(StorageExists()) << "a dropped frame is not kept";
}

TEST_F(AccumulatorTest, FrameThatFailsOnceIsSentExactlyOnceAfterwards) {
  m_services.SetServiceFault(CLFault_NextCalls, 1, E_FAIL);
  auto accumulator = Make();
  const DXNodePtr frame = Frame(1);
  accumulator->StoreFrame(frame);
  ASSERT_TRUE(m_services.WaitForFrames(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));  // one more cycle
  accumulator->Stop();

  // The retry reached the service: the frame was taken out of its first request.
  EXPECT_EQ(m_services.ServiceCalls(), 2u);
  EXPECT_EQ(m_services.FrameCount(), 1u);
  int64_t failures = 0;
  ASSERT_TRUE(frame.TryGetInt64(L"FailureCounter", failures));
  EXPECT_EQ(failures, 1);
  EXPECT_FALSE(StorageExists());
}

TEST_F(AccumulatorTest, ZeroMaxSendFailuresDropsUnsent) {
  Options options;
  options.maxSendFailures = 0;
  auto accumulator = Make(options);
  accumulator->StoreFrame(Frame(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  accumulator->Stop();
  EXPECT_EQ(m_services.ServiceCalls(), 0u);
  EXPECT_FALSE(StorageExists());
}

TEST_F(AccumulatorTest, StopKeepsRetainedAndQueuedFramesInOrderAndRestartSendsThem) {
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  {
    auto accumulator = Make();
    accumulator->StoreFrame(Frame(1));
    accumulator->StoreFrame(Frame(2));
    ASSERT_TRUE(WaitUntil([&] { return m_services.ServiceCalls() >= 2; }));
    accumulator->StoreFrame(Frame(3));
    accumulator->Stop();
    const auto firstFile = StorageBytes();
    accumulator->Stop();
    EXPECT_EQ(StorageBytes(), firstFile) << "a second stop writes the same file";
  }
  ASSERT_TRUE(StorageExists());
  const auto stored = StoredFrames();
  EXPECT_EQ(Sequences(stored), (std::vector<int64_t>{3, 1, 2})) << "queued first, then the retained failures";
  // Nothing of the values lies in the file in clear.
  const std::string bytes = StorageBytes();
  EXPECT_EQ(bytes.find("value 1"), std::string::npos);
  EXPECT_EQ(bytes.find("v\0a\0l\0u\0e\0", 0, 10), std::string::npos);

  m_services.ClearFaults();
  auto restarted = Make();
  EXPECT_FALSE(StorageExists()) << "the file is deleted once read";
  ASSERT_TRUE(m_services.WaitForFrames(3));
  const auto delivered = m_services.Frames();
  EXPECT_EQ(Sequences(delivered), (std::vector<int64_t>{3, 1, 2}));
  int64_t failures = 0;
  ASSERT_TRUE(delivered[1].TryGetInt64(L"FailureCounter", failures));
  EXPECT_EQ(failures, 1) << "restored frames keep their counters";
  std::wstring value;
  ASSERT_TRUE(delivered[1].TryGetString(L"Value", value));
  EXPECT_EQ(value, L"value 1");
}

TEST_F(AccumulatorTest, StopDuringSlowSendLosesNothing) {
  m_services.SetServiceFault(CLFault_Always, 0, S_OK, 300);
  {
    auto accumulator = Make();
    for (int64_t sequence = 1; sequence <= 6; ++sequence) accumulator->StoreFrame(Frame(sequence));
    ASSERT_TRUE(WaitUntil([&] { return m_services.ServiceCalls() >= 1; }));
    accumulator->Stop();
  }
  m_services.ClearFaults();
  std::vector<int64_t> delivered = Sequences(m_services.Frames());
  const std::vector<int64_t> stored = Sequences(StoredFrames());
  EXPECT_FALSE(delivered.empty());
  EXPECT_FALSE(stored.empty());
  delivered.insert(delivered.end(), stored.begin(), stored.end());
  EXPECT_EQ(delivered, (std::vector<int64_t>{1, 2, 3, 4, 5, 6})) << "each frame delivered or kept, once, in order";
}

TEST_F(AccumulatorTest, ManyProducersWithSlowServiceDeliverEachFrameOnce) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 60;
  m_services.SetServiceFault(CLFault_Always, 0, S_OK, 2);
  {
    auto accumulator = Make();
    std::vector<std::thread> producers;
    for (int thread = 0; thread < kThreads; ++thread) {
      producers.emplace_back([&, thread] {
        for (int index = 0; index < kPerThread; ++index) accumulator->StoreFrame(Frame(thread * 1000 + index));
      });
    }
    for (auto& producer : producers) producer.join();
    ASSERT_TRUE(WaitUntil([&] { return m_services.FrameCount() >= 20; }));
    accumulator->Stop();  // in the middle of the deliveries
  }
  const uint32_t deliveredBeforeRestart = m_services.FrameCount();
  m_services.ClearFaults();
  auto restarted = Make();
  ASSERT_TRUE(m_services.WaitForFrames(kThreads * kPerThread, 30000)) << "delivered before restart: " << deliveredBeforeRestart;
  restarted->Stop();

  const auto sequences = Sequences(m_services.Frames());
  EXPECT_EQ(sequences.size(), static_cast<size_t>(kThreads * kPerThread));
  const std::set<int64_t> distinct(sequences.begin(), sequences.end());
  EXPECT_EQ(distinct.size(), sequences.size()) << "no frame twice";
  // Each producer's frames keep their order.
  for (int thread = 0; thread < kThreads; ++thread) {
    std::vector<int64_t> own;
    std::copy_if(sequences.begin(), sequences.end(), std::back_inserter(own),
                 [&](int64_t sequence) { return sequence / 1000 == thread; });
    EXPECT_TRUE(std::is_sorted(own.begin(), own.end()));
  }
}

TEST_F(AccumulatorTest, StoreFrameNeverWaitsForTheService) {
  m_services.SetServiceFault(CLFault_Always, 0, S_OK, 400);
  auto accumulator = Make();
  accumulator->StoreFrame(Frame(0));
  ASSERT_TRUE(WaitUntil([&] { return m_services.ServiceCalls() >= 1; }));  // a send is in progress
  const auto start = std::chrono::steady_clock::now();
  for (int64_t sequence = 1; sequence <= 50; ++sequence) accumulator->StoreFrame(Frame(sequence));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  m_services.ClearFaults();
}

TEST_F(AccumulatorTest, QueueBoundDropsOldestFramesAndLogsOncePerCycle) {
  ScopedCapture capture;
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  Options options;
  options.maxQueuedFrames = 4;
  {
    auto accumulator = Make(options);
    for (int64_t sequence = 1; sequence <= 10; ++sequence) accumulator->StoreFrame(Frame(sequence));
    ASSERT_TRUE(WaitUntil([&] { return AnyLineContains(capture.Lines(), L"frames dropped: queue limit reached"); }));
    accumulator->Stop();
  }
  EXPECT_TRUE(AnyLineContains(capture.Lines(), L"6 Usage statistics frames dropped: queue limit reached"));
  EXPECT_EQ(Sequences(StoredFrames()), (std::vector<int64_t>{7, 8, 9, 10}));
}

TEST_F(AccumulatorTest, NoStoragePathDropsPendingFramesAtStop) {
  ScopedCapture capture;
  m_services.WriteSwitch(kSwitchPath, true);
  Options options;
  options.withStorage = false;
  options.sendIntervalSec = 100;
  auto accumulator = Make(options);
  accumulator->StoreFrame(Frame(1));
  accumulator->StoreFrame(Frame(2));
  accumulator->Stop();
  EXPECT_TRUE(AnyLineContains(capture.Lines(), L"2 Usage statistics frames dropped due to stopping"));
}

TEST_F(AccumulatorTest, IntervalBelowOneSecondIsRaisedToOne) {
  ScopedCapture capture;
  Options options;
  options.sendIntervalSec = 0;
  auto accumulator = Make(options);
  EXPECT_TRUE(AnyLineContains(capture.Lines(), L"SendIntervalSec 0 is below 1 second"));
  accumulator->StoreFrame(Frame(1));
  ASSERT_TRUE(m_services.WaitForFrames(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(m_services.ServiceCalls(), 1u) << "no cycles back to back";
}

// A value beyond the worker's deadline range (7.5 * 10^9 s wrapped it, and
// INT64_MAX made the wait negative, so cycles ran back to back) is saturated.
TEST_F(AccumulatorTest, IntervalAboveTheMaximumIsSaturated) {
  for (const int64_t interval : {int64_t{7'500'000'000}, std::numeric_limits<int64_t>::max()}) {
    SCOPED_TRACE(interval);
    ScopedCapture capture;
    Options options;
    options.sendIntervalSec = interval;
    const uint32_t callsBefore = m_services.ServiceCalls();
    auto accumulator = Make(options);
    EXPECT_TRUE(AnyLineContains(capture.Lines(), L"SendIntervalSec " + std::to_wstring(interval) +
                                                     L" is above the maximum of 31536000 seconds"));
    accumulator->StoreFrame(Frame(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(m_services.ServiceCalls(), callsBefore) << "no cycle before the (saturated) interval";
    accumulator->Stop();
    EXPECT_EQ(Sequences(StoredFrames()), (std::vector<int64_t>{1}));
    accumulator.reset();
    ASSERT_TRUE(::DeleteFileW(StoragePath().c_str()));
  }
}

// A Stop after a completed Stop finds nothing new to write: it neither
// deletes the file the first one left nor writes it again.
TEST_F(AccumulatorTest, SecondStopKeepsTheFileOfTheFirst) {
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  auto accumulator = Make();
  accumulator->StoreFrame(Frame(1));
  accumulator->Stop();
  ASSERT_TRUE(StorageExists());
  const std::string first = StorageBytes();
  accumulator->Stop();
  EXPECT_EQ(StorageBytes(), first);
  // As the next start does: the file read and gone. No later Stop brings it back.
  ASSERT_TRUE(::DeleteFileW(StoragePath().c_str()));
  accumulator.reset();
  EXPECT_FALSE(StorageExists()) << "the destructor's Stop wrote the frames again";
}

// Frames restored from the file live only in the queue while the accumulator
// is built: a construction that fails after the import puts them back.
TEST_F(AccumulatorTest, RestoredFramesGoBackToTheFileWhenConstructionFails) {
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  {
    auto accumulator = Make();
    for (int64_t sequence = 1; sequence <= 3; ++sequence) accumulator->StoreFrame(Frame(sequence));
  }
  ASSERT_EQ(Sequences(StoredFrames()), (std::vector<int64_t>{1, 2, 3}));
  for (const CLOperation failing : {CLOp_ConfigSubscribe, CLOp_SubscriptionActivate}) {
    SCOPED_TRACE(static_cast<int>(failing));
    m_services.SetServerFault(failing, CLFault_Always, 0, E_ACCESSDENIED);
    EXPECT_EQ(HresultOf([&] { Make(); }), E_ACCESSDENIED);
    m_services.ClearFaults();
    EXPECT_EQ(Sequences(StoredFrames()), (std::vector<int64_t>{1, 2, 3}));
  }
  m_services.ClearFaults();
  auto accumulator = Make();
  ASSERT_TRUE(m_services.WaitForFrames(3));
  EXPECT_EQ(Sequences(m_services.Frames()), (std::vector<int64_t>{1, 2, 3}));
}

// A frame that cannot be sent (one held by another parent cannot be wrapped
// in a request) and a null one affect only themselves: the others of the
// same passes are delivered once each.
TEST_F(AccumulatorTest, AFailingFrameAffectsOnlyItself) {
  auto accumulator = Make();
  const DXNodePtr holder = DXNodePtr::Create(L"Holder", nullptr);
  const DXNodePtr held = Frame(99);
  holder.AddChild(held);
  accumulator->StoreFrame(Frame(1));
  accumulator->StoreFrame(DXNodePtr());
  accumulator->StoreFrame(held);
  accumulator->StoreFrame(Frame(2));
  ASSERT_TRUE(m_services.WaitForFrames(2));
  accumulator->StoreFrame(Frame(3));
  ASSERT_TRUE(m_services.WaitForFrames(3));
  // Three cycles at most for the held frame, then it is dropped.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(Sequences(m_services.Frames()), (std::vector<int64_t>{1, 2, 3}));
  accumulator->Stop();
  EXPECT_FALSE(StorageExists()) << "the held frame was dropped after its failures";
}

// A service that takes the frame out of its request itself: detaching it
// afterwards fails, and the frame is delivered all the same, once.
class DetachingService final : public KestrovaTest::CountedTestObject<IDXRequestProcessor> {
 public:
  HRESULT ProcessRequest(IDXNode* request, IDXNode** result) override {
    *result = nullptr;
    const DXNodePtr node(request, DXNodePtr::Handle::Duplicate);
    node.RemoveChild(node.GetChild(0u));
    ++m_calls;
    return S_OK;
  }
  std::atomic<uint32_t> m_calls{0};
};

TEST_F(AccumulatorTest, AcceptedFrameIsDeliveredEvenWhenItsRequestCannotBeUndone) {
  const CompPtr<DetachingService> service(new DetachingService, false);
  auto accumulator = std::make_unique<CTransientUsageStatsAccumulator>(CompPtr<IDXRequestProcessor>(service.Get()),
                                                                       Settings());
  accumulator->StoreFrame(Frame(1));
  ASSERT_TRUE(WaitUntil([&] { return service->m_calls.load() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(service->m_calls.load(), 1u) << "a delivered frame was sent again";
  accumulator->Stop();
  EXPECT_FALSE(StorageExists());
}

// A successor takes the undelivered frames in memory, in send order, and
// keeps the predecessor's cadence; neither writes a file.
TEST_F(AccumulatorTest, HandoverPassesFramesInOrderWithoutTheFile) {
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  Options options;
  options.maxSendFailures = 100;
  auto predecessor = Make(options);
  predecessor->StoreFrame(Frame(1));
  predecessor->StoreFrame(Frame(2));
  ASSERT_TRUE(WaitUntil([&] { return m_services.ServiceCalls() >= 2; }));
  predecessor->StoreFrame(Frame(3));
  Options slow = options;
  slow.sendIntervalSec = 3600;
  auto successor = Make(slow);
  CTransientUsageStatsAccumulator::Handover handover = predecessor->TakeUndelivered();
  EXPECT_EQ(Sequences(handover.frames), (std::vector<int64_t>{3, 1, 2}));
  m_services.ClearFaults();
  successor->Adopt(std::move(handover));
  EXPECT_TRUE(predecessor->TakeUndelivered().frames.empty()) << "handed over once";
  predecessor.reset();
  EXPECT_FALSE(StorageExists());
  // The predecessor's cycle was due within a second: the successor's hour-long interval does not delay them.
  ASSERT_TRUE(m_services.WaitForFrames(3, 3000));
  EXPECT_EQ(Sequences(m_services.Frames()), (std::vector<int64_t>{3, 1, 2}));
  int64_t failures = 0;
  ASSERT_TRUE(m_services.Frames()[1].TryGetInt64(L"FailureCounter", failures));
  EXPECT_GE(failures, 1) << "counters travel with the frames";
}

// A predecessor that was stopped hands over nothing and no time: its
// successor keeps its own first cycle, a whole interval away.
TEST_F(AccumulatorTest, HandoverFromAStoppedAccumulatorKeepsTheSuccessorsCadence) {
  Options slow;
  slow.sendIntervalSec = 3;
  auto predecessor = Make(slow);
  predecessor->Stop();
  auto successor = Make(slow);
  CTransientUsageStatsAccumulator::Handover handover = predecessor->TakeUndelivered();
  EXPECT_TRUE(handover.frames.empty());
  successor->Adopt(std::move(handover));
  successor->StoreFrame(Frame(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(m_services.ServiceCalls(), 0u) << "sent before its interval";
  ASSERT_TRUE(m_services.WaitForFrames(1, 5000));
}

// Holds the server's notification thread for a while in each call.
class SlowCallback final : public KestrovaTest::CountedTestObject<IConfigModifyCallback> {
 public:
  HRESULT OnTriggered(IDXModifySubscription*, int, IDXNodeModifyEnum*) override {
    m_entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return S_OK;
  }
  std::atomic<bool> m_entered{false};
};

// The switch is known at once even while the server's notification thread
// is busy elsewhere: frames stored right after construction are not lost.
TEST_F(AccumulatorTest, FirstFramesAreKeptWhileTheCurrentContentIsDelayed) {
  CompPtr<IDXConfigSubscriptionProxy> proxy;
  ASSERT_EQ(m_services.Server()->QueryInterface(IID_IDXConfigSubscriptionProxy, proxy.PutVoid()), S_OK);
  const CompPtr<SlowCallback> blocker(new SlowCallback, false);
  const DXNodePtr filter = DXNodePtr::Create(nullptr, L"FilterByPath");
  filter.SetString(L"NodePath", L"\\Blocker");
  filter.SetInt64(L"MaxDepth", 0);
  const DXNodePtr subscribeSettings = DXNodePtr::Create(L"SubscribeConfig", nullptr);
  subscribeSettings.SetInt64(L"ChangesMask", 4);
  subscribeSettings.SetInt64(L"SubscribeOptions", 2);
  CompPtr<IDXModifySubscription> subscription;
  ASSERT_EQ(proxy->Subscribe(filter.Get(), subscribeSettings.Get(), blocker.Get(), subscription.Put()), S_OK);
  ASSERT_EQ(subscription->Activate(), S_OK);
  m_services.WriteSwitch(L"\\Blocker", true);
  ASSERT_TRUE(WaitUntil([&] { return blocker->m_entered.load(); }));

  auto accumulator = Make();
  EXPECT_TRUE(accumulator->IsEnabled());
  accumulator->StoreFrame(Frame(1));
  ASSERT_TRUE(m_services.WaitForFrames(1));
  accumulator.reset();
  EXPECT_EQ(proxy->RemoveSubscription(subscription.Get()), S_OK);
}

struct ConstructionFailure {
  const char* name;
  const wchar_t* removedSetting;  // null: none
  CLOperation faultedOperation;   // 0: none
  HRESULT expected;
};

class AccumulatorConstructionTest : public AccumulatorTest, public ::testing::WithParamInterface<ConstructionFailure> {};

TEST_P(AccumulatorConstructionTest, FailsCleanly) {
  const ConstructionFailure& failure = GetParam();
  const uint32_t subscriptionsAtStart = m_services.SubscriptionCount();
  DXNodePtr settings = Settings();
  if (failure.removedSetting != nullptr) settings.DeleteAttribute(failure.removedSetting);
  if (failure.faultedOperation != 0) {
    m_services.SetServerFault(failure.faultedOperation, CLFault_Always, 0, E_ACCESSDENIED);
  }
  EXPECT_EQ(HresultOf([&] { CTransientUsageStatsAccumulator accumulator(m_services.ServicePtr(), settings); }),
            failure.expected);
  m_services.ClearFaults();
  EXPECT_EQ(m_services.SubscriptionCount(), subscriptionsAtStart);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AccumulatorConstructionTest,
    ::testing::Values(ConstructionFailure{"NoSendInterval", L"SendIntervalSec", CLOperation(0), HRESULT(0x80070490)},
                      ConstructionFailure{"NoSwitchPath", L"UsageStatisticsCfgPath", CLOperation(0), HRESULT(0x80070490)},
                      ConstructionFailure{"SubscribeFails", nullptr, CLOp_ConfigSubscribe, E_ACCESSDENIED},
                      ConstructionFailure{"ActivateFails", nullptr, CLOp_SubscriptionActivate, E_ACCESSDENIED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AccumulatorTest, NullArgumentsAreRefused) {
  EXPECT_EQ(HresultOf([&] { CTransientUsageStatsAccumulator accumulator(nullptr, Settings()); }), E_POINTER);
  EXPECT_EQ(HresultOf([&] { CTransientUsageStatsAccumulator accumulator(m_services.ServicePtr(), DXNodePtr()); }),
            E_POINTER);
}

}  // namespace

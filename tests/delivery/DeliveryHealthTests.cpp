// The accumulator's delivery health against the reference services of
// ComponentsLib.dll: its counters, the INFO and WARN lines and the status
// node, with the test setting that turns the hour into one second (and the
// minute of the status node into a sixtieth of it).
#include "Sources/Subsystems/UsageStatistics/Common/ArrivalLog.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientUsageStatsAccumulator.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/ActivityFrame.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/ReferenceServices.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using KestrovaTest::ReferenceServices;
using KestrovaTest::WaitUntil;
using RuntimeTest::ScopedCapture;
using RuntimeTest::TempDirectory;
using UsageStatistics::CTransientUsageStatsAccumulator;

const bool g_testPeriod = ::SetEnvironmentVariableW(L"GS_UsageStatistics_TestDeliveryHealthPeriodSec", L"1") != FALSE &&
                          ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG") != FALSE;

constexpr wchar_t kSwitchPath[] = L"\\Veltrano\\Statistics\\Accumulator";
constexpr wchar_t kStatusPath[] = L"\\Veltrano\\Statistics\\DeliveryStatus";

struct Options {
  int64_t sendIntervalSec = 1;
  int32_t maxSendFailures = 3;
  int64_t maxQueuedFrames = 0;
  bool withStatus = true;
};

// The report period of the accumulators made while it lives, in seconds.
class ScopedPeriod {
 public:
  explicit ScopedPeriod(const wchar_t* seconds) {
    ::SetEnvironmentVariableW(L"GS_UsageStatistics_TestDeliveryHealthPeriodSec", seconds);
  }
  ~ScopedPeriod() { ::SetEnvironmentVariableW(L"GS_UsageStatistics_TestDeliveryHealthPeriodSec", L"1"); }
  ScopedPeriod(const ScopedPeriod&) = delete;
  ScopedPeriod& operator=(const ScopedPeriod&) = delete;
};

DXNodePtr Frame(int64_t sequence) {
  DXNodePtr frame = UsageStatistics::MakeActivityFrame(L"Frame");
  frame.SetInt64(L"Seq", sequence);
  return frame;
}

size_t LinesContaining(const std::vector<std::wstring>& lines, const std::wstring& text) {
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; }));
}

std::wstring LineContaining(const std::vector<std::wstring>& lines, const std::wstring& text) {
  for (const std::wstring& line : lines) {
    if (line.find(text) != std::wstring::npos) return line;
  }
  return {};
}

// The status node's figure, -1 when absent.
int64_t Figure(const DXNodePtr& status, const wchar_t* name) {
  int64_t value = -1;
  if (status) status.TryGetInt64(name, value);
  return value;
}

class DeliveryHealthTest : public ::testing::Test {
 protected:
  void SetUp() override { m_services.WriteSwitch(kSwitchPath, true); }

  std::unique_ptr<CTransientUsageStatsAccumulator> Make(const Options& options = {}) const {
    DXNodePtr settings = DXNodePtr::Create(L"TransientStorage", nullptr);
    settings.SetInt64(L"SendIntervalSec", options.sendIntervalSec);
    settings.SetInt64(L"MaxSendFailures", options.maxSendFailures);
    settings.SetString(L"UsageStatisticsCfgPath", kSwitchPath);
    settings.SetString(L"TransientStoragePath", m_temp / L"frames.pending");
    if (options.maxQueuedFrames != 0) settings.SetInt64(L"MaxQueuedFrames", options.maxQueuedFrames);
    if (options.withStatus) settings.SetString(L"DeliveryStatusCfgPath", kStatusPath);
    return std::make_unique<CTransientUsageStatsAccumulator>(m_services.ServicePtr(), settings);
  }

  DXNodePtr Status() const { return m_services.Read(kStatusPath); }

  TempDirectory m_temp;
  ReferenceServices m_services;
};

TEST_F(DeliveryHealthTest, SendsFailuresAndTheStopLineAndNode) {
  ScopedCapture capture;
  m_services.SetServiceFault(CLFault_NextCalls, 2, E_FAIL);
  auto accumulator = Make();
  for (int64_t sequence = 1; sequence <= 3; ++sequence) accumulator->StoreFrame(Frame(sequence));
  ASSERT_TRUE(m_services.WaitForFrames(3));
  accumulator->Stop();

  const DXNodePtr status = Status();
  ASSERT_TRUE(status) << "the status node is written at stop";
  EXPECT_EQ(status.GetType(), L"UsageStatisticsDeliveryStatus");
  EXPECT_EQ(Figure(status, L"FramesStored"), 3);
  EXPECT_EQ(Figure(status, L"FramesSent"), 3);
  EXPECT_EQ(Figure(status, L"FailedSendAttempts"), 2);
  EXPECT_EQ(Figure(status, L"FramesWaiting"), 0);
  EXPECT_EQ(Figure(status, L"FramesDroppedAfterFailures"), 0);
  EXPECT_EQ(Figure(status, L"FramesWrittenToFile"), 0);
  EXPECT_EQ(Figure(status, L"OldestWaitingFrameAgeSec"), 0) << "nothing waits";
  std::wstring text;
  EXPECT_TRUE(status.TryGetString(L"LastDeliveryTime", text));
  EXPECT_TRUE(status.TryGetString(L"StartTime", text));

  const std::wstring stopLine = LineContaining(capture.Lines(), L"Usage statistics delivery at stop: ");
  ASSERT_FALSE(stopLine.empty());
  EXPECT_NE(stopLine.find(L"stored 3, discarded while off 0, sent 3, failed send attempts 2"), std::wstring::npos)
      << stopLine;
  EXPECT_NE(stopLine.find(L"0 frames waiting; last delivery "), std::wstring::npos) << stopLine;
  EXPECT_EQ(LinesContaining(capture.Lines(), L"set by the test setting TestDeliveryHealthPeriodSec"), 1u);
}

TEST_F(DeliveryHealthTest, DropsByEitherLimitAndFramesWrittenAndRestored) {
  {
    // A frame the service always refuses, tried once.
    m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
    Options options;
    options.maxSendFailures = 1;
    auto accumulator = Make(options);
    accumulator->StoreFrame(Frame(1));
    ASSERT_TRUE(WaitUntil([&] { return accumulator->Figures().droppedAfterFailures == 1; }));
    accumulator->Stop();
    EXPECT_EQ(Figure(Status(), L"FramesDroppedAfterFailures"), 1);
    EXPECT_EQ(Figure(Status(), L"FailedSendAttempts"), 1);
    m_services.ClearFaults();
  }
  {
    // Five frames into a queue of two before any cycle: three leave it.
    Options options;
    options.sendIntervalSec = 3600;
    options.maxQueuedFrames = 2;
    auto accumulator = Make(options);
    for (int64_t sequence = 1; sequence <= 5; ++sequence) accumulator->StoreFrame(Frame(sequence));
    const UsageStatistics::Detail::DeliveryFigures figures = accumulator->Figures();
    EXPECT_EQ(figures.droppedByQueueLimit, 3u);
    EXPECT_EQ(figures.waiting, 2u);
    EXPECT_TRUE(figures.oldestWaitingAgeSec.has_value());
    accumulator->Stop();
    const DXNodePtr status = Status();
    EXPECT_EQ(Figure(status, L"FramesDroppedByQueueLimit"), 3);
    EXPECT_EQ(Figure(status, L"FramesWrittenToFile"), 2);
    EXPECT_EQ(Figure(status, L"FramesWaiting"), 2);
  }
  {
    // The next start restores them, and its counters start from zero.
    auto accumulator = Make();
    EXPECT_EQ(accumulator->Figures().restored, 2u);
    ASSERT_TRUE(m_services.WaitForFrames(2));
    ASSERT_TRUE(WaitUntil([&] { return accumulator->Figures().sent == 2; }));
    accumulator->Stop();
    const DXNodePtr status = Status();
    EXPECT_EQ(Figure(status, L"FramesRestored"), 2);
    EXPECT_EQ(Figure(status, L"FramesSent"), 2);
    EXPECT_EQ(Figure(status, L"FramesStored"), 0);
    EXPECT_EQ(Figure(status, L"FramesDroppedByQueueLimit"), 0);
  }
}

TEST_F(DeliveryHealthTest, FramesDiscardedWhileSwitchedOff) {
  m_services.WriteSwitch(kSwitchPath, false);
  auto accumulator = Make();
  ASSERT_FALSE(accumulator->IsEnabled());
  accumulator->StoreFrame(Frame(1));
  accumulator->StoreFrame(Frame(2));
  accumulator->Stop();
  EXPECT_EQ(Figure(Status(), L"FramesDiscardedWhileOff"), 2);
  EXPECT_EQ(Figure(Status(), L"FramesStored"), 0);
  std::wstring lastDelivery = L"?";
  EXPECT_TRUE(Status().TryGetString(L"LastDeliveryTime", lastDelivery));
  EXPECT_EQ(lastDelivery, L"") << "written empty before the first delivery, so no earlier run's time remains";
}

// The age counts from each frame's arrival, also when a stop puts the kept
// (older) frames behind those queued meanwhile.
TEST_F(DeliveryHealthTest, AgeOfTheOldestWaitingFrameAtStop) {
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  Options options;
  options.maxSendFailures = 1000;
  auto accumulator = Make(options);
  accumulator->StoreFrame(Frame(1));
  ASSERT_TRUE(WaitUntil([&] { return accumulator->Figures().failedSendAttempts >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  accumulator->StoreFrame(Frame(2));
  accumulator->Stop();
  const DXNodePtr status = Status();
  EXPECT_EQ(Figure(status, L"FramesWaiting"), 2);
  EXPECT_GE(Figure(status, L"OldestWaitingFrameAgeSec"), 2) << "the kept frame is the oldest";
  EXPECT_EQ(Figure(status, L"FramesWrittenToFile"), 2);
}

// A reconfiguration: the predecessor says it stopped and leaves the node to
// its successor, which counts what it sends of the frames it took over.
TEST_F(DeliveryHealthTest, HandOverToASuccessor) {
  ScopedCapture capture;
  Options options;
  options.sendIntervalSec = 3600;
  auto predecessor = Make(options);
  predecessor->StoreFrame(Frame(1));
  predecessor->StoreFrame(Frame(2));
  CTransientUsageStatsAccumulator::Handover handover = predecessor->TakeUndelivered();
  EXPECT_NE(LineContaining(capture.Lines(), L"Usage statistics delivery at stop: stored 2, ").find(L"0 frames waiting"),
            std::wstring::npos);
  auto successor = Make();
  successor->Adopt(std::move(handover));
  EXPECT_EQ(successor->Figures().waiting, 2u);
  ASSERT_TRUE(m_services.WaitForFrames(2));
  ASSERT_TRUE(WaitUntil([&] { return Figure(Status(), L"FramesSent") == 2; }));
  successor->Stop();
  predecessor.reset();
  const DXNodePtr status = Status();
  EXPECT_EQ(Figure(status, L"FramesSent"), 2);
  EXPECT_EQ(Figure(status, L"FramesStored"), 0) << "taken over, not stored again";
}

// A write that failed is tried again a period later, with no figure changed.
TEST_F(DeliveryHealthTest, FailedStatusWriteIsTriedAgain) {
  m_services.SetServerFault(CLOp_ConfigWrite, CLFault_NextCalls, 1, E_FAIL);
  auto accumulator = Make();
  ASSERT_TRUE(WaitUntil([&] { return static_cast<bool>(Status()); }));
  EXPECT_EQ(Figure(Status(), L"FramesStored"), 0);
  accumulator->Stop();
}

// An hour of failures while frames wait (a second here): one WARN line, not
// repeated within the hour, then one INFO line when delivery recovers.
TEST_F(DeliveryHealthTest, WarnsAfterAnHourOfFailuresAndSaysWhenDeliveryRecovers) {
  const ScopedPeriod period(L"2");
  ScopedCapture capture;
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  Options options;
  options.maxSendFailures = 1000;
  auto accumulator = Make(options);
  accumulator->StoreFrame(Frame(1));
  const std::wstring warning = L"frames waiting, no frame delivered since the start at ";
  ASSERT_TRUE(WaitUntil([&] { return LinesContaining(capture.Lines(), warning) != 0; }));
  const auto warned = std::chrono::steady_clock::now();
  EXPECT_NE(LineContaining(capture.Lines(), warning).find(L"Usage statistics delivery failing: 1 frames waiting"),
            std::wstring::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const size_t withinTheHour = LinesContaining(capture.Lines(), warning);
  if (std::chrono::steady_clock::now() - warned < std::chrono::milliseconds(1800)) {
    EXPECT_EQ(withinTheHour, 1u);
  }

  EXPECT_EQ(LinesContaining(capture.Lines(), L"Usage statistics delivery recovered"), 0u);
  m_services.ClearFaults();
  ASSERT_TRUE(m_services.WaitForFrames(1));
  ASSERT_TRUE(WaitUntil([&] { return LinesContaining(capture.Lines(), L"Usage statistics delivery recovered") != 0; }));
  accumulator->Stop();
  EXPECT_EQ(LinesContaining(capture.Lines(), L"Usage statistics delivery recovered"), 1u);
}

TEST_F(DeliveryHealthTest, NoWarningWhileNothingWaits) {
  // The frame is dropped a cycle after its refusal, well within the hour.
  const ScopedPeriod period(L"3");
  ScopedCapture capture;
  Options options;
  options.maxSendFailures = 1;
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  auto accumulator = Make(options);
  accumulator->StoreFrame(Frame(1));  // refused once, then dropped: nothing waits
  ASSERT_TRUE(WaitUntil([&] { return accumulator->Figures().droppedAfterFailures == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  accumulator->Stop();
  EXPECT_EQ(LinesContaining(capture.Lines(), L"Usage statistics delivery failing"), 0u);
}

// The hourly line comes while the figures change and stops when they rest;
// the status node follows within its period.
TEST_F(DeliveryHealthTest, PeriodicLineAndNodeFollowChangesOnly) {
  ScopedCapture capture;
  auto accumulator = Make();
  accumulator->StoreFrame(Frame(1));
  ASSERT_TRUE(m_services.WaitForFrames(1));
  ASSERT_TRUE(WaitUntil([&] { return Figure(Status(), L"FramesSent") == 1; }));
  const std::wstring periodic = L"Usage statistics delivery: stored 1, ";
  ASSERT_TRUE(WaitUntil([&] { return LinesContaining(capture.Lines(), periodic) != 0; }));
  // The line after the last change may still be due; then three hours of rest.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_NE(LineContaining(capture.Lines(), L"sent 1, ").find(periodic), std::wstring::npos);
  capture.Clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  EXPECT_EQ(LinesContaining(capture.Lines(), L"Usage statistics delivery: "), 0u);
  accumulator->Stop();
}

TEST_F(DeliveryHealthTest, FailingStatusWriteIsAWarningAndDeliveryGoesOn) {
  ScopedCapture capture;
  auto accumulator = Make();
  m_services.SetServerFault(CLOp_ConfigWrite, CLFault_Always, 0, E_ACCESSDENIED);
  accumulator->StoreFrame(Frame(1));
  ASSERT_TRUE(m_services.WaitForFrames(1));
  ASSERT_TRUE(WaitUntil([&] {
    return LinesContaining(capture.Lines(), L"Failed writing the usage statistics delivery status to ") != 0;
  }));
  accumulator->StoreFrame(Frame(2));
  ASSERT_TRUE(m_services.WaitForFrames(2));
  accumulator->Stop();
  m_services.ClearFaults();
  EXPECT_EQ(accumulator->Figures().sent, 2u);
  EXPECT_NE(
      LineContaining(capture.Lines(), L"Failed writing the usage statistics delivery status to ").find(kStatusPath),
      std::wstring::npos);
}

// Paths the status may not take: a WARN at start, and no node anywhere.
TEST_F(DeliveryHealthTest, StatusPathsRefused) {
  for (const wchar_t* path : {L"\\", L"Relative\\Status", L"\\Veltrano\\\\Status", L"\\Veltrano\\", kSwitchPath}) {
    SCOPED_TRACE(testing::Message() << std::string(path, path + std::wcslen(path)));
    ScopedCapture capture;
    DXNodePtr settings = DXNodePtr::Create(L"TransientStorage", nullptr);
    settings.SetInt64(L"SendIntervalSec", 1);
    settings.SetString(L"UsageStatisticsCfgPath", kSwitchPath);
    settings.SetString(L"DeliveryStatusCfgPath", path);
    CTransientUsageStatsAccumulator accumulator(m_services.ServicePtr(), settings);
    accumulator.StoreFrame(Frame(1));
    ASSERT_TRUE(WaitUntil([&] { return accumulator.Figures().sent == 1; }));
    accumulator.Stop();
    EXPECT_EQ(LinesContaining(capture.Lines(), L"no delivery status node is written"), 1u);
    EXPECT_EQ(LinesContaining(capture.Lines(), L"Failed writing the usage statistics delivery status"), 0u);
    EXPECT_EQ(m_services.Read(kSwitchPath).GetType(), L"") << "the switch keeps its type";
  }
}

TEST_F(DeliveryHealthTest, WithoutTheSettingNoNodeIsWritten) {
  Options options;
  options.withStatus = false;
  auto accumulator = Make(options);
  accumulator->StoreFrame(Frame(1));
  ASSERT_TRUE(m_services.WaitForFrames(1));
  accumulator->Stop();
  EXPECT_FALSE(Status());
}

// The log of arrivals: the oldest waiting frame wherever it stands in the
// lists, entries of frames gone forgotten, and no reference kept to them.
TEST(ArrivalLog, OldestWaitingFrameAndCompaction) {
  using Clock = UsageStatistics::Detail::CArrivalLog::Clock;
  UsageStatistics::Detail::CArrivalLog log;
  const Clock::time_point start = Clock::now();
  std::vector<DXNodePtr> frames;
  for (int64_t sequence = 0; sequence < 5; ++sequence) {
    frames.push_back(Frame(sequence));
    log.Append(frames.back(), start + std::chrono::seconds(sequence));
  }
  // A kept frame (1) behind newer queued ones (3, 4), as a stop leaves them.
  const std::deque<DXNodePtr> queued{frames[3], frames[4], frames[1]};
  EXPECT_EQ(log.ArrivalOf({}, queued), start + std::chrono::seconds(1));
  EXPECT_EQ(log.Size(), 3u) << "the entries of 0 and 2 are gone";
  // The usual order: kept frames first.
  EXPECT_EQ(log.ArrivalOf({frames[1]}, {frames[3], frames[4]}), start + std::chrono::seconds(1));
  EXPECT_EQ(log.ArrivalOf({}, {frames[4]}), start + std::chrono::seconds(4));
  EXPECT_EQ(log.Size(), 1u);
  EXPECT_FALSE(log.ArrivalOf({}, {}).has_value());
  EXPECT_EQ(log.Size(), 0u);
  // A frame missing from the log has no age; the others keep theirs.
  log.Append(frames[2], start);
  EXPECT_EQ(log.ArrivalOf({}, {frames[0], frames[2]}), start);
  EXPECT_FALSE(log.ArrivalOf({}, {frames[0]}).has_value());
  // The same address logged twice (a freed frame's, reused): the latest entry counts.
  log.Clear();
  log.Append(frames[3], start);
  log.Append(frames[3], start + std::chrono::seconds(7));
  EXPECT_EQ(log.ArrivalOf({}, {frames[3]}), start + std::chrono::seconds(7));
}

// Frames the queue bound drops leave nothing behind in the log while the
// worker sleeps through a long interval.
TEST_F(DeliveryHealthTest, DroppedFramesAreNotHeldWhileTheWorkerSleeps) {
  Options options;
  options.sendIntervalSec = 3600;
  options.maxQueuedFrames = 10;
  options.withStatus = false;
  auto accumulator = Make(options);
  const auto privateBytes = [] {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    ::K32GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters));
    return static_cast<int64_t>(counters.PrivateUsage);
  };
  const std::wstring kilobyte(1024, L'x');
  const int64_t before = privateBytes();
  for (int64_t sequence = 1; sequence <= 40000; ++sequence) {
    DXNodePtr frame = Frame(sequence);
    frame.SetString(L"Payload", kilobyte);
    accumulator->StoreFrame(frame);
  }
  // 40,000 frames of over 2 KB each, held, would be 80 MB.
  EXPECT_LT(privateBytes() - before, int64_t{16} << 20);
  const UsageStatistics::Detail::DeliveryFigures figures = accumulator->Figures();
  EXPECT_EQ(figures.waiting, 10u);
  EXPECT_EQ(figures.droppedByQueueLimit, 40000u - 10u);
  accumulator->Stop();
}

}  // namespace

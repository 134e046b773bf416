// The subscriptions sink with hand-made notifications: batching per id in
// byte order, current content, malformed records and failing walks, failing
// callbacks, and closing while callbacks run.
#include "SubscriptionTestSupport.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/ValueFormats.h"
#include "support/HresultOf.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using CfgSubscriptionsHelpers::CConfigSubscriptionsSink;
using SubscriptionTest::AsSink;
using SubscriptionTest::FakeModifications;
using SubscriptionTest::FakeSubscription;
using SubscriptionTest::MakeRecord;
using SubscriptionTest::Publication;
using SubscriptionTest::ScopedLogCapture;
using SubscriptionTest::SinkRecorder;
using SubscriptionTest::WaitUntil;

// Data1 0x100 sorts before 0x1 byte-wise (its first byte is 00): byte order,
// not numeric order.
constexpr GUID kIdLow{0x00000100, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr GUID kIdHigh{0x00000001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// A sink whose publisher never runs by itself: tests publish by hand.
class SinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sink = CConfigSubscriptionsSink::Create(uint64_t{3600}, m_recorder.Modifications(), m_recorder.Node());
  }
  void TearDown() override {
    CfgSubscriptionsHelpers::CloseSink(m_sink.Get());
    m_sink.Reset();
  }

  HRESULT Notify(const GUID& id, std::vector<DXNodePtr> records, int currentContent = 0) {
    FakeSubscription subscription(id);
    FakeModifications modifications(std::move(records));
    return m_sink->OnTriggered(&subscription, currentContent, &modifications);
  }
  void Publish() { AsSink(m_sink)->IntPublishModifications(); }

  SinkRecorder m_recorder;
  CompPtr<IConfigModifyCallback> m_sink;
};

TEST_F(SinkTest, PublishesOneBatchPerIdInByteOrderKeepingArrivalOrder) {
  struct Case {
    const char* name;
    std::vector<std::pair<GUID, std::vector<std::wstring>>> notifications;
    std::vector<std::pair<GUID, std::vector<std::wstring>>> batches;
  };
  const std::vector<Case> cases = {
      {"two notifications of one id: one batch, arrival order",
       {{kIdHigh, {L"\\A\\2", L"\\A\\1"}}, {kIdHigh, {L"\\A\\0"}}},
       {{kIdHigh, {L"\\A\\2", L"\\A\\1", L"\\A\\0"}}}},
      {"two ids: two batches, ascending bytes",
       {{kIdHigh, {L"\\H1"}}, {kIdLow, {L"\\L1"}}, {kIdHigh, {L"\\H2"}}},
       {{kIdLow, {L"\\L1"}}, {kIdHigh, {L"\\H1", L"\\H2"}}}},
      {"an empty notification publishes nothing", {{kIdLow, {}}, {kIdHigh, {L"\\H"}}}, {{kIdHigh, {L"\\H"}}}},
      {"nothing pending: no call", {}, {}},
  };
  size_t published = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [id, paths] : c.notifications) {
      std::vector<DXNodePtr> records;
      for (const auto& path : paths) records.push_back(MakeRecord(path));
      ASSERT_EQ(Notify(id, std::move(records)), S_OK);
    }
    EXPECT_EQ(m_recorder.Batches().size(), published) << "published before the publisher ran";
    Publish();
    const std::vector<Publication> batches = m_recorder.Batches();
    ASSERT_EQ(batches.size(), published + c.batches.size());
    for (size_t i = 0; i < c.batches.size(); ++i) {
      EXPECT_TRUE(SameGuid(batches[published + i].id, c.batches[i].first)) << i;
      EXPECT_EQ(batches[published + i].paths, c.batches[i].second) << i;
    }
    published = batches.size();
    Publish();  // everything went with the previous publication
    EXPECT_EQ(m_recorder.Batches().size(), published);
  }
}

TEST_F(SinkTest, RecordsCarryPathLowMaskBitsAndContent) {
  ASSERT_EQ(Notify(kIdLow, {MakeRecord(L"\\S", 0x100000006, true), MakeRecord(L"\\T", 1, std::nullopt, false)}), S_OK);
  Publish();
  const std::vector<Publication> batches = m_recorder.Batches();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].masks, (std::vector<uint32_t>{6, 1}));
  EXPECT_EQ(batches[0].enabled, (std::vector<std::optional<bool>>{true, std::nullopt}));
  EXPECT_TRUE(m_recorder.Nodes().empty());
}

TEST_F(SinkTest, CurrentContentIsHandedOverAtOnceOnTheCallingThread) {
  ASSERT_EQ(Notify(kIdLow, {MakeRecord(L"\\Switch", 0, false)}, 1), S_OK);
  const std::vector<Publication> nodes = m_recorder.Nodes();
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_TRUE(SameGuid(nodes[0].id, kIdLow));
  EXPECT_EQ(nodes[0].paths, std::vector<std::wstring>{L"\\Switch"});
  EXPECT_EQ(nodes[0].enabled[0], std::optional<bool>(false));
  EXPECT_EQ(m_recorder.NodeThreads()[0], std::this_thread::get_id());
  Publish();
  EXPECT_TRUE(m_recorder.Batches().empty()) << "current content is not queued";
}

TEST_F(SinkTest, MalformedNotificationsFailAndLogTheirCode) {
  struct Case {
    const char* name;
    std::vector<DXNodePtr> records;
    int currentContent;
    HRESULT expected;
    size_t publishedRecords;  // records read before the failure stay pending
  };
  const std::vector<Case> cases = {
      {"current content with two records",
       {MakeRecord(L"\\A", 0, true), MakeRecord(L"\\A", 0, true)},
       1,
       kInvalidData,
       0},
      {"current content without records", {}, 1, kInvalidData, 0},
      {"current content without a node", {MakeRecord(L"\\A", 0, true, false)}, 1, E_POINTER, 0},
      {"record without ModifiedNodePath",
       {MakeRecord(L"\\A"), MakeRecord(L"\\B", 4, true, true, false)},
       0,
       kNotFound,
       1},
      {"record without ChangesMask", {MakeRecord(L"\\A"), MakeRecord(L"\\B", std::nullopt)}, 0, kNotFound, 1},
      {"current-content record without ChangesMask", {MakeRecord(L"\\A", std::nullopt)}, 1, kNotFound, 0},
  };
  ScopedLogCapture log(L"ERR");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.Clear();
    EXPECT_EQ(Notify(kIdLow, c.records, c.currentContent), c.expected);
    EXPECT_EQ(log.Count(L"CfgSubscriptionsHelpers::CConfigSubscriptionsSink::OnTriggered failed: "), 1u);
    EXPECT_TRUE(m_recorder.Nodes().empty()) << "no callback for a failed notification";
    const size_t before = m_recorder.Batches().size();
    Publish();
    const std::vector<Publication> batches = m_recorder.Batches();
    EXPECT_EQ(batches.size() - before, c.publishedRecords == 0 ? 0u : 1u);
    if (c.publishedRecords != 0) {
      EXPECT_EQ(batches.back().paths.size(), c.publishedRecords);
    }
  }
  // Null arguments.
  FakeSubscription subscription(kIdLow);
  FakeModifications none({});
  EXPECT_EQ(m_sink->OnTriggered(nullptr, 0, &none), E_POINTER);
  EXPECT_EQ(m_sink->OnTriggered(&subscription, 0, nullptr), E_POINTER);
}

TEST_F(SinkTest, WalkThatFailsMidwayKeepsTheRecordsReadSoFar) {
  FakeSubscription subscription(kIdLow);
  FakeModifications modifications({MakeRecord(L"\\A"), MakeRecord(L"\\B"), MakeRecord(L"\\C")}, 2, E_ACCESSDENIED);
  EXPECT_EQ(m_sink->OnTriggered(&subscription, 0, &modifications), S_OK);
  Publish();
  const std::vector<Publication> batches = m_recorder.Batches();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].paths, (std::vector<std::wstring>{L"\\A", L"\\B"}));
}

TEST_F(SinkTest, TriggeredTextAtDbg3) {
  ScopedLogCapture log(L"DBG3");
  ASSERT_EQ(Notify(kIdLow, {MakeRecord(L"\\A")}), S_OK);
  EXPECT_EQ(log.Count(L"DatabaseManagement config subscription with id " +
                      ValueFormats::GuidToString(kIdLow, ValueFormats::GuidForm::Braced) + L" triggered"),
            1u);
}

TEST(SinkCallbackTest, FailingBatchIsLoggedAndDroppedTheOthersPublished) {
  std::vector<GUID> published;
  const auto sink = CConfigSubscriptionsSink::Create(
      uint64_t{3600},
      [&](const GUID& id, std::vector<NodeModifyUtils::TNodeModification>&&) {
        published.push_back(id);
        if (SameGuid(id, kIdLow)) ThrowHr(E_ACCESSDENIED);
      },
      nullptr);
  FakeSubscription low(kIdLow), high(kIdHigh);
  FakeModifications records({MakeRecord(L"\\A")});
  ASSERT_EQ(sink->OnTriggered(&low, 0, &records), S_OK);
  ASSERT_EQ(sink->OnTriggered(&high, 0, &records), S_OK);
  // Without a node callback a current-content notification is accepted and goes nowhere.
  FakeModifications current({MakeRecord(L"\\A", 0, true)});
  EXPECT_EQ(sink->OnTriggered(&low, 1, &current), S_OK);
  ScopedLogCapture log(L"WARN");
  AsSink(sink)->IntPublishModifications();
  ASSERT_EQ(published.size(), 2u);
  EXPECT_TRUE(SameGuid(published[1], kIdHigh));
  EXPECT_EQ(log.Count(L"Config modify callback returned error 0x80070005"), 1u);
  published.clear();
  AsSink(sink)->IntPublishModifications();
  EXPECT_TRUE(published.empty()) << "the failed batch is dropped";
  CfgSubscriptionsHelpers::CloseSink(sink.Get());
}

TEST(SinkPublisherTest, PublishesEveryIntervalFromItsOwnThread) {
  std::promise<std::thread::id> publisher;
  std::atomic<int> calls{0};
  const auto created = std::chrono::steady_clock::now();
  const auto sink = CConfigSubscriptionsSink::Create(
      std::chrono::milliseconds(40),
      [&](const GUID&, std::vector<NodeModifyUtils::TNodeModification>&&) {
        if (calls++ == 0) publisher.set_value(std::this_thread::get_id());
      },
      nullptr);
  FakeSubscription subscription(kIdLow);
  FakeModifications records({MakeRecord(L"\\A")});
  ASSERT_EQ(sink->OnTriggered(&subscription, 0, &records), S_OK);
  auto thread = publisher.get_future();
  ASSERT_EQ(thread.wait_for(5s), std::future_status::ready);
  EXPECT_GE(std::chrono::steady_clock::now() - created, std::chrono::milliseconds(40))
      << "the first publication waits one interval";
  EXPECT_NE(thread.get(), std::this_thread::get_id());
  CfgSubscriptionsHelpers::CloseSink(sink.Get());
}

TEST(SinkCloseTest, NoCallbackRunsAfterCloseAndCloseWaitsForOneInProgress) {
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  std::atomic<int> nodeCalls{0}, batchCalls{0};
  std::atomic<bool> nodeCallEnded{false};
  const auto sink = CConfigSubscriptionsSink::Create(
      uint64_t{3600}, [&](const GUID&, std::vector<NodeModifyUtils::TNodeModification>&&) { ++batchCalls; },
      [&](const GUID&, const std::wstring&, const DXNodePtr&) {
        if (nodeCalls++ == 0) {
          entered.set_value();
          released.wait();
          nodeCallEnded = true;
        }
      });
  FakeSubscription subscription(kIdLow);
  std::thread server([&] {
    FakeModifications current({MakeRecord(L"\\A", 0, true)});
    EXPECT_EQ(sink->OnTriggered(&subscription, 1, &current), S_OK);
  });
  ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
  FakeModifications pending({MakeRecord(L"\\A")});
  ASSERT_EQ(sink->OnTriggered(&subscription, 0, &pending), S_OK);

  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    release.set_value();
  });
  CfgSubscriptionsHelpers::CloseSink(sink.Get());
  EXPECT_TRUE(nodeCallEnded) << "CloseSink returned while a node callback ran";
  releaser.join();
  server.join();

  FakeModifications current({MakeRecord(L"\\A", 0, true)});
  EXPECT_EQ(sink->OnTriggered(&subscription, 1, &current), S_OK);
  AsSink(sink)->IntPublishModifications();
  EXPECT_EQ(nodeCalls, 1);
  EXPECT_EQ(batchCalls, 0);
  CfgSubscriptionsHelpers::CloseSink(sink.Get());  // again: nothing happens
}

// A server that refused the removal keeps notifying a closed sink: nothing
// is kept for a publication that will never come.
TEST_F(SinkTest, ClosedSinkDropsOrdinaryNotifications) {
  ASSERT_EQ(Notify(kIdLow, {MakeRecord(L"\\A")}), S_OK);
  EXPECT_EQ(AsSink(m_sink)->PendingCount(), 1u);
  CfgSubscriptionsHelpers::CloseSink(m_sink.Get());
  EXPECT_EQ(AsSink(m_sink)->PendingCount(), 0u) << "what was pending at close is dropped";
  for (int round = 0; round < 100; ++round) {
    std::vector<DXNodePtr> records;
    for (int record = 0; record < 10; ++record) records.push_back(MakeRecord(L"\\A"));
    ASSERT_EQ(Notify(kIdLow, std::move(records)), S_OK);
  }
  EXPECT_EQ(AsSink(m_sink)->PendingCount(), 0u);
}

TEST(SinkCloseTest, OwnerMayCloseAndReleaseTheSinkFromItsOwnPublication) {
  // The owner goes away inside its handler on the publisher thread: it closes
  // and drops the last reference to the sink there. No later batch may be
  // handed over and nothing freed may be touched.
  struct Owner {
    std::mutex lock;
    CompPtr<IConfigModifyCallback> sink;
    std::atomic<int> calls{0};
    std::promise<void> gone;
  } owner;
  {
    std::lock_guard guard(owner.lock);
    owner.sink = CConfigSubscriptionsSink::Create(
        std::chrono::milliseconds(5),
        [&owner](const GUID&, std::vector<NodeModifyUtils::TNodeModification>&&) {
          ++owner.calls;
          std::lock_guard inner(owner.lock);
          CfgSubscriptionsHelpers::CloseSink(owner.sink.Get());
          owner.sink.Reset();
          owner.gone.set_value();
        },
        nullptr);
    FakeSubscription low(kIdLow), high(kIdHigh);
    FakeModifications records({MakeRecord(L"\\A")});
    ASSERT_EQ(owner.sink->OnTriggered(&low, 0, &records), S_OK);
    ASSERT_EQ(owner.sink->OnTriggered(&high, 0, &records), S_OK);
  }
  ASSERT_EQ(owner.gone.get_future().wait_for(5s), std::future_status::ready);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(owner.calls, 1) << "the second id's batch was handed over after the close";
}

TEST(NodeModifyUtilsTest, ReadsRecordsInDeliveryOrder) {
  FakeModifications modifications({MakeRecord(L"\\A", 6, true), MakeRecord(L"\\A\\B", 2, std::nullopt, false)});
  const auto records = NodeModifyUtils::GetModifications(&modifications);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].path, L"\\A");
  EXPECT_EQ(records[0].changesMask, 6u);
  ASSERT_TRUE(records[0].node);
  EXPECT_TRUE(records[0].node.GetBool(L"Enabled", false));
  EXPECT_EQ(records[1].path, L"\\A\\B");
  EXPECT_FALSE(records[1].node);
  EXPECT_EQ(KestrovaTest::HresultOf([] { NodeModifyUtils::GetModifications(nullptr); }), E_POINTER);
}

}  // namespace

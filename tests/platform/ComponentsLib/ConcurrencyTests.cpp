// Bounded stress: writers, readers, subscribers and subscription churn on
// one server at once; nothing lost, nothing leaked, no deadlock.
#include "HostTestSupport.h"

namespace HostTest {
namespace {

using ConcurrencyTest = ConfigServerTest;

constexpr int kWriters = 4;
constexpr int kWritesEach = 150;

TEST_F(ConcurrencyTest, ConcurrentWritesAreAllAppliedAndNotified) {
  auto watcher = CompPtr<RecordingCallback>(new RecordingCallback(), false);
  const auto subscription = Subscribe(watcher.Get(), L"\\Load", kWholeDepth, Kestrova::ConfigChanges::Modified, 2);

  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < kWriters; ++writer) {
    threads.emplace_back([&, writer] {
      for (int write = 0; write < kWritesEach; ++write) {
        const std::wstring path = L"\\Load\\W" + std::to_wstring(writer);
        if (Write(MakeNode(path.c_str(), nullptr, {Attribute::Int64(L"Count", write + 1)})) != S_OK) ++failures;
      }
    });
  }
  // Readers and subscription churn while the writers run.
  threads.emplace_back([&] {
    while (!stop) {
      const Node filter = MakeFilter(L"\\Load");
      IDXNode* result = nullptr;
      uint32_t count = 0;
      if (Server()->ReadNodes(filter.Get(), 0, &result, 1, &count) != S_OK) ++failures;
      Node::Adopt(result);
    }
  });
  threads.emplace_back([&] {
    auto churn = CompPtr<RecordingCallback>(new RecordingCallback(), false);
    while (!stop) {
      const auto transient = Subscribe(churn.Get(), L"\\Load", 1, Kestrova::ConfigChanges::All, 3);
      if (Remove(transient) != S_OK) ++failures;
    }
  });
  for (int writer = 0; writer < kWriters; ++writer) threads[writer].join();
  stop = true;
  for (size_t index = kWriters; index < threads.size(); ++index) threads[index].join();
  WaitIdle();

  EXPECT_EQ(failures.load(), 0);
  for (int writer = 0; writer < kWriters; ++writer) {
    EXPECT_EQ(Read(L"\\Load\\W" + std::to_wstring(writer)).GetInteger(L"Count"), kWritesEach);
  }
  // Every write changed its node once: one record each (the first one is
  // also "added"), and each writer's values arrive in its own order.
  EXPECT_EQ(watcher->RecordCount(), static_cast<size_t>(kWriters * kWritesEach));
  std::vector<int64_t> last(kWriters, 0);
  for (const auto& notification : watcher->Notifications()) {
    for (const auto& record : notification.records) {
      if (record.path == L"\\Load") continue;
      const int writer = std::stoi(record.path.substr(record.path.find(L'W') + 1));
      const int64_t value = record.content.GetInteger(L"Count").value_or(-1);
      EXPECT_EQ(value, last[writer] + 1) << "writer " << writer;
      last[writer] = value;
    }
  }
  EXPECT_EQ(Remove(subscription), S_OK);
}

TEST_F(ConcurrencyTest, ReleasingTheServerDuringNotificationsIsSafe) {
  for (int round = 0; round < 20; ++round) {
    CompPtr<IDXConfigServer> server;
    ASSERT_EQ(CLCreateConfigServer(nullptr, 0, server.Put()), S_OK);
    auto callback = CompPtr<RecordingCallback>(new RecordingCallback(), false);
    CompPtr<IDXConfigSubscriptionProxy> proxy;
    ASSERT_EQ(server.As(proxy), S_OK);
    const Node filter = MakeFilter(L"\\", false, kWholeDepth);
    const Node settings = MakeSubscribeConfig(7, 3);
    CompPtr<IDXModifySubscription> subscription;
    ASSERT_EQ(proxy->Subscribe(filter.Get(), settings.Get(), callback.Get(), subscription.Put()), S_OK);
    ASSERT_EQ(subscription->Activate(), S_OK);
    for (int write = 0; write < 20; ++write) {
      const Node node = MakeNode(L"\\X", nullptr, {Attribute::Int64(L"N", write)});
      IDXNode* handles[] = {node.Get()};
      ASSERT_EQ(server->WriteNodes(nullptr, 0, handles, 1), S_OK);
    }
    proxy.Reset();
    server.Reset();  // notifications may still be queued
    EXPECT_EQ(subscription->Activate(), CL_E_SHUT_DOWN);
  }
}

}  // namespace
}  // namespace HostTest

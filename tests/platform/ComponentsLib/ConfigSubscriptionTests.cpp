// Subscriptions: registration, activation, notifications on the server's
// thread, current content, filtering by depth and mask, removal.
#include "HostTestSupport.h"

namespace HostTest {
namespace {

using Kestrova::ConfigChanges::Added;
using Kestrova::ConfigChanges::Modified;
using Kestrova::ConfigChanges::Removed;
using Kestrova::SubscribeOptions::IncludeContent;
using Kestrova::SubscribeOptions::SendCurrentContent;

class ConfigSubscriptionTest : public ConfigServerTest {
 protected:
  void SetUp() override {
    ConfigServerTest::SetUp();
    m_callback = CompPtr<RecordingCallback>(new RecordingCallback(), false);
  }
  void TearDown() override {
    m_callback.Reset();
    ConfigServerTest::TearDown();
  }

  const wchar_t* kSwitch = L"\\Veltrano\\UsageStatisticsSettings";
  CompPtr<RecordingCallback> m_callback;
};

TEST_F(ConfigSubscriptionTest, WriteNotifiesOnTheServersThreadWithRecords) {
  const auto subscription = Subscribe(m_callback.Get(), kSwitch, 0, Modified, SendCurrentContent | IncludeContent);
  ASSERT_TRUE(subscription);
  ASSERT_EQ(Write(MakeNode(kSwitch, L"Settings", {Attribute::Bool(L"Enabled", false)})), S_OK);
  ASSERT_TRUE(m_callback->WaitForNotifications(1));
  WaitIdle();
  const auto notifications = m_callback->Notifications();
  ASSERT_EQ(notifications.size(), 1u);
  const ReceivedNotification& received = notifications[0];
  EXPECT_EQ(received.currentContent, 0);
  EXPECT_NE(received.thread, std::this_thread::get_id());
  GUID id{};
  ASSERT_EQ(subscription->GetId(&id), S_OK);
  EXPECT_TRUE(SameGuid(received.subscriptionId, id));
  ASSERT_EQ(received.records.size(), 1u);
  EXPECT_EQ(received.records[0].path, kSwitch);
  EXPECT_EQ(received.records[0].changesMask, static_cast<int64_t>(Added | Modified));
  ASSERT_TRUE(received.records[0].content);
  EXPECT_EQ(received.records[0].content.GetBool(L"Enabled"), false);
  EXPECT_EQ(received.records[0].content.Type(), L"Settings");
  EXPECT_EQ(Remove(subscription), S_OK);
}

TEST_F(ConfigSubscriptionTest, ActivationSendsTheCurrentContentOnceWhenAsked) {
  ASSERT_EQ(Write(MakeNode(kSwitch, nullptr, {Attribute::Bool(L"Enabled", true)})), S_OK);
  const auto subscription = Subscribe(m_callback.Get(), kSwitch, 0, Modified, SendCurrentContent | IncludeContent);
  ASSERT_TRUE(m_callback->WaitForNotifications(1));
  EXPECT_EQ(subscription->Activate(), S_FALSE);  // already active: nothing new
  WaitIdle();
  const auto notifications = m_callback->Notifications();
  ASSERT_EQ(notifications.size(), 1u);
  EXPECT_NE(notifications[0].currentContent, 0);
  ASSERT_EQ(notifications[0].records.size(), 1u);
  EXPECT_EQ(notifications[0].records[0].path, kSwitch);
  ASSERT_TRUE(notifications[0].records[0].content);
  EXPECT_EQ(notifications[0].records[0].content.GetBool(L"Enabled"), true);
  EXPECT_EQ(Remove(subscription), S_OK);
}

TEST_F(ConfigSubscriptionTest, NoCurrentContentWithoutTheOptionOrTheNode) {
  ASSERT_EQ(Write(MakeNode(L"\\Present", nullptr, {Attribute::Bool(L"Enabled", true)})), S_OK);
  const auto withoutOption = Subscribe(m_callback.Get(), L"\\Present", 0, Modified, IncludeContent);
  const auto absentNode = Subscribe(m_callback.Get(), L"\\Absent", 0, Modified, SendCurrentContent);
  WaitIdle();
  EXPECT_TRUE(m_callback->Notifications().empty());
  EXPECT_EQ(Remove(withoutOption), S_OK);
  EXPECT_EQ(Remove(absentNode), S_OK);
}

TEST_F(ConfigSubscriptionTest, NothingIsDeliveredBeforeActivationOrAfterDeactivation) {
  const auto subscription = Subscribe(m_callback.Get(), L"\\A", 0, Modified, IncludeContent, false);
  ASSERT_EQ(Write(MakeNode(L"\\A", nullptr, {Attribute::Text(L"V", L"1")})), S_OK);
  WaitIdle();
  EXPECT_TRUE(m_callback->Notifications().empty());

  ASSERT_EQ(subscription->Activate(), S_OK);
  ASSERT_EQ(Write(MakeNode(L"\\A", nullptr, {Attribute::Text(L"V", L"2")})), S_OK);
  ASSERT_TRUE(m_callback->WaitForNotifications(1));

  ASSERT_EQ(subscription->Deactivate(), S_OK);
  ASSERT_EQ(Write(MakeNode(L"\\A", nullptr, {Attribute::Text(L"V", L"3")})), S_OK);
  WaitIdle();
  EXPECT_EQ(m_callback->Notifications().size(), 1u);
  EXPECT_EQ(Remove(subscription), S_OK);
}

TEST_F(ConfigSubscriptionTest, RecordsFollowPathDepthAndMask) {
  struct Case {
    const char* what;
    const wchar_t* subscribed;
    int64_t maxDepth;
    int64_t changesMask;
    const wchar_t* written;
    bool delivered;
  };
  const Case cases[] = {
      {"same node", L"\\S\\N", 0, Modified, L"\\S\\N", true},
      {"child beyond depth 0", L"\\S\\N", 0, Modified, L"\\S\\N\\C", false},
      {"child within depth 1", L"\\S\\N", 1, Modified, L"\\S\\N\\C", true},
      {"grandchild beyond depth 1", L"\\S\\N", 1, Modified, L"\\S\\N\\C\\G", false},
      {"whole depth", L"\\S\\N", kWholeDepth, Modified, L"\\S\\N\\C\\G", true},
      {"sibling with a common prefix", L"\\S\\N", kWholeDepth, Modified, L"\\S\\NX", false},
      {"parent", L"\\S\\N", kWholeDepth, Modified, L"\\S", false},
      {"other letter case", L"\\S\\N", 0, Modified, L"\\S\\n", false},
      {"root sees everything", L"\\", kWholeDepth, Modified, L"\\S\\N", true},
      {"removals only", L"\\S\\N", 0, Removed, L"\\S\\N", false},
  };
  for (const Case& c : cases) {
    m_callback->Clear();
    const auto subscription = Subscribe(m_callback.Get(), c.subscribed, c.maxDepth, c.changesMask, 0);
    // A fresh value each time, so every write changes the store.
    static int counter = 0;
    ASSERT_EQ(Write(MakeNode(c.written, nullptr, {Attribute::Int64(L"N", ++counter)})), S_OK);
    WaitIdle();
    bool seen = false;
    for (const auto& notification : m_callback->Notifications()) {
      for (const auto& record : notification.records) {
        if (record.path == c.written) seen = true;
        EXPECT_FALSE(record.content) << c.what << ": content without IncludeContent";
      }
    }
    EXPECT_EQ(seen, c.delivered) << c.what;
    EXPECT_EQ(Remove(subscription), S_OK);
  }
}

TEST_F(ConfigSubscriptionTest, OneNotificationPerWriteWithRecordsInStoreOrder) {
  const auto subscription = Subscribe(m_callback.Get(), L"\\", kWholeDepth, Added | Modified, IncludeContent);
  Node tree = MakeNode(L"\\P\\Q", L"T", {Attribute::Text(L"V", L"1")});
  tree.AddChild(MakeNode(L"R", nullptr, {Attribute::Text(L"W", L"2")}));
  ASSERT_EQ(Write(tree), S_OK);
  ASSERT_TRUE(m_callback->WaitForNotifications(1));
  WaitIdle();
  const auto notifications = m_callback->Notifications();
  ASSERT_EQ(notifications.size(), 1u);
  const auto& records = notifications[0].records;
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].path, L"\\P");  // created on the way
  EXPECT_EQ(records[0].changesMask, static_cast<int64_t>(Added));
  EXPECT_EQ(records[1].path, L"\\P\\Q");
  EXPECT_EQ(records[1].changesMask, static_cast<int64_t>(Added | Modified));
  EXPECT_EQ(records[2].path, L"\\P\\Q\\R");
  EXPECT_EQ(TextOf(records[2].content, L"W"), L"2");

  // Rewriting what is stored changes nothing and notifies nothing; a real
  // change of an existing node is "modified" only.
  m_callback->Clear();
  ASSERT_EQ(Write(tree), S_OK);
  WaitIdle();
  EXPECT_TRUE(m_callback->Notifications().empty());
  ASSERT_EQ(Write(MakeNode(L"\\P\\Q", nullptr, {Attribute::Text(L"V", L"9")})), S_OK);
  ASSERT_TRUE(m_callback->WaitForNotifications(1));
  const auto changed = m_callback->Notifications();
  ASSERT_EQ(changed[0].records.size(), 1u);
  EXPECT_EQ(changed[0].records[0].changesMask, static_cast<int64_t>(Modified));
  EXPECT_EQ(TextOf(changed[0].records[0].content, L"V"), L"9");
  EXPECT_EQ(changed[0].records[0].content.ChildCount(), 0u);
  EXPECT_EQ(Remove(subscription), S_OK);
}

TEST_F(ConfigSubscriptionTest, DeleteNotifiesRemoval) {
  ASSERT_EQ(Write(MakeNode(L"\\D\\E", nullptr, {Attribute::Text(L"V", L"1")})), S_OK);
  const auto subscription = Subscribe(m_callback.Get(), L"\\D", 1, Removed, IncludeContent);
  const Node filter = MakeFilter(L"\\D\\E");
  IDXNode* filters[] = {filter.Get()};
  ASSERT_EQ(Server()->DeleteNodes(nullptr, 0, filters, 1), S_OK);
  ASSERT_TRUE(m_callback->WaitForNotifications(1));
  const auto notifications = m_callback->Notifications();
  ASSERT_EQ(notifications[0].records.size(), 1u);
  EXPECT_EQ(notifications[0].records[0].path, L"\\D\\E");
  EXPECT_EQ(notifications[0].records[0].changesMask, static_cast<int64_t>(Removed));
  EXPECT_FALSE(notifications[0].records[0].content);
  EXPECT_EQ(Remove(subscription), S_OK);
}

TEST_F(ConfigSubscriptionTest, SubscriptionsHaveDistinctIds) {
  const auto first = Subscribe(m_callback.Get(), L"\\A", 0, Modified, 0);
  const auto second = Subscribe(m_callback.Get(), L"\\A", 0, Modified, 0);
  GUID a{}, b{};
  ASSERT_EQ(first->GetId(&a), S_OK);
  ASSERT_EQ(second->GetId(&b), S_OK);
  EXPECT_FALSE(SameGuid(a, b));
  EXPECT_EQ(first->GetId(nullptr), E_POINTER);
  uint32_t count = 0;
  ASSERT_EQ(CLConfigServerGetSubscriptionCount(Server(), &count), S_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(Remove(first), S_OK);
  EXPECT_EQ(Remove(second), S_OK);
  ASSERT_EQ(CLConfigServerGetSubscriptionCount(Server(), &count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(ConfigSubscriptionTest, BadSubscriptionsAreRejected) {
  CompPtr<IDXConfigSubscriptionProxy> proxy;
  ASSERT_EQ(m_server.As(proxy), S_OK);
  struct Case {
    const char* what;
    Node filter;
    Node settings;
  };
  const Case cases[] = {
      {"mask 0", MakeFilter(L"\\A", false, 0), MakeSubscribeConfig(0, 3)},
      {"unknown mask bit", MakeFilter(L"\\A", false, 0), MakeSubscribeConfig(8, 3)},
      {"unknown option bit", MakeFilter(L"\\A", false, 0), MakeSubscribeConfig(4, 4)},
      {"settings misnamed", MakeFilter(L"\\A", false, 0),
       MakeNode(L"Subscribe", nullptr, {Attribute::Int64(L"ChangesMask", 4)})},
      {"no ChangesMask", MakeFilter(L"\\A", false, 0), MakeNode(L"SubscribeConfig", nullptr)},
      {"relative path", MakeFilter(L"A", false, 0), MakeSubscribeConfig(4, 3)},
      {"parent filter", MakeFilter(L"\\A", true, 0), MakeSubscribeConfig(4, 3)},
  };
  for (const Case& c : cases) {
    CompPtr<IDXModifySubscription> subscription;
    EXPECT_EQ(proxy->Subscribe(c.filter.Get(), c.settings.Get(), m_callback.Get(), subscription.Put()), E_INVALIDARG)
        << c.what;
    EXPECT_FALSE(subscription) << c.what;
  }
  const Node filter = MakeFilter(L"\\A", false, 0);
  const Node settings = MakeSubscribeConfig(4, 3);
  CompPtr<IDXModifySubscription> subscription;
  EXPECT_EQ(proxy->Subscribe(filter.Get(), settings.Get(), nullptr, subscription.Put()), E_POINTER);
  EXPECT_EQ(proxy->Subscribe(filter.Get(), nullptr, m_callback.Get(), subscription.Put()), E_POINTER);
  EXPECT_EQ(proxy->Subscribe(filter.Get(), settings.Get(), m_callback.Get(), nullptr), E_POINTER);
  uint32_t count = 9;
  ASSERT_EQ(CLConfigServerGetSubscriptionCount(Server(), &count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(ConfigSubscriptionTest, RemoveIsFinalAndChecksItsArgument) {
  auto subscription = Subscribe(m_callback.Get(), L"\\A", 0, Modified, 0);
  EXPECT_EQ(Remove(subscription), S_OK);
  EXPECT_EQ(Remove(subscription), CL_E_NOT_FOUND);
  EXPECT_EQ(subscription->Activate(), CL_E_NOT_FOUND);
  ASSERT_EQ(Write(MakeNode(L"\\A", nullptr, {Attribute::Text(L"V", L"1")})), S_OK);
  WaitIdle();
  EXPECT_TRUE(m_callback->Notifications().empty());
  EXPECT_EQ(Remove(CompPtr<IDXModifySubscription>()), E_POINTER);

  // A subscription of another server is not this one's to remove.
  CompPtr<IDXConfigServer> other;
  ASSERT_EQ(CLCreateConfigServer(nullptr, 0, other.Put()), S_OK);
  CompPtr<IDXConfigSubscriptionProxy> otherProxy;
  ASSERT_EQ(other.As(otherProxy), S_OK);
  const Node filter = MakeFilter(L"\\A", false, 0);
  const Node settings = MakeSubscribeConfig(4, 0);
  CompPtr<IDXModifySubscription> foreign;
  ASSERT_EQ(otherProxy->Subscribe(filter.Get(), settings.Get(), m_callback.Get(), foreign.Put()), S_OK);
  EXPECT_EQ(Remove(foreign), CL_E_NOT_FOUND);
  EXPECT_EQ(otherProxy->RemoveSubscription(foreign.Get()), S_OK);
}

TEST_F(ConfigSubscriptionTest, RemoveWaitsForACallbackInFlight) {
  std::atomic<bool> release{false};
  m_callback->SetAction([&](IDXModifySubscription*) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  const auto subscription = Subscribe(m_callback.Get(), L"\\A", 0, Modified, 0);
  ASSERT_EQ(Write(MakeNode(L"\\A", nullptr, {Attribute::Text(L"V", L"1")})), S_OK);
  while (!m_callback->InCallback()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::atomic<bool> removed{false};
  std::thread remover([&] {
    EXPECT_EQ(Remove(subscription), S_OK);
    removed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(removed) << "remove returned while its callback was running";
  release = true;
  remover.join();
  EXPECT_FALSE(m_callback->InCallback());
  const size_t delivered = m_callback->Notifications().size();
  ASSERT_EQ(Write(MakeNode(L"\\A", nullptr, {Attribute::Text(L"V", L"2")})), S_OK);
  WaitIdle();
  EXPECT_EQ(m_callback->Notifications().size(), delivered);
}

TEST_F(ConfigSubscriptionTest, SubscriberMayRemoveItselfInsideItsCallback) {
  CompPtr<IDXConfigSubscriptionProxy> proxy;
  ASSERT_EQ(m_server.As(proxy), S_OK);
  std::atomic<HRESULT> removeResult{E_FAIL};
  m_callback->SetAction([&](IDXModifySubscription* subscription) { removeResult = proxy->RemoveSubscription(subscription); });
  const auto subscription = Subscribe(m_callback.Get(), L"\\A", 0, Modified, 0);
  ASSERT_EQ(Write(MakeNode(L"\\A", nullptr, {Attribute::Text(L"V", L"1")})), S_OK);
  ASSERT_TRUE(m_callback->WaitForNotifications(1));
  WaitIdle();
  EXPECT_EQ(removeResult.load(), S_OK);
  ASSERT_EQ(Write(MakeNode(L"\\A", nullptr, {Attribute::Text(L"V", L"2")})), S_OK);
  WaitIdle();
  EXPECT_EQ(m_callback->Notifications().size(), 1u);
}

TEST_F(ConfigSubscriptionTest, ServerReleaseDropsSubscriptionsAndTheirCallbacks) {
  auto subscription = Subscribe(m_callback.Get(), L"\\A", 0, Modified, 0);
  EXPECT_EQ(m_callback->AddRef(), 3u);  // the test, the server, this call
  m_callback->Release();
  m_server.Reset();
  EXPECT_EQ(m_callback->AddRef(), 2u);  // the server let go of it
  m_callback->Release();
  EXPECT_EQ(subscription->Activate(), CL_E_SHUT_DOWN);
  GUID id{};
  EXPECT_EQ(subscription->GetId(&id), S_OK);
}

TEST_F(ConfigSubscriptionTest, ModificationReportGetsEveryChangeWithTheWriterContext) {
  struct Seen {
    std::mutex lock;
    std::vector<std::pair<std::wstring, uint64_t>> records;
    std::vector<IComponentObject*> contexts;
    std::vector<bool> hasContent;
  } seen;
  const CLModificationReport report = [](void* context, const CLConfigModification* modifications, uint32_t count) {
    auto* target = static_cast<Seen*>(context);
    std::lock_guard lock(target->lock);
    for (uint32_t index = 0; index < count; ++index) {
      target->records.emplace_back(modifications[index].path, modifications[index].changesMask);
      target->contexts.push_back(modifications[index].writerContext);
      target->hasContent.push_back(modifications[index].content != nullptr);
    }
  };
  ASSERT_EQ(CLConfigServerSetModificationReport(Server(), report, &seen), S_OK);
  ASSERT_EQ(Write(MakeNode(L"\\R\\S", nullptr, {Attribute::Text(L"V", L"1")}), m_callback.Get()), S_OK);
  const Node filter = MakeFilter(L"\\R\\S");
  IDXNode* filters[] = {filter.Get()};
  ASSERT_EQ(Server()->DeleteNodes(nullptr, 0, filters, 1), S_OK);
  WaitIdle();
  ASSERT_EQ(CLConfigServerSetModificationReport(Server(), nullptr, nullptr), S_OK);
  ASSERT_EQ(Write(MakeNode(L"\\R\\T", nullptr)), S_OK);
  WaitIdle();
  std::lock_guard lock(seen.lock);
  const std::vector<std::pair<std::wstring, uint64_t>> expected = {
      {L"\\R", Added}, {L"\\R\\S", Added | Modified}, {L"\\R\\S", Removed}};
  EXPECT_EQ(seen.records, expected);
  ASSERT_EQ(seen.contexts.size(), 3u);
  EXPECT_EQ(seen.contexts[0], static_cast<IComponentObject*>(m_callback.Get()));
  EXPECT_EQ(seen.contexts[2], nullptr);
  EXPECT_EQ(seen.hasContent, (std::vector<bool>{true, true, false}));
}

}  // namespace
}  // namespace HostTest

namespace HostTest {
namespace {

// A module calls these by position: subscription slot 3 activates and slot
// 5 gives the id; the proxy's slot 3 subscribes and slot 4 removes.
TEST_F(ConfigSubscriptionTest, SubscriptionSlotsSitWhereModulesCallThem) {
  CompPtr<IDXConfigSubscriptionProxy> proxy;
  ASSERT_EQ(m_server.As(proxy), S_OK);
  using SubscribeSlot = HRESULT (*)(void*, IDXNode*, IDXNode*, IConfigModifyCallback*, IDXModifySubscription**);
  using SubscriptionSlot = HRESULT (*)(void*, IDXModifySubscription*);
  using ActivateSlot = HRESULT (*)(void*);
  using GetIdSlot = HRESULT (*)(void*, GUID*);
  void** proxyTable = *reinterpret_cast<void***>(proxy.Get());
  const Node filter = MakeFilter(kSwitch, false, 0);
  const Node settings = MakeSubscribeConfig(4, 3);
  ASSERT_EQ(Write(MakeNode(kSwitch, nullptr, {Attribute::Bool(L"Enabled", true)})), S_OK);
  CompPtr<IDXModifySubscription> subscription;
  ASSERT_EQ(reinterpret_cast<SubscribeSlot>(proxyTable[3])(proxy.Get(), filter.Get(), settings.Get(), m_callback.Get(),
                                                           subscription.Put()),
            S_OK);
  void** table = *reinterpret_cast<void***>(subscription.Get());
  ASSERT_EQ(reinterpret_cast<ActivateSlot>(table[3])(subscription.Get()), S_OK);
  GUID id{};
  ASSERT_EQ(reinterpret_cast<GetIdSlot>(table[5])(subscription.Get(), &id), S_OK);
  ASSERT_TRUE(m_callback->WaitForNotifications(1));
  EXPECT_TRUE(SameGuid(m_callback->Notifications()[0].subscriptionId, id));
  EXPECT_EQ(reinterpret_cast<SubscriptionSlot>(proxyTable[4])(proxy.Get(), subscription.Get()), S_OK);
}

}  // namespace
}  // namespace HostTest

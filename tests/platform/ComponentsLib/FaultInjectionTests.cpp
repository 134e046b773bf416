// Fault injection: chosen operations fail with a chosen HRESULT (always,
// the next N calls, after N calls) or answer after a delay.
#include "HostTestSupport.h"

namespace HostTest {
namespace {

using FaultInjectionTest = ConfigServerTest;

constexpr HRESULT kInjected = static_cast<HRESULT>(0x80070015);  // ERROR_NOT_READY

TEST_F(FaultInjectionTest, ModesDecideWhichCallsFail) {
  struct Case {
    const char* what;
    CLFault fault;
    std::vector<HRESULT> expected;  // results of five writes in a row
  };
  const Case cases[] = {
      {"always", {CLFault_Always, 0, kInjected, 0}, {kInjected, kInjected, kInjected, kInjected, kInjected}},
      {"next 2", {CLFault_NextCalls, 2, kInjected, 0}, {kInjected, kInjected, S_OK, S_OK, S_OK}},
      {"after 2", {CLFault_AfterCalls, 2, kInjected, 0}, {S_OK, S_OK, kInjected, kInjected, kInjected}},
      {"next 0", {CLFault_NextCalls, 0, kInjected, 0}, {S_OK, S_OK, S_OK, S_OK, S_OK}},
      {"off", {CLFault_Off, 0, kInjected, 0}, {S_OK, S_OK, S_OK, S_OK, S_OK}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(CLSetFault(Server(), CLOp_ConfigWrite, &c.fault), S_OK) << c.what;
    std::vector<HRESULT> results;
    for (int call = 0; call < 5; ++call) {
      results.push_back(Write(MakeNode(L"\\F", nullptr, {Attribute::Int64(L"Call", call)})));
    }
    EXPECT_EQ(results, c.expected) << c.what;
    ASSERT_EQ(CLClearFaults(Server()), S_OK);
  }
}

TEST_F(FaultInjectionTest, FailedWriteChangesNothingAndReadsCanFailToo) {
  const CLFault fault{CLFault_Always, 0, kInjected, 0};
  ASSERT_EQ(CLSetFault(Server(), CLOp_ConfigWrite, &fault), S_OK);
  EXPECT_EQ(Write(MakeNode(L"\\G", nullptr)), kInjected);
  ASSERT_EQ(CLSetFault(Server(), CLOp_ConfigWrite, nullptr), S_OK);
  EXPECT_FALSE(Read(L"\\G"));

  ASSERT_EQ(CLSetFault(Server(), CLOp_ConfigRead, &fault), S_OK);
  const Node filter = MakeFilter(L"\\G");
  IDXNode* result = nullptr;
  uint32_t count = 5;
  EXPECT_EQ(Server()->ReadNodes(filter.Get(), 0, &result, 1, &count), kInjected);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(result, nullptr);
  uint32_t calls = 0;
  ASSERT_EQ(CLGetCallCount(Server(), CLOp_ConfigRead, &calls), S_OK);
  EXPECT_EQ(calls, 2u);  // the Read above and this one
}

TEST_F(FaultInjectionTest, EveryServerOperationCanBeMadeToFail) {
  auto callback = CompPtr<RecordingCallback>(new RecordingCallback(), false);
  CompPtr<IDXConfigServerProxy> proxy;
  ASSERT_EQ(m_server.As(proxy), S_OK);
  CompPtr<IDXConfigSubscriptionProxy> subscriptions;
  ASSERT_EQ(m_server.As(subscriptions), S_OK);
  const Node filter = MakeFilter(L"\\A", false, 0);
  const Node settings = MakeSubscribeConfig(4, 3);
  CompPtr<IDXModifySubscription> subscription;
  ASSERT_EQ(subscriptions->Subscribe(filter.Get(), settings.Get(), callback.Get(), subscription.Put()), S_OK);

  struct Case {
    CLOperation operation;
    std::function<HRESULT()> call;
  };
  const Case cases[] = {
      {CLOp_ConfigGetComponent, [&] { CompPtr<IDXConfigServerComponent> c; return proxy->GetConfigServerComponent(c.Put()); }},
      {CLOp_ConfigGetInterface, [&] { CompPtr<IDXConfigServer> s; return Server()->GetConfigServerInterface(IID_IDXConfigServer, s.PutVoid()); }},
      {CLOp_ConfigDelete, [&] { IDXNode* f[] = {filter.Get()}; return Server()->DeleteNodes(nullptr, 0, f, 1); }},
      {CLOp_ConfigFlush, [&] { return Server()->Flush(0); }},
      {CLOp_ConfigSubscribe, [&] { CompPtr<IDXModifySubscription> s; return subscriptions->Subscribe(filter.Get(), settings.Get(), callback.Get(), s.Put()); }},
      {CLOp_SubscriptionActivate, [&] { return subscription->Activate(); }},
      {CLOp_SubscriptionGetId, [&] { GUID id{}; return subscription->GetId(&id); }},
      {CLOp_ConfigRemoveSubscription, [&] { return subscriptions->RemoveSubscription(subscription.Get()); }},
  };
  const CLFault fault{CLFault_NextCalls, 1, kInjected, 0};
  for (const Case& c : cases) {
    ASSERT_EQ(CLSetFault(Server(), c.operation, &fault), S_OK) << c.operation;
    EXPECT_EQ(c.call(), kInjected) << c.operation;
    EXPECT_TRUE(SUCCEEDED(c.call())) << c.operation;  // one call only
  }
  // Operations of other objects cannot be set on a server.
  EXPECT_EQ(CLSetFault(Server(), CLOp_ServiceProcessRequest, &fault), E_INVALIDARG);
  EXPECT_EQ(CLSetFault(nullptr, CLOp_ConfigRead, &fault), E_INVALIDARG);
  EXPECT_EQ(CLSetFault(callback.Get(), CLOp_ConfigRead, &fault), E_INVALIDARG);
  const CLFault badMode{static_cast<CLFaultMode>(9), 0, kInjected, 0};
  EXPECT_EQ(CLSetFault(Server(), CLOp_ConfigRead, &badMode), E_INVALIDARG);
}

TEST_F(FaultInjectionTest, DelayAloneSlowsTheAnswerAndKeepsItsResult) {
  const CLFault delay{CLFault_NextCalls, 1, S_OK, 150};
  ASSERT_EQ(CLSetFault(Server(), CLOp_ConfigWrite, &delay), S_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Write(MakeNode(L"\\Slow", nullptr)), S_OK);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(140));
  EXPECT_TRUE(Read(L"\\Slow"));
}

TEST_F(FaultInjectionTest, ServiceAndClientOperationsFail) {
  CompPtr<IDXServiceClient> client;
  ASSERT_EQ(CLCreateServiceClient(client.Put()), S_OK);
  CompPtr<IDXRequestProcessor> service;
  ASSERT_EQ(CLCreateUsageStatisticsService(service.Put()), S_OK);
  ASSERT_EQ(CLServiceClientRegisterService(client.Get(), L"Service.UsageStatistics", service.Get()), S_OK);

  const CLFault once{CLFault_NextCalls, 1, kInjected, 0};
  ASSERT_EQ(CLSetFault(client.Get(), CLOp_ServiceGetService, &once), S_OK);
  CompPtr<IDXRequestProcessor> found;
  EXPECT_EQ(client->GetService(L"Service.UsageStatistics", 0, IID_IDXRequestProcessor, found.PutVoid()), kInjected);
  EXPECT_EQ(client->GetService(L"Service.UsageStatistics", 0, IID_IDXRequestProcessor, found.PutVoid()), S_OK);

  Node frame = MakeNode(nullptr, L"UsageActivityFrame", {Attribute::Text(L"Name", L"F")});
  Node request = MakeNode(L"StoreRequest", nullptr);
  request.AddChild(frame);
  const CLFault always{CLFault_Always, 0, E_FAIL, 0};
  ASSERT_EQ(CLSetFault(service.Get(), CLOp_ServiceProcessRequest, &always), S_OK);
  IDXNode* result = nullptr;
  EXPECT_EQ(found->ProcessRequest(request.Get(), &result), E_FAIL);
  EXPECT_EQ(result, nullptr);
  uint32_t frames = 9;
  ASSERT_EQ(CLUsageStatisticsGetFrameCount(service.Get(), &frames), S_OK);
  EXPECT_EQ(frames, 0u);  // a failed request is not recorded
  ASSERT_EQ(CLClearFaults(service.Get()), S_OK);
  EXPECT_EQ(found->ProcessRequest(request.Get(), nullptr), S_OK);
  ASSERT_EQ(CLUsageStatisticsGetFrameCount(service.Get(), &frames), S_OK);
  EXPECT_EQ(frames, 1u);
  uint32_t calls = 0;
  ASSERT_EQ(CLGetCallCount(service.Get(), CLOp_ServiceProcessRequest, &calls), S_OK);
  EXPECT_EQ(calls, 2u);
}

}  // namespace
}  // namespace HostTest

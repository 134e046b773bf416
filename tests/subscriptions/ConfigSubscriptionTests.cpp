// Subscribing a sink through the reference configuration server: current
// content at activation, later changes, registration and removal failures
// injected by the server, and the way from the proxy to the server.
#include "SubscriptionTestSupport.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/ValueFormats.h"
#include "support/HresultOf.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using CfgSubscriptionsHelpers::CConfigSubscriptionsSink;
using KestrovaTest::HresultOf;
using SubscriptionTest::ConfigServerTest;
using SubscriptionTest::Publication;
using SubscriptionTest::ScopedLogCapture;
using SubscriptionTest::SinkRecorder;
using SubscriptionTest::WaitUntil;

constexpr wchar_t kPath[] = L"\\Product\\Switch";

class SinkSubscriptionTest : public ConfigServerTest {
 protected:
  void SetUp() override {
    ConfigServerTest::SetUp();
    m_sink =
        CConfigSubscriptionsSink::Create(std::chrono::milliseconds(5), m_recorder.Modifications(), m_recorder.Node());
  }
  void TearDown() override {
    CfgSubscriptionsHelpers::CloseSink(m_sink.Get());
    m_sink.Reset();
    ConfigServerTest::TearDown();
  }

  CompPtr<IDXModifySubscription> Subscribe(const std::wstring& path, bool defer = false) {
    return CfgSubscriptionsHelpers::SubscribeToConfig(m_proxy, m_sink, path, CfgSubscriptionsHelpers::kSwitchMaxDepth,
                                                      CfgSubscriptionsHelpers::kSwitchChangesMask,
                                                      CfgSubscriptionsHelpers::kSwitchSubscribeOptions, defer);
  }

  SinkRecorder m_recorder;
  CompPtr<IConfigModifyCallback> m_sink;
};

TEST_F(SinkSubscriptionTest, CurrentContentAtActivationThenEveryChange) {
  WriteSwitch(kPath, false);
  const auto subscription = Subscribe(kPath);
  EXPECT_EQ(SubscriptionCount(), 1u);
  GUID id{};
  ASSERT_EQ(subscription->GetId(&id), S_OK);

  ASSERT_TRUE(WaitUntil([&] { return m_recorder.Nodes().size() == 1; }));
  const Publication current = m_recorder.Nodes()[0];
  EXPECT_TRUE(SameGuid(current.id, id));
  EXPECT_EQ(current.paths[0], kPath);
  EXPECT_EQ(current.enabled[0], std::optional<bool>(false));

  WriteSwitch(kPath, true);
  WriteSwitch(L"\\Product\\Other", false);   // another path: nothing
  WriteSwitch(L"\\Product\\switch", false);  // other letter case: another node
  WriteSwitch(kPath, true, L"x");            // "Enabled" unchanged, still a record
  WaitIdle();
  ASSERT_TRUE(WaitUntil([&] {
    size_t records = 0;
    for (const auto& batch : m_recorder.Batches()) records += batch.paths.size();
    return records >= 2;
  }));
  std::this_thread::sleep_for(20ms);
  std::vector<std::wstring> paths;
  std::vector<std::optional<bool>> enabled;
  for (const auto& batch : m_recorder.Batches()) {
    EXPECT_TRUE(SameGuid(batch.id, id));
    paths.insert(paths.end(), batch.paths.begin(), batch.paths.end());
    enabled.insert(enabled.end(), batch.enabled.begin(), batch.enabled.end());
  }
  EXPECT_EQ(paths, (std::vector<std::wstring>{kPath, kPath}));
  EXPECT_EQ(enabled, (std::vector<std::optional<bool>>{true, true}));
  EXPECT_EQ(m_recorder.Nodes().size(), 1u);

  CfgSubscriptionsHelpers::RemoveSubscription(m_proxy, subscription);
  EXPECT_EQ(SubscriptionCount(), 0u);
}

TEST_F(SinkSubscriptionTest, AbsentNodeGivesNoCurrentContentAndItsCreationIsARecord) {
  const auto subscription = Subscribe(kPath);
  WriteSwitch(kPath, true);
  ASSERT_TRUE(WaitUntil([&] { return !m_recorder.Batches().empty(); }));
  const Publication batch = m_recorder.Batches()[0];
  EXPECT_EQ(batch.masks, std::vector<uint32_t>{6});
  EXPECT_EQ(batch.enabled[0], std::optional<bool>(true));
  EXPECT_TRUE(m_recorder.Nodes().empty());
  CfgSubscriptionsHelpers::RemoveSubscription(m_proxy, subscription);
}

TEST_F(ConfigServerTest, TwoSubscriptionsOfOneSinkPublishInIdByteOrder) {
  // Published by hand once both notifications have arrived.
  SinkRecorder recorder;
  const auto sink = CConfigSubscriptionsSink::Create(uint64_t{3600}, recorder.Modifications(), recorder.Node());
  std::vector<CompPtr<IDXModifySubscription>> subscriptions;
  for (const wchar_t* path : {L"\\A", L"\\B", L"\\C"}) {
    subscriptions.push_back(CfgSubscriptionsHelpers::SubscribeToConfig(m_proxy, sink, path, 0, 4, 3, false));
    WriteSwitch(path, true);
  }
  WriteSwitch(L"\\A", false);
  WaitIdle();
  SubscriptionTest::AsSink(sink)->IntPublishModifications();
  const auto batches = recorder.Batches();
  ASSERT_EQ(batches.size(), 3u);
  for (size_t i = 1; i < batches.size(); ++i)
    EXPECT_LT(std::memcmp(&batches[i - 1].id, &batches[i].id, sizeof(GUID)), 0);
  for (size_t i = 0; i < batches.size(); ++i) {
    GUID id{};
    ASSERT_EQ(subscriptions[i]->GetId(&id), S_OK);
    const auto batch =
        std::find_if(batches.begin(), batches.end(), [&](const Publication& b) { return SameGuid(b.id, id); });
    ASSERT_NE(batch, batches.end());
    EXPECT_EQ(batch->paths.size(), i == 0 ? 2u : 1u) << "both changes of \\A in one batch";
    if (i == 0) {
      EXPECT_EQ(batch->enabled, (std::vector<std::optional<bool>>{true, false}));
    }
  }
  for (const auto& subscription : subscriptions) CfgSubscriptionsHelpers::RemoveSubscription(m_proxy, subscription);
  EXPECT_EQ(SubscriptionCount(), 0u);
  CfgSubscriptionsHelpers::CloseSink(sink.Get());
}

TEST_F(SinkSubscriptionTest, DeferredActivationDeliversNothingUntilActivated) {
  WriteSwitch(kPath, true);
  const auto subscription = Subscribe(kPath, true);
  WriteSwitch(kPath, false);
  WaitIdle();
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(m_recorder.Nodes().empty());
  EXPECT_TRUE(m_recorder.Batches().empty());
  ASSERT_EQ(subscription->Activate(), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return m_recorder.Nodes().size() == 1; }));
  CfgSubscriptionsHelpers::RemoveSubscription(m_proxy, subscription);
}

TEST_F(SinkSubscriptionTest, RegistrationFailuresAreRaisedAndLeaveNothingRegistered) {
  struct Case {
    CLOperation operation;
    HRESULT injected;
  };
  for (const Case& c : {Case{CLOp_ConfigSubscribe, E_ACCESSDENIED}, Case{CLOp_SubscriptionActivate, E_OUTOFMEMORY}}) {
    SCOPED_TRACE(c.operation);
    SetFault(c.operation, c.injected, CLFault_NextCalls, 1);
    EXPECT_EQ(HresultOf([&] { Subscribe(kPath); }), c.injected);
    EXPECT_EQ(SubscriptionCount(), 0u) << "a registration whose activation failed stays behind";
  }
  EXPECT_EQ(HresultOf([&] { CfgSubscriptionsHelpers::SubscribeToConfig(nullptr, m_sink, kPath, 0, 4, 3, false); }),
            E_POINTER);
  // Settings the server refuses come back as its code.
  EXPECT_EQ(HresultOf([&] { CfgSubscriptionsHelpers::SubscribeToConfig(m_proxy, m_sink, kPath, 0, 8, 3, false); }),
            E_INVALIDARG);
}

TEST_F(SinkSubscriptionTest, RemovalFailuresAreLoggedAndAbsorbed) {
  ScopedLogCapture log(L"WARN");
  const auto subscription = Subscribe(kPath);
  GUID id{};
  ASSERT_EQ(subscription->GetId(&id), S_OK);
  const std::wstring braced = ValueFormats::GuidToString(id, ValueFormats::GuidForm::Braced);

  SetFault(CLOp_ConfigRemoveSubscription, E_ACCESSDENIED, CLFault_NextCalls, 1);
  CfgSubscriptionsHelpers::RemoveSubscription(m_proxy, subscription);
  EXPECT_EQ(log.Count(L"Config server subscription with id " + braced + L" remove failed due to 0x80070005"), 1u);
  EXPECT_EQ(SubscriptionCount(), 1u);

  // A failed id read names the all-zero id but still removes the subscription.
  SetFault(CLOp_SubscriptionGetId, E_FAIL, CLFault_NextCalls, 1);
  CfgSubscriptionsHelpers::RemoveSubscription(m_proxy, subscription);
  EXPECT_EQ(
      log.Count(
          L"Config server subscription with id {00000000-0000-0000-0000-000000000000} remove failed due to 0x80004005"),
      1u);
  EXPECT_EQ(SubscriptionCount(), 0u);

  // Removed already: the server's not found.
  CfgSubscriptionsHelpers::RemoveSubscription(m_proxy, subscription);
  EXPECT_EQ(log.Count(braced + L" remove failed due to 0x80070490"), 1u);
  CfgSubscriptionsHelpers::RemoveSubscription(m_proxy, nullptr);
  EXPECT_EQ(log.Count(L"remove failed due to 0x80004003"), 1u);
}

TEST_F(ConfigServerTest, ConfigServerComponentThroughEitherProxyId) {
  for (const GUID* iid : {&IID_IDXConfigSubscriptionProxy, &IID_IDXConfigServer}) {
    CompPtr<IComponentObject> proxy;
    ASSERT_EQ(CLGetNamedInstance(Kestrova::HostNames::ConfigServerProxy, 0, *iid, proxy.PutVoid()), S_OK);
    const CompPtr<IDXConfigServerComponent> component = CfgSubscriptionsHelpers::GetConfigServerComponent(proxy.Get());
    ASSERT_TRUE(component);
    const CompPtr<IDXConfigServer> server = CfgSubscriptionsHelpers::GetConfigServer(proxy.Get());
    WriteSwitch(kPath, true);
    EXPECT_TRUE(ReadConfigNode(server.Get(), kPath, true).GetBool(L"Enabled", false));
  }
  SetFault(CLOp_ConfigGetComponent, E_ACCESSDENIED);
  EXPECT_EQ(HresultOf([&] { CfgSubscriptionsHelpers::GetConfigServerComponent(m_proxy.Get()); }), E_ACCESSDENIED);
  EXPECT_EQ(HresultOf([&] { CfgSubscriptionsHelpers::GetConfigServerComponent(nullptr); }), E_POINTER);
}

}  // namespace

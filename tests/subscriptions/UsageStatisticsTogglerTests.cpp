// The usage-statistics switch: the toggle against the reference server
// registered as "ConfigServer.Proxy", and the switch handlers it shares with
// the frame accumulator.
#include "SubscriptionTestSupport.h"

#include "Sources/Subsystems/UsageStatistics/Common/UsageStatisticsSwitch.h"
#include "Sources/Subsystems/UsageStatistics/Common/UsageStatisticsToggler.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "support/HresultOf.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using KestrovaTest::HresultOf;
using SubscriptionTest::ConfigServerTest;
using SubscriptionTest::MakeRecord;
using SubscriptionTest::ScopedLogCapture;
using SubscriptionTest::WaitUntil;
using UsageStatistics::Detail::CUsageStatisticsToggler;

constexpr wchar_t kSwitch[] = L"\\Veltrano\\UsageStatisticsSettings";
constexpr wchar_t kSetFalse[] = L"Usage statistics tracking set to false";
constexpr wchar_t kSetTrue[] = L"Usage statistics tracking set to true";

class TogglerTest : public ConfigServerTest {};

TEST_F(TogglerTest, KnowsTheSwitchRightAfterStart) {
  struct Case {
    const char* name;
    bool write;
    std::optional<bool> enabled;
    bool expected;
  };
  for (const Case& c :
       {Case{"no node: enabled", false, std::nullopt, true}, Case{"switched off", true, false, false},
        Case{"switched on", true, true, true}, Case{"node without Enabled", true, std::nullopt, false}}) {
    SCOPED_TRACE(c.name);
    if (c.write) WriteSwitch(kSwitch, c.enabled);
    const auto toggler = CUsageStatisticsToggler::Create();
    EXPECT_EQ(toggler->IsEnabled(), c.expected) << "before any notification";
    EXPECT_EQ(SubscriptionCount(), 1u);
    toggler->Stop();
    EXPECT_EQ(SubscriptionCount(), 0u);
    ASSERT_EQ(
        m_server->DeleteNodes(nullptr, 0, std::vector<IDXNode*>{MakeFilterByPath(kSwitch, false, 0).Get()}.data(), 1),
        S_OK);
  }
}

TEST_F(TogglerTest, FailedFirstReadIsLoggedAndKeepsItEnabled) {
  ScopedLogCapture log(L"WARN");
  WriteSwitch(kSwitch, false);
  SetFault(CLOp_ConfigRead, E_ACCESSDENIED, CLFault_NextCalls, 1);
  const auto toggler = CUsageStatisticsToggler::Create();
  EXPECT_EQ(log.Count(L"Reading usage statistics switch \\Veltrano\\UsageStatisticsSettings failed due to 0x80070005"),
            1u);
  // The current content still arrives at activation.
  EXPECT_TRUE(WaitUntil([&] { return !toggler->IsEnabled(); }));
}

TEST_F(TogglerTest, FollowsCurrentContentAndModificationsLoggingEachFlipOnce) {
  ScopedLogCapture log(L"DBG");
  WriteSwitch(kSwitch, true);
  const auto toggler = CUsageStatisticsToggler::Create();
  WaitIdle();  // current content (true) delivered: no flip, no line
  EXPECT_TRUE(toggler->IsEnabled());

  WriteSwitch(kSwitch, false);
  WriteSwitch(kSwitch, false, L"changed");  // still off: no second line
  ASSERT_TRUE(WaitUntil([&] { return !toggler->IsEnabled(); }));
  WriteSwitch(kSwitch, true);
  ASSERT_TRUE(WaitUntil([&] { return toggler->IsEnabled(); }));
  const DXNodePtr withoutEnabled = DXNodePtr::Create(kSwitch, nullptr);
  withoutEnabled.SetString(L"Other", L"x");
  ASSERT_EQ(
      m_server->DeleteNodes(nullptr, 0, std::vector<IDXNode*>{MakeFilterByPath(kSwitch, false, 0).Get()}.data(), 1),
      S_OK);              // a removal carries no content: ignored
  Write(withoutEnabled);  // created again without "Enabled": off
  ASSERT_TRUE(WaitUntil([&] { return !toggler->IsEnabled(); }));
  // The line follows the flag's flip on the notification thread.
  EXPECT_TRUE(WaitUntil([&] { return log.Count(kSetFalse) >= 2u; }));
  EXPECT_EQ(log.Count(kSetFalse), 2u);
  EXPECT_EQ(log.Count(kSetTrue), 1u);

  toggler->Stop();
  EXPECT_EQ(SubscriptionCount(), 0u) << "nothing left to notify it";
  WriteSwitch(kSwitch, true);
  WaitIdle();
  EXPECT_FALSE(toggler->IsEnabled()) << "changed after Stop";
}

TEST_F(TogglerTest, StartFailuresPropagateAndLeaveNothingRegistered) {
  for (const CLOperation operation : {CLOp_ConfigSubscribe, CLOp_SubscriptionActivate}) {
    SCOPED_TRACE(operation);
    SetFault(operation, E_ACCESSDENIED, CLFault_NextCalls, 1);
    EXPECT_EQ(HresultOf([] { CUsageStatisticsToggler::Create(); }), E_ACCESSDENIED);
    EXPECT_EQ(SubscriptionCount(), 0u);
  }
  ASSERT_EQ(CLRevokeNamedInstance(Kestrova::HostNames::ConfigServerProxy), S_OK);
  EXPECT_EQ(HresultOf([] { CUsageStatisticsToggler::Create(); }), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
  ASSERT_EQ(CLRegisterNamedInstance(Kestrova::HostNames::ConfigServerProxy, m_server.Get()), S_OK);
}

TEST_F(TogglerTest, StopAbsorbsRemovalFailuresAndNeverRunsAHandlerAfterwards) {
  ScopedLogCapture log(L"WARN");
  WriteSwitch(kSwitch, true);
  auto toggler = CUsageStatisticsToggler::Create();
  SetFault(CLOp_ConfigRemoveSubscription, E_ACCESSDENIED, CLFault_NextCalls, 1);
  toggler->Stop();
  EXPECT_EQ(log.Count(L"remove failed due to 0x80070005"), 1u);
  EXPECT_EQ(SubscriptionCount(), 1u) << "the server keeps the registration and its sink";
  WriteSwitch(kSwitch, false);
  WaitIdle();
  EXPECT_TRUE(toggler->IsEnabled());
  toggler->Stop();  // again: nothing to remove
  toggler.reset();
  // The server still notifies the closed sink it holds; nothing runs.
  WriteSwitch(kSwitch, true);
  WaitIdle();
}

TEST_F(TogglerTest, ReleaseWithoutStopRemovesTheSubscription) {
  { const auto toggler = CUsageStatisticsToggler::Create(); }
  EXPECT_EQ(SubscriptionCount(), 0u);
}

TEST(SwitchHandlersTest, OnlyTheExactPathSetsTheSwitch) {
  std::vector<bool> set;
  const auto handlers =
      UsageStatistics::Detail::MakeSwitchHandlers(kSwitch, [&](bool enabled) { set.push_back(enabled); });
  const GUID id{};
  struct Case {
    const char* name;
    std::wstring path;
    std::optional<bool> enabled;
    bool withNode;
    std::vector<bool> expected;
  };
  const std::vector<Case> cases = {
      {"exact path, off", kSwitch, false, true, {false}},
      {"exact path, on", kSwitch, true, true, {true}},
      {"no Enabled: off", kSwitch, std::nullopt, true, {false}},
      {"no node (removal): off", kSwitch, std::nullopt, false, {false}},
      {"other letter case", L"\\Veltrano\\usageStatisticsSettings", false, true, {}},
      {"other path", L"\\Veltrano\\UsageStatisticsSettings\\Child", false, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set.clear();
    const DXNodePtr record = MakeRecord(c.path, 4, c.enabled, c.withNode);
    std::vector<NodeModifyUtils::TNodeModification> records(1);
    records[0].path = c.path;
    records[0].node = record.GetChild(0u, false);
    handlers.onModifications(id, std::move(records));
    EXPECT_EQ(set, c.expected) << "modification";
    set.clear();
    handlers.onNode(id, c.path, record.GetChild(0u, false));
    EXPECT_EQ(set, c.expected) << "current content";
  }
  // Several records: each matching one in order.
  set.clear();
  std::vector<NodeModifyUtils::TNodeModification> records(3);
  records[0] = {kSwitch, 4, MakeRecord(kSwitch, 4, false).GetChild(0u)};
  records[1] = {L"\\Other", 4, MakeRecord(L"\\Other", 4, true).GetChild(0u)};
  records[2] = {kSwitch, 4, MakeRecord(kSwitch, 4, true).GetChild(0u)};
  handlers.onModifications(id, std::move(records));
  EXPECT_EQ(set, (std::vector<bool>{false, true}));
}

}  // namespace

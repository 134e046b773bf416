// The snapshot maintainer as a host drives it: Kestrova.dll loaded from the
// test's folder, the maintainer created by class id, configured with a
// settings node, fed modification notifications and shut down, against
// the reference configuration server and usage-statistics service.
#include "node/DXNodePtr.h"
#include "node/ValueFormats.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/LoadedModule.h"
#include "support/NodeBuilder.h"
#include "support/ReferenceServices.h"

#include <Kestrova/ComponentInterfaces.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using KestrovaTest::Build;
using KestrovaTest::Bool;
using KestrovaTest::Int64;
using KestrovaTest::LoadedLibrary;
using KestrovaTest::NodeSpec;
using KestrovaTest::ReferenceServices;
using KestrovaTest::Text;
using KestrovaTest::WaitUntil;
using RuntimeTest::TempDirectory;

constexpr wchar_t kSwitchPath[] = L"\\Veltrano\\UsageStatisticsSettings";
constexpr wchar_t kStatusRoot[] = L"\\Veltrano\\SnapshotStatuses";
constexpr wchar_t kUsersEntry[] = L"{6B1F3C2A-0D4E-4F5A-9B8C-7D6E5F4A3B2C}";
constexpr wchar_t kSettingsEntry[] = L"{0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9}";
constexpr HRESULT kNotFound = HRESULT(0x80070490);
constexpr HRESULT kInvalidData = HRESULT(0x8007000D);

// The module's log goes to a folder of this program, all texts on.
class ModuleLog {
 public:
  ModuleLog() {
    ::SetEnvironmentVariableW(L"GS_Logger_Path", m_folder.Path().c_str());
    ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG");
    ::SetEnvironmentVariableW(L"GS_Logger_KeepOpenInterval", L"0");
  }
  std::wstring Text() const { return RuntimeTest::ReadUtf16File(m_folder / L"Kestrova.log"); }

 private:
  TempDirectory m_folder;
};

ModuleLog& Log() {
  static ModuleLog log;
  return log;
}

NodeSpec UsersEntry(const std::wstring& name = kUsersEntry, const std::wstring& configPath = L"\\Settings\\Users\\*") {
  return NodeSpec{name,
                  L"ConfigSnapshotEntry",
                  {Text(L"ConfigPath", configPath), Int64(L"SendIntervalHours", 24), Text(L"NameSource", L"<name>"),
                   Bool(L"IsAllowEmpty", true)},
                  {NodeSpec{L"", L"UsageActivityItem", {Text(L"NameSource", L"Role"), Text(L"ValueSource", L"@Role")}}}};
}

NodeSpec SettingsSectionEntry() {
  return NodeSpec{kSettingsEntry,
                  L"ConfigSnapshotEntry",
                  {Text(L"ConfigPath", L"\\Settings"), Int64(L"SendIntervalHours", 24), Text(L"NameSource", L"Section"),
                   Bool(L"IsAllowEmpty", true)},
                  {NodeSpec{L"", L"UsageActivityItem", {Text(L"NameSource", L"Mode"), Text(L"ValueSource", L"@Mode")}}}};
}

class MaintainerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Log(); }

  void SetUp() override {
    ASSERT_NE(m_library.Handle(), nullptr);
    auto getModule = m_library.Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject");
    ASSERT_NE(getModule, nullptr);
    ASSERT_EQ(getModule(reinterpret_cast<void**>(&m_module)), S_OK);
    m_subscriptionsAtStart = m_services.SubscriptionCount();

    m_services.Write(Build({L"\\Settings", L"Section", {Text(L"Mode", L"Full")},
                            {{L"Users", L"UserList", {},
                              {{L"alice", L"User", {Text(L"Role", L"Admin")}}, {L"bob", L"User", {Text(L"Role", L"User")}}}}}}));
    m_services.WriteSwitch(kSwitchPath, true);
  }

  void TearDown() override {
    m_processor.Reset();
    m_shutdown.Reset();
    m_configurable.Reset();
    uint32_t inUse = 1;
    ASSERT_EQ(m_module->IsModuleInUse(&inUse), S_OK);
    EXPECT_EQ(inUse, 0u) << "a component of the module is still alive";
    EXPECT_EQ(m_services.SubscriptionCount(), m_subscriptionsAtStart);
  }

  DXNodePtr Settings(std::vector<NodeSpec> entries, const std::wstring& storagePath = L"") const {
    NodeSpec storage{L"TransientStorage",
                     L"",
                     {Int64(L"SendIntervalSec", 1), Text(L"UsageStatisticsCfgPath", kSwitchPath)}};
    if (!storagePath.empty()) storage.attributes.push_back(Text(L"TransientStoragePath", storagePath));
    return Build(NodeSpec{L"Maintainer",
                          L"",
                          {Text(L"SnapshotStatusesCfgPath", kStatusRoot), Int64(L"SinkIntervalSec", 1),
                           Int64(L"SendSnapshotsIntervalHours", 24)},
                          {storage, NodeSpec{L"ConfigSnapshots", L"", {}, std::move(entries)}}});
  }

  void Create() {
    ASSERT_EQ(m_module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent,
                                       m_configurable.PutVoid()),
              S_OK);
    ASSERT_EQ(m_configurable.As(m_shutdown), S_OK);
    ASSERT_EQ(m_configurable.As(m_processor), S_OK);
  }

  HRESULT Configure(const DXNodePtr& settings) {
    if (!m_configurable) Create();
    return m_configurable->Configure(settings.Get());
  }

  static DXNodePtr Notification(const std::wstring& path, int64_t mask, const std::wstring& subject,
                                const DXNodePtr& content = DXNodePtr()) {
    DXNodePtr notification = DXNodePtr::Create(nullptr, L"ConfigModificationNotification");
    notification.SetString(L"ModifiedPath", path);
    notification.SetInt64(L"ModifyMask", mask);
    notification.SetString(L"SubjectDisplayName", subject);
    // A copy: a node keeps its parent for as long as any handle to it lives.
    if (content) notification.AddChild(content.Clone());
    return notification;
  }

  HRESULT Notify(const DXNodePtr& notification) { return m_processor->ProcessUsageActivity(notification.Get()); }

  // The text of a frame's child item, by name.
  static std::wstring ItemValue(const DXNodePtr& frame, const wchar_t* name) {
    std::wstring value = L"<absent>";
    frame.ForEachChild([&](const DXNodePtr& child) {
      if (child.GetString(L"Name", L"") == name) value = child.GetString(L"Value", L"");
    });
    return value;
  }
  static std::wstring NameOf(const DXNodePtr& frame) { return frame.GetString(L"Name", L""); }

  std::vector<DXNodePtr> FramesWithChangeType(const std::wstring& changeType) const {
    std::vector<DXNodePtr> found;
    for (const DXNodePtr& frame : m_services.Frames()) {
      if (ItemValue(frame, L"ChangeType") == changeType) found.push_back(frame);
    }
    return found;
  }

  TempDirectory m_temp;
  ReferenceServices m_services;
  LoadedLibrary m_library{L"Kestrova.dll"};
  IComponentsModule* m_module = nullptr;
  uint32_t m_subscriptionsAtStart = 0;
  CompPtr<IConfigurableComponent> m_configurable;
  CompPtr<IShutdownableComponent> m_shutdown;
  CompPtr<IUsageActivityProcessor> m_processor;
};

TEST_F(MaintainerTest, ReportsSnapshotsAndModificationsEndToEnd) {
  ASSERT_EQ(Configure(Settings({UsersEntry()})), S_OK);

  // The first pass runs at once: one frame per user, marked as a snapshot.
  ASSERT_TRUE(m_services.WaitForFrames(2));
  auto snapshots = FramesWithChangeType(L"Snapshot");
  ASSERT_EQ(snapshots.size(), 2u);
  EXPECT_EQ(NameOf(snapshots[0]), L"alice");
  EXPECT_EQ(ItemValue(snapshots[0], L"Role"), L"Admin");
  EXPECT_EQ(ItemValue(snapshots[0], L"ModifiedBy"), L"Unknown");
  const DXNodePtr status = m_services.Read(std::wstring(kStatusRoot) + L"\\" + kUsersEntry);
  ASSERT_TRUE(status);
  EXPECT_EQ(status.GetType(), L"ConfigSnapshotStatus");
  EXPECT_FALSE(status.GetString(L"LastSnapshotTime", L"").empty());

  // A modification: the frame describes the change, by whom and of what kind.
  const DXNodePtr content = Build({L"alice", L"User", {Text(L"Role", L"Auditor")}});
  ASSERT_EQ(Notify(Notification(L"\\Settings\\Users\\alice", 4, L"CORP\\eve", content)), S_OK);
  ASSERT_TRUE(m_services.WaitForFrames(3));
  const auto modified = FramesWithChangeType(L"Modified");
  ASSERT_EQ(modified.size(), 1u);
  EXPECT_EQ(NameOf(modified[0]), L"alice");
  EXPECT_EQ(ItemValue(modified[0], L"Role"), L"Auditor");
  EXPECT_EQ(ItemValue(modified[0], L"ModifiedBy"), L"CORP\\eve");
  EXPECT_EQ(m_services.Read(std::wstring(kStatusRoot) + L"\\" + kUsersEntry).GetString(L"LastModifiedBy", L""),
            L"CORP\\eve");

  // A removal.
  ASSERT_EQ(Notify(Notification(L"\\Settings\\Users\\bob", 1, L"CORP\\eve")), S_OK);
  ASSERT_TRUE(m_services.WaitForFrames(4));
  const auto removed = FramesWithChangeType(L"Removed");
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(NameOf(removed[0]), L"bob");

  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
  // After shutdown no entry is left to match.
  EXPECT_EQ(Notify(Notification(L"\\Settings\\Users\\alice", 4, L"x", content)), kInvalidData);
}

TEST_F(MaintainerTest, NotificationsMatchEveryCoveringEntryAndNothingElse) {
  ASSERT_EQ(Configure(Settings({UsersEntry(), SettingsSectionEntry()})), S_OK);
  ASSERT_TRUE(m_services.WaitForFrames(3));  // two users and the section
  CLUsageStatisticsClearFrames(m_services.Service());

  const DXNodePtr content = Build({L"alice", L"User", {Text(L"Role", L"Admin")}});
  ASSERT_EQ(Notify(Notification(L"\\Settings\\Users\\alice", 4, L"CORP\\eve", content)), S_OK);
  ASSERT_TRUE(m_services.WaitForFrames(2)) << "both nested entries process it";

  // Only whole path elements match, with letter case.
  for (const wchar_t* path : {L"\\SettingsX", L"\\settings\\Users", L"\\Other"}) {
    SCOPED_TRACE(testing::Message() << path);
    EXPECT_EQ(Notify(Notification(path, 4, L"CORP\\eve", content)), kInvalidData);
  }
  EXPECT_EQ(Notify(DXNodePtr()), E_POINTER);
  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
}

TEST_F(MaintainerTest, DuplicateBasePathKeepsTheFirstEntryAndOtherTypesAreSkipped) {
  NodeSpec second = UsersEntry(L"{11111111-2222-3333-4444-555555555555}", L"\\Settings\\Users\\*\\Devices");
  NodeSpec ignored{L"NotAnEntry", L"SomethingElse", {}, {}};
  ASSERT_EQ(Configure(Settings({UsersEntry(), second, ignored})), S_OK);
  ASSERT_TRUE(m_services.WaitForFrames(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(m_services.FrameCount(), 2u) << "one entry for \\Settings\\Users";
  EXPECT_FALSE(m_services.Read(std::wstring(kStatusRoot) + L"\\{11111111-2222-3333-4444-555555555555}"));
  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
}

TEST_F(MaintainerTest, SwitchedOffProducesNothingAndAcceptsEverything) {
  m_services.WriteSwitch(kSwitchPath, false);
  ASSERT_EQ(Configure(Settings({UsersEntry()})), S_OK);
  // Not even a notification without "ModifiedPath" is read.
  EXPECT_EQ(Notify(DXNodePtr::Create(nullptr, nullptr)), S_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(m_services.FrameCount(), 0u);
  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
}

TEST_F(MaintainerTest, FramesPendingAtShutdownComeBackWithTheNextMaintainer) {
  const std::wstring storage = m_temp / L"pending\\frames.dat";
  m_services.SetServiceFault(CLFault_Always, 0, E_FAIL);
  ASSERT_EQ(Configure(Settings({UsersEntry()}, storage)), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return m_services.ServiceCalls() >= 2; }));
  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
  m_processor.Reset();
  m_shutdown.Reset();
  m_configurable.Reset();
  ASSERT_NE(::GetFileAttributesW(storage.c_str()), INVALID_FILE_ATTRIBUTES);

  // The statuses say the snapshot was taken: the next start sends only the
  // restored frames.
  m_services.ClearFaults();
  ASSERT_EQ(Configure(Settings({UsersEntry()}, storage)), S_OK);
  ASSERT_TRUE(m_services.WaitForFrames(2));
  EXPECT_EQ(FramesWithChangeType(L"Snapshot").size(), 2u);
  EXPECT_EQ(::GetFileAttributesW(storage.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
}

struct ConfigureFailure {
  const char* name;
  std::function<void(DXNodePtr&)> spoil;
  HRESULT expected;
};

class MaintainerConfigureTest : public MaintainerTest, public ::testing::WithParamInterface<ConfigureFailure> {};

TEST_P(MaintainerConfigureTest, FailsStopsEverythingAndLogsAfterTheShutdown) {
  DXNodePtr settings = Settings({UsersEntry()});
  GetParam().spoil(settings);
  EXPECT_EQ(Configure(settings), GetParam().expected);
  // Stopped: nothing is sent (the subscriptions go with the component, which
  // the fixture checks after the release).
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(m_services.FrameCount(), 0u);
  EXPECT_NE(Log().Text().find(L"UsageStatistics::CConfigSnapshotsMaintainer::Configure failed: "), std::wstring::npos);
  // Shutdown and release after a failed Configure are fine.
  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaintainerConfigureTest,
    ::testing::Values(
        ConfigureFailure{"NoSinkInterval", [](DXNodePtr& s) { s.DeleteAttribute(L"SinkIntervalSec"); }, kNotFound},
        ConfigureFailure{"NoStatusRoot", [](DXNodePtr& s) { s.DeleteAttribute(L"SnapshotStatusesCfgPath"); }, kNotFound},
        ConfigureFailure{"NoSnapshots", [](DXNodePtr& s) { s.RemoveChild(s.GetChild(L"ConfigSnapshots")); }, kNotFound},
        ConfigureFailure{"NoStorage", [](DXNodePtr& s) { s.RemoveChild(s.GetChild(L"TransientStorage")); }, kNotFound},
        ConfigureFailure{"NoSnapshotInterval", [](DXNodePtr& s) { s.DeleteAttribute(L"SendSnapshotsIntervalHours"); },
                         kNotFound},
        ConfigureFailure{"NegativeSnapshotInterval", [](DXNodePtr& s) { s.SetInt64(L"SendSnapshotsIntervalHours", -1); },
                         E_INVALIDARG},
        ConfigureFailure{"OverflowingSnapshotInterval",
                         [](DXNodePtr& s) { s.SetInt64(L"SendSnapshotsIntervalHours", 2562048); }, E_INVALIDARG},
        ConfigureFailure{"RelativeEntryPath",
                         [](DXNodePtr& s) {
                           s.GetChild(L"ConfigSnapshots").GetChild(0u).SetString(L"ConfigPath", L"Settings\\Users");
                         },
                         kInvalidData},
        ConfigureFailure{"TrackedPathAbsent",
                         [](DXNodePtr& s) {
                           s.GetChild(L"ConfigSnapshots").GetChild(0u).SetString(L"ConfigPath", L"\\Nowhere\\*");
                         },
                         kNotFound}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MaintainerTest, HostServiceFailuresFailConfigure) {
  const CLFault fault{CLFault_Always, 0, E_ACCESSDENIED, 0};
  ASSERT_EQ(CLSetFault(m_services.Server(), CLOp_ConfigSubscribe, &fault), S_OK);
  EXPECT_EQ(Configure(Settings({UsersEntry()})), E_ACCESSDENIED);
  m_services.ClearFaults();
  EXPECT_EQ(m_services.SubscriptionCount(), m_subscriptionsAtStart);
  EXPECT_EQ(m_configurable->Configure(nullptr), E_POINTER);
}

TEST_F(MaintainerTest, SnapshotFramesAreDeliveredWhenTheStatusWriteFails) {
  m_services.SetServerFault(CLOp_ConfigWrite, CLFault_Always, 0, E_ACCESSDENIED);
  ASSERT_EQ(Configure(Settings({UsersEntry()})), S_OK);
  ASSERT_TRUE(m_services.WaitForFrames(2)) << "the snapshot time moved on: frames lost here would never come";
  EXPECT_EQ(FramesWithChangeType(L"Snapshot").size(), 2u);
  EXPECT_TRUE(WaitUntil([] {
    return Log().Text().find(std::wstring(L"Snapshot creation for entry ") + kUsersEntry +
                             L" failed due to 0x80070005") != std::wstring::npos;
  }));
  m_services.ClearFaults();
  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
}

TEST_F(MaintainerTest, NotificationsRacingShutdownAndReleaseAreSafe) {
  ASSERT_EQ(Configure(Settings({UsersEntry()})), S_OK);
  std::atomic<bool> done{false};
  std::vector<std::thread> hosts;
  for (int thread = 0; thread < 3; ++thread) {
    CompPtr<IUsageActivityProcessor> processor = m_processor;
    hosts.emplace_back([processor, &done] {
      const DXNodePtr content = Build({L"alice", L"User", {Text(L"Role", L"Admin")}});
      while (!done.load()) {
        processor->ProcessUsageActivity(Notification(L"\\Settings\\Users\\alice", 4, L"CORP\\eve", content).Get());
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
  m_processor.Reset();
  m_shutdown.Reset();
  m_configurable.Reset();
  done = true;
  for (auto& host : hosts) host.join();
}

}  // namespace

// Bad input from the host, through Kestrova.dll against the reference
// services: malformed notifications, settings with each required item
// missing or of the wrong type, rules nested far too deep and pending files
// that are garbage or far too big. Each gives a clear HRESULT and log line,
// never a crash, a hang or unbounded memory.
#include "ModuleLogFile.h"

#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientStorage.h"
#include "node/DXNodePtr.h"
#include "node/NodeSerialization.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/LoadedModule.h"
#include "support/NodeBuilder.h"
#include "support/ReferenceServices.h"

#include <Kestrova/ComponentInterfaces.h>

#include <psapi.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using KestrovaTest::Bool;
using KestrovaTest::Build;
using KestrovaTest::Int64;
using KestrovaTest::LoadedLibrary;
using KestrovaTest::NodeSpec;
using KestrovaTest::ReferenceServices;
using KestrovaTest::Text;
using KestrovaTest::WaitUntil;
using Reliability::ModuleLogFile;
using RuntimeTest::TempDirectory;

constexpr wchar_t kSwitchPath[] = L"\\Veltrano\\UsageStatisticsSettings";
constexpr wchar_t kAccumulatorSwitch[] = L"\\Veltrano\\Statistics\\Accumulator";
constexpr wchar_t kStatusRoot[] = L"\\Veltrano\\SnapshotStatuses";
constexpr wchar_t kEntryName[] = L"{6B1F3C2A-0D4E-4F5A-9B8C-7D6E5F4A3B2C}";
constexpr HRESULT kNotFound = HRESULT(0x80070490);
constexpr HRESULT kInvalidData = HRESULT(0x8007000D);
constexpr HRESULT kTypeMismatch = HRESULT(0x8007065D);  // ERROR_DATATYPE_MISMATCH from the store
constexpr uint32_t kDeep = 10000;

constexpr wchar_t kConfigureFailed[] = L"UsageStatistics::CConfigSnapshotsMaintainer::Configure failed: ";
constexpr wchar_t kProcessFailed[] = L"UsageStatistics::CConfigSnapshotsMaintainer::ProcessUsageActivity failed: ";

std::wstring Hex(HRESULT hr) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(hr));
  return text;
}

// The module's log in a folder of this program; DBG keeps the deep cases quick.
class LogFolder {
 public:
  LogFolder() {
    ::SetEnvironmentVariableW(L"GS_Logger_Path", m_folder.Path().c_str());
    ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG");
    ::SetEnvironmentVariableW(L"GS_Logger_KeepOpenInterval", L"0");
  }
  ModuleLogFile Log() const { return ModuleLogFile(m_folder.Path()); }

 private:
  TempDirectory m_folder;
};

const LogFolder& Logs() {
  static const LogFolder folder;
  return folder;
}

NodeSpec UsersEntry() {
  return NodeSpec{
      kEntryName,
      L"ConfigSnapshotEntry",
      {Text(L"ConfigPath", L"\\Settings\\Users\\*"), Int64(L"SendIntervalHours", 24), Text(L"NameSource", L"<name>"),
       Bool(L"IsAllowEmpty", true)},
      {NodeSpec{L"", L"UsageActivityItem", {Text(L"NameSource", L"Role"), Text(L"ValueSource", L"@Role")}}}};
}

// A chain of depth nodes below parent, each made by make(level); the last one
// gets leaf as its only child.
void AddChain(const DXNodePtr& parent, uint32_t depth, const std::function<DXNodePtr(uint32_t)>& make,
              const DXNodePtr& leaf) {
  DXNodePtr current = parent;
  for (uint32_t level = 0; level < depth; ++level) {
    DXNodePtr next = make(level);
    current.AddChild(next);
    current = next;
  }
  if (leaf) current.AddChild(leaf);
}

DXNodePtr Item() {
  return Build({L"", L"UsageActivityItem", {Text(L"NameSource", L"Role"), Text(L"ValueSource", L"@Role")}});
}

class BadInputTest : public ::testing::Test {
 public:
  static DXNodePtr Entry(const DXNodePtr& settings) { return settings.GetChild(L"ConfigSnapshots").GetChild(0u); }

 protected:
  static void SetUpTestSuite() { Logs(); }

  void SetUp() override {
    ASSERT_NE(m_library.Handle(), nullptr);
    auto getModule = m_library.Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject");
    ASSERT_EQ(getModule(reinterpret_cast<void**>(&m_module)), S_OK);
    m_services.Write(Build({L"\\Settings",
                            L"Section",
                            {},
                            {{L"Users", L"UserList", {}, {{L"alice", L"User", {Text(L"Role", L"Admin")}}}}}}));
    m_services.WriteSwitch(kSwitchPath, true);
    m_services.WriteSwitch(kAccumulatorSwitch, true);
    m_log.Mark();
  }

  void TearDown() override {
    if (m_shutdown) {
      EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
    }
    m_processor.Reset();
    m_shutdown.Reset();
    m_configurable.Reset();
    uint32_t inUse = 1;
    ASSERT_EQ(m_module->IsModuleInUse(&inUse), S_OK);
    EXPECT_EQ(inUse, 0u);
  }

  DXNodePtr Settings(std::vector<NodeSpec> entries = {UsersEntry()}) const {
    NodeSpec storage{L"TransientStorage",
                     L"",
                     {Int64(L"SendIntervalSec", 1), Text(L"UsageStatisticsCfgPath", kAccumulatorSwitch),
                      Text(L"TransientStoragePath", StoragePath())}};
    return Build(NodeSpec{L"Maintainer",
                          L"",
                          {Text(L"SnapshotStatusesCfgPath", kStatusRoot), Int64(L"SinkIntervalSec", 1),
                           Int64(L"SendSnapshotsIntervalHours", 24)},
                          {storage, NodeSpec{L"ConfigSnapshots", L"", {}, std::move(entries)}}});
  }
  std::wstring StoragePath() const { return m_temp / L"pending.dat"; }

  HRESULT Configure(const DXNodePtr& settings) {
    if (!m_configurable) {
      EXPECT_EQ(m_module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent,
                                         m_configurable.PutVoid()),
                S_OK);
      EXPECT_EQ(m_configurable.As(m_shutdown), S_OK);
      EXPECT_EQ(m_configurable.As(m_processor), S_OK);
    }
    return m_configurable->Configure(settings.Get());
  }

  // The log since the test started holds text, waiting a little for lines
  // written by the module's threads.
  bool Logged(const std::wstring& text) {
    return WaitUntil([&] { return ModuleLogFile::Contains(m_log.SinceMark(), text); }, 3000);
  }

  TempDirectory m_temp;
  ReferenceServices m_services;
  LoadedLibrary m_library{L"Kestrova.dll"};
  IComponentsModule* m_module = nullptr;
  ModuleLogFile m_log = Logs().Log();
  CompPtr<IConfigurableComponent> m_configurable;
  CompPtr<IShutdownableComponent> m_shutdown;
  CompPtr<IUsageActivityProcessor> m_processor;
};

// ---- Notifications ---------------------------------------------------------

DXNodePtr Notification(const std::wstring& path) {
  DXNodePtr notification = DXNodePtr::Create(nullptr, L"ConfigModificationNotification");
  notification.SetString(L"ModifiedPath", path);
  notification.SetInt64(L"ModifyMask", 4);
  notification.SetString(L"SubjectDisplayName", L"CORP\\eve");
  notification.AddChild(Build({L"alice", L"User", {Text(L"Role", L"Auditor")}}));
  return notification;
}

std::wstring DeepPath(uint32_t elements) {
  std::wstring path = L"\\Settings\\Users";
  for (uint32_t index = 0; index < elements; ++index) path += L"\\n" + std::to_wstring(index);
  return path;
}

struct NotificationCase {
  const char* name;
  std::function<DXNodePtr()> make;  // an empty node stands for a null pointer
  HRESULT expected;
};

class BadNotificationTest : public BadInputTest, public ::testing::WithParamInterface<NotificationCase> {};

TEST_P(BadNotificationTest, GivesItsHresultAndLogLine) {
  ASSERT_EQ(Configure(Settings()), S_OK);
  ASSERT_TRUE(m_services.WaitForFrames(1)) << "the first snapshot pass";
  const DXNodePtr notification = GetParam().make();
  EXPECT_EQ(m_processor->ProcessUsageActivity(notification.Get()), GetParam().expected);
  if (FAILED(GetParam().expected)) {
    EXPECT_TRUE(Logged(kProcessFailed + Hex(GetParam().expected)));
  }
  // The maintainer still works.
  EXPECT_EQ(m_processor->ProcessUsageActivity(Notification(L"\\Settings\\Users\\alice").Get()), S_OK);
}

const auto WithAttribute = [](const wchar_t* name, const std::function<void(const DXNodePtr&, const wchar_t*)>& set) {
  return [name, set] {
    DXNodePtr notification = Notification(L"\\Settings\\Users\\alice");
    notification.DeleteAttribute(name);
    if (set) set(notification, name);
    return notification;
  };
};

INSTANTIATE_TEST_SUITE_P(
    Cases, BadNotificationTest,
    ::testing::Values(
        NotificationCase{"Null", [] { return DXNodePtr(); }, E_POINTER},
        NotificationCase{"OtherNodeType",
                         [] {
                           DXNodePtr notification = Notification(L"\\Settings\\Users\\alice");
                           notification.SetType(L"SomethingElse");
                           return notification;
                         },
                         S_OK},
        NotificationCase{"NoModifiedPath", WithAttribute(L"ModifiedPath", nullptr), kNotFound},
        NotificationCase{"ModifiedPathAsNumber",
                         WithAttribute(L"ModifiedPath", [](const DXNodePtr& n, const wchar_t* a) { n.SetInt64(a, 5); }),
                         kInvalidData},
        NotificationCase{"NoModifyMask", WithAttribute(L"ModifyMask", nullptr), kNotFound},
        NotificationCase{
            "ModifyMaskAsText",
            WithAttribute(L"ModifyMask", [](const DXNodePtr& n, const wchar_t* a) { n.SetString(a, L"4"); }),
            kTypeMismatch},
        NotificationCase{"NoSubject", WithAttribute(L"SubjectDisplayName", nullptr), kNotFound},
        NotificationCase{"SubjectAsList",
                         WithAttribute(L"SubjectDisplayName",
                                       [](const DXNodePtr& n, const wchar_t* a) {
                                         n.SetStringList(a, {L"a", L"b"});
                                       }),
                         kTypeMismatch},
        NotificationCase{"EmptyPath", [] { return Notification(L""); }, kInvalidData},
        NotificationCase{"RelativePath", [] { return Notification(L"Settings\\Users\\alice"); }, kInvalidData},
        NotificationCase{"PathAtTheStoreDepth", [] { return Notification(DeepPath(254)); }, S_OK},
        NotificationCase{"PathBeyondTheStoreDepth", [] { return Notification(DeepPath(255)); }, E_INVALIDARG},
        NotificationCase{"PathTenThousandDeep", [] { return Notification(DeepPath(kDeep)); }, E_INVALIDARG},
        NotificationCase{"ContentTenThousandDeep",
                         [] {
                           DXNodePtr notification = Notification(L"\\Settings\\Users\\alice");
                           AddChain(
                               notification.GetChild(0u), kDeep,
                               [](uint32_t level) {
                                 return DXNodePtr::Create((L"c" + std::to_wstring(level)).c_str(), nullptr);
                               },
                               DXNodePtr());
                           return notification;
                         },
                         E_INVALIDARG}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Settings --------------------------------------------------------------

struct SettingsCase {
  const char* name;
  std::function<void(BadInputTest&, DXNodePtr&)> spoil;
  HRESULT expected;
};

class BadSettingsTest : public BadInputTest, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(BadSettingsTest, FailConfigureWithItsHresultAndLogLine) {
  DXNodePtr settings = Settings();
  GetParam().spoil(*this, settings);
  EXPECT_EQ(Configure(settings), GetParam().expected);
  EXPECT_TRUE(Logged(kConfigureFailed + Hex(GetParam().expected)));
}

const auto Missing = [](const wchar_t* child, const wchar_t* attribute) {
  return [child, attribute](BadInputTest&, DXNodePtr& settings) {
    const DXNodePtr node = child == nullptr ? settings : settings.GetChild(child);
    if (attribute != nullptr) {
      node.DeleteAttribute(attribute);
    } else {
      settings.RemoveChild(node);
    }
  };
};
const auto TextFor = [](const wchar_t* child, const wchar_t* attribute, const wchar_t* text) {
  return [child, attribute, text](BadInputTest&, DXNodePtr& settings) {
    (child == nullptr ? settings : settings.GetChild(child)).SetString(attribute, text);
  };
};
const auto NumberFor = [](const wchar_t* child, const wchar_t* attribute, int64_t number) {
  return [child, attribute, number](BadInputTest&, DXNodePtr& settings) {
    (child == nullptr ? settings : settings.GetChild(child)).SetInt64(attribute, number);
  };
};
const auto InEntry = [](const std::function<void(const DXNodePtr&)>& spoil) {
  return [spoil](BadInputTest& test, DXNodePtr& settings) { spoil(test.Entry(settings)); };
};

INSTANTIATE_TEST_SUITE_P(
    Cases, BadSettingsTest,
    ::testing::Values(
        SettingsCase{"NoStatusRoot", Missing(nullptr, L"SnapshotStatusesCfgPath"), kNotFound},
        SettingsCase{"NoSinkInterval", Missing(nullptr, L"SinkIntervalSec"), kNotFound},
        SettingsCase{"NoTransientStorage", Missing(L"TransientStorage", nullptr), kNotFound},
        SettingsCase{"NoConfigSnapshots", Missing(L"ConfigSnapshots", nullptr), kNotFound},
        SettingsCase{"NoSnapshotInterval", Missing(nullptr, L"SendSnapshotsIntervalHours"), kNotFound},
        SettingsCase{"NoSendInterval", Missing(L"TransientStorage", L"SendIntervalSec"), kNotFound},
        SettingsCase{"NoSwitchPath", Missing(L"TransientStorage", L"UsageStatisticsCfgPath"), kNotFound},
        SettingsCase{"NoEntryPath", InEntry([](const DXNodePtr& e) { e.DeleteAttribute(L"ConfigPath"); }), kNotFound},
        SettingsCase{"NoEntryInterval", InEntry([](const DXNodePtr& e) { e.DeleteAttribute(L"SendIntervalHours"); }),
                     kNotFound},
        SettingsCase{"NoEntryNameSource", InEntry([](const DXNodePtr& e) { e.DeleteAttribute(L"NameSource"); }),
                     kNotFound},
        SettingsCase{"SinkIntervalAsText", TextFor(nullptr, L"SinkIntervalSec", L"1"), kTypeMismatch},
        SettingsCase{"SnapshotIntervalAsText", TextFor(nullptr, L"SendSnapshotsIntervalHours", L"24"), kTypeMismatch},
        SettingsCase{"SendIntervalAsText", TextFor(L"TransientStorage", L"SendIntervalSec", L"1"), kTypeMismatch},
        SettingsCase{"StatusRootAsNumber", NumberFor(nullptr, L"SnapshotStatusesCfgPath", 5), E_INVALIDARG},
        SettingsCase{"SwitchPathAsNumber", NumberFor(L"TransientStorage", L"UsageStatisticsCfgPath", 5), E_INVALIDARG},
        SettingsCase{"EntryPathAsNumber", InEntry([](const DXNodePtr& e) { e.SetInt64(L"ConfigPath", 5); }),
                     kInvalidData},
        SettingsCase{"EntryIntervalAsText",
                     InEntry([](const DXNodePtr& e) { e.SetString(L"SendIntervalHours", L"1"); }), kTypeMismatch},
        SettingsCase{"EntryNameNoGuid",
                     [](BadInputTest& test, DXNodePtr& settings) {
                       const DXNodePtr entry = test.Entry(settings);
                       const DXNodePtr renamed = Build({L"NotAGuid", L"ConfigSnapshotEntry"});
                       for (const std::wstring& name : entry.GetAttributeNames()) {
                         std::vector<uint8_t> scratch;
                         CopyAttribute(name.c_str(), entry, renamed, scratch);
                       }
                       settings.GetChild(L"ConfigSnapshots").RemoveChild(entry);
                       settings.GetChild(L"ConfigSnapshots").AddChild(renamed);
                     },
                     E_INVALIDARG},
        SettingsCase{"StorageAsAttribute",
                     [](BadInputTest&, DXNodePtr& settings) {
                       settings.RemoveChild(settings.GetChild(L"TransientStorage"));
                       settings.SetString(L"TransientStorage", L"C:\\pending.dat");
                     },
                     kNotFound},
        SettingsCase{"UnknownRuleType", InEntry([](const DXNodePtr& e) {
                       e.AddChild(Build({L"", L"NoSuchRule"}));
                     }),
                     E_INVALIDARG},
        // Rules nested far deeper than any frame may be: sets in sets, groups in
        // groups, conditions in conditions and ifs in ifs.
        SettingsCase{"SetsNestedTenThousandDeep", InEntry([](const DXNodePtr& e) {
                       AddChain(
                           e, kDeep,
                           [](uint32_t) {
                             return Build({L"", L"UsageActivityItemsSet", {Text(L"NameSource", L"<name>")}});
                           },
                           Item());
                     }),
                     kInvalidData},
        SettingsCase{"GroupsNestedTenThousandDeep", InEntry([](const DXNodePtr& e) {
                       AddChain(
                           e, kDeep,
                           [](uint32_t) {
                             return Build({L"", L"UsageActivityItemsGroup"});
                           },
                           Item());
                     }),
                     kInvalidData},
        SettingsCase{"ConditionsNestedTenThousandDeep", InEntry([](const DXNodePtr& e) {
                       const DXNodePtr rule = Build({L"", L"If", {}, {{L"Condition", L"OrCondition"}, {L"Then"}}});
                       AddChain(
                           rule.GetChild(L"Condition"), kDeep,
                           [](uint32_t) {
                             return Build({L"", L"AndCondition"});
                           },
                           Build({L"",
                                  L"CaseCondition",
                                  {Text(L"CaseValuePath1", L"@Role"), Text(L"CaseValuePath2", L"Admin")}}));
                       rule.GetChild(L"Then").AddChild(Item());
                       e.AddChild(rule);
                     }),
                     kInvalidData},
        SettingsCase{
            "IfsNestedTenThousandDeep", InEntry([](const DXNodePtr& e) {
              DXNodePtr current = e;
              for (uint32_t level = 0; level < kDeep; ++level) {
                const DXNodePtr rule = Build(
                    {L"",
                     L"If",
                     {},
                     {{L"Condition", L"CaseCondition", {Text(L"CaseValuePath1", L"a"), Text(L"CaseValuePath2", L"a")}},
                      {L"Then"}}});
                current.AddChild(rule);
                current = rule.GetChild(L"Then");
              }
              current.AddChild(Item());
            }),
            kInvalidData}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Pending files --------------------------------------------------------

// What the process holds now: committed memory where the platform reports
// it, else the working set.
size_t ProcessMemory() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
  return std::max<size_t>({counters.PrivateUsage, counters.PagefileUsage, counters.WorkingSetSize});
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST_F(BadInputTest, PendingFileOfRandomBytesIsLoggedAndDeleted) {
  {
    std::ofstream file(StoragePath().c_str(), std::ios::binary);
    std::mt19937 random(14);
    for (int index = 0; index < 65536; ++index) file.put(static_cast<char>(random()));
  }
  ASSERT_EQ(Configure(Settings()), S_OK);
  EXPECT_TRUE(Logged(L"Failed to import pending activity frames from file " + StoragePath() + L" due to "));
  EXPECT_FALSE(FileExists(StoragePath()));
  ASSERT_TRUE(m_services.WaitForFrames(1)) << "the maintainer works on";
}

// A valid document of a million frames: the restore reads as many as the
// queue may hold ("MaxQueuedFrames", else 100,000) and no further, so neither
// memory nor start-up time follows the file's size.
TEST_F(BadInputTest, PendingFileOfAMillionFramesRestoresOnlyWhatTheQueueHolds) {
  constexpr int kFrames = 1000000;
  constexpr int64_t kQueueBound = 1000;
  {
    std::ofstream file(StoragePath().c_str(), std::ios::binary);
    std::string frames;
    for (int index = 0; index < 1000; ++index) frames += "<node type=\"UsageActivityFrame\"/>";
    file << "<nr>";
    for (int index = 0; index < kFrames / 1000; ++index) file << frames;
    file << "</nr>";
  }
  m_services.WriteSwitch(kAccumulatorSwitch, false);  // the restored frames stay queued
  DXNodePtr settings = Settings();
  settings.GetChild(L"TransientStorage").SetInt64(L"MaxQueuedFrames", kQueueBound);

  const size_t memoryBefore = ProcessMemory();
  const ULONGLONG started = ::GetTickCount64();
  ASSERT_EQ(Configure(settings), S_OK);
  const ULONGLONG elapsedMs = ::GetTickCount64() - started;
  const size_t memoryAfter = ProcessMemory();
  // The node store parses the 35 MB document whole before the first node
  // comes out; the file's size bound is what bounds this.
  EXPECT_LT(memoryAfter > memoryBefore ? memoryAfter - memoryBefore : 0, size_t{320} << 20);
  EXPECT_LT(elapsedMs, 20000u);
  EXPECT_TRUE(Logged(L"Transient storage file " + StoragePath() + L" holds more than 1000 frames"));
  EXPECT_FALSE(FileExists(StoragePath()));

  // The restored frames are what the next stop writes back.
  EXPECT_EQ(m_shutdown->Shutdown(), S_OK);
  const auto stored =
      UsageStatistics::Detail::CTransientStorage::ReadFile(StoragePath(), DataEncryption::CNodeEncryptor::EncryptAll());
  EXPECT_EQ(stored.size(), static_cast<size_t>(kQueueBound));
}

// Beyond 64 MB a file is not read at all: logged with its HRESULT, deleted.
TEST_F(BadInputTest, PendingFileAboveTheSizeBoundIsNotRead) {
  {
    std::ofstream file(StoragePath().c_str(), std::ios::binary);
    std::string frames;
    for (int index = 0; index < 1000; ++index) {
      frames += "<node type=\"UsageActivityFrame\"><attr name=\"Name\" type=\"text\">frame</attr></node>";
    }
    file << "<nr>";
    for (int index = 0; index < 1000; ++index) file << frames;
    file << "</nr>";
  }
  const size_t memoryBefore = ProcessMemory();
  ASSERT_EQ(Configure(Settings()), S_OK);
  const size_t memoryAfter = ProcessMemory();
  EXPECT_LT(memoryAfter > memoryBefore ? memoryAfter - memoryBefore : 0, size_t{32} << 20);
  EXPECT_TRUE(Logged(L"Failed to import pending activity frames from file " + StoragePath() + L" due to 0x800700DF"));
  EXPECT_FALSE(FileExists(StoragePath()));
}

// ---- Deep trees inside the module -------------------------------------------

// The attribute encryption of the transient storage walks whole subtrees of
// whatever depth a file or a frame has, without recursion.
TEST(DeepTrees, EncryptionRoundTripsAChainOfTenThousandNodes) {
  const DXNodePtr root = DXNodePtr::Create(nullptr, L"UsageActivityFrame");
  DXNodePtr current = root;
  for (uint32_t level = 0; level < kDeep; ++level) {
    const DXNodePtr child = DXNodePtr::Create(L"n", L"UsageActivityFrame");
    current.AddChild(child);
    current = child;
  }
  current.SetString(L"Name", L"deepest");
  const DataEncryption::CNodeEncryptor encryptor = DataEncryption::CNodeEncryptor::EncryptAll();
  IDXNode* handles[] = {root.Get()};
  encryptor.EncryptNodes(handles, 1, DataEncryption::CNodeEncryptor::kWholeSubtree,
                         DataEncryption::CNodeEncryptor::kModeInPlace, nullptr, nullptr, nullptr);
  EXPECT_NE(current.GetAttributeType(L"Name"), DXNodePtr::kTypeText);
  encryptor.DecryptNodes(handles, 1, DataEncryption::CNodeEncryptor::kWholeSubtree,
                         DataEncryption::CNodeEncryptor::kModeInPlace, nullptr, nullptr, nullptr);
  EXPECT_EQ(current.GetString(L"Name"), L"deepest");
}

}  // namespace

// Snapshot entries against the reference configuration server: construction
// from their settings, modifications turned into frames and applied to the
// snapshot, periodic snapshots and the status node they keep.
#include "Sources/Subsystems/UsageStatistics/Kestrova/ConfigSnapshotEntry.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/ConfigSnapshotsMaintainer.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/ConfigServerAccess.h"
#include "node/NodeErrors.h"
#include "node/NodeTreeComparison.h"
#include "node/ValueFormats.h"
#include "resolution/FrameText.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/HresultOf.h"
#include "support/NodeBuilder.h"

#include <Kestrova/ComponentsLib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

using namespace UsageStatistics;
using namespace KestrovaTest;
using namespace std::chrono_literals;
using TimePoint = CConfigSnapshotEntry::TimePoint;

constexpr wchar_t kEntryName[] = L"{6F1C2A9E-3B4D-4E5F-8A7B-9C0D1E2F3A4B}";
constexpr wchar_t kStatusRoot[] = L"\\Veltrano\\SnapshotStatuses";
constexpr wchar_t kStatusPath[] = L"\\Veltrano\\SnapshotStatuses\\{6F1C2A9E-3B4D-4E5F-8A7B-9C0D1E2F3A4B}";
constexpr wchar_t kSubject[] = L"CORP\\alice";

TimePoint TimeOf(const wchar_t* isoText) {
  return TimePoint(std::chrono::seconds(ValueFormats::IsoStringToTime(isoText)));
}

NodeSpec Item(std::wstring name, std::wstring value, int64_t itemType = 0) {
  return {L"",
          L"UsageActivityItem",
          {Text(L"NameSource", std::move(name)), Text(L"ValueSource", std::move(value)),
           Int64(L"ActivityItemType", itemType)}};
}

// An entry whose rules list every node the pattern selects: its parent,
// type, attribute names and values. Frames then show the tree they saw.
NodeSpec TreeListingEntry(std::wstring configPath, std::vector<AttributeSpec> more = {}) {
  std::vector<AttributeSpec> attributes{Text(L"ConfigPath", std::move(configPath)), Int64(L"SendIntervalHours", 24),
                                        Text(L"NameSource", L"<name>"), Bool(L"IsAllowEmpty", true)};
  attributes.insert(attributes.end(), more.begin(), more.end());
  return {kEntryName,
          L"ConfigSnapshotEntry",
          std::move(attributes),
          {Item(L"Parent", L"\\..\\<name>"), Item(L"Type", L"<type>"), Item(L"Attrs", L"@\\*\\<name>", 1),
           Item(L"Values", L"@\\*", 1)}};
}

// \Settings\Mail with Users {Alice, Bob} and Inbox/Outbox switches.
NodeSpec StoreSpec() {
  return {L"\\Settings\\Mail",
          L"MailSettings",
          {Text(L"Server", L"mx1"), Int64(L"Port", 25)},
          {{L"Users",
            L"",
            {},
            {{L"Alice",
              L"User",
              {Text(L"Enabled", L"1"), Text(L"Quota", L"10")},
              {{L"Aliases", L"", {Text(L"A1", L"al")}}}},
             {L"Bob", L"User", {Text(L"Enabled", L"0")}}}},
           {L"Inbox", L"", {}, {{L"Enabled", L"", {Text(L"Value", L"1")}}}},
           {L"Outbox", L"", {}, {{L"Enabled", L"", {Text(L"Value", L"0")}}}}}};
}

NodeSpec Notification(std::wstring path, int64_t mask, std::vector<NodeSpec> content = {},
                      std::wstring subject = kSubject) {
  return {L"",
          L"",
          {Text(L"ModifiedPath", std::move(path)), Int64(L"ModifyMask", mask),
           Text(L"SubjectDisplayName", std::move(subject))},
          std::move(content)};
}

class SnapshotEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CLCreateConfigServer(nullptr, 0, m_server.Put()), S_OK);
    WriteConfigNode(m_server.Get(), Build(StoreSpec()));
  }

  std::unique_ptr<CConfigSnapshotEntry> MakeEntry(const NodeSpec& settings) {
    return std::make_unique<CConfigSnapshotEntry>(Build(settings), kStatusRoot,
                                                  CompPtr<IDXConfigServerComponent>(m_server));
  }

  DXNodePtr Read(const std::wstring& path) { return ReadConfigNode(m_server.Get(), path, false); }

  // The frames without their trailing "ModifiedBy" and "ChangeType" items,
  // which are checked here.
  static std::wstring FramesWithout(const ActivityFrameList& frames, const std::wstring& modifiedBy,
                                    const std::wstring& changeType) {
    for (const DXNodePtr& frame : frames) {
      const uint32_t count = frame.GetChildCount();
      EXPECT_GE(count, 2u);
      if (count < 2) continue;
      const DXNodePtr by = frame.GetChild(count - 2);
      const DXNodePtr type = frame.GetChild(count - 1);
      EXPECT_EQ(FrameText(by), L"ModifiedBy=" + modifiedBy);
      EXPECT_EQ(FrameText(type), L"ChangeType=" + changeType);
      frame.RemoveChild(by);
      frame.RemoveChild(type);
    }
    return FramesText(frames);
  }

  CompPtr<IDXConfigServer> m_server;
};

// ---- Construction ----------------------------------------------------------

TEST_F(SnapshotEntryTest, IdAndStatusPathComeFromTheGuidName) {
  const GUID expected = ValueFormats::GuidFromString(kEntryName);
  for (const wchar_t* name : {L"{6F1C2A9E-3B4D-4E5F-8A7B-9C0D1E2F3A4B}", L"6F1C2A9E-3B4D-4E5F-8A7B-9C0D1E2F3A4B",
                              L"6F1C2A9E3B4D4E5F8A7B9C0D1E2F3A4B"}) {
    SCOPED_TRACE(testing::Message() << "name " << std::string(name, name + wcslen(name)));
    NodeSpec settings = TreeListingEntry(L"\\Settings\\Mail\\Users");
    settings.name = name;
    const auto entry = MakeEntry(settings);
    EXPECT_TRUE(IsEqualGUID(entry->Id(), expected));
    EXPECT_EQ(entry->StatusPath(), std::wstring(kStatusRoot) + L"\\" + name);
  }
}

struct ConstructionFailureCase {
  const char* name;
  NodeSpec settings;
  HRESULT expected;
};

class SnapshotEntryConstructionFailureTest : public SnapshotEntryTest,
                                             public ::testing::WithParamInterface<ConstructionFailureCase> {};

TEST_P(SnapshotEntryConstructionFailureTest, Fails) {
  EXPECT_EQ(HresultOf([&] { MakeEntry(GetParam().settings); }), GetParam().expected);
}

NodeSpec WithName(NodeSpec node, std::wstring name) {
  node.name = std::move(name);
  return node;
}

NodeSpec Without(NodeSpec node, const std::wstring& attribute) {
  std::erase_if(node.attributes, [&](const AttributeSpec& a) { return a.name == attribute; });
  return node;
}

NodeSpec WithPath(std::wstring path) { return TreeListingEntry(std::move(path)); }

INSTANTIATE_TEST_SUITE_P(
    Settings, SnapshotEntryConstructionFailureTest,
    ::testing::Values(
        ConstructionFailureCase{"NameIsNoGuid", WithName(WithPath(L"\\Settings\\Mail"), L"Mail"), E_INVALIDARG},
        ConstructionFailureCase{"RelativeConfigPath", WithPath(L"Settings\\Mail"), NodeErrors::kInvalidData},
        ConstructionFailureCase{"ConfigPathWithoutBackslash", WithPath(L"Settings"), NodeErrors::kInvalidData},
        ConstructionFailureCase{"EmptyConfigPath", WithPath(L""), NodeErrors::kInvalidData},
        ConstructionFailureCase{"NoConfigPath", Without(WithPath(L"\\Settings"), L"ConfigPath"), NodeErrors::kNotFound},
        ConstructionFailureCase{"NoSendInterval", Without(WithPath(L"\\Settings"), L"SendIntervalHours"),
                                NodeErrors::kNotFound},
        ConstructionFailureCase{"NoNameSourceForTheRules", Without(WithPath(L"\\Settings"), L"NameSource"),
                                NodeErrors::kNotFound},
        ConstructionFailureCase{"SnapshotAbsent", WithPath(L"\\Settings\\Calendar\\*"), NodeErrors::kNotFound}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SnapshotEntryTest, ConfigPathSplitsAtTheFirstPatternElement) {
  WriteConfigNode(m_server.Get(), DXNodePtr::Create(L"\\Settings\\@Mail", nullptr));
  const struct {
    const wchar_t* configPath;
    const wchar_t* basePath;
  } cases[] = {
      {L"\\Settings\\Mail\\*\\Enabled", L"\\Settings\\Mail"},
      {L"\\Settings\\Mail", L"\\Settings\\Mail"},
      {L"\\Settings\\Mail\\", L"\\Settings\\Mail"},
      {L"\\Settings\\\\Mail", L"\\Settings"},
      {L"\\Settings\\Mail\\**", L"\\Settings\\Mail"},
      {L"\\Settings\\Mail\\..\\Mail", L"\\Settings\\Mail"},
      {L"\\Settings\\<name>", L"\\Settings"},
      {L"\\Settings\\[@a=='b']\\Mail", L"\\Settings"},
      {L"\\*\\Mail", L"\\"},
      {L"\\", L"\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "ConfigPath " << std::string(c.configPath, c.configPath + wcslen(c.configPath)));
    EXPECT_EQ(MakeEntry(WithPath(c.configPath))->BasePath(), c.basePath);
  }
}

TEST_F(SnapshotEntryTest, SnapshotIsTheWholeSubtreeAtTheBasePath) {
  const auto entry = MakeEntry(WithPath(L"\\Settings\\Mail\\*\\Enabled"));
  EXPECT_EQ(TreeDifference(Read(L"\\Settings\\Mail"), entry->Snapshot()), L"");
}

TEST_F(SnapshotEntryTest, StoredStatusIsRead) {
  const auto fresh = MakeEntry(WithPath(L"\\Settings\\Mail"));
  EXPECT_EQ(fresh->LastSnapshotTime(), TimePoint{});
  EXPECT_EQ(fresh->LastModifiedBy(), L"Unknown");

  WriteConfigNode(m_server.Get(),
                  Build({kStatusPath,
                         L"ConfigSnapshotStatus",
                         {Text(L"LastSnapshotTime", L"2024-01-31T23:59:00Z"), Text(L"LastModifiedBy", L"CORP\\bob")}}));
  const auto stored = MakeEntry(WithPath(L"\\Settings\\Mail"));
  EXPECT_EQ(stored->LastSnapshotTime(), TimeOf(L"2024-01-31T23:59:00Z"));
  EXPECT_EQ(stored->LastModifiedBy(), L"CORP\\bob");

  // An empty time is never; a status without a modifier names nobody.
  m_server->DeleteNodes(nullptr, 0, std::vector<IDXNode*>{MakeFilterByPath(kStatusPath, false, 0).Get()}.data(), 1);
  WriteConfigNode(m_server.Get(), Build({kStatusPath, L"ConfigSnapshotStatus", {Text(L"LastSnapshotTime", L"")}}));
  const auto empty = MakeEntry(WithPath(L"\\Settings\\Mail"));
  EXPECT_EQ(empty->LastSnapshotTime(), TimePoint{});
  EXPECT_EQ(empty->LastModifiedBy(), L"Unknown");
}

TEST_F(SnapshotEntryTest, ServerFailuresFailConstruction) {
  CLFault fault{CLFault_Always, 0, E_ACCESSDENIED, 0};
  ASSERT_EQ(CLSetFault(m_server.Get(), CLOp_ConfigRead, &fault), S_OK);
  EXPECT_EQ(HresultOf([&] { MakeEntry(WithPath(L"\\Settings\\Mail")); }), E_ACCESSDENIED);
  ASSERT_EQ(CLClearFaults(m_server.Get()), S_OK);
  ASSERT_EQ(CLSetFault(m_server.Get(), CLOp_ConfigGetInterface, &fault), S_OK);
  EXPECT_EQ(HresultOf([&] { MakeEntry(WithPath(L"\\Settings\\Mail")); }), E_ACCESSDENIED);
}

// ---- Modifications ---------------------------------------------------------

TEST_F(SnapshotEntryTest, ChangeTypeFollowsTheMaskBits) {
  const struct {
    int64_t mask;
    const wchar_t* text;
  } cases[] = {{0, L""},         {1, L"Removed"},  {2, L"Added"},    {3, L"Removed"},
               {4, L"Modified"}, {5, L"Modified"}, {6, L"Modified"}, {7, L"Modified"}};
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\Users\\*"));
  const DXNodePtr content = Build({L"Carol", L"User", {Text(L"Enabled", L"1")}});
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mask " << c.mask);
    const ActivityFrameList frames = entry->MakeModificationFrame(L"\\Settings\\Mail\\Users\\Carol",
                                                                  static_cast<uint32_t>(c.mask), kSubject, content);
    ASSERT_EQ(frames.size(), 1u);
    const DXNodePtr changeType = frames[0].GetChild(frames[0].GetChildCount() - 1);
    EXPECT_EQ(FrameText(changeType), std::wstring(L"ChangeType=") + c.text);
  }
}

TEST_F(SnapshotEntryTest, DiffTreeShowsTheModificationOnTheSnapshotRoot) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\**"));
  const struct {
    const char* name;
    NodeSpec notification;
    const wchar_t* changeType;
    const wchar_t* frames;
  } cases[] = {
      // Below the base every node on the path is new in the diff tree: no
      // attribute is compared, the "ConfigModification" node stays empty.
      {"ModifiedUser",
       Notification(L"\\Settings\\Mail\\Users\\Alice", 4,
                    {{L"Alice", L"User", {Text(L"Enabled", L"0"), Text(L"Quota", L"10")}}}),
       L"Modified",
       L"Users(multi=0){Parent=Mail; Type=; Attrs=[]; Values=[]}; "
       L"Alice(multi=0){Parent=Users; Type=User; Attrs=[Enabled,Quota]; Values=[0,10]}; "
       L"ConfigModification(multi=0){Parent=Alice; Type=; Attrs=[]; Values=[]}"},
      {"AddedUserWithChildren",
       Notification(L"\\Settings\\Mail\\Users\\Carol", 2,
                    {{L"Carol", L"User", {Text(L"Enabled", L"1")}, {{L"Devices", L"", {Text(L"Count", L"2")}}}}}),
       L"Added",
       L"Users(multi=0){Parent=Mail; Type=; Attrs=[]; Values=[]}; "
       L"Carol(multi=0){Parent=Users; Type=User; Attrs=[Enabled]; Values=[1]}; "
       L"ConfigModification(multi=0){Parent=Carol; Type=; Attrs=[]; Values=[]}; "
       L"Devices(multi=0){Parent=Carol; Type=; Attrs=[Count]; Values=[2]}"},
      // A removal leaves an empty node with a "ConfigModification" child.
      {"RemovedUser", Notification(L"\\Settings\\Mail\\Users\\Bob", 1), L"Removed",
       L"Users(multi=0){Parent=Mail; Type=; Attrs=[]; Values=[]}; "
       L"Bob(multi=0){Parent=Users; Type=; Attrs=[]; Values=[]}; "
       L"ConfigModification(multi=0){Parent=Bob; Type=; Attrs=[]; Values=[]}"},
      // The base node itself: the root keeps its attributes, so the changed
      // ones are listed with their new values; a removed one is not.
      {"ModifiedBase",
       Notification(L"\\Settings\\Mail", 4,
                    {{L"Mail", L"MailSettings", {Text(L"Server", L"mx2"), Text(L"Tls", L"on")}}}),
       L"Modified",
       L"ConfigModification(multi=0){Parent=Mail; Type=; Attrs=[]; Values=[]}; "
       L"Server(multi=0){Parent=ConfigModification; Type=Server; Attrs=[Value]; Values=[mx2]}; "
       L"Tls(multi=0){Parent=ConfigModification; Type=Tls; Attrs=[Value]; Values=[on]}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DXNodePtr notification = Build(c.notification);
    const ActivityFrameList frames = entry->MakeModificationFrame(
        notification.GetString(L"ModifiedPath"), static_cast<uint32_t>(notification.GetInt64(L"ModifyMask")), kSubject,
        notification.GetChild(0u, false));
    EXPECT_EQ(FramesWithout(frames, kSubject, c.changeType), c.frames);
  }
  EXPECT_EQ(TreeDifference(Read(L"\\Settings\\Mail"), entry->Snapshot()), L"") << "frames leave the snapshot alone";
}

TEST_F(SnapshotEntryTest, ChangedAttributeTypesCountAsChanges) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\**"));
  // Port was a 64-bit integer 25 and becomes the text 25; Server stays.
  const DXNodePtr content = Build({L"Mail", L"", {Text(L"Server", L"mx1"), Text(L"Port", L"25")}});
  const ActivityFrameList frames = entry->MakeModificationFrame(L"\\Settings\\Mail", 4, kSubject, content);
  EXPECT_EQ(FramesWithout(frames, kSubject, L"Modified"),
            L"ConfigModification(multi=0){Parent=Mail; Type=; Attrs=[]; Values=[]}; "
            L"Port(multi=0){Parent=ConfigModification; Type=Port; Attrs=[Value]; Values=[25]}");
}

// Lines of ERR and above, captured while it lives.
class ErrorLog {
 public:
  ErrorLog() : m_severity(L"GS_Logger_MaxSeverity", L"ERR") { LogManager::Instance().RefreshSettings(); }
  ~ErrorLog() { LogManager::Instance().RefreshSettings(); }
  bool Contains(const std::wstring& text) const {
    for (const std::wstring& line : m_capture.Lines())
      if (line.find(text) != std::wstring::npos) return true;
    return false;
  }

 private:
  RuntimeTest::ScopedEnvironmentVariable m_severity;
  RuntimeTest::ScopedCapture m_capture;
};

TEST_F(SnapshotEntryTest, ModificationFrameFailuresGiveNoFrames) {
  const ErrorLog log;
  // A filter without quotes fails while the rules resolve the diff tree.
  const auto malformed = MakeEntry({kEntryName,
                                    L"ConfigSnapshotEntry",
                                    {Text(L"ConfigPath", L"\\Settings\\Mail\\Users\\*"), Int64(L"SendIntervalHours", 1),
                                     Text(L"NameSource", L"<name>")},
                                    {Item(L"Bad", L"\\[@Enabled==1]\\<name>")}});
  const DXNodePtr content = Build({L"Alice", L"User", {Text(L"Enabled", L"1")}});
  EXPECT_TRUE(malformed->MakeModificationFrame(L"\\Settings\\Mail\\Users\\Alice", 4, kSubject, content).empty());
  EXPECT_TRUE(
      log.Contains(L"Make modification frame for path: \\Settings\\Mail\\Users\\Alice failed due to: 0x8007000D"));

  // A path outside the base has no place in this snapshot.
  const auto users = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\Users\\*"));
  EXPECT_TRUE(users->MakeModificationFrame(L"\\Settings\\Mail\\UsersX\\Alice", 4, kSubject, content).empty());
  EXPECT_TRUE(users->MakeModificationFrame(L"\\Settings", 4, kSubject, content).empty());
  EXPECT_EQ(TreeDifference(Read(L"\\Settings\\Mail\\Users"), users->Snapshot()), L"");
}

TEST_F(SnapshotEntryTest, ContentReplacesAttributesAndTypeAndKeepsChildren) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\Users\\*"));
  const DXNodePtr notification =
      Build(Notification(L"\\Settings\\Mail\\Users\\Alice", 4,
                         {{L"Alice",
                           L"Admin",
                           {Text(L"Enabled", L"0"), Text(L"Mode", L"full")},
                           {{L"Aliases", L"", {Text(L"A2", L"other")}}, {L"Devices", L"", {Text(L"Count", L"1")}}}}}));
  entry->ProcessModification(notification);

  const DXNodePtr expected =
      Build({L"Alice",
             L"Admin",
             {Text(L"Enabled", L"0"), Text(L"Mode", L"full")},
             {{L"Aliases", L"", {Text(L"A1", L"al")}}, {L"Devices", L"", {Text(L"Count", L"1")}}}});
  EXPECT_EQ(TreeDifference(expected, entry->Snapshot().GetChild(L"Alice")), L"");
  EXPECT_EQ(TreeDifference(Read(L"\\Settings\\Mail\\Users\\Bob"), entry->Snapshot().GetChild(L"Bob")), L"");
}

TEST_F(SnapshotEntryTest, MissingNodesOnThePathAreCreated) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\**"));
  entry->ProcessModification(
      Build(Notification(L"\\Settings\\Mail\\Groups\\Staff", 2, {{L"Staff", L"Group", {Text(L"Owner", L"alice")}}})));
  const DXNodePtr groups = entry->Snapshot().GetChild(L"Groups");
  ASSERT_TRUE(groups);
  EXPECT_EQ(groups.GetType(), L"");
  EXPECT_TRUE(groups.GetAttributeNames().empty());
  EXPECT_EQ(TreeDifference(Build({L"Staff", L"Group", {Text(L"Owner", L"alice")}}), groups.GetChild(L"Staff")), L"");
}

TEST_F(SnapshotEntryTest, RemovalDropsTheNodeFromTheSnapshot) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\**"));
  // As servers report removals: without content.
  const ActivityFrameList frames = entry->ProcessModification(Build(Notification(L"\\Settings\\Mail\\Users\\Bob", 1)));
  EXPECT_EQ(frames.size(), 3u);
  EXPECT_FALSE(entry->Snapshot().GetChild(L"Users").GetChild(L"Bob", false));
  EXPECT_TRUE(entry->Snapshot().GetChild(L"Users").GetChild(L"Alice", false));
  EXPECT_EQ(Read(kStatusPath).GetString(L"LastModifiedBy"), kSubject);

  // With content, as a host may pass it.
  entry->ProcessModification(Build(Notification(L"\\Settings\\Mail\\Inbox", 1, {{L"Inbox", L"", {}, {{L"Enabled"}}}})));
  EXPECT_FALSE(entry->Snapshot().GetChild(L"Inbox", false));

}

// The tracked node itself removed (as the server reports a deleted base):
// the removal is reported, and snapshot and status stay; a removal of what
// the snapshot lacks changes nothing in it.
TEST_F(SnapshotEntryTest, RemovalOfTheBaseOrOfAnAbsentNodeLeavesTheSnapshot) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\**"));
  const DXNodePtr before = entry->Snapshot().Clone();
  struct Case {
    const wchar_t* path;
    bool withContent;
    bool writesStatus;
  };
  for (const Case& removal : {Case{L"\\Settings\\Mail", false, false}, Case{L"\\Settings\\Mail", true, false},
                              Case{L"\\Settings\\Mail\\", false, false},
                              Case{L"\\Settings\\Mail\\Nowhere\\Deep", false, true},
                              Case{L"\\Settings\\Mail\\Users\\Nobody", false, true}}) {
    SCOPED_TRACE(removal.path);
    std::vector<NodeSpec> content;
    if (removal.withContent) content.push_back({L"Mail", L"MailSettings"});
    ActivityFrameList frames;
    EXPECT_EQ(HresultOf([&] { frames = entry->ProcessModification(Build(Notification(removal.path, 1, content))); }),
              S_OK);
    EXPECT_FALSE(frames.empty()) << "the removal is still reported";
    EXPECT_EQ(TreeDifference(before, entry->Snapshot()), L"");
    EXPECT_EQ(static_cast<bool>(Read(kStatusPath)), removal.writesStatus);
  }
}

TEST_F(SnapshotEntryTest, NestedAndRootBasesCutTheirOwnPrefix) {
  const auto root = MakeEntry(TreeListingEntry(L"\\*"));
  ASSERT_EQ(root->BasePath(), L"\\");
  root->ProcessModification(
      Build(Notification(L"\\Settings\\Mail\\Users\\Alice", 4, {{L"Alice", L"User", {Text(L"Enabled", L"0")}}})));
  EXPECT_EQ(root->Snapshot()
                .GetChild(L"Settings")
                .GetChild(L"Mail")
                .GetChild(L"Users")
                .GetChild(L"Alice")
                .GetString(L"Enabled"),
            L"0");
}

TEST_F(SnapshotEntryTest, SnapshotsOnlyEntryIgnoresModifications) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\**", {Bool(L"SnapshotsOnly", true)}));
  const ActivityFrameList frames = entry->ProcessModification(
      Build(Notification(L"\\Settings\\Mail\\Users\\Alice", 4, {{L"Alice", L"User", {Text(L"Enabled", L"0")}}})));
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(TreeDifference(Read(L"\\Settings\\Mail"), entry->Snapshot()), L"");
  EXPECT_FALSE(Read(kStatusPath));
  EXPECT_EQ(entry->LastModifiedBy(), L"Unknown");
  EXPECT_FALSE(entry->CreateSnapshot(TimeOf(L"2024-01-01T00:00:00Z")).empty()) << "snapshots are still reported";
}

TEST_F(SnapshotEntryTest, ZeroMaskOrNoContentGivesFramesOnly) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\Users\\*"));
  const DXNodePtr alice = entry->Snapshot().GetChild(L"Alice").Clone();
  const struct {
    const char* name;
    NodeSpec notification;
    const wchar_t* changeType;
    const wchar_t* frames;
  } cases[] = {
      {"MaskZero", Notification(L"\\Settings\\Mail\\Users\\Alice", 0, {{L"Alice", L"Guest", {Text(L"Enabled", L"0")}}}),
       L"", L"Alice(multi=0){Parent=Users; Type=Guest; Attrs=[Enabled]; Values=[0]}"},
      // Without content only the path is known.
      {"NoContent", Notification(L"\\Settings\\Mail\\Users\\Alice", 4), L"Modified",
       L"Alice(multi=0){Parent=Users; Type=; Attrs=[]; Values=[]}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FramesWithout(entry->ProcessModification(Build(c.notification)), kSubject, c.changeType), c.frames);
    EXPECT_EQ(TreeDifference(alice, entry->Snapshot().GetChild(L"Alice")), L"");
    EXPECT_FALSE(Read(kStatusPath));
    EXPECT_EQ(entry->LastModifiedBy(), L"Unknown");
  }
}

TEST_F(SnapshotEntryTest, NotificationNeedsPathMaskAndSubject) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\**"));
  for (const wchar_t* missing : {L"ModifiedPath", L"ModifyMask", L"SubjectDisplayName"}) {
    NodeSpec notification = Notification(L"\\Settings\\Mail\\Users\\Alice", 4, {{L"Alice", L"User"}});
    EXPECT_EQ(HresultOf([&] { entry->ProcessModification(Build(Without(notification, missing))); }),
              NodeErrors::kNotFound);
  }
}

TEST_F(SnapshotEntryTest, ModificationRecordsTheSubjectInTheStatusNode) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\Users\\*"));
  uint32_t interfaceCalls = 0;
  CLGetCallCount(m_server.Get(), CLOp_ConfigGetInterface, &interfaceCalls);

  entry->ProcessModification(
      Build(Notification(L"\\Settings\\Mail\\Users\\Bob", 4, {{L"Bob", L"User", {Text(L"Enabled", L"1")}}})));
  const DXNodePtr status = Read(kStatusPath);
  ASSERT_TRUE(status);
  EXPECT_EQ(status.GetType(), L"ConfigSnapshotStatus");
  EXPECT_EQ(status.GetString(L"LastModifiedBy"), kSubject);
  EXPECT_FALSE(status.HasAttribute(L"LastSnapshotTime"));
  EXPECT_EQ(entry->LastModifiedBy(), kSubject);

  uint32_t after = 0;
  CLGetCallCount(m_server.Get(), CLOp_ConfigGetInterface, &after);
  EXPECT_EQ(after, interfaceCalls + 1) << "the server interface is asked for on each use";

  // A snapshot adds its time; a later modification keeps it (the server merges).
  entry->CreateSnapshot(TimeOf(L"2024-03-01T10:00:00Z"));
  entry->ProcessModification(Build(
      Notification(L"\\Settings\\Mail\\Users\\Bob", 4, {{L"Bob", L"User", {Text(L"Enabled", L"0")}}}, L"CORP\\carol")));
  EXPECT_EQ(Read(kStatusPath).GetString(L"LastModifiedBy"), L"CORP\\carol");
  EXPECT_EQ(Read(kStatusPath).GetString(L"LastSnapshotTime"), L"2024-03-01T10:00:00Z");
}

// The snapshot follows the configuration even when the status cannot be
// written: later diffs and snapshots must not report the old one.
TEST_F(SnapshotEntryTest, FailedStatusWriteStillFailsButTheSnapshotFollows) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\Users\\*"));
  CLFault fault{CLFault_Always, 0, E_ACCESSDENIED, 0};
  ASSERT_EQ(CLSetFault(m_server.Get(), CLOp_ConfigWrite, &fault), S_OK);
  EXPECT_EQ(HresultOf([&] { entry->ProcessModification(Build(Notification(L"\\Settings\\Mail\\Users\\Bob", 1))); }),
            E_ACCESSDENIED);
  EXPECT_FALSE(entry->Snapshot().GetChild(L"Bob", false));
  EXPECT_EQ(HresultOf([&] {
              entry->ProcessModification(Build(Notification(L"\\Settings\\Mail\\Users\\Carol", 2,
                                                            {{L"Carol", L"User", {Text(L"Enabled", L"1")}}})));
            }),
            E_ACCESSDENIED);
  EXPECT_TRUE(entry->Snapshot().GetChild(L"Carol", false));
}

// ---- Snapshots -------------------------------------------------------------

TEST_F(SnapshotEntryTest, SnapshotDueArithmetic) {
  const TimePoint stored = TimeOf(L"2024-01-31T23:59:00Z");
  const struct {
    const char* name;
    const wchar_t* storedTime;  // null: no status node
    int64_t intervalHours;
    TimePoint now;
    bool due;
  } cases[] = {
      {"Never", nullptr, 24, stored, true},
      {"ClockWentBack", L"2024-01-31T23:59:00Z", 24, stored - 1s, true},
      {"SameSecond", L"2024-01-31T23:59:00Z", 24, stored, false},
      {"ExactlyTheInterval", L"2024-01-31T23:59:00Z", 24, TimeOf(L"2024-02-01T23:59:00Z"), false},
      {"IntervalAndAFraction", L"2024-01-31T23:59:00Z", 24, TimeOf(L"2024-02-01T23:59:00Z") + 999ms, false},
      {"OneSecondPast", L"2024-01-31T23:59:00Z", 24, TimeOf(L"2024-02-01T23:59:01Z"), true},
      {"OneHour", L"2024-01-31T23:59:00Z", 1, stored + 3601s, true},
      {"ZeroIntervalSameSecond", L"2024-01-31T23:59:00Z", 0, stored + 999ms, false},
      {"ZeroIntervalOneSecond", L"2024-01-31T23:59:00Z", 0, stored + 1s, true},
      // The hours are taken as 32 bits: 2^32 + 1 is one hour, not an overflow.
      {"LowBitsOfTheInterval", L"2024-01-31T23:59:00Z", (int64_t{1} << 32) + 1, stored + 3601s, true},
      {"LargestInterval", L"2024-01-31T23:59:00Z", 0xFFFFFFFF, stored + 24h * 365 * 100, false},
      // A stored time far outside the clock's range still makes it due.
      {"StoredFarFuture", L"9999-12-31T23:59:59Z", 24, stored, true},
      {"StoredFarPast", L"1601-01-01T00:00:00Z", 24, stored, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.storedTime != nullptr) {
      WriteConfigNode(m_server.Get(),
                      Build({kStatusPath, L"ConfigSnapshotStatus", {Text(L"LastSnapshotTime", c.storedTime)}}));
    }
    NodeSpec settings = TreeListingEntry(L"\\Settings\\Mail");
    for (AttributeSpec& attribute : settings.attributes)
      if (attribute.name == L"SendIntervalHours") attribute.value = c.intervalHours;
    EXPECT_EQ(MakeEntry(settings)->IsSnapshotDue(c.now), c.due);
  }
}

// The schedule of the maintainer's snapshot pass, on clocks the test drives:
// a pass reads the system clock's "now" at its start and waits its period on
// the steady clock from its end, and an entry is due only past its interval
// in whole seconds. An entry whose interval equals the pass period is then
// due at every pass, however long a pass takes and even when the system clock
// runs up to 0.09 % slower than the steady one; with a period of exactly the
// hours it was a second short every other pass, and snapshot every 48 hours
// instead of 24.
TEST_F(SnapshotEntryTest, EntryWhoseIntervalIsThePassPeriodIsDueAtEveryPass) {
  using Nanoseconds = std::chrono::nanoseconds;
  EXPECT_EQ(CConfigSnapshotsMaintainer::PassPeriod(0), Nanoseconds::zero());
  EXPECT_EQ(CConfigSnapshotsMaintainer::PassPeriod(-1), Nanoseconds::zero());
  EXPECT_EQ(CConfigSnapshotsMaintainer::PassPeriod(1), 1h + 1s + 3600ms);
  EXPECT_EQ(CConfigSnapshotsMaintainer::PassPeriod(24), 24h + 1s + 86400ms);
  const auto longest = CConfigSnapshotsMaintainer::kMaxSnapshotIntervalHours;
  EXPECT_GT(CConfigSnapshotsMaintainer::PassPeriod(longest), std::chrono::hours(longest)) << "no overflow";

  struct Case {
    int64_t hours;
    std::chrono::milliseconds passTakes;
    double systemRate;  // system-clock seconds per steady-clock second
  };
  TimePoint now = TimeOf(L"2024-01-01T00:00:00Z");
  for (const Case& c : {Case{24, 0ms, 1.0}, Case{24, 1ms, 1.0}, Case{24, 999ms, 1.0}, Case{24, 5000ms, 1.0},
                        Case{24, 0ms, 0.9991}, Case{24, 0ms, 1.001}, Case{1, 0ms, 0.9991}, Case{1, 250ms, 0.9995}}) {
    SCOPED_TRACE(testing::Message() << c.hours << " h, pass " << c.passTakes.count() << " ms, rate " << c.systemRate);
    NodeSpec entrySettings = TreeListingEntry(L"\\Settings\\Mail\\*");
    for (AttributeSpec& attribute : entrySettings.attributes) {
      if (attribute.name == L"SendIntervalHours") attribute = Int64(L"SendIntervalHours", c.hours);
    }
    const auto entry = MakeEntry(entrySettings);
    for (int pass = 0; pass < 8; ++pass) {
      EXPECT_TRUE(entry->IsSnapshotDue(now)) << "pass " << pass;
      entry->CreateSnapshot(now);
      const Nanoseconds steady = c.passTakes + CConfigSnapshotsMaintainer::PassPeriod(c.hours);
      now += std::chrono::duration_cast<TimePoint::duration>(
          std::chrono::duration<double, std::nano>(static_cast<double>(steady.count()) * c.systemRate));
    }
  }
}

TEST_F(SnapshotEntryTest, ElapsedTimeCountsWholeSecondsBetweenTheTimes) {
  NodeSpec settings = TreeListingEntry(L"\\Settings\\Mail\\Users\\*");
  settings.attributes[1].value = int64_t{0};
  const auto entry = MakeEntry(settings);
  const TimePoint taken = TimeOf(L"2024-05-01T12:00:00Z") + 500ms;
  ASSERT_EQ(HresultOf([&] { entry->CreateSnapshot(taken); }), S_OK);
  EXPECT_EQ(entry->LastSnapshotTime(), taken);
  EXPECT_FALSE(entry->IsSnapshotDue(taken + 900ms)) << "0.9 s apart though in different seconds";
  EXPECT_TRUE(entry->IsSnapshotDue(taken + 1s));
}

TEST_F(SnapshotEntryTest, SnapshotFramesCarryMarkersAndTheLastModifier) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\Users\\**"));
  const TimePoint now = TimeOf(L"2024-02-02T08:30:00Z");
  ASSERT_TRUE(entry->IsSnapshotDue(now));
  const ActivityFrameList first = entry->CreateSnapshot(now);
  // Each direct child of the root gets its own marker; the root none.
  EXPECT_EQ(FramesWithout(first, L"Unknown", L"Snapshot"),
            L"Alice(multi=0){Parent=Users; Type=User; Attrs=[Enabled,Quota]; Values=[1,10]}; "
            L"Aliases(multi=0){Parent=Alice; Type=; Attrs=[A1]; Values=[al]}; "
            L"ConfigModification(multi=0){Parent=Alice; Type=; Attrs=[]; Values=[]}; "
            L"Snapshot(multi=0){Parent=ConfigModification; Type=Snapshot; Attrs=[Value]; Values=[Snapshot]}; "
            L"Bob(multi=0){Parent=Users; Type=User; Attrs=[Enabled]; Values=[0]}; "
            L"ConfigModification(multi=0){Parent=Bob; Type=; Attrs=[]; Values=[]}; "
            L"Snapshot(multi=0){Parent=ConfigModification; Type=Snapshot; Attrs=[Value]; Values=[Snapshot]}");
  EXPECT_EQ(TreeDifference(Read(L"\\Settings\\Mail\\Users"), entry->Snapshot()), L"") << "markers go on a copy";
  EXPECT_EQ(entry->LastSnapshotTime(), now);
  EXPECT_FALSE(entry->IsSnapshotDue(now + 24h));
  const DXNodePtr status = Read(kStatusPath);
  EXPECT_EQ(status.GetType(), L"ConfigSnapshotStatus");
  EXPECT_EQ(status.GetString(L"LastSnapshotTime"), L"2024-02-02T08:30:00Z");
  EXPECT_EQ(status.GetString(L"LastModifiedBy"), L"Unknown");

  entry->ProcessModification(Build(Notification(L"\\Settings\\Mail\\Users\\Bob", 1)));
  const ActivityFrameList second = entry->CreateSnapshot(now + 25h);
  EXPECT_EQ(second.size(), 4u);
  FramesWithout(second, kSubject, L"Snapshot");
  EXPECT_EQ(Read(kStatusPath).GetString(L"LastModifiedBy"), kSubject);

  // A later entry reads the time back and is not due yet.
  EXPECT_FALSE(MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\Users\\**"))->IsSnapshotDue(now + 25h + 24h));
}

TEST_F(SnapshotEntryTest, PatternSelectsBelowTheSnapshot) {
  // \Settings\Mail\*\Enabled: the snapshot is \Settings\Mail, the rules see \*\Enabled.
  const auto entry = MakeEntry({kEntryName,
                                L"ConfigSnapshotEntry",
                                {Text(L"ConfigPath", L"\\Settings\\Mail\\*\\Enabled"), Int64(L"SendIntervalHours", 24),
                                 Text(L"NameSource", L"\\..\\<name>")},
                                {Item(L"Enabled", L"@Value")}});
  EXPECT_EQ(FramesWithout(entry->CreateSnapshot(TimeOf(L"2024-02-02T08:30:00Z")), L"Unknown", L"Snapshot"),
            L"Inbox(multi=0){Enabled=1}; Outbox(multi=0){Enabled=0}");
  const ActivityFrameList flipped = entry->ProcessModification(
      Build(Notification(L"\\Settings\\Mail\\Outbox\\Enabled", 4, {{L"Enabled", L"", {Text(L"Value", L"1")}}})));
  EXPECT_EQ(FramesWithout(flipped, kSubject, L"Modified"), L"Outbox(multi=0){Enabled=1}");
}

TEST_F(SnapshotEntryTest, EmptySnapshotGetsNoMarker) {
  WriteConfigNode(m_server.Get(), Build({L"\\Settings\\Empty", L"", {Text(L"Enabled", L"1")}}));
  const auto entry = MakeEntry(
      {kEntryName,
       L"ConfigSnapshotEntry",
       {Text(L"ConfigPath", L"\\Settings\\Empty"), Int64(L"SendIntervalHours", 24), Text(L"NameSource", L"<name>")},
       {Item(L"Marked", L"\\ConfigModification\\<name>"), Item(L"Enabled", L"@Enabled")}});
  EXPECT_EQ(FramesWithout(entry->CreateSnapshot(TimeOf(L"2024-02-02T08:30:00Z")), L"Unknown", L"Snapshot"),
            L"Empty(multi=0){Marked=; Enabled=1}");
}

TEST_F(SnapshotEntryTest, FailedSnapshotStatusWriteIsRaisedAndTheTimeKept) {
  const auto entry = MakeEntry(TreeListingEntry(L"\\Settings\\Mail\\Users\\*"));
  CLFault fault{CLFault_Always, 0, E_ACCESSDENIED, 0};
  ASSERT_EQ(CLSetFault(m_server.Get(), CLOp_ConfigWrite, &fault), S_OK);
  const TimePoint now = TimeOf(L"2024-02-02T08:30:00Z");
  const ErrorLog log;
  EXPECT_EQ(HresultOf([&] { entry->CreateSnapshot(now); }), E_ACCESSDENIED);
  EXPECT_TRUE(log.Contains(L"UsageStatistics::CConfigSnapshotEntry::CreateSnapshot failed: 0x80070005"));
  EXPECT_EQ(entry->LastSnapshotTime(), now);
  EXPECT_FALSE(Read(kStatusPath));
}

}  // namespace

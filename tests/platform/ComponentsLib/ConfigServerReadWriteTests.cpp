// The configuration server's store: reads by filter, merging writes,
// deletes, and the slots a module reaches it through.
#include "HostTestSupport.h"

namespace HostTest {
namespace {

using ConfigServerReadWriteTest = ConfigServerTest;

// \Settings\Mail (type "Section", attributes) with children A (with child
// Deep) and B.
void WriteSampleTree(ConfigServerReadWriteTest& test, IDXConfigServer* server) {
  Node mail = MakeNode(L"\\Settings\\Mail", L"Section", {Attribute::Text(L"Host", L"mx"), Attribute::Int64(L"Port", 25)});
  Node a = MakeNode(L"A", L"Item", {Attribute::Bool(L"Enabled", true)});
  a.AddChild(MakeNode(L"Deep", nullptr, {Attribute::Text(L"Value", L"d")}));
  mail.AddChild(a);
  mail.AddChild(MakeNode(L"B", L"Item"));
  IDXNode* handles[] = {mail.Get()};
  ASSERT_EQ(server->WriteNodes(nullptr, 0, handles, 1), S_OK);
  (void)test;
}

uint32_t CountNodes(const Node& node) {
  uint32_t total = 1;
  for (uint32_t index = 0; index < node.ChildCount(); ++index) total += CountNodes(node.Child(index));
  return total;
}

TEST_F(ConfigServerReadWriteTest, AbsentNodeReadsAsCountZero) {
  const Node filter = MakeFilter(L"\\Nowhere");
  IDXNode* result = reinterpret_cast<IDXNode*>(0x1);
  uint32_t count = 7;
  EXPECT_EQ(Server()->ReadNodes(filter.Get(), 0, &result, 1, &count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(result, nullptr);
}

TEST_F(ConfigServerReadWriteTest, WriteCreatesMissingParentsAndSetsTheType) {
  WriteSampleTree(*this, Server());
  const Node settings = Read(L"\\Settings");
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings.Name(), L"Settings");
  EXPECT_EQ(settings.Type(), L"");
  const Node mail = Read(L"\\Settings\\Mail");
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail.Name(), L"Mail");
  EXPECT_EQ(mail.Type(), L"Section");
  EXPECT_EQ(TextOf(mail, L"Host"), L"mx");
  EXPECT_EQ(mail.GetInteger(L"Port"), 25);
  EXPECT_EQ(TextOf(Read(L"\\Settings\\Mail\\A\\Deep"), L"Value"), L"d");
}

TEST_F(ConfigServerReadWriteTest, ReadCopiesToTheAskedDepth) {
  WriteSampleTree(*this, Server());
  struct Case {
    int64_t maxDepth;
    uint32_t nodes;
  } cases[] = {{0, 1}, {1, 3}, {2, 4}, {kWholeDepth, 4}, {int64_t{1} << 40, 4}};
  for (const Case& c : cases) {
    const Node mail = Read(L"\\Settings\\Mail", c.maxDepth);
    ASSERT_TRUE(mail);
    EXPECT_EQ(CountNodes(mail), c.nodes) << "MaxDepth " << c.maxDepth;
    EXPECT_EQ(TextOf(mail, L"Host"), L"mx");
  }
}

TEST_F(ConfigServerReadWriteTest, ReadGivesAParentlessCopyThatDoesNotTouchTheStore) {
  WriteSampleTree(*this, Server());
  Node mail = Read(L"\\Settings\\Mail");
  ASSERT_TRUE(mail);
  Node parent;
  EXPECT_NE(DxnGetParent(mail.Get(), parent.Put()), S_OK);
  EXPECT_FALSE(parent);
  mail.SetText(L"Host", L"changed");
  mail.RemoveChild(mail.Child(0));
  const Node again = Read(L"\\Settings\\Mail");
  EXPECT_EQ(TextOf(again, L"Host"), L"mx");
  EXPECT_EQ(again.ChildCount(), 2u);
}

TEST_F(ConfigServerReadWriteTest, RootReadsAsTheWholeStore) {
  WriteSampleTree(*this, Server());
  const Node root = Read(L"\\");
  ASSERT_TRUE(root);
  EXPECT_EQ(root.Name(), L"");
  EXPECT_EQ(CountNodes(root), 6u);
}

TEST_F(ConfigServerReadWriteTest, ParentFilterReadsTheChildren) {
  WriteSampleTree(*this, Server());
  const Node filter = MakeFilter(L"\\Settings\\Mail", true, 0);
  IDXNode* results[4] = {};
  uint32_t count = 0;
  ASSERT_EQ(Server()->ReadNodes(filter.Get(), 0, results, 4, &count), S_OK);
  ASSERT_EQ(count, 2u);
  const Node a = Node::Adopt(results[0]);
  const Node b = Node::Adopt(results[1]);
  EXPECT_EQ(a.Name(), L"A");
  EXPECT_EQ(a.ChildCount(), 0u);  // depth 0 below each child
  EXPECT_EQ(b.Name(), L"B");

  // One place for two children: the needed count comes back, no nodes.
  IDXNode* one = nullptr;
  EXPECT_EQ(Server()->ReadNodes(filter.Get(), 0, &one, 1, &count), CL_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(one, nullptr);
}

TEST_F(ConfigServerReadWriteTest, MalformedFiltersAreRejected) {
  struct Case {
    const char* what;
    Node filter;
  };
  const Case cases[] = {
      {"wrong type", MakeNode(nullptr, L"FilterByName", {Attribute::Text(L"NodePath", L"\\A")})},
      {"no NodePath", MakeNode(nullptr, L"FilterByPath", {Attribute::Int64(L"MaxDepth", 0)})},
      {"relative path", MakeFilter(L"A\\B")},
      {"empty path", MakeFilter(L"")},
      {"trailing backslash", MakeFilter(L"\\A\\")},
      {"doubled backslash", MakeFilter(L"\\A\\\\B")},
      {"negative depth", MakeFilter(L"\\A", false, -1)},
      {"NodePath not text", MakeNode(nullptr, L"FilterByPath", {Attribute::Int64(L"NodePath", 1)})},
      {"IsParent not boolean",
       MakeNode(nullptr, L"FilterByPath", {Attribute::Text(L"NodePath", L"\\A"), Attribute::Text(L"IsParent", L"no")})},
  };
  for (const Case& c : cases) {
    IDXNode* result = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(Server()->ReadNodes(c.filter.Get(), 0, &result, 1, &count), E_INVALIDARG) << c.what;
    EXPECT_EQ(result, nullptr) << c.what;
  }
  const Node good = MakeFilter(L"\\A");
  IDXNode* result = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(Server()->ReadNodes(nullptr, 0, &result, 1, &count), E_POINTER);
  EXPECT_EQ(Server()->ReadNodes(good.Get(), 0, nullptr, 1, &count), E_POINTER);
  EXPECT_EQ(Server()->ReadNodes(good.Get(), 0, &result, 1, nullptr), E_POINTER);
  EXPECT_EQ(Server()->ReadNodes(good.Get(), 1, &result, 1, &count), E_INVALIDARG);
  EXPECT_EQ(Server()->ReadNodes(good.Get(), 0, &result, 0, &count), E_INVALIDARG);
}

TEST_F(ConfigServerReadWriteTest, WriteMergesAttributes) {
  // A status node written whole, then with "LastModifiedBy" only.
  ASSERT_EQ(Write(MakeNode(L"\\Status\\{1}", L"ConfigSnapshotStatus",
                           {Attribute::Text(L"LastSnapshotTime", L"2024-01-31T23:59:00Z"),
                            Attribute::Text(L"LastModifiedBy", L"Unknown")})),
            S_OK);
  ASSERT_EQ(Write(MakeNode(L"\\Status\\{1}", L"ConfigSnapshotStatus", {Attribute::Text(L"LastModifiedBy", L"alice")})),
            S_OK);
  const Node status = Read(L"\\Status\\{1}");
  EXPECT_EQ(TextOf(status, L"LastSnapshotTime"), L"2024-01-31T23:59:00Z");
  EXPECT_EQ(TextOf(status, L"LastModifiedBy"), L"alice");
  EXPECT_EQ(status.AttributeNames(), (std::vector<std::wstring>{L"LastSnapshotTime", L"LastModifiedBy"}));

  // A written value replaces the stored one whatever its type.
  ASSERT_EQ(Write(MakeNode(L"\\Status\\{1}", nullptr, {Attribute::Int64(L"LastModifiedBy", 5)})), S_OK);
  const Node retyped = Read(L"\\Status\\{1}");
  EXPECT_EQ(retyped.GetInteger(L"LastModifiedBy"), 5);
  EXPECT_EQ(retyped.Type(), L"ConfigSnapshotStatus");  // a write without type keeps it
}

TEST_F(ConfigServerReadWriteTest, WrittenChildrenMergeByName) {
  WriteSampleTree(*this, Server());
  Node update = MakeNode(L"\\Settings\\Mail", nullptr);
  update.AddChild(MakeNode(L"A", nullptr, {Attribute::Text(L"Note", L"n")}));
  update.AddChild(MakeNode(L"C", L"Item"));
  ASSERT_EQ(Write(update), S_OK);
  const Node mail = Read(L"\\Settings\\Mail");
  ASSERT_EQ(mail.ChildCount(), 3u);
  const Node a = mail.FindChild(L"A");
  EXPECT_EQ(a.GetBool(L"Enabled"), true);
  EXPECT_EQ(TextOf(a, L"Note"), L"n");
  EXPECT_EQ(a.ChildCount(), 1u);  // children the write does not name stay
  EXPECT_TRUE(mail.FindChild(L"B"));
  EXPECT_EQ(mail.FindChild(L"C").Type(), L"Item");
}

TEST_F(ConfigServerReadWriteTest, InvalidWritesChangeNothing) {
  Node unnamedChild = MakeNode(L"\\Ok\\Parent", nullptr);
  unnamedChild.AddChild(MakeNode(nullptr, nullptr));
  Node childWithPath = MakeNode(L"\\Ok\\Parent", nullptr);
  childWithPath.AddChild(MakeNode(L"X\\Y", nullptr));
  struct Case {
    const char* what;
    Node node;
  };
  const Case cases[] = {
      {"relative name", MakeNode(L"Relative\\Path", nullptr)},
      {"no name", MakeNode(nullptr, nullptr)},
      {"trailing backslash", MakeNode(L"\\A\\", nullptr)},
      {"empty element", MakeNode(L"\\A\\\\B", nullptr)},
      {"unnamed child", unnamedChild},
      {"child named with a path", childWithPath},
  };
  for (const Case& c : cases) {
    // Each bad node goes after a good one: the whole call must fail first.
    const Node good = MakeNode(L"\\Ok\\Good", nullptr, {Attribute::Text(L"V", L"1")});
    IDXNode* handles[] = {good.Get(), c.node.Get()};
    EXPECT_EQ(Server()->WriteNodes(nullptr, 0, handles, 2), E_INVALIDARG) << c.what;
  }
  EXPECT_FALSE(Read(L"\\Ok"));
  IDXNode* nullNode[] = {nullptr};
  EXPECT_EQ(Server()->WriteNodes(nullptr, 0, nullNode, 1), E_POINTER);
  EXPECT_EQ(Server()->WriteNodes(nullptr, 0, nullptr, 1), E_POINTER);
  EXPECT_EQ(Server()->WriteNodes(nullptr, 0, nullptr, 0), S_OK);
  const Node good = MakeNode(L"\\Ok", nullptr);
  IDXNode* handles[] = {good.Get()};
  EXPECT_EQ(Server()->WriteNodes(nullptr, 1, handles, 1), E_INVALIDARG);
}

TEST_F(ConfigServerReadWriteTest, RootAttributesCanBeWritten) {
  ASSERT_EQ(Write(MakeNode(L"\\", L"Store", {Attribute::Text(L"Version", L"3")})), S_OK);
  const Node root = Read(L"\\", 0);
  EXPECT_EQ(TextOf(root, L"Version"), L"3");
  EXPECT_EQ(root.Type(), L"Store");
}

TEST_F(ConfigServerReadWriteTest, DeleteRemovesNodesOrChildren) {
  WriteSampleTree(*this, Server());
  const Node deleteA = MakeFilter(L"\\Settings\\Mail\\A");
  const Node absent = MakeFilter(L"\\Settings\\Nothing");
  IDXNode* filters[] = {deleteA.Get(), absent.Get()};
  ASSERT_EQ(Server()->DeleteNodes(nullptr, 0, filters, 2), S_OK);
  EXPECT_FALSE(Read(L"\\Settings\\Mail\\A"));
  EXPECT_TRUE(Read(L"\\Settings\\Mail\\B"));

  const Node children = MakeFilter(L"\\Settings", true);
  IDXNode* childFilter[] = {children.Get()};
  ASSERT_EQ(Server()->DeleteNodes(nullptr, 0, childFilter, 1), S_OK);
  const Node settings = Read(L"\\Settings");
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings.ChildCount(), 0u);

  const Node root = MakeFilter(L"\\");
  IDXNode* rootFilter[] = {root.Get()};
  EXPECT_EQ(Server()->DeleteNodes(nullptr, 0, rootFilter, 1), E_INVALIDARG);
}

// The way a module reaches the server: the proxy, its component, the
// component's interface, then slots 5 (write) and 7 (read) by position.
TEST_F(ConfigServerReadWriteTest, ModuleRouteThroughProxyComponentAndSlots) {
  ASSERT_EQ(CLRegisterNamedInstance(L"ConfigServer.Proxy", Server()), S_OK);
  CompPtr<IDXConfigServer> proxy;
  ASSERT_EQ(CLGetNamedInstance(L"ConfigServer.Proxy", 0, IID_IDXConfigServer, proxy.PutVoid()), S_OK);
  CompPtr<IDXConfigServerProxy> asProxy;
  ASSERT_EQ(proxy.As(asProxy), S_OK);
  CompPtr<IDXConfigServerComponent> component;
  ASSERT_EQ(asProxy->GetConfigServerComponent(component.Put()), S_OK);
  CompPtr<IDXConfigServer> server;
  ASSERT_EQ(component->GetConfigServerInterface(IID_IDXConfigServer, server.PutVoid()), S_OK);

  using WriteSlot = HRESULT (*)(void*, IComponentObject*, uint32_t, IDXNode* const*, uint32_t);
  using ReadSlot = HRESULT (*)(void*, IDXNode*, uint32_t, IDXNode**, uint32_t, uint32_t*);
  void** table = *reinterpret_cast<void***>(server.Get());
  const Node node = MakeNode(L"\\Veltrano\\UsageStatisticsSettings", nullptr, {Attribute::Bool(L"Enabled", true)});
  IDXNode* handles[] = {node.Get()};
  EXPECT_EQ(reinterpret_cast<WriteSlot>(table[5])(server.Get(), nullptr, 0, handles, 1), S_OK);
  const Node filter = MakeFilter(L"\\Veltrano\\UsageStatisticsSettings", false, kWholeDepth);
  IDXNode* result = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(reinterpret_cast<ReadSlot>(table[7])(server.Get(), filter.Get(), 0, &result, 1, &count), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(Node::Adopt(result).GetBool(L"Enabled"), true);
  EXPECT_EQ(CLRevokeNamedInstance(L"ConfigServer.Proxy"), S_OK);
}

}  // namespace
}  // namespace HostTest

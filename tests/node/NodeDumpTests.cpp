// The diagnostic dump of nodes and the masking of hidden attributes, with
// maskers built from given setting texts (the process-wide masker of this
// test program reads an unset setting).
#include "node/HiddenAttributeMasker.h"
#include "node/NodeDump.h"
#include "node/NodeSerialization.h"

#include "NodeTreeComparison.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/LogStatement.h"
#include "support/HresultOf.h"
#include "support/NodeBuilder.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using KestrovaTest::Build;
using KestrovaTest::HresultOf;
using KestrovaTest::Int64;
using KestrovaTest::NodeSpec;
using KestrovaTest::Text;
using KestrovaTest::TreeDifference;

constexpr wchar_t kMask[] = L"********";

size_t Occurrences(const std::wstring& text, const std::wstring& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::wstring HeaderOf(const std::wstring& dump) { return dump.substr(0, dump.find(L"\r\n")); }

std::wstring BodyOf(const std::wstring& dump) {
  const size_t end = dump.find(L"\r\n");
  return end == std::wstring::npos ? std::wstring() : dump.substr(end + 2);
}

// "DXNode[0x" + the handle as 16 hexadecimal digits + "]:"
std::wstring ExpectedHeader(const DXNodePtr& printed) {
  wchar_t text[64];
  swprintf(text, 64, L"DXNode[0x%016llX]:",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(printed.Get())));
  return text;
}

// Root (type Item, A1 = r) > Child (type Other, A1 = c, A2 = keep) > Grandchild (type Item, A1 = g, A2 = g2)
DXNodePtr SecretTree() {
  return Build(NodeSpec{L"Root",
                        L"Item",
                        {Text(L"A1", L"root-secret"), Text(L"Plain", L"visible")},
                        {{L"Child",
                          L"Other",
                          {Text(L"A1", L"child-secret"), Text(L"A2", L"other-a2")},
                          {{L"Grandchild", L"Item", {Int64(L"A1", 42), Text(L"A2", L"item-a2")}, {}}}}}});
}

TEST(StripSerializationWrapper, KeepsWhatLiesInsideTheWrapper) {
  struct Case {
    std::string serialized;
    std::string printed;
  };
  const Case cases[] = {
      {"<nr>\r\n  <node name=\"A\"/>\r\n</nr>\r\n", "  <node name=\"A\"/>"},
      {"<nr>\n<node/>\n</nr>\n", "<node/>"},
      {"<nr><node/></nr>", "<node/>"},
      {"<nr>\r\n</nr>\r\n", ""},
      {"<nr>\r\n", ""},
      {"<nr>", ""},
      {"", ""},
      // No closing wrapper: unchanged apart from trailing white space.
      {"<nr>\r\n<node/>\r\n \t\r\n", "<node/>"},
      {"<node/>\r\n  \t ", "<node/>"},
      {"  <node/>", "  <node/>"},
      {"<node/>\r\n</nr> \r\n", "<node/>"},
      // White space other than line breaks before "</nr>" stays.
      {"<nr>\r\n<node/> \t\r\n</nr>", "<node/> \t"},
      {"text </nr", "text </nr"},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(NodeUtils::StripSerializationWrapper(test.serialized), test.printed) << test.serialized;
  }
}

TEST(NodeDump, EmptyNodeIsNull) {
  const CHiddenAttributeMasker masker(L"*:A1");
  EXPECT_EQ(NodeUtils::DumpNode(DXNodeRef(DXNodePtr(), true, masker)), L"DXNode[<null>]");
  EXPECT_EQ(NodeUtils::DumpNode(DXNodeRef(DXNodePtr(), false)), L"DXNode[<null>]");
  LogStream stream;
  stream << DXNodePtr();
  EXPECT_EQ(stream.Text(), L"DXNode[<null>]");
}

TEST(NodeDump, HandleLineThenTheSerializedTextWithoutWrapper) {
  const DXNodePtr tree = SecretTree();
  const DXNodeRef reference(tree, true, CHiddenAttributeMasker(L""));
  const std::wstring dump = NodeUtils::DumpNode(reference);
  EXPECT_EQ(HeaderOf(dump), ExpectedHeader(tree)) << "no masking: the given node is printed";
  IDXNode* const handles[] = {tree.Get()};
  const std::string text = NodeUtils::SerializeToText(handles, 1, DXN_SERIALIZE_FORMATTED, DXNodePtr::kWholeSubtree);
  const std::string_view inner = NodeUtils::StripSerializationWrapper(text);
  EXPECT_EQ(BodyOf(dump), std::wstring(inner.begin(), inner.end()));  // ASCII content
  EXPECT_TRUE(BodyOf(dump).starts_with(L"  <node name=\"Root\" type=\"Item\">")) << dump;
  EXPECT_EQ(Occurrences(dump, L"<nr>") + Occurrences(dump, L"</nr>"), 0u);
  EXPECT_FALSE(dump.ends_with(L"\n"));
}

TEST(NodeDump, DepthZeroPrintsTheNodeAlone) {
  const DXNodePtr tree = SecretTree();
  const std::wstring alone = NodeUtils::DumpNode(DXNodeRef(tree, false, CHiddenAttributeMasker(L"")));
  EXPECT_NE(alone.find(L"root-secret"), std::wstring::npos);
  EXPECT_EQ(alone.find(L"Child"), std::wstring::npos) << alone;
  const std::wstring whole = NodeUtils::DumpNode(DXNodeRef(tree, true, CHiddenAttributeMasker(L"")));
  EXPECT_NE(whole.find(L"name=\"Grandchild\""), std::wstring::npos);
}

TEST(NodeDump, TextIsConvertedFromUtf8) {
  const std::wstring text = L"Gr\u00FC\u00DFe \u20AC \U0001D11E \u4E2D\u6587";
  const DXNodePtr node = Build(NodeSpec{L"N\u00E4me", L"", {Text(L"Value", text)}, {}});
  const std::wstring dump = NodeUtils::DumpNode(DXNodeRef(node, true, CHiddenAttributeMasker(L"")));
  EXPECT_NE(dump.find(text), std::wstring::npos) << dump;
  EXPECT_NE(dump.find(L"N\u00E4me"), std::wstring::npos);
}

TEST(HiddenAttributeMasker, SettingTextsThatBuild) {
  struct Case {
    const wchar_t* setting;
    std::vector<std::pair<std::wstring, std::set<std::wstring>>> hidden;
  };
  const Case cases[] = {
      {L"", {}},
      {L";;", {}},
      {L"Item:A1,A2;*:A3", {{L"Item", {L"A1", L"A2"}}, {L"*", {L"A3"}}}},
      {L" \tItem\r\n : A1 , A2\t;;\n*:A3;", {{L"Item", {L"A1", L"A2"}}, {L"*", {L"A3"}}}},
      {L"Item:A1;Item:A2", {{L"Item", {L"A1", L"A2"}}}},
      {L"Item:A1,,A2,", {{L"Item", {L"A1", L"A2"}}}},
      {L"Item::A1", {{L"Item", {L"A1"}}}},  // empty parts between colons are skipped
      {L"Item: , ", {}},                    // no names: nothing to hide
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(test.setting)));
    const CHiddenAttributeMasker masker(test.setting);
    EXPECT_EQ(masker.HidesNothing(), test.hidden.empty());
    for (const auto& [type, names] : test.hidden) {
      const std::set<std::wstring>* hidden = masker.HiddenAttributes(type);
      ASSERT_NE(hidden, nullptr) << type;
      EXPECT_EQ(*hidden, names);
    }
    EXPECT_EQ(masker.HiddenAttributes(L"Unlisted"), nullptr);
  }
}

TEST(HiddenAttributeMasker, MalformedItemsFailTheMasker) {
  const wchar_t* const settings[] = {
      L"A1", L"Item:A1:A2", L"*:A1;Item", L"Item:", L":A1", L":", L" ", L"Item:A1;x:y:z;*:A2",
  };
  for (const wchar_t* setting : settings) {
    EXPECT_EQ(HresultOf([&] { CHiddenAttributeMasker masker(setting); }), E_INVALIDARG) << setting;
  }
}

TEST(HiddenAttributeMasker, WholeSubtreeMasksEveryDepthAndKeepsTheGivenTree) {
  const DXNodePtr tree = SecretTree();
  const DXNodePtr before = tree.Clone();
  const CHiddenAttributeMasker masker(L"*:A1");
  const DXNodeRef reference(tree, true, masker);
  const std::wstring dump = NodeUtils::DumpNode(reference);

  EXPECT_NE(reference.Node().Get(), tree.Get());
  EXPECT_EQ(HeaderOf(dump), ExpectedHeader(reference.Node())) << "the masked copy is printed";
  EXPECT_EQ(Occurrences(dump, kMask), 3u) << dump;
  for (const wchar_t* secret : {L"root-secret", L"child-secret", L">42<"}) {
    EXPECT_EQ(dump.find(secret), std::wstring::npos) << secret;
  }
  EXPECT_NE(dump.find(L"visible"), std::wstring::npos);
  EXPECT_NE(dump.find(L"other-a2"), std::wstring::npos);
  // The masked value is text, whatever the hidden attribute's type was.
  EXPECT_EQ(reference.Node().GetChild(0u).GetChild(0u).GetString(L"A1"), kMask);

  EXPECT_EQ(TreeDifference(before, tree), L"") << "the given tree keeps its values";
  EXPECT_FALSE(reference.Node().GetParent()) << "the copy is parentless";
}

TEST(HiddenAttributeMasker, DepthZeroMasksTheStartNodeOnly) {
  const DXNodePtr tree = SecretTree();
  const CHiddenAttributeMasker masker(L"*:A1");
  const DXNodeRef reference(tree.GetChild(0u), false, masker);
  EXPECT_EQ(reference.Node().GetChildCount(), 0u) << "a copy of the node alone";
  EXPECT_EQ(reference.Node().GetString(L"A1"), kMask);
  const std::wstring dump = NodeUtils::DumpNode(reference);
  EXPECT_EQ(Occurrences(dump, kMask), 1u) << dump;
  EXPECT_EQ(dump.find(L"Grandchild"), std::wstring::npos);
  EXPECT_EQ(tree.GetChild(0u).GetString(L"A1"), L"child-secret");
  EXPECT_EQ(tree.GetChild(0u).GetChild(0u).GetInt64(L"A1"), 42);
}

TEST(HiddenAttributeMasker, TypedItemsMaskOnlyNodesOfTheirType) {
  const DXNodePtr tree = SecretTree();
  const std::wstring dump = NodeUtils::DumpNode(DXNodeRef(tree, true, CHiddenAttributeMasker(L"Item:A2;Other:Plain")));
  EXPECT_EQ(Occurrences(dump, kMask), 1u) << dump;
  EXPECT_EQ(dump.find(L"item-a2"), std::wstring::npos);
  EXPECT_NE(dump.find(L"other-a2"), std::wstring::npos) << "A2 is hidden on Item nodes only";
  EXPECT_NE(dump.find(L"visible"), std::wstring::npos) << "Plain is hidden on Other nodes only";
  EXPECT_NE(dump.find(L"root-secret"), std::wstring::npos);
}

TEST(HiddenAttributeMasker, NoHiddenAttributeMeansNoCopy) {
  const DXNodePtr tree = SecretTree();
  for (const wchar_t* setting : {L"", L"*:Absent", L"Missing:A1", L"Item:Plain2;*:Nothing"}) {
    const CHiddenAttributeMasker masker(setting);
    const DXNodePtr printed = masker.MaskedCopy(tree, DXNodePtr::kWholeSubtree);
    // The same node: a change through one handle shows through the other.
    printed.SetString(L"Probe", setting);
    EXPECT_EQ(tree.GetString(L"Probe"), setting);
    tree.DeleteAttribute(L"Probe");
    EXPECT_EQ(HeaderOf(NodeUtils::DumpNode(DXNodeRef(tree, true, masker))), ExpectedHeader(tree)) << setting;
  }
  // Below depth 0 nothing counts.
  const CHiddenAttributeMasker masker(L"Other:A1");
  const DXNodePtr printed = masker.MaskedCopy(tree, 0);
  printed.SetString(L"Probe", L"x");
  EXPECT_TRUE(tree.HasAttribute(L"Probe"));
}

// Siblings sharing a name, and nodes without names, are told apart by their position.
TEST(HiddenAttributeMasker, CopyNodesAreFoundByPosition) {
  const DXNodePtr root = Build(NodeSpec{L"Root",
                                        L"",
                                        {},
                                        {{L"Same", L"", {Text(L"Other", L"first")}, {}},
                                         {L"Same", L"", {Text(L"A1", L"second-secret")}, {}},
                                         {L"", L"", {}, {{L"", L"", {Text(L"A1", L"nameless-secret")}, {}}}}}});
  const CHiddenAttributeMasker masker(L"*:A1");
  const DXNodeRef reference(root, true, masker);
  const std::wstring dump = NodeUtils::DumpNode(reference);
  EXPECT_EQ(Occurrences(dump, kMask), 2u) << dump;
  EXPECT_EQ(dump.find(L"secret"), std::wstring::npos) << dump;
  EXPECT_FALSE(reference.Node().GetChild(0u).HasAttribute(L"A1")) << "nothing added to the first sibling";
  EXPECT_EQ(reference.Node().GetChild(1u).GetString(L"A1"), kMask);
}

TEST(HiddenAttributeMasker, DeepTreesAreWalkedWithoutRecursion) {
  DXNodePtr root = DXNodePtr::Create(L"L0", nullptr);
  DXNodePtr current = root;
  for (int level = 1; level <= 1000; ++level) {
    DXNodePtr child = DXNodePtr::Create((L"L" + std::to_wstring(level)).c_str(), nullptr);
    current.AddChild(child);
    current = child;
  }
  current.SetString(L"A1", L"deepest-secret");
  const DXNodePtr copy = CHiddenAttributeMasker(L"*:A1").MaskedCopy(root, DXNodePtr::kWholeSubtree);
  DXNodePtr walk = copy;
  for (int level = 1; level <= 1000; ++level) walk = walk.GetChild(0u);
  EXPECT_EQ(walk.GetString(L"A1"), kMask);
  EXPECT_EQ(current.GetString(L"A1"), L"deepest-secret");
}

// The process-wide masker of this program reads an unset setting: every
// value is printed, and a log statement prints the whole subtree.
TEST(NodeDumpInLogStatements, UnsetSettingPrintsEveryAttribute) {
  const DXNodePtr tree = SecretTree();
  LogStream stream;
  stream << L"Node: " << tree;
  const std::wstring text = stream.Text();
  EXPECT_EQ(text, L"Node: " + NodeUtils::DumpNode(DXNodeRef(tree, true, CHiddenAttributeMasker(L""))));
  for (const wchar_t* value : {L"root-secret", L"child-secret", L">42<", L"item-a2"}) {
    EXPECT_NE(text.find(value), std::wstring::npos) << value;
  }
  EXPECT_EQ(text.find(kMask), std::wstring::npos);

  LogStream alone;
  alone << DXNodeRef(tree, false);
  EXPECT_EQ(alone.Text().find(L"Child"), std::wstring::npos);
  EXPECT_EQ(HeaderOf(alone.Text()), ExpectedHeader(tree));
}

}  // namespace

// Node trees to files and back, to text, in batches, and the failures of
// each step, through the real DataLayer.dll.
#include "NodeTreeComparison.h"

#include "node/NodeErrors.h"
#include "node/NodeSerialization.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/HresultOf.h"
#include "support/NodeBuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using KestrovaTest::Build;
using KestrovaTest::HresultOf;
using KestrovaTest::NodeSpec;
using KestrovaTest::SetRaw;
using KestrovaTest::Text;
using KestrovaTest::TreeDifference;
using NodeUtils::CDeserializationContext;
using NodeUtils::CSerializationContext;
using RuntimeTest::TempDirectory;

constexpr auto kNodeText = DXNSerializationType_NodeText;
constexpr uint32_t kWriteFlags = DXN_SERIALIZE_FORMATTED;
constexpr uint32_t kReadFlags = 0;
constexpr uint32_t kWholeSubtree = DXNodePtr::kWholeSubtree;

// Texts the node text format must escape or carry unchanged.
const std::vector<std::wstring> kOddTexts = {
    L"",
    L" leading and trailing blanks ",
    L"<tag attr=\"v\">&amp; 'quoted' & ]]> </tag>",
    L"line\r\nbreaks\nand\ttabs\r",
    L"Gr\u00FC\u00DFe \u20AC \U0001D11E \u4E2D\u6587",
    std::wstring(L"embedded\0nul", 12),
    std::wstring(1, static_cast<wchar_t>(0xD800)) + L"lone surrogate",
    L"\x01\x1F control characters",
    std::wstring(20000, L'x') + L"end",  // longer than one file read buffer
};

// One node with every attribute type the module uses, and some it does not.
DXNodePtr NodeWithEveryAttributeType(const std::wstring& name) {
  DXNodePtr node = DXNodePtr::Create(name.c_str(), L"EveryType");
  node.SetString(L"Text", L"plain text");
  for (size_t index = 0; index < kOddTexts.size(); ++index) {
    node.SetString((L"Odd" + std::to_wstring(index)).c_str(), kOddTexts[index]);
  }
  const int32_t int32 = -123456;
  SetRaw(node, L"Int32", DXN_TYPE_INT32, &int32, sizeof(int32));
  node.SetInt64(L"Int64Min", INT64_MIN);
  node.SetInt64(L"Int64Max", INT64_MAX);
  node.SetBool(L"True", true);
  node.SetBool(L"False", false);
  const uint8_t bytes[] = {0x00, 0xFF, 0x10, 0x80, 0x7F, 0x3C, 0x26};
  node.SetBinary(L"Binary", bytes, sizeof(bytes));
  node.SetBinary(L"EmptyBinary", nullptr, 0);
  node.SetStringList(L"List", {L"first", L"", L"<third & fourth>", L"\u00E9t\u00E9"});
  node.SetStringList(L"EmptyList", {});
  SetRaw(node, L"TypeNone", DXN_TYPE_NONE, nullptr, 0);
  const uint8_t odd[] = {1, 2, 3};
  SetRaw(node, L"OddCode", 0x77, odd, sizeof(odd));
  const wchar_t legacy[] = L"legacy text";
  SetRaw(node, L"LegacyText", DXN_TYPE_TEXT_LEGACY, legacy, sizeof(legacy));
  return node;
}

// A tree three levels deep: named and nameless nodes, typed and untyped.
DXNodePtr TreeWithEveryAttributeType() {
  DXNodePtr root = NodeWithEveryAttributeType(L"Root");
  DXNodePtr nameless = DXNodePtr::Create(nullptr, nullptr);
  nameless.AddChild(NodeWithEveryAttributeType(L"Grandchild"));
  root.AddChild(nameless);
  root.AddChild(Build(NodeSpec{L"Sibling & <other>", L"", {Text(L"A", L"b")}, {}}));
  root.AddChild(DXNodePtr::Create(L"Empty", nullptr));
  return root;
}

std::vector<DXNodePtr> NumberedNodes(size_t count) {
  std::vector<DXNodePtr> nodes;
  for (size_t index = 0; index < count; ++index) {
    nodes.push_back(
        Build(NodeSpec{L"N" + std::to_wstring(index), L"Frame", {Text(L"Index", std::to_wstring(index))}, {}}));
  }
  return nodes;
}

// A file can be opened without sharing only when every handle to it is closed.
bool IsClosed(const std::wstring& path) {
  const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(handle);
  return true;
}

std::string FileBytes(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

class NodeFileTest : public ::testing::Test {
 protected:
  std::wstring Path(const wchar_t* name = L"nodes.txt") const { return m_temp / name; }
  TempDirectory m_temp;
};

TEST_F(NodeFileTest, TreeWithEveryAttributeTypeReadsBackEqual) {
  const DXNodePtr tree = TreeWithEveryAttributeType();
  const DXNodePtr second = NodeWithEveryAttributeType(L"Second");
  NodeUtils::SerializeToFile(Path(), {tree, second}, kNodeText, kWriteFlags, kWholeSubtree);
  EXPECT_TRUE(IsClosed(Path()));

  const std::vector<DXNodePtr> read = NodeUtils::DeserializeFromFile(Path(), kNodeText, kReadFlags);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(TreeDifference(tree, read[0]), L"");
  EXPECT_EQ(TreeDifference(second, read[1]), L"");
  EXPECT_FALSE(read[0].GetParent()) << "read nodes are topmost";
  EXPECT_TRUE(IsClosed(Path()));
}

TEST_F(NodeFileTest, RawHandleArrayAndDepthZero) {
  const DXNodePtr tree = TreeWithEveryAttributeType();
  IDXNode* const handles[] = {tree.Get()};
  NodeUtils::SerializeToFile(Path().c_str(), handles, 1, kNodeText, kWriteFlags, 0);
  const std::vector<DXNodePtr> read = NodeUtils::DeserializeFromFile(std::wstring_view(Path()), kNodeText, kReadFlags);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(TreeDifference(tree.Clone(0), read[0]), L"") << "depth 0 writes the node alone";
}

TEST_F(NodeFileTest, UnformattedOutputReadsBackToo) {
  const DXNodePtr tree = TreeWithEveryAttributeType();
  NodeUtils::SerializeToFile(Path(), {tree}, kNodeText, 0, kWholeSubtree);
  const std::vector<DXNodePtr> read = NodeUtils::DeserializeFromFile(Path(), kNodeText, kReadFlags);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(TreeDifference(tree, read[0]), L"");
}

TEST_F(NodeFileTest, ReplacesAnExistingFile) {
  NodeUtils::SerializeToFile(Path(), NumberedNodes(30), kNodeText, kWriteFlags, kWholeSubtree);
  NodeUtils::SerializeToFile(Path(), NumberedNodes(2), kNodeText, kWriteFlags, kWholeSubtree);
  EXPECT_EQ(NodeUtils::DeserializeFromFile(Path(), kNodeText, kReadFlags).size(), 2u);
}

// Nodes are taken in batches of 10 for as long as a batch comes back full.
TEST_F(NodeFileTest, NodesAreTakenInBatchesOfTen) {
  struct Case {
    size_t nodes;
    std::vector<uint32_t> received;
  };
  const Case cases[] = {
      {25, {10, 10, 5}}, {10, {10, 0}}, {20, {10, 10, 0}}, {9, {9}}, {1, {1}}, {0, {0}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.nodes);
    const std::vector<DXNodePtr> written = NumberedNodes(test.nodes);
    NodeUtils::SerializeToFile(Path(), written, kNodeText, kWriteFlags, kWholeSubtree);
    std::vector<uint32_t> requested;
    std::vector<uint32_t> received;
    const std::vector<DXNodePtr> read =
        NodeUtils::DeserializeFromFile(Path(), kNodeText, kReadFlags, [&](uint32_t asked, uint32_t got) {
          requested.push_back(asked);
          received.push_back(got);
        });
    EXPECT_EQ(received, test.received);
    EXPECT_EQ(requested, std::vector<uint32_t>(test.received.size(), 10u));
    ASSERT_EQ(read.size(), test.nodes);
    for (size_t index = 0; index < read.size(); ++index) {
      EXPECT_EQ(read[index].GetString(L"Index"), std::to_wstring(index)) << "in file order";
    }
  }
}

TEST_F(NodeFileTest, FileErrorsRaiseTheFileResult) {
  const DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  EXPECT_EQ(HresultOf([&] { NodeUtils::DeserializeFromFile(Path(L"missing.txt"), kNodeText, kReadFlags); }),
            HrFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(HresultOf([&] {
              NodeUtils::SerializeToFile(m_temp / L"no\\such\\folder\\nodes.txt", {node}, kNodeText, kWriteFlags,
                                         kWholeSubtree);
            }),
            HrFromWin32(ERROR_PATH_NOT_FOUND));
  // A folder cannot be written as a file.
  EXPECT_EQ(
      HresultOf([&] { NodeUtils::SerializeToFile(m_temp.Path(), {node}, kNodeText, kWriteFlags, kWholeSubtree); }),
      HrFromWin32(ERROR_ACCESS_DENIED));
  // Another writer without read sharing.
  const HANDLE locked =
      ::CreateFileW(Path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  EXPECT_EQ(HresultOf([&] { NodeUtils::SerializeToFile(Path(), {node}, kNodeText, kWriteFlags, kWholeSubtree); }),
            HrFromWin32(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(HresultOf([&] { NodeUtils::DeserializeFromFile(Path(), kNodeText, kReadFlags); }),
            HrFromWin32(ERROR_SHARING_VIOLATION));
  ::CloseHandle(locked);
}

TEST_F(NodeFileTest, MalformedFileRaisesInvalidDataAndClosesTheFile) {
  const std::string inputs[] = {
      "",  // not even the wrapper
      "not a node file",
      "<nr>\r\n<node name=\"A\">\r\n",  // cut off
      "<nr>\r\n  <node name=\"A\">\r\n    <attr name=\"X\" type=\"int64\">twelve</attr>\r\n  </node>\r\n</nr>\r\n",
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input);
    RuntimeTest::WriteTextFile(Path(), input);
    EXPECT_EQ(HresultOf([&] { NodeUtils::DeserializeFromFile(Path(), kNodeText, kReadFlags); }),
              NodeErrors::kInvalidData);
    EXPECT_TRUE(IsClosed(Path()));
  }
}

TEST_F(NodeFileTest, StoreRefusalOfTheNodesRaisesAndClosesTheFile) {
  IDXNode* const nullNode[] = {nullptr};
  EXPECT_EQ(HresultOf([&] { NodeUtils::SerializeToFile(Path(), nullNode, 1, kNodeText, kWriteFlags, kWholeSubtree); }),
            E_POINTER);
  EXPECT_TRUE(IsClosed(Path()));
  const DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  EXPECT_EQ(HresultOf([&] {
              NodeUtils::SerializeToFile(Path(), {node}, static_cast<EnumDXNSerializationType>(99), kWriteFlags,
                                         kWholeSubtree);
            }),
            E_INVALIDARG);
  EXPECT_TRUE(IsClosed(Path()));
}

TEST(SerializeToText, IsTheFileContentWithoutATrailingNul) {
  TempDirectory temp;
  const DXNodePtr tree = TreeWithEveryAttributeType();
  IDXNode* const handles[] = {tree.Get()};
  const std::string text = NodeUtils::SerializeToText(handles, 1, kWriteFlags, kWholeSubtree);
  NodeUtils::SerializeToFile(temp / L"tree.txt", handles, 1, kNodeText, kWriteFlags, kWholeSubtree);
  std::string file = FileBytes(temp / L"tree.txt");
  if (!file.empty() && file.back() == '\0') file.pop_back();
  EXPECT_EQ(text, file);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\0');
  EXPECT_TRUE(text.starts_with("<nr>\r\n")) << text.substr(0, 40);
}

TEST(SerializeToText, NoNodesGiveTheEmptyWrapper) {
  const std::string text = NodeUtils::SerializeToText(nullptr, 0, kWriteFlags, kWholeSubtree);
  EXPECT_EQ(text, "<nr>\r\n</nr>\r\n");
}

// A sink failure reaches the caller as the very HRX the sink raised.
TEST(SerializationContext, SinkFailureIsRaisedToTheCaller) {
  const DXNodePtr node = Build(NodeSpec{L"N", L"T", {Text(L"A", std::wstring(100000, L'a'))}, {}});
  IDXNode* const handles[] = {node.Get()};
  HRES::CallSites raisedAt{};
  const auto failingSink = [&](const void*, uint32_t) {
    try {
      throw HRX(HrFromWin32(ERROR_DISK_FULL));
    } catch (const HRX& failure) {
      raisedAt = failure.Sites();
      throw;
    }
  };
  try {
    CSerializationContext context(kNodeText, kWriteFlags, failingSink);
    context.Serialize(handles, 1, kWholeSubtree);
    context.Finalize();
    ADD_FAILURE() << "the sink failure was lost";
  } catch (const HRX& failure) {
    EXPECT_EQ(failure.Code(), HrFromWin32(ERROR_DISK_FULL));
    EXPECT_EQ(failure.Sites(), raisedAt) << "the sink's own exception, not a new one";
  }
  const auto throwingSink = [](const void*, uint32_t) { throw std::runtime_error("not an HRX"); };
  EXPECT_EQ(HresultOf([&] {
              CSerializationContext context(kNodeText, kWriteFlags, throwingSink);
              context.Serialize(handles, 1, kWholeSubtree);
              context.Finalize();
            }),
            E_UNEXPECTED);
}

TEST(DeserializationContext, SourceFailureIsRaisedAndSmallReadsAreEnough) {
  const std::vector<DXNodePtr> nodes = NumberedNodes(3);
  std::vector<IDXNode*> handles;
  for (const DXNodePtr& node : nodes) handles.push_back(node.Get());
  const std::string text = NodeUtils::SerializeToText(handles.data(), 3, kWriteFlags, kWholeSubtree);

  // One byte per read.
  size_t offset = 0;
  CDeserializationContext trickle(kNodeText, kReadFlags, [&](void* buffer, uint32_t capacity) -> uint32_t {
    if (offset == text.size() || capacity == 0) return 0;
    std::memcpy(buffer, text.data() + offset++, 1);
    return 1;
  });
  const std::vector<DXNodePtr> read = trickle.DeserializeAll();
  ASSERT_EQ(read.size(), 3u);
  EXPECT_EQ(read[2].GetName(), L"N2");

  EXPECT_EQ(HresultOf([&] {
              CDeserializationContext failing(
                  kNodeText, kReadFlags, [](void*, uint32_t) -> uint32_t { throw HRX(HrFromWin32(ERROR_READ_FAULT)); });
              failing.DeserializeAll();
            }),
            HrFromWin32(ERROR_READ_FAULT));
}

TEST(DeserializationContext, LimitAndLargeBatches) {
  const std::vector<DXNodePtr> nodes = NumberedNodes(25);
  std::vector<IDXNode*> handles;
  for (const DXNodePtr& node : nodes) handles.push_back(node.Get());
  const std::string text = NodeUtils::SerializeToText(handles.data(), 25, kWriteFlags, kWholeSubtree);
  const auto source = [&text, offset = size_t{0}](void* buffer, uint32_t capacity) mutable -> uint32_t {
    const auto count = static_cast<uint32_t>(std::min<size_t>(capacity, text.size() - offset));
    std::memcpy(buffer, text.data() + offset, count);
    offset += count;
    return count;
  };

  CDeserializationContext limited(kNodeText, kReadFlags, source);
  std::vector<uint32_t> requested;
  const std::vector<DXNodePtr> first =
      limited.DeserializeAll(13, [&](uint32_t asked, uint32_t) { requested.push_back(asked); });
  EXPECT_EQ(first.size(), 13u);
  EXPECT_EQ(requested, (std::vector<uint32_t>{10, 3})) << "the last batch stops at the limit";
  // The rest is still there, in order.
  std::vector<DXNodePtr> rest;
  EXPECT_EQ(limited.Deserialize(rest, 100), 12u);
  ASSERT_EQ(rest.size(), 12u);
  EXPECT_EQ(rest.front().GetName(), L"N13");
  EXPECT_EQ(limited.Deserialize(rest, 100), 0u);
}

}  // namespace

#include "node/DXNodePtr.h"
#include "node/NodeErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include "support/HresultOf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using KestrovaTest::HresultOf;

// A node reached only through the wrappers' handles tells whether it is still alive.
TEST(DXNodePtr, CopyKeepsTheNodeAfterTheFirstWrapperGoes) {
  DXNodePtr copy;
  {
    DXNodePtr first = DXNodePtr::Create(L"Name", L"Type");
    first.SetString(L"A", L"value");
    copy = first;
  }
  EXPECT_EQ(copy.GetName(), L"Name");
  EXPECT_EQ(copy.GetString(L"A"), L"value");
}

TEST(DXNodePtr, SelfAssignmentAndMovesKeepTheHandle) {
  DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  IDXNode* handle = node.Get();
  DXNodePtr& alias = node;
  node = alias;
  EXPECT_EQ(node.Get(), handle);
  EXPECT_EQ(node.GetName(), L"N") << "self-assignment closed the handle";

  DXNodePtr moved = std::move(node);
  EXPECT_FALSE(node);
  EXPECT_EQ(moved.Get(), handle);
  moved = std::move(moved);
  EXPECT_EQ(moved.GetName(), L"N");
}

TEST(DXNodePtr, AdoptsOrDuplicatesARawHandle) {
  IDXNode* raw = nullptr;
  ASSERT_EQ(DxnCreateNode(L"Raw", nullptr, &raw), S_OK);
  {
    DXNodePtr duplicate(raw, DXNodePtr::Handle::Duplicate);
    EXPECT_EQ(duplicate.GetName(), L"Raw");
  }                                                  // closes the duplicate only
  DXNodePtr adopted(raw, DXNodePtr::Handle::Adopt);  // closes raw at the end
  EXPECT_EQ(adopted.Get(), raw);
  EXPECT_EQ(adopted.GetName(), L"Raw");
  EXPECT_FALSE(DXNodePtr(nullptr, DXNodePtr::Handle::Duplicate));

  // The out accessor closes what the wrapper held.
  ASSERT_EQ(DxnCreateNode(L"Second", nullptr, adopted.Out()), S_OK);
  EXPECT_EQ(adopted.GetName(), L"Second");
  IDXNode* detached = adopted.Detach();
  EXPECT_FALSE(adopted);
  DxnCloseNodeHandle(detached);
}

TEST(DXNodePtr, EmptyWrapperReadsAsEmptyAndRaisesOnUse) {
  DXNodePtr empty;
  EXPECT_EQ(HresultOf([&] { empty.EnsureValid(); }), E_POINTER);
  EXPECT_EQ(empty.GetName(), L"");
  EXPECT_EQ(empty.GetType(), L"");
  EXPECT_TRUE(empty.GetAttributeNames().empty());
  EXPECT_TRUE(FAILED(HresultOf([&] { empty.GetChildCount(); })));
}

TEST(DXNodePtr, NamesTypesAndPaths) {
  DXNodePtr root = DXNodePtr::Create(nullptr, nullptr);
  DXNodePtr section = DXNodePtr::Create(L"Section", L"SectionType");
  DXNodePtr leaf = DXNodePtr::Create(std::wstring(300, L'n').c_str(), nullptr);
  root.AddChild(section);
  section.AddChild(leaf);
  EXPECT_EQ(root.GetPath(), L"\\");
  EXPECT_EQ(section.GetPath(), L"\\Section");
  EXPECT_EQ(leaf.GetPath(), L"\\Section\\" + std::wstring(300, L'n')) << "names longer than the first buffer";
  EXPECT_EQ(leaf.GetName().size(), 300u);
  EXPECT_EQ(section.GetType(), L"SectionType");
  section.SetType(std::wstring(200, L't').c_str());
  EXPECT_EQ(section.GetType(), std::wstring(200, L't'));
  EXPECT_EQ(leaf.GetParent().GetName(), L"Section");
}

TEST(DXNodePtr, ChildLookupsReportAbsenceByRequirement) {
  DXNodePtr parent = DXNodePtr::Create(L"P", nullptr);
  for (const wchar_t* name : {L"A", L"B", L"C"}) parent.AddChild(DXNodePtr::Create(name, nullptr));
  EXPECT_EQ(parent.GetChildCount(), 3u);
  EXPECT_EQ(parent.GetChild(1).GetName(), L"B");
  EXPECT_EQ(parent.GetChild(L"C").GetName(), L"C");
  EXPECT_FALSE(parent.GetChild(3, false));
  EXPECT_FALSE(parent.GetChild(L"Z", false));
  EXPECT_EQ(HresultOf([&] { parent.GetChild(3); }), NodeErrors::kNotFound);
  EXPECT_EQ(HresultOf([&] { parent.GetChild(L"Z"); }), NodeErrors::kNotFound);

  std::wstring visited;
  parent.ForEachChild([&](const DXNodePtr& child) { visited += child.GetName(); });
  EXPECT_EQ(visited, L"ABC");

  DXNodePtr b = parent.GetChild(L"B");
  parent.RemoveChild(b);
  EXPECT_EQ(parent.GetChildCount(), 2u);
  EXPECT_EQ(b.GetName(), L"B") << "a detached child lives on through its handle";
}

TEST(DXNodePtr, CloneCopiesToTheAskedDepth) {
  DXNodePtr parent = DXNodePtr::Create(L"P", L"T");
  parent.SetInt64(L"N", 5);
  parent.AddChild(DXNodePtr::Create(L"C", nullptr));
  DXNodePtr alone = parent.Clone(0);
  DXNodePtr whole = parent.Clone();
  EXPECT_EQ(alone.GetChildCount(), 0u);
  EXPECT_EQ(whole.GetChildCount(), 1u);
  EXPECT_EQ(whole.GetInt64(L"N"), 5);
  EXPECT_FALSE(whole.GetParent());
}

TEST(DXNodePtr, TypedAttributesRoundTrip) {
  DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  const std::wstring longText(1000, L'x');
  node.SetString(L"Text", L"hello");
  node.SetString(L"Long", longText);
  node.SetString(L"Cut", L"abcdef", 3);
  node.SetString(L"Empty", L"");
  node.SetInt64(L"Int", -1234567890123LL);
  node.SetBool(L"Flag", true);
  const uint8_t bytes[] = {0, 1, 2, 255};
  node.SetBinary(L"Bytes", bytes, sizeof(bytes));
  node.SetStringList(L"List", {L"a", L"", L"b"});

  EXPECT_EQ(node.GetString(L"Text"), L"hello");
  EXPECT_EQ(node.GetString(L"Long"), longText);
  EXPECT_EQ(node.GetString(L"Cut"), L"abc");
  EXPECT_EQ(node.GetString(L"Empty"), L"");
  EXPECT_EQ(node.GetInt64(L"Int"), -1234567890123LL);
  EXPECT_TRUE(node.GetBool(L"Flag", false));
  std::vector<std::wstring> list;
  ASSERT_TRUE(node.TryGetStringList(L"List", list));
  EXPECT_EQ(list, (std::vector<std::wstring>{L"a", L"", L"b"}));

  std::vector<uint8_t> raw;
  uint16_t type = 0;
  ASSERT_TRUE(DXNodePtr::GetRawAttribute(node, L"Bytes", raw, &type));
  EXPECT_EQ(type, DXNodePtr::kTypeBinary);
  EXPECT_EQ(raw, (std::vector<uint8_t>{0, 1, 2, 255}));
  ASSERT_TRUE(DXNodePtr::GetRawAttribute(node, L"Long", raw, &type)) << "grows past its first 128 bytes";
  EXPECT_EQ(raw.size(), (longText.size() + 1) * 2);
  EXPECT_FALSE(DXNodePtr::GetRawAttribute(node, L"Missing", raw, &type));

  EXPECT_EQ(node.GetAttributeType(L"List"), DXNodePtr::kTypeTextList);
  EXPECT_EQ(node.GetAttributeNames(),
            (std::vector<std::wstring>{L"Text", L"Long", L"Cut", L"Empty", L"Int", L"Flag", L"Bytes", L"List"}));
}

TEST(DXNodePtr, AnEmptyTextListIsWrittenWithSizeZero) {
  DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  node.SetStringList(L"List", {});
  uint32_t size = 77;
  uint16_t type = 0;
  uint8_t buffer[8];
  ASSERT_EQ(DxnGetAttribute(node.Get(), L"List", nullptr, buffer, &size, &type), S_OK);
  EXPECT_EQ(type, DXNodePtr::kTypeTextList);
  EXPECT_EQ(size, 0u);
  std::vector<std::wstring> list{L"stale"};
  ASSERT_TRUE(node.TryGetStringList(L"List", list));
  EXPECT_TRUE(list.empty());
}

// Packed list values as the store holds them, and the texts they read back as.
TEST(DXNodePtr, TextListsReadBackWithEveryEntry) {
  const struct {
    const char* what;
    std::wstring packed;  // the stored characters; no data when empty
    std::vector<std::wstring> texts;
  } cases[] = {
      {"no data", std::wstring(), {}},
      {"one empty text", std::wstring(1, L'\0'), {L""}},
      {"two empty texts", std::wstring(2, L'\0'), {L"", L""}},
      {"one text", std::wstring(L"a\0", 2), {L"a"}},
      {"a text, then an empty one", std::wstring(L"a\0\0", 3), {L"a", L""}},
      {"an empty text, then a text", std::wstring(L"\0b\0", 3), {L"", L"b"}},
      {"without its last NUL", std::wstring(L"a\0b", 3), {L"a", L"b"}},
      {"longer than the first buffer", std::wstring(300, L'x') + L'\0' + L'\0', {std::wstring(300, L'x'), L""}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
    ASSERT_EQ(DxnSetAttribute(node.Get(), L"List", DXNodePtr::kTypeTextList,
                              test.packed.empty() ? nullptr : test.packed.data(),
                              static_cast<uint32_t>(test.packed.size() * sizeof(wchar_t))),
              S_OK);
    std::vector<std::wstring> texts{L"stale"};
    ASSERT_TRUE(node.TryGetStringList(L"List", texts));
    EXPECT_EQ(texts, test.texts);
    // What SetStringList writes reads back the same.
    node.SetStringList(L"Again", test.texts);
    ASSERT_TRUE(node.TryGetStringList(L"Again", texts));
    EXPECT_EQ(texts, test.texts);
  }
}

// Texts around the size of the first read buffer (128 characters), stored
// with and without their NUL, and with an odd number of bytes: each reads
// back with all of its characters, and the buffer grows as far as needed.
TEST(DXNodePtr, TextReadsKeepEveryCharacterAtEverySize) {
  for (const size_t length : {0u, 1u, 126u, 127u, 128u, 129u, 255u, 256u, 257u, 1000u}) {
    std::wstring text;
    for (size_t index = 0; index < length; ++index) text.push_back(static_cast<wchar_t>(L'a' + index % 26));
    SCOPED_TRACE(length);
    DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
    ASSERT_EQ(DxnSetAttribute(node.Get(), L"WithNul", DXNodePtr::kTypeText, text.c_str(),
                              static_cast<uint32_t>((length + 1) * sizeof(wchar_t))),
              S_OK);
    EXPECT_EQ(node.GetString(L"WithNul"), text);
    if (length == 0) continue;
    ASSERT_EQ(DxnSetAttribute(node.Get(), L"WithoutNul", DXNodePtr::kTypeText, text.c_str(),
                              static_cast<uint32_t>(length * sizeof(wchar_t))),
              S_OK);
    EXPECT_EQ(node.GetString(L"WithoutNul"), text);
    EXPECT_EQ(node.GetString(L"WithoutNul", L"default"), text);
    // An odd byte count: the last, partial character is dropped.
    ASSERT_EQ(DxnSetAttribute(node.Get(), L"Odd", DXNodePtr::kTypeText, text.c_str(),
                              static_cast<uint32_t>(length * sizeof(wchar_t) + 1)),
              S_OK);
    std::wstring odd;
    ASSERT_TRUE(node.TryGetString(L"Odd", odd));
    EXPECT_EQ(odd, text);
  }
}

TEST(DXNodePtr, NamesAndTypesAroundTheFirstBufferSize) {
  for (const size_t length : {1u, 127u, 128u, 129u, 600u}) {
    const std::wstring name(length, L'n');
    const std::wstring type(length, L't');
    SCOPED_TRACE(length);
    const DXNodePtr node = DXNodePtr::Create(name.c_str(), type.c_str());
    EXPECT_EQ(node.GetName(), name);
    EXPECT_EQ(node.GetType(), type);
    EXPECT_EQ(node.GetPath(), L"\\" + name);
    node.SetString(name.c_str(), L"v");
    EXPECT_EQ(node.GetAttributeNames(), std::vector<std::wstring>{name});
  }
}

// The store answers a text read of a number or boolean: rules can read any
// scalar attribute. Byte blocks and lists still refuse.
TEST(DXNodePtr, NumbersAndBooleansReadAsText) {
  DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  node.SetInt64(L"Large", -9000000000LL);
  const int32_t small = 42;
  ASSERT_EQ(DxnSetAttribute(node.Get(), L"Small", DXNodePtr::kTypeInt32, &small, sizeof(small)), S_OK);
  node.SetBool(L"On", true);
  node.SetBool(L"Off", false);
  const uint8_t bytes[] = {1, 2};
  node.SetBinary(L"Bytes", bytes, sizeof(bytes));
  node.SetStringList(L"List", {L"a"});

  EXPECT_EQ(node.GetString(L"Large"), L"-9000000000");
  EXPECT_EQ(node.GetString(L"Small"), L"42");
  EXPECT_EQ(node.GetString(L"On"), L"true");
  EXPECT_EQ(node.GetString(L"Off", L"default"), L"false");
  EXPECT_EQ(HresultOf([&] { node.GetString(L"Bytes"); }), static_cast<HRESULT>(DXN_E_TYPE_MISMATCH));
  EXPECT_EQ(HresultOf([&] { node.GetString(L"List"); }), static_cast<HRESULT>(DXN_E_TYPE_MISMATCH));
  // The values themselves keep their types.
  EXPECT_EQ(node.GetAttributeType(L"On"), DXNodePtr::kTypeBool);
  EXPECT_EQ(node.GetInt64(L"Large"), -9000000000LL);

  std::wstring value;
  bool isList = true;
  ASSERT_TRUE(node.TryGetTextOrList(L"On", value, isList));
  EXPECT_EQ(value, L"true");
  EXPECT_FALSE(isList);
  ASSERT_TRUE(node.TryGetTextOrList(L"List", value, isList));
  EXPECT_EQ(value, std::wstring(L"a\0", 2));
  EXPECT_TRUE(isList);
  EXPECT_FALSE(node.TryGetTextOrList(L"Missing", value, isList));
  EXPECT_EQ(HresultOf([&] { node.TryGetTextOrList(L"Bytes", value, isList); }),
            static_cast<HRESULT>(DXN_E_TYPE_MISMATCH));
}

TEST(DXNodePtr, SetStringWithALengthStoresThatManyCharacters) {
  DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  const std::wstring longText(500, L'z');
  for (const uint32_t length : {0u, 3u, 127u, 128u, 499u}) {
    SCOPED_TRACE(length);
    node.SetString(L"T", longText.c_str(), length);
    EXPECT_EQ(node.GetString(L"T"), longText.substr(0, length));
    uint32_t size = 0;
    EXPECT_EQ(DxnGetAttribute(node.Get(), L"T", nullptr, nullptr, &size, nullptr),
              static_cast<HRESULT>(DXN_E_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, (length + 1) * sizeof(wchar_t)) << "with its NUL";
  }
}

TEST(DXNodePtr, AbsentAndUntypedAttributes) {
  DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  ASSERT_EQ(DxnSetAttribute(node.Get(), L"Untyped", DXNodePtr::kTypeNone, nullptr, 0), S_OK);
  EXPECT_EQ(node.GetString(L"Untyped", L"default"), L"default");
  EXPECT_EQ(node.GetString(L"Missing", L"default"), L"default");
  EXPECT_TRUE(node.GetBool(L"Untyped", true));
  EXPECT_FALSE(node.GetBool(L"Missing", false));
  EXPECT_TRUE(node.HasAttribute(L"Untyped"));
  EXPECT_FALSE(node.HasAttribute(L"Missing"));

  std::wstring text;
  int64_t number = 0;
  bool flag = false;
  EXPECT_FALSE(node.TryGetString(L"Missing", text));
  EXPECT_FALSE(node.TryGetInt64(L"Missing", number));
  EXPECT_FALSE(node.TryGetBool(L"Missing", flag));
  EXPECT_EQ(HresultOf([&] { node.GetString(L"Missing"); }), NodeErrors::kNotFound);
  EXPECT_EQ(HresultOf([&] { node.GetInt64(L"Missing"); }), NodeErrors::kNotFound);
  EXPECT_EQ(HresultOf([&] { node.GetAttributeType(L"Missing"); }), NodeErrors::kNotFound);
}

TEST(DXNodePtr, TypedReadsOfAnotherTypeFail) {
  DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  node.SetString(L"Text", L"12");
  node.SetInt64(L"Small", 42);
  node.SetInt64(L"Large", 1LL << 40);
  int64_t number = 0;
  EXPECT_TRUE(FAILED(HresultOf([&] { node.TryGetInt64(L"Text", number); })));
  // A 64-bit value answers a 32-bit read when it fits.
  int32_t small = 0;
  ASSERT_TRUE(node.TryGetInt32(L"Small", small));
  EXPECT_EQ(small, 42);
  EXPECT_TRUE(FAILED(HresultOf([&] { node.TryGetInt32(L"Large", small); })));
  EXPECT_EQ(HresultOf([&] { node.GetBool(L"Small", false); }) != S_OK, true);
}

TEST(DXNodePtr, DeleteAttributeByRequirement) {
  DXNodePtr node = DXNodePtr::Create(L"N", nullptr);
  node.SetString(L"A", L"1");
  node.SetString(L"B", L"2");
  EXPECT_EQ(HresultOf([&] { node.DeleteAttribute(L"Missing"); }), NodeErrors::kNotFound);
  EXPECT_EQ(HresultOf([&] { node.DeleteAttribute(L"Missing", false); }), S_OK);
  node.DeleteAttribute(L"A");
  EXPECT_EQ(node.GetAttributeNames(), std::vector<std::wstring>{L"B"});
  node.DeleteAttribute(nullptr);
  EXPECT_TRUE(node.GetAttributeNames().empty());
  node.DeleteAttribute(nullptr);  // none left: still fine
}

TEST(AttributesEqual, ComparesTypeSizeAndBytes) {
  DXNodePtr a = DXNodePtr::Create(L"A", nullptr);
  DXNodePtr b = DXNodePtr::Create(L"B", nullptr);
  a.SetString(L"Text", L"Value");
  b.SetString(L"Text", L"VALUE");
  a.SetInt64(L"Number", 1);
  b.SetString(L"Number", L"1");
  a.SetString(L"Same", L"x");
  b.SetString(L"Same", L"x");
  a.SetString(L"OnlyA", L"x");

  EXPECT_FALSE(AttributesEqual(L"Text", a, b));
  EXPECT_TRUE(AttributesEqual(L"Text", a, b, kCompareTextNoCase));
  EXPECT_FALSE(AttributesEqual(L"Number", a, b, kCompareTextNoCase)) << "different types";
  EXPECT_TRUE(AttributesEqual(L"Same", a, b));
  EXPECT_FALSE(AttributesEqual(L"OnlyA", a, b));
  EXPECT_FALSE(AttributesEqual(L"OnlyA", a, b, kCompareTextNoCase));
  EXPECT_TRUE(AttributesEqual(L"Neither", a, b));
}

TEST(CopyAttribute, WritesOnlyWhatChanged) {
  DXNodePtr source = DXNodePtr::Create(L"S", nullptr);
  DXNodePtr target = DXNodePtr::Create(L"T", nullptr);
  source.SetInt64(L"N", 7);
  std::vector<uint8_t> scratch;
  bool changed = false;

  CopyAttribute(L"N", source, target, scratch, &changed);
  EXPECT_TRUE(changed) << "target lacked it";
  EXPECT_EQ(target.GetInt64(L"N"), 7);
  CopyAttribute(L"N", source, target, scratch, &changed);
  EXPECT_FALSE(changed);

  CopyAttribute(L"N", source, L"Renamed", target, scratch);
  EXPECT_EQ(target.GetInt64(L"Renamed"), 7);

  EXPECT_EQ(HresultOf([&] { CopyAttribute(L"Missing", source, target, scratch); }), NodeErrors::kNotFound);
  EXPECT_EQ(HresultOf([&] { CopyAttribute(L"Missing", source, target, scratch, nullptr, false); }), S_OK);
  EXPECT_FALSE(target.HasAttribute(L"Missing"));

  source.SetStringList(L"Empty", {});
  CopyAttribute(L"Empty", source, target, scratch, &changed);
  EXPECT_TRUE(changed);
  EXPECT_EQ(target.GetAttributeType(L"Empty"), DXNodePtr::kTypeTextList);
}

// The buffer reads give what the string reads give, at and around the size
// the stack holds, for texts, lists, names and types.
TEST(DXNodePtr, BufferReadsMatchStringReadsAtEverySize) {
  for (const size_t length : {0u, 1u, 126u, 127u, 128u, 129u, 600u}) {
    SCOPED_TRACE(length);
    const std::wstring text(length, L'x');
    const DXNodePtr node = DXNodePtr::Create(length == 0 ? L"n" : text.c_str(), length == 0 ? L"t" : text.c_str());
    node.SetString(L"Text", text);
    node.SetStringList(L"List", {text, L"", text});

    TextBuffer buffer;
    bool isList = true;
    ASSERT_TRUE(node.TryReadTextOrList(L"Text", buffer, isList));
    EXPECT_FALSE(isList);
    EXPECT_EQ(buffer.View(), text);
    EXPECT_EQ(buffer.c_str()[buffer.View().size()], L'\0');

    ASSERT_TRUE(node.TryReadTextOrList(L"List", buffer, isList));
    EXPECT_TRUE(isList);
    std::wstring packed;
    ASSERT_TRUE(node.TryGetTextOrList(L"List", packed, isList));
    EXPECT_EQ(buffer.View(), packed);
    std::vector<std::wstring> viewed;
    DXNodePtr::ForEachListText(buffer.View(), [&](std::wstring_view each) { viewed.emplace_back(each); });
    EXPECT_EQ(viewed, (std::vector<std::wstring>{text, L"", text}));

    EXPECT_FALSE(node.TryReadTextOrList(L"Missing", buffer, isList));
    node.ReadName(buffer);
    EXPECT_EQ(buffer.View(), node.GetName());
    node.ReadType(buffer);
    EXPECT_EQ(buffer.View(), node.GetType());
  }
  TextBuffer empty;
  DXNodePtr().ReadName(empty);
  EXPECT_TRUE(empty.empty());
}

TEST(DXNodePtr, ListTextsSplitAsTheListReadsSplitThem) {
  for (const std::wstring& packed : {std::wstring(), std::wstring(L"\0", 1), std::wstring(L"a\0", 2),
                                     std::wstring(L"a\0\0", 3), std::wstring(L"a\0b", 3), std::wstring(L"\0\0", 2)}) {
    std::vector<std::wstring> split;
    DXNodePtr::SplitStringList(packed, split);
    std::vector<std::wstring> viewed;
    DXNodePtr::ForEachListText(packed, [&](std::wstring_view each) { viewed.emplace_back(each); });
    EXPECT_EQ(viewed, split) << packed.size();
  }
}

TEST(TextBuffer, AppendAndAssignCrossFromTheStackToTheHeap) {
  TextBuffer buffer;
  std::wstring expected;
  for (int round = 0; round < 300; ++round) {
    const std::wstring piece(static_cast<size_t>(round % 7), static_cast<wchar_t>(L'a' + round % 26));
    buffer.Append(piece);
    buffer.Append(L'\0');
    expected += piece;
    expected.push_back(L'\0');
    ASSERT_EQ(buffer.View(), expected) << round;
    ASSERT_EQ(buffer.c_str()[expected.size()], L'\0');
  }
  buffer.Assign(L"short");
  EXPECT_EQ(buffer.View(), L"short");
  std::wstring moved;
  buffer.MoveTo(moved);
  EXPECT_EQ(moved, L"short");
  EXPECT_TRUE(buffer.empty());
}

}  // namespace

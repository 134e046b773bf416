// The Dxn contract as the module relies on it: names and paths, types,
// children, attributes and their typed reads, sizes and result codes.
#include "DxnTestSupport.h"

#include <climits>

namespace {

using namespace DxnTest;

TEST(NodeNames, NameTypeAndAbsenceReadAsText) {
  Handle named = Create(DXN_TEXT("Settings"), DXN_TEXT("Section"));
  EXPECT_EQ(Name(named.Get()), DXN_TEXT("Settings"));
  EXPECT_EQ(Type(named.Get()), DXN_TEXT("Section"));

  Handle bare = Create(nullptr, nullptr);
  EXPECT_EQ(Name(bare.Get()), DXN_TEXT(""));
  EXPECT_EQ(Type(bare.Get()), DXN_TEXT(""));

  ASSERT_EQ(DxnSetNodeType(bare.Get(), DXN_TEXT("UsageActivityFrame")), DXN_S_OK);
  EXPECT_EQ(Type(bare.Get()), DXN_TEXT("UsageActivityFrame"));
  ASSERT_EQ(DxnSetNodeType(bare.Get(), nullptr), DXN_S_OK);
  EXPECT_EQ(Type(bare.Get()), DXN_TEXT(""));
}

TEST(NodeNames, FullPathsFromTheTopmostAncestor) {
  Handle root = Create(nullptr);
  Handle veltrano = AddNew(root.Get(), DXN_TEXT("Veltrano"));
  Handle settings = AddNew(veltrano.Get(), DXN_TEXT("UsageStatisticsSettings"));
  EXPECT_EQ(Path(root.Get()), DXN_TEXT("\\"));
  EXPECT_EQ(Path(veltrano.Get()), DXN_TEXT("\\Veltrano"));
  EXPECT_EQ(Path(settings.Get()), DXN_TEXT("\\Veltrano\\UsageStatisticsSettings"));

  Handle namedTop = Create(DXN_TEXT("a"));
  Handle b = AddNew(namedTop.Get(), DXN_TEXT("b"));
  EXPECT_EQ(Path(namedTop.Get()), DXN_TEXT("\\a"));
  EXPECT_EQ(Path(b.Get()), DXN_TEXT("\\a\\b"));

  // An empty name is a name: it contributes its backslash.
  Handle emptyTop = Create(DXN_TEXT(""));
  Handle x = AddNew(emptyTop.Get(), DXN_TEXT("X"));
  EXPECT_EQ(Path(emptyTop.Get()), DXN_TEXT("\\"));
  EXPECT_EQ(Path(x.Get()), DXN_TEXT("\\\\X"));

  // A nameless node below the top contributes its backslash too.
  Handle nameless = AddNew(x.Get(), nullptr);
  EXPECT_EQ(Path(nameless.Get()), DXN_TEXT("\\\\X\\"));
}

TEST(NodeNames, LongTextsGrowTheBufferAndSizesCountTheNul) {
  const Text longName(300, DXN_TEXT('n'));
  Handle node = Create(longName.c_str());
  DxnChar small[128];
  uint32_t size = 128;
  EXPECT_EQ(DxnGetNodeName(node.Get(), DXN_NAME_FORM_NAME, small, &size), DXN_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 301u);
  EXPECT_EQ(Name(node.Get()), longName);

  // A null buffer asks for the size; an exact buffer succeeds.
  size = 0;
  EXPECT_EQ(DxnGetNodeName(node.Get(), DXN_NAME_FORM_NAME, nullptr, &size), DXN_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 301u);
  std::vector<DxnChar> exact(301);
  EXPECT_EQ(DxnGetNodeName(node.Get(), DXN_NAME_FORM_NAME, exact.data(), &size), DXN_S_OK);
  EXPECT_EQ(size, 301u);
  EXPECT_EQ(exact[300], 0);

  Handle empty = Create(DXN_TEXT(""));
  DxnChar one[1] = {'x'};
  size = 1;
  EXPECT_EQ(DxnGetNodeType(empty.Get(), one, &size), DXN_S_OK);
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(one[0], 0);
}

TEST(NodeNames, UnknownNameFormIsRejected) {
  Handle node = Create(DXN_TEXT("a"));
  DxnChar buffer[16];
  uint32_t size = 16;
  EXPECT_EQ(DxnGetNodeName(node.Get(), 1, buffer, &size), DXN_E_INVALIDARG);
  EXPECT_EQ(DxnGetNodeName(node.Get(), 7, buffer, &size), DXN_E_INVALIDARG);
}

TEST(NodeChildren, OrderedLookupByIndexAndName) {
  Handle parent = Create(DXN_TEXT("p"));
  Handle first = AddNew(parent.Get(), DXN_TEXT("a"));
  Handle second = AddNew(parent.Get(), DXN_TEXT("b"));
  Handle third = AddNew(parent.Get(), DXN_TEXT("a"), DXN_TEXT("Second"));
  Handle nameless = AddNew(parent.Get(), nullptr);
  ASSERT_EQ(ChildCount(parent.Get()), 4u);
  EXPECT_EQ(ChildAt(parent.Get(), 0).Get(), first.Get());
  EXPECT_EQ(ChildAt(parent.Get(), 2).Get(), third.Get());

  Handle found;
  ASSERT_EQ(DxnGetChildByName(parent.Get(), DXN_TEXT("a"), found.Out()), DXN_S_OK);
  EXPECT_EQ(found.Get(), first.Get());  // the first of that name
  ASSERT_EQ(DxnGetChildByName(parent.Get(), DXN_TEXT(""), found.Out()), DXN_S_OK);
  EXPECT_EQ(found.Get(), nameless.Get());  // an absent name reads as ""

  EXPECT_EQ(DxnGetChildByName(parent.Get(), DXN_TEXT("A"), found.Out()), DXN_E_NOT_FOUND);  // case-sensitive
  EXPECT_EQ(found.Get(), nullptr);
  EXPECT_EQ(DxnGetChildByIndex(parent.Get(), 4, found.Out()), DXN_E_NOT_FOUND);
  EXPECT_EQ(DxnGetChildByIndex(parent.Get(), UINT32_MAX, found.Out()), DXN_E_NOT_FOUND);

  Handle parentOfSecond;
  ASSERT_EQ(DxnGetParent(second.Get(), parentOfSecond.Out()), DXN_S_OK);
  EXPECT_EQ(parentOfSecond.Get(), parent.Get());
  EXPECT_EQ(DxnGetParent(parent.Get(), parentOfSecond.Out()), DXN_E_NOT_FOUND);
}

// Lookups by name against the children in order, through every size a
// node's index is built at and kept up to date from: adds and removes in a
// fixed random order over a few names (nameless children among them), then
// the same tree cloned and written and read back (the builders' paths).
TEST(NodeChildren, LookupByNameFindsTheFirstOfThatNameAtAnySize) {
  const Text names[] = {DXN_TEXT("a"), DXN_TEXT("b"), DXN_TEXT("c"), DXN_TEXT(""), DXN_TEXT("d"), DXN_TEXT("e")};
  const auto expectLookups = [&](IDXNode* parent, const std::string& when) {
    const uint32_t count = ChildCount(parent);
    for (const Text& name : names) {
      Handle expected;
      for (uint32_t index = 0; index < count && !expected; ++index) {
        Handle child = ChildAt(parent, index);
        if (Name(child.Get()) == name) expected = std::move(child);
      }
      Handle found;
      const DxnResult result = DxnGetChildByName(parent, name.c_str(), found.Out());
      if (!expected) {
        ASSERT_EQ(result, DXN_E_NOT_FOUND) << when;
      } else {
        ASSERT_EQ(result, DXN_S_OK) << when;
        ASSERT_EQ(found.Get(), expected.Get()) << when << ", " << count << " children";
      }
    }
  };
  Handle parent = Create(DXN_TEXT("p"));
  uint32_t seed = 12345;
  const auto next = [&seed](uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  for (int step = 0; step < 1500; ++step) {
    const uint32_t count = ChildCount(parent.Get());
    // Growing first (past the index's threshold), then shrinking to none, then growing again.
    const bool grow = step < 400 || (step >= 900 && next(3) != 0) || (step < 900 && count == 0);
    if (grow || count == 0) {
      const Text& name = names[next(6)];
      if (name.empty()) {
        Handle nameless;
        ASSERT_EQ(DxnCreateNode(nullptr, nullptr, nameless.Out()), DXN_S_OK);
        ASSERT_EQ(DxnAddChild(parent.Get(), nameless.Get()), DXN_S_OK);
      } else {
        AddNew(parent.Get(), name.c_str());
      }
    } else {
      Handle victim = ChildAt(parent.Get(), next(count));
      ASSERT_EQ(DxnRemoveChild(parent.Get(), victim.Get()), DXN_S_OK);
    }
    expectLookups(parent.Get(), "step " + std::to_string(step));
  }
  ASSERT_GT(ChildCount(parent.Get()), 100u);
  Handle copy;
  ASSERT_EQ(DxnCloneNode(parent.Get(), 2147483647, 0, copy.Out()), DXN_S_OK);
  expectLookups(copy.Get(), "the clone");
  std::vector<Handle> read;
  ASSERT_EQ(Deserialize(SerializeOne(parent.Get()), read), DXN_S_OK);
  ASSERT_EQ(read.size(), 1u);
  expectLookups(read[0].Get(), "read back");
}

TEST(NodeChildren, RemoveDetachesAndKeepsOrder) {
  Handle parent = Create(DXN_TEXT("p"));
  Handle a = AddNew(parent.Get(), DXN_TEXT("a"));
  Handle b = AddNew(parent.Get(), DXN_TEXT("b"));
  Handle c = AddNew(parent.Get(), DXN_TEXT("c"));
  ASSERT_EQ(DxnRemoveChild(parent.Get(), b.Get()), DXN_S_OK);
  ASSERT_EQ(ChildCount(parent.Get()), 2u);
  EXPECT_EQ(ChildAt(parent.Get(), 1).Get(), c.Get());
  Handle none;
  EXPECT_EQ(DxnGetParent(b.Get(), none.Out()), DXN_E_NOT_FOUND);
  EXPECT_EQ(Path(b.Get()), DXN_TEXT("\\b"));
  EXPECT_EQ(DxnRemoveChild(parent.Get(), b.Get()), DXN_E_NOT_FOUND);
  EXPECT_EQ(DxnRemoveChild(a.Get(), c.Get()), DXN_E_NOT_FOUND);

  // A detached node can be attached elsewhere.
  ASSERT_EQ(DxnAddChild(c.Get(), b.Get()), DXN_S_OK);
  EXPECT_EQ(Path(b.Get()), DXN_TEXT("\\p\\c\\b"));
}

TEST(NodeChildren, AttachingTwiceOrIntoItsOwnSubtreeFails) {
  Handle root = Create(DXN_TEXT("root"));
  Handle child = AddNew(root.Get(), DXN_TEXT("child"));
  Handle grandchild = AddNew(child.Get(), DXN_TEXT("grandchild"));
  Handle other = Create(DXN_TEXT("other"));

  EXPECT_EQ(DxnAddChild(other.Get(), child.Get()), DXN_E_INVALID_OPERATION);      // has a parent
  EXPECT_EQ(DxnAddChild(root.Get(), root.Get()), DXN_E_INVALID_OPERATION);        // itself
  EXPECT_EQ(DxnAddChild(grandchild.Get(), root.Get()), DXN_E_INVALID_OPERATION);  // cycle
  EXPECT_EQ(DxnAddChild(grandchild.Get(), grandchild.Get()), DXN_E_INVALID_OPERATION);
  // Nothing changed.
  EXPECT_EQ(ChildCount(root.Get()), 1u);
  EXPECT_EQ(ChildCount(other.Get()), 0u);
  EXPECT_EQ(ChildCount(grandchild.Get()), 0u);
  EXPECT_EQ(Path(grandchild.Get()), DXN_TEXT("\\root\\child\\grandchild"));
}

TEST(NodeAttributes, InsertionOrderReplaceInPlaceAndDelete) {
  Handle node = Create(DXN_TEXT("n"));
  SetText(node.Get(), DXN_TEXT("b"), DXN_TEXT("1"));
  SetText(node.Get(), DXN_TEXT("a"), DXN_TEXT("2"));
  SetFixed<int64_t>(node.Get(), DXN_TEXT("c"), DXN_TYPE_INT64, 3);
  EXPECT_EQ(AttributeNames(node.Get()), (std::vector<Text>{DXN_TEXT("b"), DXN_TEXT("a"), DXN_TEXT("c")}));

  // Replacing keeps the place, also with another size and type.
  SetText(node.Get(), DXN_TEXT("b"), DXN_TEXT("a much longer value than before"));
  SetFixed<uint8_t>(node.Get(), DXN_TEXT("a"), DXN_TYPE_BOOL, 1);
  EXPECT_EQ(AttributeNames(node.Get()), (std::vector<Text>{DXN_TEXT("b"), DXN_TEXT("a"), DXN_TEXT("c")}));
  EXPECT_EQ(ReadTextAttribute(node.Get(), DXN_TEXT("b")), DXN_TEXT("a much longer value than before"));
  EXPECT_EQ(ReadRaw(node.Get(), DXN_TEXT("a")).type, DXN_TYPE_BOOL);
  int64_t c = 0;
  uint32_t size = sizeof(c);
  ASSERT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("c"), nullptr, &c, &size, nullptr), DXN_S_OK);
  EXPECT_EQ(c, 3);

  EXPECT_EQ(DxnDeleteAttribute(node.Get(), DXN_TEXT("a")), DXN_S_OK);
  EXPECT_EQ(DxnDeleteAttribute(node.Get(), DXN_TEXT("a")), DXN_E_NOT_FOUND);
  EXPECT_EQ(AttributeNames(node.Get()), (std::vector<Text>{DXN_TEXT("b"), DXN_TEXT("c")}));
  EXPECT_EQ(DxnDeleteAttribute(node.Get(), nullptr), DXN_S_OK);
  EXPECT_TRUE(AttributeNames(node.Get()).empty());
  EXPECT_EQ(DxnDeleteAttribute(node.Get(), nullptr), DXN_S_OK);  // none left: still fine
}

TEST(NodeAttributes, NameListOfANodeWithoutAttributesIsOneNul) {
  Handle node = Create(nullptr);
  DxnChar buffer[4] = {'x', 'x', 'x', 'x'};
  uint32_t size = 4;
  ASSERT_EQ(DxnGetAttributeNames(node.Get(), buffer, &size), DXN_S_OK);
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(buffer[0], 0);

  SetText(node.Get(), DXN_TEXT("ab"), DXN_TEXT(""));
  SetText(node.Get(), DXN_TEXT("c"), DXN_TEXT(""));
  size = 4;
  ASSERT_EQ(DxnGetAttributeNames(node.Get(), buffer, &size), DXN_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 6u);  // "ab\0c\0\0"
}

TEST(NodeAttributes, PresenceQueriesAndSizes) {
  Handle node = Create(nullptr);
  SetText(node.Get(), DXN_TEXT("Name"), DXN_TEXT("abc"));
  EXPECT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("Name"), nullptr, nullptr, nullptr, nullptr), DXN_S_OK);
  EXPECT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("Other"), nullptr, nullptr, nullptr, nullptr), DXN_E_NOT_FOUND);

  uint16_t type = 0;
  EXPECT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("Name"), nullptr, nullptr, nullptr, &type), DXN_S_OK);
  EXPECT_EQ(type, DXN_TYPE_TEXT);

  uint32_t size = 0;
  EXPECT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("Name"), nullptr, nullptr, &size, nullptr), DXN_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 4 * sizeof(DxnChar));
  DxnChar small[2];
  size = sizeof(small);
  EXPECT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("Name"), nullptr, small, &size, nullptr), DXN_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 4 * sizeof(DxnChar));

  // A buffer without its size cannot be filled.
  EXPECT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("Name"), nullptr, small, nullptr, nullptr), DXN_E_INVALIDARG);

  // An empty value: size 0, null data.
  ASSERT_EQ(DxnSetAttribute(node.Get(), DXN_TEXT("Empty"), DXN_TYPE_TEXT_LIST, nullptr, 0), DXN_S_OK);
  size = 0;
  EXPECT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("Empty"), nullptr, nullptr, &size, &type), DXN_S_OK);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, DXN_TYPE_TEXT_LIST);
}

TEST(NodeAttributes, AnyTypeCodeKeepsItsBytes) {
  Handle node = Create(nullptr);
  const uint8_t bytes[] = {0, 1, 2, 0xFF, 0x80};
  for (const uint16_t type :
       {uint16_t{0}, uint16_t{1}, uint16_t{3}, uint16_t{12}, uint16_t{0x101}, uint16_t{0x7FFF}, uint16_t{0xFFFF}}) {
    ASSERT_EQ(DxnSetAttribute(node.Get(), DXN_TEXT("v"), type, bytes, sizeof(bytes)), DXN_S_OK);
    const RawValue raw = ReadRaw(node.Get(), DXN_TEXT("v"));
    EXPECT_EQ(raw.result, DXN_S_OK);
    EXPECT_EQ(raw.type, type);
    EXPECT_EQ(raw.bytes, std::vector<uint8_t>(bytes, bytes + sizeof(bytes)));
  }
}

struct TypedReadCase {
  const char* what;
  uint16_t storedType;
  std::vector<uint8_t> stored;
  uint16_t requestedType;
  DxnResult expected;
  uint16_t deliveredType;
  std::vector<uint8_t> delivered;
};

std::vector<uint8_t> BytesOf(int64_t value, size_t size) {
  std::vector<uint8_t> bytes(size);
  std::memcpy(bytes.data(), &value, size);
  return bytes;
}

TEST(NodeAttributes, TypedReadsMatchOrFailClearly) {
  const std::vector<uint8_t> text = {'a', 0, 0, 0};
  const TypedReadCase cases[] = {
      {"same type", DXN_TYPE_INT32, BytesOf(-5, 4), DXN_TYPE_INT32, DXN_S_OK, DXN_TYPE_INT32, BytesOf(-5, 4)},
      {"int64 as int32, fits", DXN_TYPE_INT64, BytesOf(3, 8), DXN_TYPE_INT32, DXN_S_OK, DXN_TYPE_INT32, BytesOf(3, 4)},
      {"int64 as int32, minimum", DXN_TYPE_INT64, BytesOf(INT32_MIN, 8), DXN_TYPE_INT32, DXN_S_OK, DXN_TYPE_INT32,
       BytesOf(INT32_MIN, 4)},
      {"int64 as int32, too large",
       DXN_TYPE_INT64,
       BytesOf(int64_t{INT32_MAX} + 1, 8),
       DXN_TYPE_INT32,
       DXN_E_ARITHMETIC_OVERFLOW,
       DXN_TYPE_INT64,
       {}},
      {"int64 as int32, too small",
       DXN_TYPE_INT64,
       BytesOf(int64_t{INT32_MIN} - 1, 8),
       DXN_TYPE_INT32,
       DXN_E_ARITHMETIC_OVERFLOW,
       DXN_TYPE_INT64,
       {}},
      {"int32 as int64", DXN_TYPE_INT32, BytesOf(3, 4), DXN_TYPE_INT64, DXN_E_TYPE_MISMATCH, DXN_TYPE_INT32, {}},
      {"text 2 as 1", DXN_TYPE_TEXT, text, DXN_TYPE_TEXT_LEGACY, DXN_S_OK, DXN_TYPE_TEXT, text},
      {"text 1 as 2", DXN_TYPE_TEXT_LEGACY, text, DXN_TYPE_TEXT, DXN_S_OK, DXN_TYPE_TEXT_LEGACY, text},
      {"text as bool", DXN_TYPE_TEXT, text, DXN_TYPE_BOOL, DXN_E_TYPE_MISMATCH, DXN_TYPE_TEXT, {}},
      {"none as text", DXN_TYPE_NONE, {}, DXN_TYPE_TEXT, DXN_E_TYPE_MISMATCH, DXN_TYPE_NONE, {}},
      {"text list as text", DXN_TYPE_TEXT_LIST, text, DXN_TYPE_TEXT, DXN_E_TYPE_MISMATCH, DXN_TYPE_TEXT_LIST, {}},
      {"bool as int32", DXN_TYPE_BOOL, {1}, DXN_TYPE_INT32, DXN_E_TYPE_MISMATCH, DXN_TYPE_BOOL, {}},
  };
  for (const TypedReadCase& test : cases) {
    SCOPED_TRACE(test.what);
    Handle node = Create(nullptr);
    ASSERT_EQ(DxnSetAttribute(node.Get(), DXN_TEXT("v"), test.storedType, test.stored.data(),
                              static_cast<uint32_t>(test.stored.size())),
              DXN_S_OK);
    const RawValue raw = ReadRaw(node.Get(), DXN_TEXT("v"), &test.requestedType);
    EXPECT_EQ(raw.result, test.expected);
    EXPECT_EQ(raw.type, test.deliveredType);
    EXPECT_EQ(raw.bytes, test.delivered);
  }
}

// UTF-16 code units of an ASCII text with its NUL, as a text read delivers them.
std::vector<uint8_t> TextBytes(const char* ascii) {
  std::vector<uint8_t> bytes;
  for (const char* at = ascii;; ++at) {
    bytes.push_back(static_cast<uint8_t>(*at));
    bytes.push_back(0);
    if (*at == '\0') return bytes;
  }
}

// Rules read every scalar attribute as text: integers in decimal, booleans
// as words. Byte blocks, lists and values of a size their type does not have
// keep refusing, and only the text type 2 converts.
TEST(NodeAttributes, TextReadsOfNumbersAndBooleans) {
  const uint16_t text = DXN_TYPE_TEXT;
  const TypedReadCase cases[] = {
      {"int32", DXN_TYPE_INT32, BytesOf(-42, 4), text, DXN_S_OK, DXN_TYPE_TEXT, TextBytes("-42")},
      {"int32 zero", DXN_TYPE_INT32, BytesOf(0, 4), text, DXN_S_OK, DXN_TYPE_TEXT, TextBytes("0")},
      {"int32 minimum", DXN_TYPE_INT32, BytesOf(INT32_MIN, 4), text, DXN_S_OK, DXN_TYPE_TEXT, TextBytes("-2147483648")},
      {"int64", DXN_TYPE_INT64, BytesOf(9000000000, 8), text, DXN_S_OK, DXN_TYPE_TEXT, TextBytes("9000000000")},
      {"int64 minimum", DXN_TYPE_INT64, BytesOf(INT64_MIN, 8), text, DXN_S_OK, DXN_TYPE_TEXT,
       TextBytes("-9223372036854775808")},
      {"int64 maximum", DXN_TYPE_INT64, BytesOf(INT64_MAX, 8), text, DXN_S_OK, DXN_TYPE_TEXT,
       TextBytes("9223372036854775807")},
      {"bool true", DXN_TYPE_BOOL, {1}, text, DXN_S_OK, DXN_TYPE_TEXT, TextBytes("true")},
      {"bool false", DXN_TYPE_BOOL, {0}, text, DXN_S_OK, DXN_TYPE_TEXT, TextBytes("false")},
      {"bool of another byte", DXN_TYPE_BOOL, {2}, text, DXN_S_OK, DXN_TYPE_TEXT, TextBytes("true")},
      {"int32 of 8 bytes", DXN_TYPE_INT32, BytesOf(1, 8), text, DXN_E_TYPE_MISMATCH, DXN_TYPE_INT32, {}},
      {"int64 of 4 bytes", DXN_TYPE_INT64, BytesOf(1, 4), text, DXN_E_TYPE_MISMATCH, DXN_TYPE_INT64, {}},
      {"bool of 2 bytes", DXN_TYPE_BOOL, {1, 0}, text, DXN_E_TYPE_MISMATCH, DXN_TYPE_BOOL, {}},
      {"binary", DXN_TYPE_BINARY, {1, 2, 3, 4}, text, DXN_E_TYPE_MISMATCH, DXN_TYPE_BINARY, {}},
      {"text list", DXN_TYPE_TEXT_LIST, TextBytes("1"), text, DXN_E_TYPE_MISMATCH, DXN_TYPE_TEXT_LIST, {}},
      {"int32 as legacy text 1",
       DXN_TYPE_INT32,
       BytesOf(5, 4),
       DXN_TYPE_TEXT_LEGACY,
       DXN_E_TYPE_MISMATCH,
       DXN_TYPE_INT32,
       {}},
      {"int32 read as itself", DXN_TYPE_INT32, BytesOf(7, 4), DXN_TYPE_INT32, DXN_S_OK, DXN_TYPE_INT32, BytesOf(7, 4)},
  };
  for (const TypedReadCase& test : cases) {
    SCOPED_TRACE(test.what);
    Handle node = Create(nullptr);
    ASSERT_EQ(DxnSetAttribute(node.Get(), DXN_TEXT("v"), test.storedType, test.stored.data(),
                              static_cast<uint32_t>(test.stored.size())),
              DXN_S_OK);
    const RawValue raw = ReadRaw(node.Get(), DXN_TEXT("v"), &test.requestedType);
    EXPECT_EQ(raw.result, test.expected);
    EXPECT_EQ(raw.type, test.deliveredType);
    EXPECT_EQ(raw.bytes, test.delivered);
  }
}

TEST(NodeAttributes, TextReadOfANumberReportsItsSizeAndKeepsTheStoredValue) {
  Handle node = Create(nullptr);
  SetFixed<int64_t>(node.Get(), DXN_TEXT("n"), DXN_TYPE_INT64, -1234567);
  const uint16_t text = DXN_TYPE_TEXT;
  uint8_t small[4] = {};
  uint32_t size = sizeof(small);
  uint16_t type = 0;
  EXPECT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("n"), &text, small, &size, &type), DXN_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 18u) << "-1234567 and its NUL";
  EXPECT_EQ(type, DXN_TYPE_TEXT);
  size = 0;
  EXPECT_EQ(DxnGetAttribute(node.Get(), DXN_TEXT("n"), &text, nullptr, &size, nullptr), DXN_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 18u);
  EXPECT_EQ(ReadTextAttribute(node.Get(), DXN_TEXT("n")), Text(DXN_TEXT("-1234567")));
  // The stored value keeps its type and bytes.
  const RawValue raw = ReadRaw(node.Get(), DXN_TEXT("n"));
  EXPECT_EQ(raw.type, DXN_TYPE_INT64);
  EXPECT_EQ(raw.bytes, BytesOf(-1234567, 8));
}

TEST(NodeAttributes, FailureCounterWrittenAs64BitReadsAs32Bit) {
  Handle frame = Create(nullptr, DXN_TEXT("UsageActivityFrame"));
  SetFixed<int64_t>(frame.Get(), DXN_TEXT("FailureCounter"), DXN_TYPE_INT64, 2);
  int32_t counter = 0;
  uint32_t size = sizeof(counter);
  const uint16_t requested = DXN_TYPE_INT32;
  ASSERT_EQ(DxnGetAttribute(frame.Get(), DXN_TEXT("FailureCounter"), &requested, &counter, &size, nullptr), DXN_S_OK);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(counter, 2);
}

TEST(NodeAttributes, EmptyNamesAreRefused) {
  Handle node = Create(nullptr);
  const uint8_t byte = 1;
  EXPECT_EQ(DxnSetAttribute(node.Get(), DXN_TEXT(""), DXN_TYPE_BOOL, &byte, 1), DXN_E_INVALIDARG);
  EXPECT_TRUE(AttributeNames(node.Get()).empty());
}

TEST(NodeClone, DepthZeroCopiesTheNodeAloneAndTheSubtreeEverything) {
  Handle root = Create(DXN_TEXT("root"), DXN_TEXT("T"));
  SetText(root.Get(), DXN_TEXT("a"), DXN_TEXT("1"));
  Handle child = AddNew(root.Get(), DXN_TEXT("child"));
  Handle grandchild = AddNew(child.Get(), DXN_TEXT("grandchild"));
  SetFixed<int32_t>(grandchild.Get(), DXN_TEXT("g"), DXN_TYPE_INT32, 7);

  Handle alone;
  ASSERT_EQ(DxnCloneNode(child.Get(), DXN_DEPTH_NODE, 0, alone.Out()), DXN_S_OK);
  EXPECT_NE(alone.Get(), child.Get());
  EXPECT_EQ(ChildCount(alone.Get()), 0u);
  EXPECT_EQ(Path(alone.Get()), DXN_TEXT("\\child"));  // parentless

  Handle whole;
  ASSERT_EQ(DxnCloneNode(root.Get(), DXN_DEPTH_SUBTREE, 0, whole.Out()), DXN_S_OK);
  EXPECT_EQ(SerializeOne(whole.Get()), SerializeOne(root.Get()));

  Handle oneLevel;
  ASSERT_EQ(DxnCloneNode(root.Get(), 1, 0, oneLevel.Out()), DXN_S_OK);
  ASSERT_EQ(ChildCount(oneLevel.Get()), 1u);
  EXPECT_EQ(ChildCount(ChildAt(oneLevel.Get(), 0).Get()), 0u);

  // The copy is independent of the original.
  SetText(whole.Get(), DXN_TEXT("a"), DXN_TEXT("changed"));
  EXPECT_EQ(ReadTextAttribute(root.Get(), DXN_TEXT("a")), DXN_TEXT("1"));

  EXPECT_EQ(DxnCloneNode(root.Get(), 0, 1, alone.Out()), DXN_E_INVALIDARG);
  EXPECT_EQ(alone.Get(), nullptr);
}

// Null handles and pointers fail cleanly, never crash.
TEST(NullArguments, EveryFunctionRefusesThem) {
  Handle node = Create(DXN_TEXT("n"));
  IDXNode* out = reinterpret_cast<IDXNode*>(0x1);
  DxnChar buffer[8];
  uint32_t size = 8;
  uint32_t count = 0;
  const uint8_t byte = 0;

  EXPECT_EQ(DxnCreateNode(nullptr, nullptr, nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnDuplicateNodeHandle(nullptr, &out), DXN_E_POINTER);
  EXPECT_EQ(out, nullptr);  // out handles are cleared on failure
  EXPECT_EQ(DxnDuplicateNodeHandle(node.Get(), nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnCloseNodeHandle(nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnCloneNode(nullptr, 0, 0, &out), DXN_E_POINTER);
  EXPECT_EQ(DxnCloneNode(node.Get(), 0, 0, nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnGetNodeName(nullptr, 0, buffer, &size), DXN_E_POINTER);
  EXPECT_EQ(DxnGetNodeName(node.Get(), 0, buffer, nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnGetNodeType(nullptr, buffer, &size), DXN_E_POINTER);
  EXPECT_EQ(DxnGetNodeType(node.Get(), buffer, nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnSetNodeType(nullptr, DXN_TEXT("t")), DXN_E_POINTER);
  EXPECT_EQ(DxnGetChildCount(nullptr, &count), DXN_E_POINTER);
  EXPECT_EQ(DxnGetChildCount(node.Get(), nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnGetChildByIndex(nullptr, 0, &out), DXN_E_POINTER);
  EXPECT_EQ(DxnGetChildByIndex(node.Get(), 0, nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnGetChildByName(nullptr, DXN_TEXT("a"), &out), DXN_E_POINTER);
  EXPECT_EQ(DxnGetChildByName(node.Get(), nullptr, &out), DXN_E_POINTER);
  EXPECT_EQ(DxnGetChildByName(node.Get(), DXN_TEXT("a"), nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnGetParent(nullptr, &out), DXN_E_POINTER);
  EXPECT_EQ(DxnGetParent(node.Get(), nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnAddChild(nullptr, node.Get()), DXN_E_POINTER);
  EXPECT_EQ(DxnAddChild(node.Get(), nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnRemoveChild(nullptr, node.Get()), DXN_E_POINTER);
  EXPECT_EQ(DxnRemoveChild(node.Get(), nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnGetAttribute(nullptr, DXN_TEXT("a"), nullptr, nullptr, nullptr, nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnGetAttribute(node.Get(), nullptr, nullptr, nullptr, nullptr, nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnGetAttributeNames(nullptr, buffer, &size), DXN_E_POINTER);
  EXPECT_EQ(DxnGetAttributeNames(node.Get(), buffer, nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnDeleteAttribute(nullptr, DXN_TEXT("a")), DXN_E_POINTER);
  EXPECT_EQ(DxnSetAttribute(nullptr, DXN_TEXT("a"), DXN_TYPE_BOOL, &byte, 1), DXN_E_POINTER);
  EXPECT_EQ(DxnSetAttribute(node.Get(), nullptr, DXN_TYPE_BOOL, &byte, 1), DXN_E_POINTER);
  EXPECT_EQ(DxnSetAttribute(node.Get(), DXN_TEXT("a"), DXN_TYPE_BOOL, nullptr, 1), DXN_E_POINTER);

  DxnSerializationContext* writer = nullptr;
  DxnDeserializationContext* reader = nullptr;
  EXPECT_EQ(DxnStartSerialization(DXNSerializationType_NodeText, 0, nullptr, nullptr, &writer), DXN_E_POINTER);
  EXPECT_EQ(DxnSerializeNodes(nullptr, nullptr, 0, 0), DXN_E_POINTER);
  EXPECT_EQ(DxnFinalizeSerialization(nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnCloseSerializationContext(nullptr), DXN_E_POINTER);
  EXPECT_EQ(DxnStartDeserialization(DXNSerializationType_NodeText, 0, nullptr, nullptr, &reader), DXN_E_POINTER);
  EXPECT_EQ(DxnDeserializeNodes(nullptr, &out, 1, &count), DXN_E_POINTER);
  EXPECT_EQ(DxnCloseDeserializationContext(nullptr), DXN_E_POINTER);
}

TEST(NullArguments, ValuesThatAreNotHandlesAreRecognisedWhereTheyLookWrong) {
  // A context passed where a node is expected: a different signature.
  std::string sink;
  DxnSerializationContext* writer = nullptr;
  ASSERT_EQ(DxnStartSerialization(
                DXNSerializationType_NodeText, 0, [](const void*, uint32_t, void*) -> DxnResult { return DXN_S_OK; },
                &sink, &writer),
            DXN_S_OK);
  uint32_t count = 0;
  EXPECT_EQ(DxnGetChildCount(reinterpret_cast<IDXNode*>(writer), &count), DXN_E_INVALIDARG);
  EXPECT_EQ(DxnCloseSerializationContext(writer), DXN_S_OK);
}

}  // namespace

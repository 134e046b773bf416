// Node text (serialization type 1): the written layout, exact round trips of
// every tree and text, batches, and what the reader accepts besides what the
// writer writes.
#include "DxnTestSupport.h"

namespace {

using namespace DxnTest;

const uint16_t kAnyType = 0xFFFF;

// Structural equality through the interface: names, types, attributes in
// order with type and bytes, children in order.
void ExpectSameTree(IDXNode* expected, IDXNode* actual) {
  EXPECT_EQ(Name(expected), Name(actual));
  EXPECT_EQ(Type(expected), Type(actual));
  const std::vector<Text> names = AttributeNames(expected);
  ASSERT_EQ(names, AttributeNames(actual));
  for (const Text& name : names) {
    const RawValue left = ReadRaw(expected, name.c_str());
    const RawValue right = ReadRaw(actual, name.c_str());
    EXPECT_EQ(left.type, right.type);
    EXPECT_EQ(left.bytes, right.bytes);
  }
  const uint32_t count = ChildCount(expected);
  ASSERT_EQ(count, ChildCount(actual));
  for (uint32_t index = 0; index < count; ++index) {
    ExpectSameTree(ChildAt(expected, index).Get(), ChildAt(actual, index).Get());
  }
}

// Writes the node with each flag set, reads it back, and checks that the
// tree and the text come back the same.
void ExpectRoundTrip(IDXNode* node) {
  for (const uint32_t flags : {0u, 1u, 0x100u, DXN_SERIALIZE_FORMATTED}) {
    SCOPED_TRACE(testing::Message() << "flags " << flags);
    const std::string text = SerializeOne(node, flags);
    std::vector<Handle> nodes;
    ASSERT_EQ(Deserialize(text, nodes), DXN_S_OK) << text;
    ASSERT_EQ(nodes.size(), 1u);
    ExpectSameTree(node, nodes[0].Get());
    EXPECT_EQ(SerializeOne(nodes[0].Get(), flags), text);
  }
}

TEST(NodeTextWriter, FormattedLayout) {
  Handle root = Create(DXN_TEXT("Settings"), DXN_TEXT("Section"));
  SetText(root.Get(), DXN_TEXT("Title"), DXN_TEXT("a < b & \"c\""));
  SetFixed<int32_t>(root.Get(), DXN_TEXT("Count"), DXN_TYPE_INT32, -42);
  SetFixed<int64_t>(root.Get(), DXN_TEXT("FailureCounter"), DXN_TYPE_INT64, 9000000000);
  SetFixed<uint8_t>(root.Get(), DXN_TEXT("Enabled"), DXN_TYPE_BOOL, 1);
  const uint8_t blob[] = {0, 1, 2, 0xFF};
  ASSERT_EQ(DxnSetAttribute(root.Get(), DXN_TEXT("Blob"), DXN_TYPE_BINARY, blob, sizeof(blob)), DXN_S_OK);
  const Text list = Text(DXN_TEXT("one")) + DxnChar(0) + DxnChar(0) + DXN_TEXT("three") + DxnChar(0);
  ASSERT_EQ(DxnSetAttribute(root.Get(), DXN_TEXT("List"), DXN_TYPE_TEXT_LIST, list.data(),
                            static_cast<uint32_t>(list.size() * sizeof(DxnChar))),
            DXN_S_OK);
  ASSERT_EQ(DxnSetAttribute(root.Get(), DXN_TEXT("Nothing"), DXN_TYPE_NONE, nullptr, 0), DXN_S_OK);
  Handle child = AddNew(root.Get(), nullptr, DXN_TEXT("UsageActivityFrame"));
  AddNew(child.Get(), DXN_TEXT(""));

  EXPECT_EQ(SerializeOne(root.Get()),
            "<nr>\r\n"
            "  <node name=\"Settings\" type=\"Section\">\r\n"
            "    <attr name=\"Title\" type=\"text\">a &lt; b &amp; \"c\"</attr>\r\n"
            "    <attr name=\"Count\" type=\"int32\">-42</attr>\r\n"
            "    <attr name=\"FailureCounter\" type=\"int64\">9000000000</attr>\r\n"
            "    <attr name=\"Enabled\" type=\"bool\">true</attr>\r\n"
            "    <attr name=\"Blob\" type=\"binary\">AAEC/w==</attr>\r\n"
            "    <attr name=\"List\" type=\"textlist\">\r\n"
            "      <item>one</item>\r\n"
            "      <item/>\r\n"
            "      <item>three</item>\r\n"
            "    </attr>\r\n"
            "    <attr name=\"Nothing\" type=\"none\"/>\r\n"
            "    <node type=\"UsageActivityFrame\">\r\n"
            "      <node name=\"\"/>\r\n"
            "    </node>\r\n"
            "  </node>\r\n"
            "</nr>\r\n");

  EXPECT_EQ(SerializeOne(child.Get(), 0), "<nr><node type=\"UsageActivityFrame\"><node name=\"\"/></node></nr>");
}

TEST(NodeTextWriter, EmptyAndSeveralNodes) {
  std::string text;
  ASSERT_EQ(Serialize({}, DXN_SERIALIZE_FORMATTED, DXN_DEPTH_SUBTREE, text), DXN_S_OK);
  EXPECT_EQ(text, "<nr>\r\n</nr>\r\n");
  ASSERT_EQ(Serialize({}, 0, DXN_DEPTH_SUBTREE, text), DXN_S_OK);
  EXPECT_EQ(text, "<nr></nr>");

  Handle a = Create(DXN_TEXT("a"));
  Handle b = Create(DXN_TEXT("b"));
  ASSERT_EQ(Serialize({a.Get(), b.Get()}, 0, DXN_DEPTH_SUBTREE, text), DXN_S_OK);
  EXPECT_EQ(text, "<nr><node name=\"a\"/><node name=\"b\"/></nr>");
}

TEST(NodeTextWriter, DepthLimitsTheLevelsWritten) {
  Handle root = Create(DXN_TEXT("r"));
  SetText(root.Get(), DXN_TEXT("a"), DXN_TEXT("v"));
  Handle child = AddNew(root.Get(), DXN_TEXT("c"));
  AddNew(child.Get(), DXN_TEXT("g"));
  const auto write = [&](uint32_t depth) { return SerializeOne(root.Get(), 0, depth); };
  EXPECT_EQ(write(0), "<nr><node name=\"r\"><attr name=\"a\" type=\"text\">v</attr></node></nr>");
  EXPECT_EQ(write(1), "<nr><node name=\"r\"><attr name=\"a\" type=\"text\">v</attr><node name=\"c\"/></node></nr>");
  EXPECT_EQ(write(2), write(DXN_DEPTH_SUBTREE));
  EXPECT_EQ(write(DXN_DEPTH_SUBTREE),
            "<nr><node name=\"r\"><attr name=\"a\" type=\"text\">v</attr><node name=\"c\"><node "
            "name=\"g\"/></node></node></nr>");
}

struct ValueCase {
  const char* what;
  uint16_t type;
  std::vector<uint8_t> bytes;
  const char* written;  // the <attr> element as flags 0 write it
};

std::vector<uint8_t> Units(std::initializer_list<char16_t> units) {
  std::vector<uint8_t> bytes;
  for (const char16_t unit : units) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

TEST(NodeTextRoundTrip, EveryTypeCodeAndShape) {
  const ValueCase cases[] = {
      {"none", 0, {}, "<attr name=\"v\" type=\"none\"/>"},
      {"none with bytes", 0, {1, 2}, "<attr name=\"v\" type=\"0\">AQI=</attr>"},
      {"legacy text", 1, Units({'a', 0}), "<attr name=\"v\" type=\"1\">YQAAAA==</attr>"},
      {"text", 2, Units({'h', 'i', 0}), "<attr name=\"v\" type=\"text\">hi</attr>"},
      {"empty text", 2, Units({0}), "<attr name=\"v\" type=\"text\"/>"},
      {"text with inner NULs", 2, Units({0, 'x', 0, 0}), "<attr name=\"v\" type=\"text\">&#x0000;x&#x0000;</attr>"},
      {"text without NUL", 2, Units({'a', 'b'}), "<attr name=\"v\" type=\"2\">YQBiAA==</attr>"},
      {"text of odd size", 2, {'a', 0, 0}, "<attr name=\"v\" type=\"2\">YQAA</attr>"},
      {"text of no bytes", 2, {}, "<attr name=\"v\" type=\"2\"/>"},
      {"int32", 4, {0xFF, 0xFF, 0xFF, 0x7F}, "<attr name=\"v\" type=\"int32\">2147483647</attr>"},
      {"int32 minimum", 4, {0, 0, 0, 0x80}, "<attr name=\"v\" type=\"int32\">-2147483648</attr>"},
      {"int32 of 3 bytes", 4, {1, 2, 3}, "<attr name=\"v\" type=\"4\">AQID</attr>"},
      {"int64 minimum", 6, {0, 0, 0, 0, 0, 0, 0, 0x80}, "<attr name=\"v\" type=\"int64\">-9223372036854775808</attr>"},
      {"int64 of 4 bytes", 6, {1, 0, 0, 0}, "<attr name=\"v\" type=\"6\">AQAAAA==</attr>"},
      {"bool false", 7, {0}, "<attr name=\"v\" type=\"bool\">false</attr>"},
      {"bool of another byte", 7, {2}, "<attr name=\"v\" type=\"7\">Ag==</attr>"},
      {"bool of no bytes", 7, {}, "<attr name=\"v\" type=\"7\"/>"},
      {"binary", 12, {0xFB, 0xFF}, "<attr name=\"v\" type=\"binary\">+/8=</attr>"},
      {"empty binary", 12, {}, "<attr name=\"v\" type=\"binary\"/>"},
      {"empty text list", 258, {}, "<attr name=\"v\" type=\"textlist\"/>"},
      {"text list of one empty text", 258, Units({0}), "<attr name=\"v\" type=\"textlist\"><item/></attr>"},
      {"text list of two", 258, Units({'a', 0, 'b', 0}),
       "<attr name=\"v\" type=\"textlist\"><item>a</item><item>b</item></attr>"},
      {"text list without last NUL", 258, Units({'a', 0, 'b'}), "<attr name=\"v\" type=\"258\">YQAAAGIA</attr>"},
      {"list flag alone", 0x100, {9}, "<attr name=\"v\" type=\"256\">CQ==</attr>"},
      {"unknown code", 3, {1, 2, 3, 4, 5}, "<attr name=\"v\" type=\"3\">AQIDBAU=</attr>"},
      {"largest code", 0xFFFF, {0}, "<attr name=\"v\" type=\"65535\">AA==</attr>"},
  };
  for (const ValueCase& test : cases) {
    SCOPED_TRACE(test.what);
    Handle node = Create(nullptr);
    ASSERT_EQ(DxnSetAttribute(node.Get(), DXN_TEXT("v"), test.type, test.bytes.empty() ? nullptr : test.bytes.data(),
                              static_cast<uint32_t>(test.bytes.size())),
              DXN_S_OK);
    EXPECT_EQ(SerializeOne(node.Get(), 0), std::string("<nr><node>") + test.written + "</node></nr>");
    ExpectRoundTrip(node.Get());
  }
}

// Texts that need every escape: markup characters, whitespace controls,
// code units XML cannot carry, surrogate pairs and lone halves.
std::vector<Text> OddTexts() {
  std::vector<Text> texts = {
      DXN_TEXT("plain"),
      DXN_TEXT(" leading and trailing "),
      DXN_TEXT("<&>\"'"),
      DXN_TEXT("&amp; is not decoded twice"),
      DXN_TEXT("line\r\nends\rand\nmore"),
      DXN_TEXT("\ttab\t"),
      DXN_TEXT("]]> and --> and <!-- -->"),
      DXN_TEXT("\u00e9\u4e2d\uFFFD\u00ff"),
      DXN_TEXT("   "),
  };
  Text controls;
  for (DxnChar unit = 1; unit < 0x20; ++unit) controls += unit;
  controls += DxnChar(0x7F);
  texts.push_back(controls);
  const std::initializer_list<DxnChar> special[] = {
      {0xD83D, 0xDE00},          // a valid pair
      {0xD800},                  // lone high surrogate
      {0xDC00, 'x'},             // lone low surrogate
      {0xDBFF, 0xD800, 0xDFFF},  // high, then a pair
      {0xDFFF, 0xD800},          // reversed halves
      {0xFFFE, 0xFFFF, 0xFEFF},  // non-characters and a BOM
  };
  for (const auto& units : special) texts.emplace_back(units);
  return texts;
}

TEST(NodeTextRoundTrip, OddTextsInNamesTypesAttributeNamesAndValues) {
  for (const Text& text : OddTexts()) {
    SCOPED_TRACE(testing::Message() << "text of " << text.size() << " units starting " << int(text[0]));
    Handle node = Create(text.c_str(), text.c_str());
    SetText(node.Get(), text.c_str(), text);
    const Text list = text + DxnChar(0) + text + DxnChar(0);
    ASSERT_EQ(DxnSetAttribute(node.Get(), DXN_TEXT("list"), DXN_TYPE_TEXT_LIST, list.data(),
                              static_cast<uint32_t>(list.size() * sizeof(DxnChar))),
              DXN_S_OK);
    AddNew(node.Get(), text.c_str());
    ExpectRoundTrip(node.Get());

    std::vector<Handle> nodes;
    ASSERT_EQ(Deserialize(SerializeOne(node.Get()), nodes), DXN_S_OK);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(Name(nodes[0].Get()), text);
    EXPECT_EQ(Type(nodes[0].Get()), text);
    EXPECT_EQ(ReadTextAttribute(nodes[0].Get(), text.c_str()), text);
  }
}

// The reader and writer take runs of plain ASCII in blocks of several code
// units: a unit that needs care must be seen at every place in and around a
// block, in names (XML attribute values) and in values (content).
TEST(NodeTextRoundTrip, SpecialUnitsAtEveryPlaceOfLongerTexts) {
  const std::initializer_list<DxnChar> specials[] = {
      {'&'},  {'<'},  {'>'},  {'"'},    {'\t'},           {'\n'},   {'\r'},
      {0x01}, {0x7F}, {0xE9}, {0x4E2D}, {0xD83D, 0xDE00}, {0xD800}, {0xFFFE},
  };
  Handle root = Create(DXN_TEXT("root"));
  int nodeIndex = 0;
  for (const size_t length : {7u, 8u, 9u, 15u, 16u, 17u, 33u}) {
    for (const auto& special : specials) {
      const std::string nodeName = "n" + std::to_string(nodeIndex++);
      Handle node = AddNew(root.Get(), Text(nodeName.begin(), nodeName.end()).c_str());
      for (size_t at = 0; at < length; ++at) {
        Text text(length, DXN_TEXT('a'));
        text.replace(at, 1, Text(special));
        const std::string name = "v" + std::to_string(at);
        SetText(node.Get(), Text(name.begin(), name.end()).c_str(), text);
        AddNew(node.Get(), text.c_str(), text.c_str());
      }
    }
  }
  ExpectRoundTrip(root.Get());
}

TEST(NodeTextRoundTrip, WrittenTextIsValidUtf8WithoutRawControls) {
  for (const Text& text : OddTexts()) {
    Handle node = Create(text.c_str());
    SetText(node.Get(), DXN_TEXT("v"), text);
    for (const char byte : SerializeOne(node.Get(), 0)) {
      const auto value = static_cast<unsigned char>(byte);
      EXPECT_TRUE(value >= 0x20 || value == '\t' || value == '\n') << int(value);
    }
  }
}

TEST(NodeTextRoundTrip, EmptyAndAbsentNamesAndTypesStayApart) {
  Handle absent = Create(nullptr, nullptr);
  AddNew(absent.Get(), DXN_TEXT("X"));
  Handle empty = Create(DXN_TEXT(""), DXN_TEXT(""));
  AddNew(empty.Get(), DXN_TEXT("X"));
  EXPECT_EQ(SerializeOne(absent.Get(), 0), "<nr><node><node name=\"X\"/></node></nr>");
  EXPECT_EQ(SerializeOne(empty.Get(), 0), "<nr><node name=\"\" type=\"\"><node name=\"X\"/></node></nr>");

  std::vector<Handle> nodes;
  ASSERT_EQ(Deserialize(SerializeOne(absent.Get()) + "", nodes), DXN_S_OK);
  EXPECT_EQ(Path(ChildAt(nodes[0].Get(), 0).Get()), DXN_TEXT("\\X"));
  ASSERT_EQ(Deserialize(SerializeOne(empty.Get()), nodes), DXN_S_OK);
  EXPECT_EQ(Path(ChildAt(nodes[0].Get(), 0).Get()), DXN_TEXT("\\\\X"));
  EXPECT_EQ(SerializeOne(nodes[0].Get(), 0), "<nr><node name=\"\" type=\"\"><node name=\"X\"/></node></nr>");
}

TEST(NodeTextRoundTrip, NestedTreeOfManyShapes) {
  Handle root = Create(DXN_TEXT("root"), DXN_TEXT("Root"));
  for (int section = 0; section < 5; ++section) {
    Handle node = AddNew(root.Get(), DXN_TEXT("Section"), section % 2 == 0 ? DXN_TEXT("Even") : nullptr);
    for (int item = 0; item < section; ++item) {
      Handle leaf = AddNew(node.Get(), nullptr, DXN_TEXT("Item"));
      SetFixed<int64_t>(leaf.Get(), DXN_TEXT("Index"), DXN_TYPE_INT64, -item);
      SetText(leaf.Get(), DXN_TEXT("Text"), Text(static_cast<size_t>(item), DXN_TEXT('&')));
      AddNew(leaf.Get(), DXN_TEXT("Empty"));
    }
  }
  ExpectRoundTrip(root.Get());
}

TEST(NodeTextRoundTrip, NestingUpToTheLimitAndBeyond) {
  const auto chain = [](int levels) {
    Handle top = Create(DXN_TEXT("x"));
    for (int level = 1; level < levels; ++level) {
      Handle parent = Create(DXN_TEXT("x"));
      EXPECT_EQ(DxnAddChild(parent.Get(), top.Get()), DXN_S_OK);
      top = std::move(parent);
    }
    return top;
  };
  Handle deepest = chain(1024);
  ExpectRoundTrip(deepest.Get());

  Handle tooDeep = chain(1025);
  std::string text;
  EXPECT_EQ(Serialize({tooDeep.Get()}, 0, DXN_DEPTH_SUBTREE, text), DXN_E_INVALIDARG);
  // Limited by the depth argument, the same tree can be written.
  EXPECT_EQ(Serialize({tooDeep.Get()}, 0, 1000, text), DXN_S_OK);
}

TEST(NodeTextReader, BatchesOfTopLevelNodes) {
  const auto document = [](int count) {
    std::string text = "<nr>";
    for (int index = 0; index < count; ++index) text += "<node name=\"n" + std::to_string(index) + "\"/>";
    return text + "</nr>";
  };
  struct BatchCase {
    int nodes;
    uint32_t batchSize;
    std::vector<uint32_t> batches;
  };
  const BatchCase cases[] = {
      {25, 10, {10, 10, 5}}, {10, 10, {10, 0}}, {0, 10, {0}}, {3, 1, {1, 1, 1, 0}}, {3, 100, {3}},
  };
  for (const BatchCase& test : cases) {
    SCOPED_TRACE(testing::Message() << test.nodes << " nodes in batches of " << test.batchSize);
    std::vector<Handle> nodes;
    std::vector<uint32_t> batches;
    ASSERT_EQ(Deserialize(document(test.nodes), nodes, test.batchSize, &batches), DXN_S_OK);
    EXPECT_EQ(batches, test.batches);
    ASSERT_EQ(nodes.size(), static_cast<size_t>(test.nodes));
    for (int index = 0; index < test.nodes; ++index) {
      const std::string expected = "n" + std::to_string(index);
      EXPECT_EQ(Name(nodes[index].Get()), Text(expected.begin(), expected.end()));
    }
  }
}

TEST(NodeTextReader, AcceptsWhatXmlAllowsAroundTheFormat) {
  const char* accepted[] = {
      "\xEF\xBB\xBF<nr><node name='a'/></nr>",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<nr><node name=\"a\"/></nr>",
      "\xEF\xBB\xBF<?xml version='1.0' standalone='yes' ?><!-- c --><nr><node name=\"a\"/></nr><!-- c -->\n",
      "<nr >\n\t<!-- before --><node\tname = \"a\" ></node ><!-- after -->\r\n</nr >",
      "<nr><node name=\"a\"><!-- x --><attr type=\"text\" name=\"t\">v<!-- inside -->w</attr></node></nr>",
  };
  for (const char* text : accepted) {
    SCOPED_TRACE(text);
    std::vector<Handle> nodes;
    ASSERT_EQ(Deserialize(text, nodes), DXN_S_OK);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(Name(nodes[0].Get()), DXN_TEXT("a"));
  }
  std::vector<Handle> nodes;
  ASSERT_EQ(Deserialize(accepted[4], nodes), DXN_S_OK);
  EXPECT_EQ(ReadTextAttribute(nodes[0].Get(), DXN_TEXT("t")), DXN_TEXT("vw"));
}

TEST(NodeTextReader, LineEndsAndWhitespaceAsXmlReadsThem) {
  std::vector<Handle> nodes;
  // Character references stand for their characters anywhere, digits too.
  ASSERT_EQ(Deserialize("<nr><node><attr name=\"r\" type=\"int32\">&#49;&#x32;</attr></node></nr>", nodes), DXN_S_OK);
  int32_t number = 0;
  uint32_t size = sizeof(number);
  ASSERT_EQ(DxnGetAttribute(nodes[0].Get(), DXN_TEXT("r"), nullptr, &number, &size, nullptr), DXN_S_OK);
  EXPECT_EQ(number, 12);
  ASSERT_EQ(Deserialize("<nr><node name=\"a\r\nb\tc\"><attr name=\"t\" type=\"text\">1\r\n2\r3&#13;&#x1F600;</attr>"
                        "</node></nr>",
                        nodes),
            DXN_S_OK);
  EXPECT_EQ(Name(nodes[0].Get()), DXN_TEXT("a b c"));
  EXPECT_EQ(ReadTextAttribute(nodes[0].Get(), DXN_TEXT("t")), DXN_TEXT("1\n2\n3\r\U0001F600"));
}

TEST(NodeTextReader, InputInOneBytePieces) {
  Handle root = Create(DXN_TEXT("root"));
  SetText(root.Get(), DXN_TEXT("t"), DXN_TEXT("\u00e9\u4e2d\U0001F600"));
  AddNew(root.Get(), DXN_TEXT("child"));
  const std::string text = SerializeOne(root.Get());
  std::vector<Handle> nodes;
  ASSERT_EQ(Deserialize(text, nodes, 10, nullptr, 1), DXN_S_OK);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(SerializeOne(nodes[0].Get()), text);
}

TEST(NodeTextReader, ReadNodesAreTopmostAndIndependent) {
  std::vector<Handle> nodes;
  ASSERT_EQ(Deserialize("<nr><node name=\"a\"><node name=\"b\"/></node><node name=\"c\"/></nr>", nodes), DXN_S_OK);
  ASSERT_EQ(nodes.size(), 2u);
  Handle parent;
  EXPECT_EQ(DxnGetParent(nodes[0].Get(), parent.Out()), DXN_E_NOT_FOUND);
  EXPECT_EQ(Path(ChildAt(nodes[0].Get(), 0).Get()), DXN_TEXT("\\a\\b"));
  ASSERT_EQ(DxnAddChild(nodes[1].Get(), nodes[0].Get()), DXN_S_OK);
  EXPECT_EQ(Path(ChildAt(nodes[0].Get(), 0).Get()), DXN_TEXT("\\c\\a\\b"));
}

// Nodes read from text share their memory with their tree; one moved to
// another tree, changed and written must stay intact after the tree it came
// from is gone (the sanitizers of the native build watch the memory).
TEST(NodeTextReader, ReadNodesOutliveTheirTreeAndChangeFreely) {
  Handle moved;
  Handle kept;
  {
    std::vector<Handle> nodes;
    ASSERT_EQ(Deserialize("<nr><node name=\"source tree with a long name\">"
                          "<node name=\"a node with a long name\" type=\"a type with a long name\">"
                          "<attr name=\"Text\" type=\"text\">first value</attr>"
                          "<attr name=\"Number\" type=\"int32\">7</attr>"
                          "<attr name=\"Gone\" type=\"bool\">true</attr>"
                          "<node name=\"grandchild\"><attr name=\"x\" type=\"int64\">-1</attr></node>"
                          "</node><node name=\"sibling\"/></node></nr>",
                          nodes),
              DXN_S_OK);
    ASSERT_EQ(nodes.size(), 1u);
    moved = ChildAt(nodes[0].Get(), 0);
    kept = ChildAt(nodes[0].Get(), 1);
    ASSERT_EQ(DxnRemoveChild(nodes[0].Get(), moved.Get()), DXN_S_OK);
  }
  // The source tree is held only through "sibling" now.
  kept.Reset();

  Handle target = Create(DXN_TEXT("target"));
  ASSERT_EQ(DxnAddChild(target.Get(), moved.Get()), DXN_S_OK);
  SetText(moved.Get(), DXN_TEXT("Text"), DXN_TEXT("a longer value than the one read from the text"));
  SetFixed<int32_t>(moved.Get(), DXN_TEXT("Number"), DXN_TYPE_INT32, 8);
  ASSERT_EQ(DxnDeleteAttribute(moved.Get(), DXN_TEXT("Gone")), DXN_S_OK);
  SetText(moved.Get(), DXN_TEXT("New"), DXN_TEXT("n"));
  ASSERT_EQ(DxnSetNodeType(ChildAt(moved.Get(), 0).Get(), DXN_TEXT("Grandchild")), DXN_S_OK);
  Handle clone;
  ASSERT_EQ(DxnCloneNode(moved.Get(), DXN_DEPTH_SUBTREE, 0, clone.Out()), DXN_S_OK);
  moved.Reset();

  const std::string expected =
      "<nr><node name=\"target\"><node name=\"a node with a long name\" type=\"a type with a long name\">"
      "<attr name=\"Text\" type=\"text\">a longer value than the one read from the text</attr>"
      "<attr name=\"Number\" type=\"int32\">8</attr><attr name=\"New\" type=\"text\">n</attr>"
      "<node name=\"grandchild\" type=\"Grandchild\"><attr name=\"x\" type=\"int64\">-1</attr></node>"
      "</node></node></nr>";
  EXPECT_EQ(SerializeOne(target.Get(), 0), expected);
  EXPECT_EQ(Path(ChildAt(ChildAt(target.Get(), 0).Get(), 0).Get()),
            DXN_TEXT("\\target\\a node with a long name\\grandchild"));
  target.Reset();
  EXPECT_EQ(ReadTextAttribute(clone.Get(), DXN_TEXT("Text")),
            DXN_TEXT("a longer value than the one read from the text"));
}

// Values read in place and values that need decoding first (references,
// comments) give the same results, and the same failures.
TEST(NodeTextReader, ValuesWithReferencesAndCommentsReadAsTheirText) {
  struct ValueCase {
    const char* type;
    const char* content;
    DxnResult result;
    std::vector<uint8_t> bytes;
  };
  const ValueCase cases[] = {
      {"int32", "-12", DXN_S_OK, {0xF4, 0xFF, 0xFF, 0xFF}},
      {"int32", "&#45;12", DXN_S_OK, {0xF4, 0xFF, 0xFF, 0xFF}},
      {"int32", "1<!-- c -->2", DXN_S_OK, {12, 0, 0, 0}},
      {"int32", "1 2", DXN_E_INVALID_DATA, {}},
      {"int32", "1&#10;", DXN_E_INVALID_DATA, {}},
      {"int32", "\xC2\xB2", DXN_E_INVALID_DATA, {}},
      {"bool", "t&#x72;ue", DXN_S_OK, {1}},
      {"bool", "false\r\n", DXN_E_INVALID_DATA, {}},
      {"binary", "AAE&#61;", DXN_S_OK, {0, 1}},
      {"binary", "AA<!---->E=", DXN_S_OK, {0, 1}},
      {"none", "<!-- nothing -->", DXN_S_OK, {}},
      {"none", "&#32;", DXN_E_INVALID_DATA, {}},
      {"text", "a<!-- c -->&amp;b", DXN_S_OK, {'a', 0, '&', 0, 'b', 0, 0, 0}},
      {"text", "", DXN_S_OK, {0, 0}},
  };
  for (const ValueCase& test : cases) {
    SCOPED_TRACE(testing::Message() << test.type << " " << test.content);
    const std::string text =
        std::string("<nr><node><attr name=\"v\" type=\"") + test.type + "\">" + test.content + "</attr></node></nr>";
    std::vector<Handle> nodes;
    ASSERT_EQ(Deserialize(text, nodes), test.result);
    if (test.result != DXN_S_OK) continue;
    ASSERT_EQ(nodes.size(), 1u);
    const RawValue value = ReadRaw(nodes[0].Get(), DXN_TEXT("v"));
    EXPECT_EQ(std::vector<uint8_t>(value.bytes.begin(), value.bytes.end()), test.bytes);
  }
}

TEST(NodeTextReader, ClosingTheContextEarlyReleasesTheRest) {
  std::string text = "<nr>";
  for (int index = 0; index < 30; ++index) text += "<node><node/></node>";
  text += "</nr>";
  TextSource source{text};
  DxnDeserializationContext* context = nullptr;
  ASSERT_EQ(DxnStartDeserialization(DXNSerializationType_NodeText, 0, &ReadFromSource, &source, &context), DXN_S_OK);
  IDXNode* batch[10];
  uint32_t count = 0;
  ASSERT_EQ(DxnDeserializeNodes(context, batch, 10, &count), DXN_S_OK);
  ASSERT_EQ(count, 10u);
  for (IDXNode* node : batch) EXPECT_EQ(DxnCloseNodeHandle(node), DXN_S_OK);
  EXPECT_EQ(DxnCloseDeserializationContext(context), DXN_S_OK);  // the sanitizer checks the other 20
}

TEST(Serialization, CallbackFailuresStopTheRun) {
  Handle node = Create(DXN_TEXT("n"));
  const DxnResult failure = static_cast<DxnResult>(0x80004005);
  DxnSerializationContext* writer = nullptr;
  ASSERT_EQ(DxnStartSerialization(
                DXNSerializationType_NodeText, 0,
                [](const void*, uint32_t, void*) -> DxnResult { return static_cast<DxnResult>(0x80004005); }, nullptr,
                &writer),
            DXN_S_OK);
  IDXNode* nodes[] = {node.Get()};
  EXPECT_EQ(DxnSerializeNodes(writer, nodes, 1, DXN_DEPTH_SUBTREE), DXN_S_OK);  // still buffered
  EXPECT_EQ(DxnFinalizeSerialization(writer), failure);
  EXPECT_EQ(DxnSerializeNodes(writer, nodes, 1, DXN_DEPTH_SUBTREE), failure);
  EXPECT_EQ(DxnCloseSerializationContext(writer), DXN_S_OK);

  DxnDeserializationContext* reader = nullptr;
  ASSERT_EQ(DxnStartDeserialization(
                DXNSerializationType_NodeText, 0,
                [](void*, uint32_t, uint32_t*, void*) -> DxnResult { return static_cast<DxnResult>(0x8007001E); },
                nullptr, &reader),
            DXN_S_OK);
  IDXNode* batch[10];
  uint32_t count = 7;
  EXPECT_EQ(DxnDeserializeNodes(reader, batch, 10, &count), static_cast<DxnResult>(0x8007001E));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(DxnCloseDeserializationContext(reader), DXN_S_OK);

  ASSERT_EQ(DxnStartDeserialization(
                DXNSerializationType_NodeText, 0,
                [](void*, uint32_t capacity, uint32_t* read, void*) -> DxnResult {
                  *read = capacity + 1;
                  return DXN_S_OK;
                },
                nullptr, &reader),
            DXN_S_OK);
  EXPECT_EQ(DxnDeserializeNodes(reader, batch, 10, &count), DXN_E_UNEXPECTED);
  EXPECT_EQ(DxnCloseDeserializationContext(reader), DXN_S_OK);
}

TEST(Serialization, LargeOutputArrivesInPieces) {
  Handle root = Create(DXN_TEXT("root"));
  for (int index = 0; index < 3000; ++index) {
    Handle child = AddNew(root.Get(), DXN_TEXT("child"));
    SetText(child.Get(), DXN_TEXT("payload"), Text(40, DXN_TEXT('p')));
  }
  std::vector<uint32_t> pieces;
  std::string text;
  struct Sink {
    std::vector<uint32_t>* pieces;
    std::string* text;
  } sink{&pieces, &text};
  DxnSerializationContext* writer = nullptr;
  ASSERT_EQ(DxnStartSerialization(
                DXNSerializationType_NodeText, DXN_SERIALIZE_FORMATTED,
                [](const void* data, uint32_t count, void* context) -> DxnResult {
                  auto* target = static_cast<Sink*>(context);
                  target->pieces->push_back(count);
                  target->text->append(static_cast<const char*>(data), count);
                  return DXN_S_OK;
                },
                &sink, &writer),
            DXN_S_OK);
  IDXNode* nodes[] = {root.Get()};
  ASSERT_EQ(DxnSerializeNodes(writer, nodes, 1, DXN_DEPTH_SUBTREE), DXN_S_OK);
  ASSERT_EQ(DxnFinalizeSerialization(writer), DXN_S_OK);
  EXPECT_EQ(DxnFinalizeSerialization(writer), DXN_E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(DxnSerializeNodes(writer, nodes, 1, DXN_DEPTH_SUBTREE), DXN_E_ILLEGAL_METHOD_CALL);
  ASSERT_EQ(DxnCloseSerializationContext(writer), DXN_S_OK);
  EXPECT_GT(pieces.size(), 2u);
  EXPECT_EQ(text, SerializeOne(root.Get()));
}

TEST(Serialization, UnknownTypesAndFlagsAreRefused) {
  DxnSerializationContext* writer = nullptr;
  const DxnWriteCallback write = [](const void*, uint32_t, void*) -> DxnResult { return DXN_S_OK; };
  EXPECT_EQ(DxnStartSerialization(static_cast<EnumDXNSerializationType>(2), 0, write, nullptr, &writer),
            DXN_E_INVALIDARG);
  EXPECT_EQ(DxnStartSerialization(DXNSerializationType_NodeText, 0x200, write, nullptr, &writer), DXN_E_INVALIDARG);
  EXPECT_EQ(writer, nullptr);
  DxnDeserializationContext* reader = nullptr;
  EXPECT_EQ(DxnStartDeserialization(static_cast<EnumDXNSerializationType>(0), 0, &ReadFromSource, nullptr, &reader),
            DXN_E_INVALIDARG);
  EXPECT_EQ(DxnStartDeserialization(DXNSerializationType_NodeText, 257, &ReadFromSource, nullptr, &reader),
            DXN_E_INVALIDARG);

  ASSERT_EQ(DxnStartSerialization(DXNSerializationType_NodeText, 0, write, nullptr, &writer), DXN_S_OK);
  IDXNode* nodes[] = {nullptr};
  EXPECT_EQ(DxnSerializeNodes(writer, nodes, 1, 0), DXN_E_POINTER);
  EXPECT_EQ(DxnSerializeNodes(writer, nullptr, 1, 0), DXN_E_POINTER);
  EXPECT_EQ(DxnSerializeNodes(writer, nullptr, 0, 0), DXN_S_OK);
  EXPECT_EQ(DxnCloseSerializationContext(writer), DXN_S_OK);
}

}  // namespace

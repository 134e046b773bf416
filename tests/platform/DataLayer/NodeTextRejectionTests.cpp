// The reader is strict: every malformed input fails with 0x8007000D, hands
// out no node, and keeps failing on later calls.
#include "DxnTestSupport.h"

namespace {

using namespace DxnTest;

struct Rejection {
  const char* what;
  std::string text;
};

std::string Wrap(const std::string& attributes) { return "<nr><node>" + attributes + "</node></nr>"; }

std::vector<Rejection> Rejections() {
  std::vector<Rejection> cases = {
      // Structure.
      {"empty input", ""},
      {"whitespace only", " \r\n"},
      {"no root element", "<node/>"},
      {"other root element", "<root></root>"},
      {"root with an attribute", "<nr version=\"1\"></nr>"},
      {"two roots", "<nr></nr><nr></nr>"},
      {"text after the root", "<nr></nr>x"},
      {"text inside the root", "<nr>x</nr>"},
      {"truncated start tag", "<nr><node name=\"a\""},
      {"truncated after a node", "<nr><node/>"},
      {"truncated inside a node", "<nr><node>"},
      {"truncated end tag", "<nr></nr"},
      {"missing root end", "<nr><node></node>"},
      {"wrong end tag", "<nr><node></attr></nr>"},
      {"crossed nesting", "<nr><node><attr name=\"a\" type=\"text\"></node></attr></nr>"},
      {"unknown element", "<nr><nodes/></nr>"},
      {"element name prefix", "<nr><nodex/></nr>"},
      {"item outside a list", "<nr><node><item/></node></nr>"},
      {"attr outside a node", "<nr><attr name=\"a\" type=\"none\"/></nr>"},
      {"attr after a child node", "<nr><node><node/><attr name=\"a\" type=\"none\"/></node></nr>"},
      {"text between nodes", "<nr><node>text</node></nr>"},
      {"CDATA section", "<nr><node><attr name=\"a\" type=\"text\"><![CDATA[x]]></attr></node></nr>"},
      {"processing instruction", "<nr><?pi x?></nr>"},
      {"document type", "<!DOCTYPE nr><nr></nr>"},
      {"declaration not first", " <?xml version=\"1.0\"?><nr></nr>"},
      {"declaration without version", "<?xml encoding=\"UTF-8\"?><nr></nr>"},
      {"declaration of another encoding", "<?xml version=\"1.0\" encoding=\"UTF-16\"?><nr></nr>"},
      {"unterminated comment", "<nr><!-- </nr>"},
      {"unterminated declaration", "<?xml version=\"1.0\""},
      // Start tags.
      {"unknown XML attribute", "<nr><node id=\"1\"/></nr>"},
      {"duplicate XML attribute", "<nr><node name=\"a\" name=\"b\"/></nr>"},
      {"attribute without value", "<nr><node name/></nr>"},
      {"unquoted value", "<nr><node name=a/></nr>"},
      {"unterminated value", "<nr><node name=\"a/></nr>"},
      {"attributes without space", "<nr><node name=\"a\"type=\"b\"/></nr>"},
      {"'<' in an attribute value", "<nr><node name=\"a<b\"/></nr>"},
      {"attr without name", Wrap("<attr type=\"none\"/>")},
      {"attr without type", Wrap("<attr name=\"a\"/>")},
      {"attr with empty name", Wrap("<attr name=\"\" type=\"none\"/>")},
      {"attr with a third XML attribute", Wrap("<attr name=\"a\" type=\"none\" x=\"1\"/>")},
      {"duplicate attribute names", Wrap("<attr name=\"a\" type=\"none\"/><attr name=\"a\" type=\"none\"/>")},
      {"item with an attribute", Wrap("<attr name=\"a\" type=\"textlist\"><item x=\"1\"/></attr>")},
      // Escapes and encoding.
      {"unknown entity", Wrap("<attr name=\"a\" type=\"text\">&nbsp;</attr>")},
      {"bare ampersand", Wrap("<attr name=\"a\" type=\"text\">a & b</attr>")},
      {"unterminated entity", Wrap("<attr name=\"a\" type=\"text\">&amp</attr>")},
      {"empty character reference", Wrap("<attr name=\"a\" type=\"text\">&#;</attr>")},
      {"empty hex reference", Wrap("<attr name=\"a\" type=\"text\">&#x;</attr>")},
      {"reference beyond Unicode", Wrap("<attr name=\"a\" type=\"text\">&#x110000;</attr>")},
      {"reference with too many digits", Wrap("<attr name=\"a\" type=\"text\">&#x0000041;</attr>")},
      {"decimal reference with too many digits", Wrap("<attr name=\"a\" type=\"text\">&#00000065;</attr>")},
      {"reference with a bad digit", Wrap("<attr name=\"a\" type=\"text\">&#12a;</attr>")},
      {"NUL in a node name", "<nr><node name=\"a&#0;b\"/></nr>"},
      {"NUL in an attribute name", Wrap("<attr name=\"&#x0000;\" type=\"none\"/>")},
      {"NUL in a list item", Wrap("<attr name=\"a\" type=\"textlist\"><item>&#0;</item></attr>")},
      {"raw control character", Wrap("<attr name=\"a\" type=\"text\">\x01</attr>")},
      {"raw NUL byte", Wrap(std::string("<attr name=\"a\" type=\"text\">\0</attr>", 34))},
      {"invalid UTF-8 byte", Wrap("<attr name=\"a\" type=\"text\">\xFF</attr>")},
      {"UTF-8 continuation alone", Wrap("<attr name=\"a\" type=\"text\">\x80</attr>")},
      {"truncated UTF-8", Wrap("<attr name=\"a\" type=\"text\">\xE4\xB8</attr>")},
      {"overlong UTF-8", Wrap("<attr name=\"a\" type=\"text\">\xC0\xAF</attr>")},
      {"overlong 3-byte UTF-8", Wrap("<attr name=\"a\" type=\"text\">\xE0\x80\xAF</attr>")},
      {"UTF-8 surrogate", Wrap("<attr name=\"a\" type=\"text\">\xED\xA0\x80</attr>")},
      {"UTF-8 beyond Unicode", Wrap("<attr name=\"a\" type=\"text\">\xF4\x90\x80\x80</attr>")},
      {"raw U+FFFF", Wrap("<attr name=\"a\" type=\"text\">\xEF\xBF\xBF</attr>")},
      {"UTF-16 input", std::string("\xFF\xFE<\0n\0r\0>\0", 10)},
      // Values.
      {"unknown type name", Wrap("<attr name=\"a\" type=\"string\">x</attr>")},
      {"type name in capitals", Wrap("<attr name=\"a\" type=\"TEXT\">x</attr>")},
      {"type code too large", Wrap("<attr name=\"a\" type=\"65536\"/>")},
      {"negative type code", Wrap("<attr name=\"a\" type=\"-1\"/>")},
      {"type code with leading zero", Wrap("<attr name=\"a\" type=\"012\"/>")},
      {"empty type", Wrap("<attr name=\"a\" type=\"\"/>")},
      {"int32 too large", Wrap("<attr name=\"a\" type=\"int32\">2147483648</attr>")},
      {"int32 too small", Wrap("<attr name=\"a\" type=\"int32\">-2147483649</attr>")},
      {"int64 too large", Wrap("<attr name=\"a\" type=\"int64\">9223372036854775808</attr>")},
      {"int64 huge", Wrap("<attr name=\"a\" type=\"int64\">99999999999999999999999999999</attr>")},
      {"empty integer", Wrap("<attr name=\"a\" type=\"int32\"/>")},
      {"integer with blanks", Wrap("<attr name=\"a\" type=\"int32\"> 1</attr>")},
      {"integer with plus", Wrap("<attr name=\"a\" type=\"int32\">+1</attr>")},
      {"integer with leading zero", Wrap("<attr name=\"a\" type=\"int32\">01</attr>")},
      {"minus zero", Wrap("<attr name=\"a\" type=\"int64\">-0</attr>")},
      {"lone minus", Wrap("<attr name=\"a\" type=\"int64\">-</attr>")},
      {"hex integer", Wrap("<attr name=\"a\" type=\"int32\">0x10</attr>")},
      {"fraction", Wrap("<attr name=\"a\" type=\"int64\">1.5</attr>")},
      {"bool as digit", Wrap("<attr name=\"a\" type=\"bool\">1</attr>")},
      {"bool in capitals", Wrap("<attr name=\"a\" type=\"bool\">True</attr>")},
      {"empty bool", Wrap("<attr name=\"a\" type=\"bool\"/>")},
      {"none with content", Wrap("<attr name=\"a\" type=\"none\">x</attr>")},
      {"base64 of wrong length", Wrap("<attr name=\"a\" type=\"binary\">AAE</attr>")},
      {"base64 with a bad symbol", Wrap("<attr name=\"a\" type=\"binary\">AA*=</attr>")},
      {"base64 padding inside", Wrap("<attr name=\"a\" type=\"binary\">AA==AAAA</attr>")},
      {"base64 with whitespace", Wrap("<attr name=\"a\" type=\"binary\">AAAA AAAA</attr>")},
      {"base64 with stray bits", Wrap("<attr name=\"a\" type=\"binary\">AB==</attr>")},
      {"base64 of non-ASCII", Wrap("<attr name=\"a\" type=\"binary\">\xC3\xA9\xC3\xA9</attr>")},
      {"raw value of a code in bad base64", Wrap("<attr name=\"a\" type=\"2\">not base64</attr>")},
      {"list with text", Wrap("<attr name=\"a\" type=\"textlist\">x<item/></attr>")},
      {"list with nested items", Wrap("<attr name=\"a\" type=\"textlist\"><item><item/></item></attr>")},
      {"text with markup", Wrap("<attr name=\"a\" type=\"text\">a<b/></attr>")},
  };
  // Limits.
  std::string deep = "<nr>";
  for (int level = 0; level < 1025; ++level) deep += "<node>";
  for (int level = 0; level < 1025; ++level) deep += "</node>";
  cases.push_back({"nesting beyond 1024 levels", deep + "</nr>"});
  std::string veryDeep = "<nr>";
  for (int level = 0; level < 200000; ++level) veryDeep += "<node>";
  cases.push_back({"unterminated deep nesting", veryDeep});
  std::string manyAttributes = "<nr><node>";
  for (int index = 0; index < 65536; ++index) {
    manyAttributes += "<attr name=\"a" + std::to_string(index) + "\" type=\"none\"/>";
  }
  cases.push_back({"more than 65535 attributes", manyAttributes + "</node></nr>"});
  std::string lateDuplicate = "<nr><node>";
  for (int index = 0; index < 1000; ++index) {
    lateDuplicate += "<attr name=\"a" + std::to_string(index) + "\" type=\"none\"/>";
  }
  cases.push_back({"duplicate among many attributes", lateDuplicate + "<attr name=\"a7\" type=\"none\"/></node></nr>"});
  return cases;
}

TEST(NodeTextReader, RejectsMalformedInput) {
  for (const Rejection& test : Rejections()) {
    SCOPED_TRACE(test.what);
    TextSource source{test.text};
    DxnDeserializationContext* context = nullptr;
    ASSERT_EQ(DxnStartDeserialization(DXNSerializationType_NodeText, 0, &ReadFromSource, &source, &context),
              DXN_S_OK);
    IDXNode* batch[10] = {};
    uint32_t count = 99;
    EXPECT_EQ(DxnDeserializeNodes(context, batch, 10, &count), DXN_E_INVALID_DATA);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(DxnDeserializeNodes(context, batch, 10, &count), DXN_E_INVALID_DATA);
    EXPECT_EQ(DxnCloseDeserializationContext(context), DXN_S_OK);
  }
}

// Valid documents cut anywhere are rejected, never crash.
TEST(NodeTextReader, RejectsEveryTruncation) {
  Handle root = Create(DXN_TEXT("root"), DXN_TEXT("T"));
  SetText(root.Get(), DXN_TEXT("t"), DXN_TEXT("a&b\u00e9\U0001F600"));
  SetFixed<int64_t>(root.Get(), DXN_TEXT("i"), DXN_TYPE_INT64, -7);
  const Text list = Text(DXN_TEXT("x")) + DxnChar(0);
  ASSERT_EQ(DxnSetAttribute(root.Get(), DXN_TEXT("l"), DXN_TYPE_TEXT_LIST, list.data(),
                            static_cast<uint32_t>(list.size() * sizeof(DxnChar))),
            DXN_S_OK);
  AddNew(root.Get(), DXN_TEXT("child"));
  for (const uint32_t flags : {0u, DXN_SERIALIZE_FORMATTED}) {
    const std::string text = SerializeOne(root.Get(), flags);
    // Formatted text ends in CR LF after </nr>, which may go.
    const size_t complete = text.rfind("</nr>") + 5;
    for (size_t length = 0; length < complete; ++length) {
      std::vector<Handle> nodes;
      EXPECT_EQ(Deserialize(text.substr(0, length), nodes), DXN_E_INVALID_DATA) << length;
      EXPECT_TRUE(nodes.empty());
    }
  }
}

}  // namespace

#include "NodeTextWriter.h"

#include "Base64.h"
#include "NodeTextFormat.h"
#include "TextEscaper.h"

#include <charconv>
#include <cstring>
#include <vector>

namespace DataLayer {

namespace {

using namespace NodeTextFormat;
using TextEscaper::Context;

constexpr size_t kDrainThreshold = 64 * 1024;

template <typename Integer>
void AppendDecimal(Integer value, std::string& out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  out.append(digits, end);
}

// The code units of a value made of NUL-terminated texts, when its bytes
// have that shape; sizes the writer cannot show as texts are written raw.
bool IsTextShaped(const AttributeView& attribute, bool emptyAllowed) {
  if (attribute.size == 0) return emptyAllowed;
  if (attribute.size % 2 != 0) return false;
  char16_t last = 0;
  std::memcpy(&last, attribute.data + attribute.size - 2, sizeof(last));
  return last == 0;
}

std::u16string_view ReadUnits(const AttributeView& attribute) {
  // Values follow their UTF-16 names in blocks of 4-byte aligned entries,
  // so their code units are aligned.
  return {reinterpret_cast<const char16_t*>(attribute.data), attribute.size / 2};
}

// True when the tree below root, limited to depth, has more levels than the
// reader accepts.
bool TooDeep(const Node& root, uint32_t depth) {
  std::vector<std::pair<const Node*, uint32_t>> pending{{&root, 1}};
  while (!pending.empty()) {
    const auto [node, level] = pending.back();
    pending.pop_back();
    if (level > kMaxNodeNesting) return true;
    if (level - 1 >= depth) continue;
    for (const Node* child : node->Children()) pending.emplace_back(child, level + 1);
  }
  return false;
}

}  // namespace

bool NodeTextWriter::KnowsFlags(uint32_t flags) { return (flags & ~kKnownFlags) == 0; }

NodeTextWriter::NodeTextWriter(uint32_t flags)
    : m_lineBreaks((flags & kKnownFlags) != 0),
      m_indent((flags & kFlagIndent) != 0),
      m_lineEnd((flags & kFlagCrlf) != 0 ? "\r\n" : "\n") {}

void NodeTextWriter::LineStart(std::string& out, uint32_t level) const {
  if (m_indent) out.append(size_t{level} * 2, ' ');
}

void NodeTextWriter::LineEnd(std::string& out) const {
  if (m_lineBreaks) out += m_lineEnd;
}

void NodeTextWriter::Begin(std::string& out) const {
  out += "<nr>";
  LineEnd(out);
}

void NodeTextWriter::End(std::string& out) const {
  out += "</nr>";
  LineEnd(out);
}

Result NodeTextWriter::WriteNode(const Node& root, uint32_t depth, std::string& out, const Drain& drain) const {
  if (TooDeep(root, depth)) return Results::kInvalidArg;
  struct Open {
    const Node* node;
    size_t nextChild;
  };
  std::vector<Open> open;
  if (OpenNode(root, depth > 0, 1, out)) open.push_back({&root, 0});
  while (!open.empty()) {
    if (out.size() >= kDrainThreshold) {
      if (const Result result = drain(out); Failed(result)) return result;
    }
    Open& top = open.back();
    const auto level = static_cast<uint32_t>(open.size());
    if (top.nextChild == top.node->Children().size()) {
      CloseNode(level, out);
      open.pop_back();
      continue;
    }
    const Node& child = *top.node->Children()[top.nextChild++];
    if (OpenNode(child, level < depth, level + 1, out)) open.push_back({&child, 0});
  }
  return Results::kOk;
}

bool NodeTextWriter::OpenNode(const Node& node, bool withChildren, uint32_t level, std::string& out) const {
  LineStart(out, level);
  out += "<node";
  if (node.Name().IsPresent()) {
    out += " name=\"";
    TextEscaper::Append(node.Name().View(), Context::AttributeValue, out);
    out += '"';
  }
  if (node.Type().IsPresent()) {
    out += " type=\"";
    TextEscaper::Append(node.Type().View(), Context::AttributeValue, out);
    out += '"';
  }
  const bool children = withChildren && !node.Children().empty();
  if (node.Attributes().Empty() && !children) {
    out += "/>";
    LineEnd(out);
    return false;
  }
  out += '>';
  LineEnd(out);
  node.Attributes().ForEach([&](const AttributeView& attribute) { WriteAttribute(attribute, level + 1, out); });
  if (children) return true;
  CloseNode(level, out);
  return false;
}

void NodeTextWriter::CloseNode(uint32_t level, std::string& out) const {
  LineStart(out, level);
  out += "</node>";
  LineEnd(out);
}

void NodeTextWriter::WriteAttribute(const AttributeView& attribute, uint32_t level, std::string& out) const {
  LineStart(out, level);
  out += "<attr name=\"";
  TextEscaper::Append(attribute.name, Context::AttributeValue, out);
  out += "\" type=\"";
  const auto emptyElement = [&] {
    out += "/>";
    LineEnd(out);
  };
  const auto closeElement = [&] {
    out += "</attr>";
    LineEnd(out);
  };
  switch (attribute.type) {
    case TypeCode::kNone:
      if (attribute.size != 0) break;
      out += "none\"";
      return emptyElement();
    case TypeCode::kText: {
      if (!IsTextShaped(attribute, false)) break;
      out += "text\"";
      const std::u16string_view text = ReadUnits(attribute);
      if (text.size() == 1) return emptyElement();
      out += '>';
      TextEscaper::Append(text.substr(0, text.size() - 1), Context::Content, out);
      return closeElement();
    }
    case TypeCode::kInt32: {
      if (attribute.size != sizeof(int32_t)) break;
      int32_t value = 0;
      std::memcpy(&value, attribute.data, sizeof(value));
      out += "int32\">";
      AppendDecimal(value, out);
      return closeElement();
    }
    case TypeCode::kInt64: {
      if (attribute.size != sizeof(int64_t)) break;
      int64_t value = 0;
      std::memcpy(&value, attribute.data, sizeof(value));
      out += "int64\">";
      AppendDecimal(value, out);
      return closeElement();
    }
    case TypeCode::kBool: {
      if (attribute.size != 1) break;
      const auto value = std::to_integer<uint8_t>(attribute.data[0]);
      if (value > 1) break;
      out += value != 0 ? "bool\">true" : "bool\">false";
      return closeElement();
    }
    case TypeCode::kBinary:
      out += "binary\"";
      if (attribute.size == 0) return emptyElement();
      out += '>';
      Base64::Append(attribute.data, attribute.size, out);
      return closeElement();
    case TypeCode::kTextList: {
      if (!IsTextShaped(attribute, true)) break;
      out += "textlist\"";
      if (attribute.size == 0) return emptyElement();
      out += '>';
      LineEnd(out);
      const std::u16string_view units = ReadUnits(attribute);
      size_t start = 0;
      while (start < units.size()) {
        const size_t end = units.find(u'\0', start);
        LineStart(out, level + 1);
        if (end == start) {
          out += "<item/>";
        } else {
          out += "<item>";
          TextEscaper::Append(units.substr(start, end - start), Context::Content, out);
          out += "</item>";
        }
        LineEnd(out);
        start = end + 1;
      }
      LineStart(out, level);
      return closeElement();
    }
    default:
      break;
  }
  // Any other code, or bytes without the shape of their type: the decimal
  // code and the raw bytes.
  AppendDecimal(attribute.type, out);
  out += '"';
  if (attribute.size == 0) return emptyElement();
  out += '>';
  Base64::Append(attribute.data, attribute.size, out);
  closeElement();
}

}  // namespace DataLayer

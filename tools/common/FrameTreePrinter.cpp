#include "FrameTreePrinter.h"

#include "Utf8Text.h"

#include <cstring>
#include <string_view>

namespace KestrovaTools {

namespace {

constexpr wchar_t kFrameType[] = L"UsageActivityFrame";
constexpr wchar_t kNameAttribute[] = L"Name";
constexpr wchar_t kValueAttribute[] = L"Value";
constexpr wchar_t kMultiValueAttribute[] = L"IsMultiValue";

std::wstring_view UnitsOf(const AttributeValue& value) {
  return {reinterpret_cast<const wchar_t*>(value.bytes.data()), value.bytes.size() / sizeof(wchar_t)};
}

// Texts are stored with their NUL; a list is NUL-terminated texts one after
// the other.
bool IsTextShaped(const AttributeValue& value) {
  return value.bytes.size() % sizeof(wchar_t) == 0 && (value.bytes.empty() || UnitsOf(value).back() == L'\0');
}

std::string HexBytes(const AttributeValue& value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text = "<type " + std::to_string(value.type) + ", " + std::to_string(value.bytes.size()) + " bytes";
  if (!value.bytes.empty()) text += ":";
  for (const uint8_t byte : value.bytes) {
    text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text + ">";
}

template <typename Integer>
bool ReadFixed(const AttributeValue& value, Integer& number) {
  if (value.bytes.size() != sizeof(Integer)) return false;
  std::memcpy(&number, value.bytes.data(), sizeof(Integer));
  return true;
}

}  // namespace

std::string ValueText(const AttributeValue& value) {
  switch (value.type) {
    case DXN_TYPE_TEXT:
    case DXN_TYPE_TEXT_LEGACY:
      if (IsTextShaped(value)) {
        const std::wstring_view units = UnitsOf(value);
        return QuotedUtf8(units.empty() ? units : units.substr(0, units.size() - 1));
      }
      break;
    case DXN_TYPE_TEXT_LIST:
      if (IsTextShaped(value)) {
        std::string text = "[";
        std::wstring_view units = UnitsOf(value);
        while (!units.empty()) {
          const size_t end = units.find(L'\0');
          if (text.size() > 1) text += ", ";
          text += QuotedUtf8(units.substr(0, end));
          units.remove_prefix(end + 1);
        }
        return text + "]";
      }
      break;
    case DXN_TYPE_INT64: {
      int64_t number = 0;
      if (ReadFixed(value, number)) return std::to_string(number);
      break;
    }
    case DXN_TYPE_INT32: {
      int32_t number = 0;
      if (ReadFixed(value, number)) return std::to_string(number);
      break;
    }
    case DXN_TYPE_BOOL:
      if (value.bytes.size() == 1) return value.bytes[0] != 0 ? "true" : "false";
      break;
    default:
      break;
  }
  return HexBytes(value);
}

std::string FrameTreePrinter::Print(const NodeHandle& container) {
  std::string out;
  if (container.ChildCount() == 0) return "(no frames)\n";
  FrameTreePrinter(out).PrintChildren(container, 0);
  return out;
}

void FrameTreePrinter::PrintChildren(const NodeHandle& node, size_t level) {
  const uint32_t count = node.ChildCount();
  for (uint32_t index = 0; index < count; ++index) PrintFrame(node.Child(index), level);
}

void FrameTreePrinter::PrintFrame(const NodeHandle& frame, size_t level) {
  m_out.append(level * 2, ' ');
  m_out += FrameLine(frame);
  m_out += '\n';
  PrintChildren(frame, level + 1);
}

std::string FrameLine(const NodeHandle& frame) {
  std::string line;
  std::string extras;
  bool named = false;
  std::string value;
  std::string multiValue;
  for (const std::wstring& attribute : frame.AttributeNames()) {
    const AttributeValue content = frame.Attribute(attribute);
    if (attribute == kNameAttribute && (content.type == DXN_TYPE_TEXT || content.type == DXN_TYPE_TEXT_LEGACY)) {
      line += ValueText(content);
      named = true;
    } else if (attribute == kValueAttribute) {
      value = " = " + ValueText(content);
    } else if (attribute == kMultiValueAttribute && content.type == DXN_TYPE_BOOL) {
      multiValue = " (IsMultiValue: " + ValueText(content) + ")";
    } else {
      extras += "  " + ToUtf8(attribute) + "=" + ValueText(content);
    }
  }
  if (!named) line += "(no Name)";
  line += value;
  line += multiValue;
  line += extras;
  // Frames have no name of their own and the frame type; show anything else.
  if (const std::wstring name = frame.Name(); !name.empty()) line += "  node name " + QuotedUtf8(name);
  if (const std::wstring type = frame.Type(); type != kFrameType) line += "  node type " + QuotedUtf8(type);
  return line;
}

}  // namespace KestrovaTools

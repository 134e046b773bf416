#include "TextEscaper.h"

#include <array>
#include <cstdint>

namespace DataLayer::TextEscaper {

namespace {

// For each ASCII code unit: 0 copies it as is, 1 escapes it in content and
// attribute values, 2 escapes it in attribute values only.
constexpr std::array<uint8_t, 128> MakeAsciiClasses() {
  std::array<uint8_t, 128> classes{};
  for (int unit = 0; unit < 0x20; ++unit) classes[unit] = 1;
  classes['\t'] = 2;
  classes['\n'] = 2;
  classes['"'] = 2;
  classes['&'] = 1;
  classes['<'] = 1;
  classes['>'] = 1;
  return classes;
}

constexpr std::array<uint8_t, 128> kAsciiClasses = MakeAsciiClasses();

void AppendHexReference(char16_t unit, std::string& out) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  const char reference[] = {'&', '#', 'x', kDigits[(unit >> 12) & 15], kDigits[(unit >> 8) & 15],
                            kDigits[(unit >> 4) & 15], kDigits[unit & 15], ';'};
  out.append(reference, sizeof(reference));
}

void AppendEscapedAscii(char16_t unit, std::string& out) {
  switch (unit) {
    case '&': out += "&amp;"; return;
    case '<': out += "&lt;"; return;
    case '>': out += "&gt;"; return;
    case '"': out += "&quot;"; return;
    case '\r': out += "&#13;"; return;
    case '\t': out += "&#9;"; return;
    case '\n': out += "&#10;"; return;
    default: AppendHexReference(unit, out); return;
  }
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

void Append(std::u16string_view text, Context context, std::string& out) {
  const uint8_t escapeFrom = context == Context::Content ? 1 : 2;
  const size_t size = text.size();
  size_t index = 0;
  while (index < size) {
    // Runs of plain ASCII are the common case: copy them in one go.
    size_t run = index;
    while (run < size && text[run] < 0x80 && (kAsciiClasses[text[run]] == 0 || kAsciiClasses[text[run]] > escapeFrom)) {
      ++run;
    }
    if (run > index) {
      const size_t start = out.size();
      out.resize(start + (run - index));
      char* at = out.data() + start;
      for (size_t copy = index; copy < run; ++copy) *at++ = static_cast<char>(text[copy]);
      index = run;
      if (index == size) break;
    }
    const char16_t unit = text[index++];
    if (unit < 0x80) {
      AppendEscapedAscii(unit, out);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (IsHighSurrogate(unit) && index < size && IsLowSurrogate(text[index])) {
      const uint32_t point = 0x10000 + ((uint32_t{unit} - 0xD800) << 10) + (uint32_t{text[index++]} - 0xDC00);
      out += static_cast<char>(0xF0 | (point >> 18));
      out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit) || unit >= 0xFFFE) {
      AppendHexReference(unit, out);
    } else {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
}

}  // namespace DataLayer::TextEscaper

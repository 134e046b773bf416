#include "Utf8Text.h"

#include <cstdint>
#include <cstdio>

namespace KestrovaTools {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendCodePoint(char32_t codePoint, std::string& out) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

void AppendEscape(char32_t unit, std::string& out) {
  char escape[8];
  std::snprintf(escape, sizeof(escape), "\\u%04X", static_cast<unsigned>(unit));
  out += escape;
}

// Calls onCodePoint(codePoint, paired) for each code point; an unpaired
// surrogate arrives as itself with paired false.
template <typename OnCodePoint>
void ForEachCodePoint(std::wstring_view text, OnCodePoint&& onCodePoint) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char32_t unit = static_cast<char16_t>(text[i]);
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(static_cast<char16_t>(text[i + 1]))) {
      const char32_t low = static_cast<char16_t>(text[++i]);
      onCodePoint(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), true);
    } else {
      onCodePoint(unit, !IsHighSurrogate(unit) && !IsLowSurrogate(unit));
    }
  }
}

}  // namespace

std::string ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachCodePoint(
      text, [&](char32_t codePoint, bool valid) { AppendCodePoint(valid ? codePoint : kReplacementCharacter, out); });
  return out;
}

std::string QuotedUtf8(std::wstring_view text) {
  std::string out = "\"";
  ForEachCodePoint(text, [&](char32_t codePoint, bool valid) {
    switch (codePoint) {
      case U'"':
        out += "\\\"";
        return;
      case U'\\':
        out += "\\\\";
        return;
      case U'\n':
        out += "\\n";
        return;
      case U'\r':
        out += "\\r";
        return;
      case U'\t':
        out += "\\t";
        return;
      default:
        break;
    }
    if (!valid || codePoint < 0x20 || codePoint == 0x7F) {
      AppendEscape(codePoint, out);
    } else {
      AppendCodePoint(codePoint, out);
    }
  });
  out += '"';
  return out;
}

}  // namespace KestrovaTools

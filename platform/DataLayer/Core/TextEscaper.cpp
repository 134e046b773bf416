#include "TextEscaper.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

char* WriteHexReference(char16_t unit, char* at) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  const char reference[] = {'&',
                            '#',
                            'x',
                            kDigits[(unit >> 12) & 15],
                            kDigits[(unit >> 8) & 15],
                            kDigits[(unit >> 4) & 15],
                            kDigits[unit & 15],
                            ';'};
  std::memcpy(at, reference, sizeof(reference));
  return at + sizeof(reference);
}

template <size_t N>
char* WriteLiteral(const char (&text)[N], char* at) {
  std::memcpy(at, text, N - 1);
  return at + N - 1;
}

char* WriteEscapedAscii(char16_t unit, char* at) {
  switch (unit) {
    case '&':
      return WriteLiteral("&amp;", at);
    case '<':
      return WriteLiteral("&lt;", at);
    case '>':
      return WriteLiteral("&gt;", at);
    case '"':
      return WriteLiteral("&quot;", at);
    case '\r':
      return WriteLiteral("&#13;", at);
    case '\t':
      return WriteLiteral("&#9;", at);
    case '\n':
      return WriteLiteral("&#10;", at);
    default:
      return WriteHexReference(unit, at);
  }
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The escaped form of one piece of text at at, which has room for 8 bytes
// per code unit (the longest escape); returns the end.
char* WritePiece(std::u16string_view text, uint8_t escapeFrom, char* at) {
  const size_t size = text.size();
  const char16_t* units = text.data();
  size_t index = 0;
  while (index < size) {
#if defined(__SSE2__)
    // Plain ASCII (printable, no markup, no quote), eight code units at a
    // time, narrowed to bytes; TAB and LF in content take the path below.
    while (size - index >= 8) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + index));
      const __m128i low = _mm_cmplt_epi16(block, _mm_set1_epi16(0x20));
      const __m128i high = _mm_cmpgt_epi16(block, _mm_set1_epi16(0x7F));
      const __m128i markup = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi16(block, _mm_set1_epi16('&')), _mm_cmpeq_epi16(block, _mm_set1_epi16('<'))),
          _mm_or_si128(_mm_cmpeq_epi16(block, _mm_set1_epi16('>')), _mm_cmpeq_epi16(block, _mm_set1_epi16('"'))));
      const __m128i special = _mm_or_si128(_mm_or_si128(low, high), markup);
      // Negative (>= 0x8000) units count as "low" above and so stop the run too.
      _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_packus_epi16(block, block));
      const auto mask = static_cast<uint32_t>(_mm_movemask_epi8(special));
      if (mask == 0) {
        index += 8;
        at += 8;
        continue;
      }
      const int run = __builtin_ctz(mask) / 2;
      index += static_cast<size_t>(run);
      at += run;
      break;
    }
    if (index == size) break;
#endif
    const char16_t unit = units[index++];
    if (unit < 0x80) {
      const uint8_t kind = kAsciiClasses[unit];
      if (kind == 0 || kind > escapeFrom) {
        *at++ = static_cast<char>(unit);
      } else {
        at = WriteEscapedAscii(unit, at);
      }
    } else if (unit < 0x800) {
      *at++ = static_cast<char>(0xC0 | (unit >> 6));
      *at++ = static_cast<char>(0x80 | (unit & 0x3F));
    } else if (IsHighSurrogate(unit) && index < size && IsLowSurrogate(units[index])) {
      const uint32_t point = 0x10000 + ((uint32_t{unit} - 0xD800) << 10) + (uint32_t{units[index++]} - 0xDC00);
      *at++ = static_cast<char>(0xF0 | (point >> 18));
      *at++ = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      *at++ = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      *at++ = static_cast<char>(0x80 | (point & 0x3F));
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit) || unit >= 0xFFFE) {
      at = WriteHexReference(unit, at);
    } else {
      *at++ = static_cast<char>(0xE0 | (unit >> 12));
      *at++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      *at++ = static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return at;
}

}  // namespace

void Append(std::u16string_view text, Context context, std::string& out) {
  const uint8_t escapeFrom = context == Context::Content ? 1 : 2;
  constexpr size_t kMaxBytesPerUnit = 8;  // &#xHHHH;
  constexpr size_t kPiece = 4096;
  while (!text.empty()) {
    // Pieces bound the room made ahead; a surrogate pair stays in one piece.
    size_t count = text.size() < kPiece ? text.size() : kPiece;
    if (count < text.size() && IsHighSurrogate(text[count - 1])) ++count;
    const size_t start = out.size();
    out.resize(start + count * kMaxBytesPerUnit);
    char* end = WritePiece(text.substr(0, count), escapeFrom, out.data() + start);
    out.resize(static_cast<size_t>(end - out.data()));
    text.remove_prefix(count);
  }
}

}  // namespace DataLayer::TextEscaper

#include "NodeTextReader.h"

#include "Base64.h"
#include "NodeArena.h"
#include "NodeTextFormat.h"
#include "Utf16Buffer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_set>

namespace DataLayer::NodeTextReader {

namespace {

using namespace NodeTextFormat;

// Room Decode may write beyond the decoded units (a block of sixteen).
constexpr size_t kDecodeSlack = 16;
static_assert(kDecodeSlack <= kInputPadding);

// Thrown for anything that is not the format; becomes 0x8007000D.
struct Malformed {};

[[noreturn]] void Fail() { throw Malformed{}; }

bool IsSpace(char byte) {
  constexpr uint64_t kSpaces =
      (uint64_t{1} << ' ') | (uint64_t{1} << '\t') | (uint64_t{1} << '\n') | (uint64_t{1} << '\r');
  const auto unit = static_cast<unsigned char>(byte);
  return unit <= ' ' && ((kSpaces >> unit) & 1) != 0;
}

int TrailingZeros(uint32_t bits) { return __builtin_ctz(bits); }

// Bytes a text run copies as they are: printable ASCII except '&' and '<'.
constexpr std::array<bool, 256> MakePlainBytes() {
  std::array<bool, 256> plain{};
  for (int byte = 0x20; byte < 0x80; ++byte) plain[byte] = true;
  plain['&'] = false;
  plain['<'] = false;
  return plain;
}
constexpr std::array<bool, 256> kPlainBytes = MakePlainBytes();

enum class TextContext { Content, AttributeValue };

// The XML attributes of a start tag, values still raw. The format knows
// only "name" and "type"; any other fails the input wherever it appears.
struct StartTag {
  std::string_view name;
  std::string_view type;
  bool hasName = false;
  bool hasType = false;
  bool selfClosing = false;

  bool Empty() const { return !hasName && !hasType; }
};

class Parser {
 public:
  explicit Parser(std::string_view input)
      : m_at(input.data()), m_end(input.data() + input.size()), m_arena(NodeArena::Create()) {}
  ~Parser() {
    // Unfinished work: children not yet attached, then the open nodes (each
    // below the first is attached only once it closes).
    for (size_t level = 0; level < m_open.size(); ++level) {
      for (Node* child : m_children[level]) Node::DestroyTree(child);
      Node::DestroyTree(m_open[level]);
    }
    // The nodes handed out keep the arena from here on.
    m_arena->FinishBuilding();
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  void Run(std::vector<Node*>& roots);

 private:
  // Input.
  // Literal texts: constant sizes let the comparisons inline.
  template <size_t N>
  bool StartsWith(const char (&text)[N]) const {
    return static_cast<size_t>(m_end - m_at) >= N - 1 && std::memcmp(m_at, text, N - 1) == 0;
  }
  template <size_t N>
  void Expect(const char (&text)[N]) {
    if (!StartsWith(text)) Fail();
    m_at += N - 1;
  }
  bool StartsWith(std::string_view text) const {
    return static_cast<size_t>(m_end - m_at) >= text.size() && std::memcmp(m_at, text.data(), text.size()) == 0;
  }
  bool SkipSpaces() {
    // Mostly none or the one space between XML attributes.
    if (m_at == m_end || !IsSpace(*m_at)) return false;
    if (m_end - m_at >= 2 && !IsSpace(m_at[1])) {
      ++m_at;
      return true;
    }
    SkipSpaceRun();
    return true;
  }
  void SkipSpaceRun();
  void SkipComment();
  // Whitespace and comments between elements.
  void SkipMisc();
  // "<name" followed by whitespace, '>' or "/>".
  template <size_t N>
  bool AtElement(const char (&name)[N]) const {
    constexpr size_t length = N;  // '<' and the name
    if (static_cast<size_t>(m_end - m_at) <= length || m_at[0] != '<' || std::memcmp(m_at + 1, name, N - 1) != 0) {
      return false;
    }
    const char next = m_at[length];
    return IsSpace(next) || next == '>' || next == '/';
  }
  // m_at is at "<" and the element name of nameLength bytes.
  void ReadStartTag(size_t nameLength, StartTag& tag);
  template <size_t N>
  void ReadEndTag(const char (&name)[N]) {
    if (static_cast<size_t>(m_end - m_at) < N + 1 || m_at[0] != '<' || m_at[1] != '/' ||
        std::memcmp(m_at + 2, name, N - 1) != 0) {
      Fail();
    }
    m_at += N + 1;
    SkipSpaces();
    Expect(">");
  }
  void ReadDeclaration();

  // Text. Decode writes at most one code unit per input byte at out, which
  // must have that room and kDecodeSlack more, and returns the end of what
  // it wrote.
  char16_t* Decode(const char* begin, const char* end, TextContext context, char16_t* out);
  void Decode(const char* begin, const char* end, TextContext context, Utf16Buffer& out);
  const char* DecodeReference(const char* at, const char* end, char16_t*& out);
  // Character data up to the next markup other than a comment.
  void ReadContent(Utf16Buffer& out);
  // The end of the character data at m_at when it runs to an end tag without
  // comments (the common case, read in place), or null.
  const char* PlainContentEnd() const;
  OptionalText DecodeName(bool present, std::string_view raw);
  // Decodes into m_name and returns a view of it.
  std::u16string_view DecodeNameText(std::string_view raw, bool allowEmpty);

  // Elements.
  void ReadNodeStart(std::vector<Node*>& roots);
  // The innermost open node is complete; a top-level one goes to roots.
  void CloseNode(std::vector<Node*>& roots);
  void ReadAttribute();
  void ReadTextValue(std::u16string_view name, bool selfClosing);
  void ReadScalarValue(std::u16string_view name, uint16_t code, bool named, bool selfClosing);
  void ReadTextList(Utf16Buffer& value);
  void StoreAttribute(std::u16string_view name, uint16_t type, const void* data, size_t size);
  void FinishAttributes();

  const char* m_at;
  const char* m_end;
  NodeArena* m_arena;  // held through the builder's advance until the parser ends

  std::vector<Node*> m_open;  // the nodes whose end tag is still to come
  // The finished children of each open node, attached in one allocation of
  // the right size when the node closes.
  std::vector<std::vector<Node*>> m_children;
  bool m_collectingAttributes = false;
  AttributeList m_attributes;                      // of the innermost open node, until its first child or end
  std::unordered_set<std::u16string> m_manyNames;  // duplicate check once a node has many
  uint64_t m_nodeCount = 0;

  Utf16Buffer m_name;
  Utf16Buffer m_value;
  std::string m_ascii;
  std::vector<std::byte> m_bytes;
};

void Parser::SkipSpaceRun() {
#if defined(__SSE2__)
  // Line ends and indentation between elements, sixteen bytes at a time.
  while (m_end - m_at >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_at));
    const __m128i spaces = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))),
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))));
    const auto mask = static_cast<uint32_t>(_mm_movemask_epi8(spaces));
    if (mask != 0xFFFF) {
      m_at += TrailingZeros(~mask);
      return;
    }
    m_at += 16;
  }
#endif
  while (m_at < m_end && IsSpace(*m_at)) ++m_at;
}

void Parser::SkipComment() {
  m_at += 4;  // "<!--"
  while (true) {
    const void* dash = std::memchr(m_at, '-', static_cast<size_t>(m_end - m_at));
    if (dash == nullptr) Fail();
    m_at = static_cast<const char*>(dash);
    if (StartsWith("-->")) {
      m_at += 3;
      return;
    }
    ++m_at;
  }
}

void Parser::SkipMisc() {
  while (true) {
    SkipSpaces();
    if (!StartsWith("<!--")) return;
    SkipComment();
  }
}

void Parser::ReadStartTag(size_t nameLength, StartTag& tag) {
  m_at += 1 + nameLength;
  tag = StartTag();
  while (true) {
    const bool spaced = SkipSpaces();
    if (m_at >= m_end) Fail();
    if (*m_at == '>') {
      ++m_at;
      return;
    }
    if (*m_at == '/') {
      Expect("/>");
      tag.selfClosing = true;
      return;
    }
    if (!spaced) Fail();
    std::string_view* value = nullptr;
    bool* seen = nullptr;
    char quote = '"';
    // The writer's form, name="..." or type="...", is taken in one step.
    if (m_end - m_at >= 6 && m_at[4] == '=' && m_at[5] == '"' &&
        (std::memcmp(m_at, "name", 4) == 0 || std::memcmp(m_at, "type", 4) == 0)) {
      const bool isName = m_at[0] == 'n';
      value = isName ? &tag.name : &tag.type;
      seen = isName ? &tag.hasName : &tag.hasType;
      m_at += 6;
    } else {
      const char* nameStart = m_at;
      while (m_at < m_end && ((*m_at >= 'a' && *m_at <= 'z') || (*m_at >= 'A' && *m_at <= 'Z'))) ++m_at;
      if (m_at - nameStart == 4 && std::memcmp(nameStart, "name", 4) == 0) {
        value = &tag.name;
        seen = &tag.hasName;
      } else if (m_at - nameStart == 4 && std::memcmp(nameStart, "type", 4) == 0) {
        value = &tag.type;
        seen = &tag.hasType;
      } else {
        Fail();  // empty, unknown to the format
      }
      SkipSpaces();
      Expect("=");
      SkipSpaces();
      if (m_at >= m_end || (*m_at != '"' && *m_at != '\'')) Fail();
      quote = *m_at++;
    }
    if (*seen) Fail();  // duplicate
    *seen = true;
    const char* valueStart = m_at;
    // '<' is not allowed in XML attribute values; no value of the format
    // could hold it anyway.
#if defined(__SSE2__)
    while (m_end - m_at >= 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_at));
      const auto stops = static_cast<uint32_t>(_mm_movemask_epi8(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(quote)), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('<')))));
      if (stops != 0) {
        m_at += TrailingZeros(stops);
        break;
      }
      m_at += 16;
    }
#endif
    while (true) {
      if (m_at >= m_end || *m_at == '<') Fail();
      if (*m_at == quote) break;
      ++m_at;
    }
    *value = std::string_view(valueStart, static_cast<size_t>(m_at - valueStart));
    ++m_at;
  }
}

void Parser::ReadDeclaration() {
  // <?xml version="1.x" encoding="UTF-8" standalone="yes|no"?>
  m_at += 5;
  if (m_at >= m_end || !IsSpace(*m_at)) Fail();
  std::string_view names[] = {"version", "encoding", "standalone"};
  size_t next = 0;
  while (true) {
    const bool spaced = SkipSpaces();
    if (StartsWith("?>")) {
      m_at += 2;
      break;
    }
    if (!spaced) Fail();
    size_t which = next;
    while (which < std::size(names) && !StartsWith(names[which])) ++which;
    if (which == std::size(names) || (next == 0 && which != 0)) Fail();
    m_at += names[which].size();
    next = which + 1;
    SkipSpaces();
    Expect("=");
    SkipSpaces();
    if (m_at >= m_end || (*m_at != '"' && *m_at != '\'')) Fail();
    const char quote = *m_at++;
    const char* start = m_at;
    while (m_at < m_end && *m_at != quote) ++m_at;
    if (m_at >= m_end) Fail();
    std::string value(start, m_at);
    ++m_at;
    for (char& letter : value) {
      if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
    }
    const bool known = (which == 0 && value.size() >= 3 && value.compare(0, 2, "1.") == 0 &&
                        value.find_first_not_of("0123456789", 2) == std::string::npos) ||
                       (which == 1 && (value == "utf-8" || value == "utf8")) ||
                       (which == 2 && (value == "yes" || value == "no"));
    if (!known) Fail();
  }
  if (next == 0) Fail();  // version is required
}

const char* Parser::DecodeReference(const char* at, const char* end, char16_t*& out) {
  // at points after '&'.
  const auto rest = static_cast<size_t>(end - at);
  const auto named = [&](std::string_view name, char16_t unit) {
    if (rest < name.size() || std::memcmp(at, name.data(), name.size()) != 0) return false;
    *out++ = unit;
    at += name.size();
    return true;
  };
  if (named("amp;", u'&') || named("lt;", u'<') || named("gt;", u'>') || named("quot;", u'"') ||
      named("apos;", u'\'')) {
    return at;
  }
  if (rest < 3 || at[0] != '#') Fail();
  ++at;
  const bool hex = *at == 'x';
  if (hex) ++at;
  const char* digits = at;
  uint32_t value = 0;
  // Up to U+10FFFF: at most 6 hex or 7 decimal digits.
  const ptrdiff_t maxDigits = hex ? 6 : 7;
  while (at < end && at - digits < maxDigits) {
    const char digit = *at;
    uint32_t weight;
    if (digit >= '0' && digit <= '9') {
      weight = static_cast<uint32_t>(digit - '0');
    } else if (hex && digit >= 'a' && digit <= 'f') {
      weight = static_cast<uint32_t>(digit - 'a' + 10);
    } else if (hex && digit >= 'A' && digit <= 'F') {
      weight = static_cast<uint32_t>(digit - 'A' + 10);
    } else {
      break;
    }
    value = value * (hex ? 16 : 10) + weight;
    ++at;
  }
  if (at == digits || at >= end || *at != ';' || value > 0x10FFFF) Fail();
  ++at;
  if (value <= 0xFFFF) {
    *out++ = static_cast<char16_t>(value);
  } else {
    value -= 0x10000;
    *out++ = static_cast<char16_t>(0xD800 + (value >> 10));
    *out++ = static_cast<char16_t>(0xDC00 + (value & 0x3FF));
  }
  return at;
}

void Parser::Decode(const char* begin, const char* end, TextContext context, Utf16Buffer& out) {
  const auto count = static_cast<size_t>(end - begin);
  if (out.Size() + count > kMaxTextUnits) Fail();
  out.SetEnd(Decode(begin, end, context, out.Reserve(count + kDecodeSlack)));
}

char16_t* Parser::Decode(const char* begin, const char* end, TextContext context, char16_t* write) {
  // Every byte gives at most one code unit (a 4-byte sequence gives two, an
  // entity one or two), so write never overtakes the room the caller made.
  const char* at = begin;
  while (at < end) {
#if defined(__SSE2__)
    // Runs of printable ASCII other than '&' and '<', sixteen bytes at a
    // time, widened to code units as they are. The input is padded and the
    // output has kDecodeSlack units of room beyond its share, so a short
    // tail takes the same path: bytes past the end count as plain and only
    // the part before the end is kept.
    {
      const auto left = static_cast<size_t>(end - at);
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      const __m128i printable = _mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x1F));  // 0x20..0x7F, signed
      const __m128i markup =
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('&')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('<')));
      auto plain = static_cast<uint32_t>(_mm_movemask_epi8(_mm_andnot_si128(markup, printable)));
      if (left < 16) plain |= 0xFFFFu & ~((1u << left) - 1);
      const __m128i zero = _mm_setzero_si128();
      _mm_storeu_si128(reinterpret_cast<__m128i*>(write), _mm_unpacklo_epi8(bytes, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(write + 8), _mm_unpackhi_epi8(bytes, zero));
      if (plain == 0xFFFF) {
        const size_t step = left < 16 ? left : 16;
        at += step;
        write += step;
        continue;
      }
      const int run = TrailingZeros(~plain);
      at += run;
      write += run;
    }
#endif
    const auto byte = static_cast<unsigned char>(*at);
    if (kPlainBytes[byte]) {
      *write++ = byte;
      ++at;
      continue;
    }
    if (byte == '&') {
      at = DecodeReference(at + 1, end, write);
      continue;
    }
    if (byte < 0x80) {
      // Whitespace controls: line ends become LF (CR LF and a lone CR alike);
      // in attribute values TAB and line ends become spaces. Other controls
      // and '<' are not text.
      ++at;
      if (byte == '\r') {
        if (at < end && *at == '\n') ++at;
        *write++ = context == TextContext::Content ? u'\n' : u' ';
      } else if (byte == '\n' || byte == '\t') {
        *write++ = context == TextContext::Content ? char16_t(byte) : u' ';
      } else {
        Fail();
      }
      continue;
    }
    // UTF-8, strictly: shortest forms, no surrogates, nothing above U+10FFFF.
    const auto continuation = [&](size_t index, unsigned char low = 0x80, unsigned char high = 0xBF) {
      if (at + index >= end) Fail();
      const auto next = static_cast<unsigned char>(at[index]);
      if (next < low || next > high) Fail();
      return static_cast<uint32_t>(next & 0x3F);
    };
    if (byte >= 0xC2 && byte <= 0xDF) {
      *write++ = static_cast<char16_t>(((byte & 0x1F) << 6) | continuation(1));
      at += 2;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      const unsigned char low = byte == 0xE0 ? 0xA0 : 0x80;
      const unsigned char high = byte == 0xED ? 0x9F : 0xBF;
      const uint32_t point = ((byte & 0x0F) << 12) | (continuation(1, low, high) << 6) | continuation(2);
      if (point >= 0xFFFE) Fail();
      *write++ = static_cast<char16_t>(point);
      at += 3;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      const unsigned char low = byte == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = byte == 0xF4 ? 0x8F : 0xBF;
      const uint32_t point =
          (((byte & 0x07) << 18) | (continuation(1, low, high) << 12) | (continuation(2) << 6) | continuation(3)) -
          0x10000;
      *write++ = static_cast<char16_t>(0xD800 + (point >> 10));
      *write++ = static_cast<char16_t>(0xDC00 + (point & 0x3FF));
      at += 4;
    } else {
      Fail();
    }
  }
  return write;
}

void Parser::ReadContent(Utf16Buffer& out) {
  while (true) {
    const void* markup = std::memchr(m_at, '<', static_cast<size_t>(m_end - m_at));
    if (markup == nullptr) Fail();
    const char* segmentEnd = static_cast<const char*>(markup);
    Decode(m_at, segmentEnd, TextContext::Content, out);
    m_at = segmentEnd;
    if (!StartsWith("<!--")) return;
    SkipComment();
  }
}

const char* Parser::PlainContentEnd() const {
  const void* markup = std::memchr(m_at, '<', static_cast<size_t>(m_end - m_at));
  if (markup == nullptr) return nullptr;
  const char* end = static_cast<const char*>(markup);
  return end + 1 < m_end && end[1] == '/' ? end : nullptr;
}

std::u16string_view Parser::DecodeNameText(std::string_view raw, bool allowEmpty) {
  m_name.Clear();
  Decode(raw.data(), raw.data() + raw.size(), TextContext::AttributeValue, m_name);
  const std::u16string_view name = m_name.View();
  // Names are NUL-terminated texts in the store's interface. Only a
  // reference gives a NUL, and every reference is longer than what it gives.
  if (!allowEmpty && name.empty()) Fail();
  if (name.size() != raw.size() && name.find(u'\0') != std::u16string_view::npos) Fail();
  return name;
}

OptionalText Parser::DecodeName(bool present, std::string_view raw) {
  if (!present) return OptionalText();
  return OptionalText(DecodeNameText(raw, true), *m_arena);
}

void Parser::FinishAttributes() {
  if (!m_collectingAttributes) return;
  if (m_attributes.ByteSize() != 0) {
    m_open.back()->Attributes().AssignBorrowed(m_attributes, m_arena->Allocate(m_attributes.ByteSize()));
  }
  m_attributes.Clear();
  if (!m_manyNames.empty()) m_manyNames.clear();
  m_collectingAttributes = false;
}

void Parser::ReadNodeStart(std::vector<Node*>& roots) {
  FinishAttributes();
  if (m_open.size() >= kMaxNodeNesting || ++m_nodeCount > kMaxNodes) Fail();
  StartTag tag;
  ReadStartTag(4, tag);
  OptionalText name = DecodeName(tag.hasName, tag.name);
  OptionalText type = DecodeName(tag.hasType, tag.type);
  Node* node = Node::CreateUnheld(std::move(name), std::move(type), *m_arena);
  try {
    if (m_children.size() <= m_open.size()) m_children.emplace_back();
    m_open.push_back(node);
  } catch (...) {
    Node::DestroyTree(node);
    throw;
  }
  m_children[m_open.size() - 1].clear();
  m_collectingAttributes = true;
  if (tag.selfClosing) CloseNode(roots);
}

void Parser::CloseNode(std::vector<Node*>& roots) {
  FinishAttributes();
  const size_t level = m_open.size() - 1;
  Node* node = m_open[level];
  std::vector<Node*>& children = m_children[level];
  node->ReserveChildren(children.size());
  for (Node* child : children) node->AttachBuilt(child);
  children.clear();
  // The node moves from m_open to its parent's children or to roots; the
  // room is made first so that the move cannot fail halfway.
  std::vector<Node*>& destination = level == 0 ? roots : m_children[level - 1];
  if (destination.size() == destination.capacity()) destination.reserve(std::max<size_t>(8, destination.size() * 2));
  m_open.pop_back();
  destination.push_back(node);
  if (level == 0) node->AddHandle();
}

void Parser::StoreAttribute(std::u16string_view name, uint16_t type, const void* data, size_t size) {
  if (size > kMaxValueBytes) Fail();
  m_attributes.Append(name, type, data, static_cast<uint32_t>(size));
}

void Parser::ReadTextList(Utf16Buffer& value) {
  while (true) {
    SkipMisc();
    if (AtElement("item")) {
      StartTag tag;
      ReadStartTag(4, tag);
      if (!tag.Empty()) Fail();
      if (!tag.selfClosing) {
        const size_t start = value.Size();
        ReadContent(value);
        if (value.View().substr(start).find(u'\0') != std::u16string_view::npos) Fail();
        ReadEndTag("item");
      }
      value.Push(u'\0');
      if (value.Size() > kMaxTextUnits) Fail();
      continue;
    }
    ReadEndTag("attr");
    return;
  }
}

template <typename Integer>
Integer ParseDecimal(std::string_view text) {
  // Optional minus, digits, no leading zeros, no plus, no blanks.
  const size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() == digits || (text[digits] == '0' && text.size() > digits + 1) || (text == "-0")) {
    Fail();
  }
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) Fail();
  return value;
}

// The code of a named type; the sizes are compared first.
bool NamedTypeCode(std::string_view type, uint16_t& code) {
  for (const NamedType& candidate : kNamedTypes) {
    if (candidate.name.size() == type.size() && std::memcmp(candidate.name.data(), type.data(), type.size()) == 0) {
      code = candidate.code;
      return true;
    }
  }
  return false;
}

void Parser::ReadAttribute() {
  if (!m_collectingAttributes) Fail();  // attributes come before child nodes
  if (m_attributes.Count() >= kMaxAttributesPerNode) Fail();
  StartTag tag;
  ReadStartTag(4, tag);
  if (!tag.hasName || !tag.hasType) Fail();
  // m_name holds the name until the attribute is stored.
  const std::u16string_view name = DecodeNameText(tag.name, false);

  // Duplicate names: linear while few, a set once many.
  constexpr uint32_t kLinearLimit = 32;
  if (m_attributes.Count() < kLinearLimit) {
    if (m_attributes.Contains(name)) Fail();
  } else {
    if (m_manyNames.empty()) {
      m_attributes.ForEach([&](const AttributeView& view) { m_manyNames.emplace(view.name); });
    }
    if (!m_manyNames.emplace(name).second) Fail();
  }

  uint16_t code = 0;
  const bool named = NamedTypeCode(tag.type, code);
  if (!named) code = ParseDecimal<uint16_t>(tag.type);

  if (named && code == TypeCode::kTextList) {
    m_value.Clear();
    if (!tag.selfClosing) ReadTextList(m_value);
    return StoreAttribute(name, code, m_value.Data(), m_value.Size() * sizeof(char16_t));
  }
  if (named && code == TypeCode::kText) return ReadTextValue(name, tag.selfClosing);
  ReadScalarValue(name, code, named, tag.selfClosing);
}

void Parser::ReadTextValue(std::u16string_view name, bool selfClosing) {
  if (selfClosing) {
    constexpr char16_t kEmpty = 0;
    return StoreAttribute(name, TypeCode::kText, &kEmpty, sizeof(kEmpty));
  }
  if (const char* end = PlainContentEnd(); end != nullptr) {
    // Decoded straight into the node's attribute block.
    const auto count = static_cast<size_t>(end - m_at);
    if (count > kMaxTextUnits) Fail();
    auto* value = reinterpret_cast<char16_t*>(
        m_attributes.StartAppend(name, TypeCode::kText, (count + 1 + kDecodeSlack) * sizeof(char16_t)));
    char16_t* valueEnd = Decode(m_at, end, TextContext::Content, value);
    *valueEnd++ = u'\0';
    const auto size = static_cast<size_t>(valueEnd - value) * sizeof(char16_t);
    if (size > kMaxValueBytes) Fail();
    m_at = end;
    ReadEndTag("attr");
    return m_attributes.FinishAppend(static_cast<uint32_t>(size));
  }
  m_value.Clear();
  ReadContent(m_value);
  ReadEndTag("attr");
  m_value.Push(u'\0');
  StoreAttribute(name, TypeCode::kText, m_value.Data(), m_value.Size() * sizeof(char16_t));
}

void Parser::ReadScalarValue(std::u16string_view name, uint16_t code, bool named, bool selfClosing) {
  // Every other value is ASCII: a number, a boolean or base64, all of
  // printable characters other than '&' and '<'. Without a reference or a
  // comment the raw bytes are the value; anything else they could hold fails
  // below as its decoded form would.
  std::string_view ascii;
  if (!selfClosing) {
    const char* end = PlainContentEnd();
    if (end != nullptr && std::memchr(m_at, '&', static_cast<size_t>(end - m_at)) == nullptr) {
      if (static_cast<size_t>(end - m_at) > kMaxTextUnits) Fail();
      ascii = std::string_view(m_at, static_cast<size_t>(end - m_at));
      m_at = end;
    } else {
      m_value.Clear();
      ReadContent(m_value);
      m_ascii.resize(m_value.Size());
      for (size_t index = 0; index < m_value.Size(); ++index) {
        const char16_t unit = m_value.Data()[index];
        if (unit >= 0x80) Fail();
        m_ascii[index] = static_cast<char>(unit);
      }
      ascii = m_ascii;
    }
    ReadEndTag("attr");
  }
  if (!named || code == TypeCode::kBinary) {
    if (!Base64::Decode(ascii, m_bytes)) Fail();
    return StoreAttribute(name, code, m_bytes.data(), m_bytes.size());
  }
  switch (code) {
    case TypeCode::kNone:
      if (!ascii.empty()) Fail();
      return StoreAttribute(name, code, nullptr, 0);
    case TypeCode::kInt32: {
      const auto value = ParseDecimal<int32_t>(ascii);
      return StoreAttribute(name, code, &value, sizeof(value));
    }
    case TypeCode::kInt64: {
      const auto value = ParseDecimal<int64_t>(ascii);
      return StoreAttribute(name, code, &value, sizeof(value));
    }
    case TypeCode::kBool: {
      if (ascii != "true" && ascii != "false") Fail();
      const uint8_t value = ascii == "true" ? 1 : 0;
      return StoreAttribute(name, code, &value, sizeof(value));
    }
    default:
      Fail();
  }
}

void Parser::Run(std::vector<Node*>& roots) {
  // Prolog: a BOM, an XML declaration, comments and whitespace.
  if (StartsWith("\xEF\xBB\xBF")) m_at += 3;
  if (StartsWith("<?xml")) ReadDeclaration();
  SkipMisc();
  if (!AtElement("nr")) Fail();
  StartTag tag;
  ReadStartTag(2, tag);
  if (!tag.Empty()) Fail();
  if (!tag.selfClosing) {
    while (true) {
      SkipMisc();
      if (m_end - m_at < 2 || *m_at != '<') Fail();
      const char next = m_at[1];
      if (next == 'a' && AtElement("attr")) {
        if (m_open.empty()) Fail();
        ReadAttribute();
      } else if (next == 'n' && AtElement("node")) {
        ReadNodeStart(roots);
      } else if (next == '/') {
        if (m_open.empty()) {
          ReadEndTag("nr");
          break;
        }
        ReadEndTag("node");
        CloseNode(roots);
      } else {
        Fail();
      }
    }
  }
  SkipMisc();
  if (m_at != m_end) Fail();
}

}  // namespace

Result Parse(std::string_view input, std::vector<Node*>& roots) {
  const size_t firstNew = roots.size();
  const auto dropNew = [&] {
    for (size_t index = firstNew; index < roots.size(); ++index) roots[index]->CloseHandle();
    roots.resize(firstNew);
  };
  try {
    if (input.size() > kMaxInputBytes) return Results::kInvalidData;
    Parser parser(input);
    parser.Run(roots);
    return Results::kOk;
  } catch (const Malformed&) {
    dropNew();
    return Results::kInvalidData;
  } catch (...) {
    dropNew();
    throw;
  }
}

}  // namespace DataLayer::NodeTextReader

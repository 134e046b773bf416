#include "NodeTextEdit.h"

#include <algorithm>

namespace KestrovaTools::NodeTextEdit {

namespace {

constexpr std::string_view kWhitespace = " \t\r\n";

bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

enum class TokenKind { Text, Comment, Declaration, StartTag, EndTag, Invalid };

struct Token {
  TokenKind kind = TokenKind::Invalid;
  size_t begin = 0;
  size_t end = 0;  // one past the token's last byte
  std::string_view name;
  bool selfClosing = false;
};

// The token that starts at pos (pos < text.size()). Text never holds a raw '<'
// and quoted XML attribute values never do, so a '<' always starts markup.
Token NextToken(std::string_view text, size_t pos) {
  Token token;
  token.begin = pos;
  if (text[pos] != '<') {
    token.kind = TokenKind::Text;
    token.end = std::min(text.find('<', pos), text.size());
    return token;
  }
  const std::string_view rest = text.substr(pos);
  if (rest.starts_with("<!--") || rest.starts_with("<?")) {
    const bool comment = rest[1] == '!';
    const std::string_view close = comment ? "-->" : "?>";
    const size_t found = text.find(close, pos + (comment ? 4 : 2));
    if (found == std::string_view::npos) return token;
    token.kind = comment ? TokenKind::Comment : TokenKind::Declaration;
    token.end = found + close.size();
    return token;
  }
  const bool endTag = rest.starts_with("</");
  const size_t nameBegin = pos + (endTag ? 2 : 1);
  const size_t nameEnd = std::min(text.find_first_of(endTag ? " \t\r\n>" : " \t\r\n/>", nameBegin), text.size());
  if (nameEnd == nameBegin) return token;
  token.name = text.substr(nameBegin, nameEnd - nameBegin);
  if (endTag) {
    const size_t close = text.find('>', nameEnd);
    if (close == std::string_view::npos) return token;
    token.kind = TokenKind::EndTag;
    token.end = close + 1;
    return token;
  }
  // XML attribute values may hold '>' and '/', so quotes are skipped whole.
  char lastOutsideQuotes = 0;
  for (size_t i = nameEnd; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      const size_t quoteEnd = text.find(c, i + 1);
      if (quoteEnd == std::string_view::npos) return token;
      lastOutsideQuotes = c;
      i = quoteEnd;
    } else if (c == '>') {
      token.kind = TokenKind::StartTag;
      token.end = i + 1;
      token.selfClosing = lastOutsideQuotes == '/';
      return token;
    } else if (c == '<') {
      return token;
    } else if (!IsWhitespace(c)) {
      lastOutsideQuotes = c;
    }
  }
  return token;
}

// Whether a start tag has the XML attribute type="textlist": such an <attr>
// holds <item> elements and whitespace between them, any other one its value.
bool IsTextList(std::string_view tag) {
  size_t i = tag.find_first_of(kWhitespace);
  while (i < tag.size()) {
    i = tag.find_first_not_of(kWhitespace, i);
    if (i == std::string_view::npos || tag[i] == '/' || tag[i] == '>') return false;
    const size_t nameEnd = std::min(tag.find_first_of(" \t\r\n=", i), tag.size());
    const std::string_view name = tag.substr(i, nameEnd - i);
    i = tag.find_first_not_of(kWhitespace, nameEnd);
    if (i == std::string_view::npos || tag[i] != '=') return false;
    i = tag.find_first_not_of(kWhitespace, i + 1);
    if (i == std::string_view::npos || (tag[i] != '"' && tag[i] != '\'')) return false;
    const size_t valueEnd = tag.find(tag[i], i + 1);
    if (valueEnd == std::string_view::npos) return false;
    if (name == "type") return tag.substr(i + 1, valueEnd - i - 1) == "textlist";
    i = valueEnd + 1;
  }
  return false;
}

// The line breaks of one element that are layout (between elements), as
// opposed to LFs inside a text value, which the store writes as they are and
// which belong to the value. end: one past the element, npos if it does not close.
struct Layout {
  std::vector<size_t> breaks;  // positions of the layout '\n'
  size_t end = std::string_view::npos;
};

Layout LayoutOf(std::string_view element) {
  Layout layout;
  std::vector<bool> valueContent;  // per open element: its text is a value
  size_t pos = 0;
  while (pos < element.size()) {
    const Token token = NextToken(element, pos);
    if (token.kind == TokenKind::Invalid) {
      // Not an element: every further line break counts as layout.
      for (size_t i = element.find('\n', pos); i != std::string_view::npos; i = element.find('\n', i + 1))
        layout.breaks.push_back(i);
      return layout;
    }
    if (token.kind == TokenKind::Text && (valueContent.empty() || !valueContent.back())) {
      for (size_t i = token.begin; i < token.end; ++i)
        if (element[i] == '\n') layout.breaks.push_back(i);
    } else if (token.kind == TokenKind::StartTag && !token.selfClosing) {
      valueContent.push_back(
          token.name == "item" ||
          (token.name == "attr" && !IsTextList(element.substr(token.begin, token.end - token.begin))));
    } else if (token.kind == TokenKind::EndTag && !valueContent.empty()) {
      valueContent.pop_back();
    }
    const bool closesTop = (token.kind == TokenKind::EndTag && valueContent.empty()) ||
                           (token.kind == TokenKind::StartTag && token.selfClosing && valueContent.empty());
    if (closesTop && layout.end == std::string_view::npos) layout.end = token.end;
    pos = token.end;
  }
  return layout;
}

// element with its layout line breaks turned into lineEnd + indent.
void AppendIndented(std::string& out, std::string_view element, std::string_view indent, std::string_view lineEnd) {
  const Layout layout = LayoutOf(element);
  size_t copied = 0;
  for (const size_t lineBreak : layout.breaks) {
    // A CR before a layout LF belongs to the line break, not to the line.
    const size_t lineEndPos = lineBreak > copied && element[lineBreak - 1] == '\r' ? lineBreak - 1 : lineBreak;
    out.append(element.substr(copied, lineEndPos - copied));
    out.append(lineEnd);
    out.append(indent);
    copied = lineBreak + 1;
  }
  out.append(element.substr(copied));
}

std::string_view LineEndOf(std::string_view text) {
  const size_t lf = text.find('\n');
  return lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}

size_t LineStart(std::string_view text, size_t pos) {
  const size_t previous = text.find_last_of("\r\n", pos == 0 ? 0 : pos - 1);
  return pos == 0 || previous == std::string_view::npos ? 0 : previous + 1;
}

// The run of spaces and tabs that starts the line holding pos.
std::string_view IndentationAt(std::string_view text, size_t pos) {
  const size_t start = LineStart(text, pos);
  const size_t end = std::min(text.find_first_not_of(" \t", start), text.size());
  return text.substr(start, end - start);
}

struct Located {
  size_t begin = 0;        // its '<'
  size_t startTagEnd = 0;  // one past the start tag
  size_t endTagBegin = 0;  // the '<' of the end tag (startTagEnd when self-closing)
  size_t end = 0;          // one past the element
  bool selfClosing = false;
};

// One pass over the text with a count of open elements, no recursion.
std::optional<Located> Locate(std::string_view text, const NodePath& path) {
  if (path.empty()) return std::nullopt;
  size_t pos = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  size_t depth = 0;     // open elements; <nr> is depth 1
  size_t matched = 0;   // path entries matched: that element is open at depth matched + 1
  size_t children = 0;  // <node> children of that element seen so far
  bool rootSeen = false;
  std::optional<Located> found;
  size_t foundDepth = 0;
  while (pos < text.size()) {
    const Token token = NextToken(text, pos);
    switch (token.kind) {
      case TokenKind::Invalid:
        return std::nullopt;
      case TokenKind::Text:
      case TokenKind::Comment:
      case TokenKind::Declaration:
        break;
      case TokenKind::StartTag:
        if (depth == 0) {
          if (rootSeen || token.name != "nr" || token.selfClosing) return std::nullopt;
          rootSeen = true;
        } else if (!found && depth == matched + 1 && token.name == "node" && children++ == path[matched]) {
          ++matched;
          children = 0;
          if (matched == path.size()) {
            found = Located{token.begin, token.end, token.end, token.end, token.selfClosing};
            if (token.selfClosing) return found;
            foundDepth = depth + 1;
          } else if (token.selfClosing) {
            return std::nullopt;
          }
        }
        if (!token.selfClosing) ++depth;
        break;
      case TokenKind::EndTag:
        if (depth == 0) return std::nullopt;
        if (found && depth == foundDepth) {
          found->endTagBegin = token.begin;
          found->end = token.end;
          return found;
        }
        // The last element matched closes without the next one of the path.
        if (!found && depth == matched + 1) return std::nullopt;
        --depth;
        break;
    }
    pos = token.end;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ElementOfSerialization(std::string_view serialization) {
  const std::string_view lineEnd = serialization.starts_with("<nr>\r\n") ? "\r\n" : "\n";
  const std::string head = "<nr>" + std::string(lineEnd);
  const std::string tail = std::string(lineEnd) + "</nr>" + std::string(lineEnd);
  if (!serialization.starts_with(head) || serialization.size() < head.size() + tail.size() ||
      !serialization.ends_with(tail))
    return std::nullopt;
  const std::string_view body = serialization.substr(head.size(), serialization.size() - head.size() - tail.size());
  if (!body.starts_with("  <node")) return std::nullopt;
  const Layout layout = LayoutOf(body);
  if (layout.end != body.size()) return std::nullopt;
  std::string element;
  element.reserve(body.size());
  size_t copied = 2;
  for (const size_t lineBreak : layout.breaks) {
    const bool crlf = lineBreak > 0 && body[lineBreak - 1] == '\r';
    if (crlf != (lineEnd == "\r\n") || body.substr(lineBreak + 1, 2) != "  ") return std::nullopt;
    element.append(body.substr(copied, lineBreak - (crlf ? 1 : 0) - copied));
    element += '\n';
    copied = lineBreak + 3;
  }
  element.append(body.substr(copied));
  return element;
}

std::optional<std::string> ReplaceNode(std::string_view text, const NodePath& path, std::string_view element) {
  const std::optional<Located> node = Locate(text, path);
  if (!node) return std::nullopt;
  std::string out;
  out.reserve(text.size() + element.size() * 2);
  out.append(text.substr(0, node->begin));
  AppendIndented(out, element, IndentationAt(text, node->begin), LineEndOf(text));
  out.append(text.substr(node->end));
  return out;
}

std::optional<std::string> InsertLastChild(std::string_view text, const NodePath& parentPath,
                                           std::string_view element) {
  const std::optional<Located> parent = Locate(text, parentPath);
  if (!parent) return std::nullopt;
  const std::string_view lineEnd = LineEndOf(text);
  const std::string_view indent = IndentationAt(text, parent->begin);
  const std::string childIndent = std::string(indent) + "  ";
  std::string out;
  out.reserve(text.size() + element.size() * 2 + 64);
  if (parent->selfClosing) {
    // "<node .../>" becomes "<node ...>", the child, and "</node>" at the parent's indentation.
    size_t slash = parent->end - 1;
    while (slash > parent->begin && text[slash] != '/') --slash;
    size_t cut = slash;
    while (cut > parent->begin && IsWhitespace(text[cut - 1])) --cut;
    out.append(text.substr(0, cut));
    out += '>';
    out.append(lineEnd);
    out.append(childIndent);
    AppendIndented(out, element, childIndent, lineEnd);
    out.append(lineEnd);
    out.append(indent);
    out.append("</node>");
    out.append(text.substr(parent->end));
    return out;
  }
  const size_t endLine = LineStart(text, parent->endTagBegin);
  const bool endTagOnOwnLine =
      endLine > parent->startTagEnd && text.find_first_not_of(" \t", endLine) == parent->endTagBegin;
  if (endTagOnOwnLine) {
    // A line of its own just before the end tag's line.
    out.append(text.substr(0, endLine));
    out.append(childIndent);
    AppendIndented(out, element, childIndent, lineEnd);
    out.append(lineEnd);
    out.append(text.substr(endLine));
  } else {
    out.append(text.substr(0, parent->endTagBegin));
    out.append(lineEnd);
    out.append(childIndent);
    AppendIndented(out, element, childIndent, lineEnd);
    out.append(lineEnd);
    out.append(indent);
    out.append(text.substr(parent->endTagBegin));
  }
  return out;
}

}  // namespace KestrovaTools::NodeTextEdit

// Edits of one <node> element of a node text file that keep every other byte
// of the file as it was (comments, blank lines, indentation, declaration, byte
// order mark, line ends). The text is taken to be node text the store's
// reader accepts; any other text gives std::nullopt or a result, never a read
// out of bounds. Only line breaks between elements are lines of an element
// here: an LF inside a text value (the store writes it as it is) belongs to
// the value, so it gets no indentation and stays LF.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KestrovaTools::NodeTextEdit {

// A <node> element by position: path[0] is the index of the top-level <node> under <nr>,
// path[1] the index of a child <node> of that one (counting only <node> children, not <attr>), and so on.
using NodePath = std::vector<size_t>;

// One <node> element as the store writes it: the whole output of serializing that one node
// with the store's indented layout ("<nr>" line, the element lines indented two spaces per level
// starting at two, "</nr>" line, CRLF or LF line ends). Returns the element's lines with the
// first two spaces of indentation removed and the <nr> lines dropped, joined by '\n', no trailing newline.
// std::nullopt when the text is not of that shape.
std::optional<std::string> ElementOfSerialization(std::string_view serialization);

// text with the <node> element at path (from its '<' up to and including the '>' of its end tag,
// or of its self-closing tag) replaced by element (lines joined by '\n', as ElementOfSerialization gives):
// the first line goes where the old '<' was; every further line gets the old element's indentation
// (the whitespace between the start of its line and its '<'; if other text precedes '<' on that
// line, the indentation is the run of leading spaces/tabs of that line) prepended, and the lines are
// joined by the file's line end (CRLF when the text's first line end is CRLF, else LF; LF when the text has none).
// std::nullopt when there is no such element.
std::optional<std::string> ReplaceNode(std::string_view text, const NodePath& path, std::string_view element);

// text with element added as the last child of the <node> at parentPath: on a new line of its own
// right after the parent's last existing content line and before the parent's end tag. Indentation:
// the indentation of the parent's line plus two spaces. The parent's end tag stays on its own line
// with its original indentation. A self-closing parent (`<node name="x"/>`, possibly with whitespace
// before "/>") becomes `<node name="x">` + newline + child + newline + indent + `</node>`.
// When the parent's end tag is on the same line as other content (compact files), still produce
// valid node text: insert line end + indentation + element + line end + parent's indentation before the end tag.
// std::nullopt when there is no such parent.
std::optional<std::string> InsertLastChild(std::string_view text, const NodePath& parentPath, std::string_view element);

}  // namespace KestrovaTools::NodeTextEdit

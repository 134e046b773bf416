// Node text files (serialization type 1) in and out of the node store.
#pragma once

#include "NodeHandle.h"

#include <string>
#include <string_view>
#include <vector>

namespace KestrovaTools {

class StandardStream;

namespace NodeTextFile {

// The first top-level node of the file. role names the file in messages
// ("RULES", "SOURCE"). A file that cannot be opened or read, is not node
// text, or holds no node raises ToolError with kExitUsage.
NodeHandle ReadFirstNode(const std::wstring& path, const wchar_t* role);

// The same for node text held in memory (a text built into the program);
// name says where it came from in messages.
NodeHandle ReadFirstNodeFromText(std::string_view text, const wchar_t* name);

// The bytes of the file; role names it in messages. A file that cannot be
// opened or read raises ToolError with kExitUsage.
std::string ReadBytes(const std::wstring& path, const wchar_t* role);

// The nodes, each with its whole subtree, as the top-level nodes of one node
// text (flags 257).
std::string ToText(const std::vector<IDXNode*>& nodes);

// The node and its whole subtree as node text, with the module's writing
// flags (257: indented, CRLF line ends), byte for byte as the store
// serializes them.
void Write(const NodeHandle& node, StandardStream& output);

// The nodes, each with its whole subtree, as the top-level nodes of one node
// text file (flags 257), replacing the file. role names the file in
// messages; a failure raises ToolError with kExitFailure and leaves no
// partly written file at path.
void WriteFile(const std::vector<IDXNode*>& nodes, const std::wstring& path, const wchar_t* role);

// The bytes as the whole file, replacing it, with the same guarantees.
void WriteBytes(std::string_view bytes, const std::wstring& path, const wchar_t* role);

}  // namespace NodeTextFile
}  // namespace KestrovaTools

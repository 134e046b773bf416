// Node text files (serialization type 1) in and out of the node store.
#pragma once

#include "NodeHandle.h"

#include <string>

namespace KestrovaResolve {

class StandardStream;

namespace NodeTextFile {

// The first top-level node of the file. role names the file in messages
// ("RULES", "SOURCE"). A file that cannot be opened or read, is not node
// text, or holds no node raises ToolError with kExitUsage.
NodeHandle ReadFirstNode(const std::wstring& path, const wchar_t* role);

// The node and its whole subtree as node text, with the module's writing
// flags (257: indented, CRLF line ends), byte for byte as the store
// serializes them.
void Write(const NodeHandle& node, StandardStream& output);

}  // namespace NodeTextFile
}  // namespace KestrovaResolve

// Reading and writing node text files (DataLayer serialization type 1).
#pragma once

#include "Node.h"

#include <string>
#include <vector>

namespace ComponentsLib::NodeTextFile {

// The top-level nodes of the file. A missing file fails with
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND); malformed text with the store's
// result (0x8007000D).
std::vector<Node> Read(const std::wstring& path);

// Writes the nodes with their whole subtrees (flags 257) to a file beside
// path and then moves it over path, so a failed write leaves the old file.
void Write(const std::wstring& path, const std::vector<IDXNode*>& nodes);

}  // namespace ComponentsLib::NodeTextFile

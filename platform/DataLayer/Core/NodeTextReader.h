// Reads node text (docs/NodeTextFormat.md) into trees. Strict and bounded:
// anything that is not the format, or exceeds its limits, fails with
// 0x8007000D and leaves nothing behind.
#pragma once

#include "Node.h"
#include "Result.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace DataLayer::NodeTextReader {

// Readable bytes that must follow the input (their values do not matter):
// the reader looks at text in blocks that may reach past its end.
constexpr size_t kInputPadding = 16;

// Appends the top-level nodes of the input to roots, each with one handle,
// or appends nothing and fails. kInputPadding bytes after the input must be
// readable.
Result Parse(std::string_view input, std::vector<Node*>& roots);

}  // namespace DataLayer::NodeTextReader

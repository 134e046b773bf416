// The source language of activity rules: a source is a literal value or a
// backslash path walked from a source node to nodes or text values. These
// read a source text once; a rule compiles its sources when it is built and
// evaluates the CompiledSource.
#pragma once

#include "CompiledSource.h"
#include "SourceText.h"
#include "SourceVisitor.h"

#include "node/DXNodePtr.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace UsageStatistics {

// A literal yields itself as one value; anything else is walked as a path.
// A path of more than kMaxSourcePathElements elements raises 0x8007000D.
void EvaluateSource(const DXNodePtr& node, std::wstring_view source, ISourceVisitor& visitor);

// Walks the path from the element at position (0 for the whole path).
void WalkPath(const DXNodePtr& node, std::wstring_view path, size_t position, ISourceVisitor& visitor);

// The first value, or the empty text when there is none.
std::wstring ResolveFirstValue(const DXNodePtr& node, std::wstring_view source);
std::vector<std::wstring> ResolveAllValues(const DXNodePtr& node, std::wstring_view source);

}  // namespace UsageStatistics

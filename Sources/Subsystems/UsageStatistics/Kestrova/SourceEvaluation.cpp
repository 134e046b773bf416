#include "SourceEvaluation.h"

namespace UsageStatistics {

void EvaluateSource(const DXNodePtr& node, std::wstring_view source, ISourceVisitor& visitor) {
  CompiledSource(std::wstring(source)).Evaluate(node, visitor);
}

void WalkPath(const DXNodePtr& node, std::wstring_view path, size_t position, ISourceVisitor& visitor) {
  CompiledPath::Compile(path, position).Walk(node, visitor);
}

std::wstring ResolveFirstValue(const DXNodePtr& node, std::wstring_view source) {
  return CompiledSource(std::wstring(source)).FirstValue(node);
}

std::vector<std::wstring> ResolveAllValues(const DXNodePtr& node, std::wstring_view source) {
  return CompiledSource(std::wstring(source)).AllValues(node);
}

}  // namespace UsageStatistics

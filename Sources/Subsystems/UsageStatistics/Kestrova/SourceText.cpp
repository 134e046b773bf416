#include "SourceText.h"

#include "node/NodeErrors.h"
#include "node/NodePaths.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <algorithm>

namespace UsageStatistics {

bool PathPredicate::TryParse(std::wstring_view inner, PathPredicate& predicate) {
  Operator op = Operator::Equal;
  size_t at = inner.find(L"==");
  if (at == std::wstring_view::npos) {
    at = inner.find(L"!=");
    if (at == std::wstring_view::npos) return false;
    op = Operator::NotEqual;
  }
  const std::wstring_view right = inner.substr(at + 2);
  if (right.size() < 2 || right.front() != L'\'' || right.back() != L'\'') return false;
  predicate.leftPath.assign(inner.substr(0, at));
  predicate.value.assign(right.substr(1, right.size() - 2));
  predicate.op = op;
  return true;
}

PathPredicate PathPredicate::Parse(std::wstring_view inner) {
  PathPredicate predicate;
  if (!TryParse(inner, predicate)) ThrowHr(NodeErrors::kInvalidData);
  return predicate;
}

bool IsLiteralSource(std::wstring_view source) {
  return !source.empty() && source.front() != NodePaths::kSeparator &&
         NodePaths::PathElementKind(source) == NodePaths::ElementKind::ChildName;
}

size_t CountSeparators(std::wstring_view source) noexcept {
  return static_cast<size_t>(std::count(source.begin(), source.end(), NodePaths::kSeparator));
}

bool NextPathElement(std::wstring_view path, size_t& position, std::wstring_view& element) {
  if (position >= path.size()) return false;
  if (position == 0 && path.front() == NodePaths::kSeparator) {
    position = 1;
    if (position >= path.size()) return false;
  }
  const size_t end = path.find(NodePaths::kSeparator, position);
  if (end == std::wstring_view::npos) {
    element = path.substr(position);
    position = path.size();
  } else {
    element = path.substr(position, end - position);
    position = end + 1;
  }
  return true;
}

}  // namespace UsageStatistics

#include "SourceChecker.h"

#include "Sources/Subsystems/UsageStatistics/Kestrova/SourceEvaluation.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/NodeErrors.h"
#include "node/NodePaths.h"

#include <algorithm>

namespace UsageStatistics::Checking {

namespace {

using NodePaths::ElementKind;
using NodePaths::PathElementKind;

bool IsValueStep(ElementKind kind) {
  return kind == ElementKind::NameOf || kind == ElementKind::TypeOf || kind == ElementKind::Attribute;
}

// A bracketed element the walk parses as a filter: "[" ... "]".
bool IsFilter(std::wstring_view element) {
  return PathElementKind(element) == ElementKind::Filter && element.size() >= 2 && element.back() == L']';
}

// Why the engine's parser refused a filter's inner text.
std::wstring FilterFault(std::wstring_view inner) {
  size_t at = inner.find(L"==");
  if (at == std::wstring_view::npos) at = inner.find(L"!=");
  if (at == std::wstring_view::npos) return L"has no operator == or !=";
  if (at + 2 == inner.size()) return L"has nothing after the operator";
  return L"compares with " + std::wstring(inner.substr(at + 2)) + L": the value must be in apostrophes, as in 'value'";
}

}  // namespace

SourceChecker::Shape SourceChecker::ShapeOf(std::wstring_view source) {
  if (IsLiteralSource(source)) return Shape::Literal;
  size_t position = 0;
  std::wstring_view element;
  while (NextPathElement(source, position, element)) {
    // The walk ends at its first value step.
    if (IsValueStep(PathElementKind(element))) return Shape::ValuePath;
  }
  return Shape::NodePath;
}

void SourceChecker::CheckFilters(std::wstring_view pathText, const std::wstring& path, const std::wstring& subject,
                                 CheckReport& report) {
  size_t position = 0;
  std::wstring_view element;
  while (NextPathElement(pathText, position, element)) {
    // Nothing after a value step is walked: an attribute step reads its
    // following elements as names, never as filters.
    if (IsValueStep(PathElementKind(element))) return;
    if (!IsFilter(element)) continue;
    const std::wstring_view inner = element.substr(1, element.size() - 2);
    try {
      // The parser the walk uses when it reaches the element.
      const PathPredicate predicate = PathPredicate::Parse(inner);
      // The left side is walked as a path of its own when the filter runs.
      CheckFilters(predicate.leftPath, path, subject, report);
    } catch (const HRX& failure) {
      report.AddResolutionError(
          path, subject, failure.Code(),
          L"filter " + std::wstring(element) + L" " + FilterFault(inner) + L"; evaluations that reach it fail");
    }
  }
}

void SourceChecker::CheckLiteral(std::wstring_view source, const std::wstring& path, const std::wstring& subject,
                                 CheckReport& report) {
  // A literal with a backslash is fine as a text (Folder\Sub); one with a
  // wildcard, reference, filter or parent step in it was meant as a path.
  if (source.find(NodePaths::kSeparator) == std::wstring_view::npos) return;
  size_t position = 0;
  std::wstring_view element;
  while (NextPathElement(source, position, element)) {
    if (!element.empty() && PathElementKind(element) != ElementKind::ChildName) {
      report.AddWarning(path, subject,
                        L"reads as the literal text \"" + std::wstring(source) +
                            L"\", not as a path; a path starts with a backslash: \\" + std::wstring(source));
      return;
    }
  }
}

void SourceChecker::Check(std::wstring_view source, SourceUse use, const std::wstring& path,
                          const std::wstring& subject, CheckReport& report) {
  if (use == SourceUse::None) return;
  if (use == SourceUse::GroupName && source.empty()) return;  // no group frame: not evaluated
  const Shape shape = ShapeOf(source);
  if (shape == Shape::Literal) {
    if (use != SourceUse::Nodes) {
      CheckLiteral(source, path, subject, report);
      return;
    }
    report.AddWarning(path, subject,
                      L"the literal " + std::wstring(source) +
                          L" selects no node, so the entries never run; a selection path starts with a "
                          L"backslash: \\" +
                          std::wstring(source));
    return;
  }
  const auto separators = static_cast<size_t>(std::count(source.begin(), source.end(), NodePaths::kSeparator));
  if (separators > kMaxSourcePathElements) {
    report.AddResolutionError(path, subject, NodeErrors::kInvalidData,
                              L"the path has " + std::to_wstring(separators) + L" elements, more than the " +
                                  std::to_wstring(kMaxSourcePathElements) + L" a walk takes; evaluations fail");
    return;
  }
  CheckFilters(source, path, subject, report);
  if (use == SourceUse::Nodes && shape == Shape::ValuePath) {
    report.AddWarning(path, subject,
                      L"the path " + std::wstring(source) +
                          L" ends in a value step (<name>, <type> or @) and selects no node, so the entries "
                          L"never run");
  } else if (use != SourceUse::Nodes && shape == Shape::NodePath) {
    report.AddWarning(path, subject,
                      L"the path " + (source.empty() ? std::wstring(L"(empty)") : std::wstring(source)) +
                          L" ends at nodes, which give no value: it always reads as nothing (an empty text, "
                          L"a count of 0); end it with <name>, <type> or an @attribute");
  }
}

}  // namespace UsageStatistics::Checking

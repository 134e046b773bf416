#include "SourceChecker.h"

#include "Sources/Subsystems/UsageStatistics/Kestrova/CompiledSource.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/NodeErrors.h"
#include "node/NodePaths.h"

namespace UsageStatistics::Checking {

namespace {

using NodePaths::ElementKind;
using NodePaths::PathElementKind;

// Why the engine's parser refused a filter's inner text.
std::wstring FilterFault(std::wstring_view inner) {
  size_t at = inner.find(L"==");
  if (at == std::wstring_view::npos) at = inner.find(L"!=");
  if (at == std::wstring_view::npos) return L"has no operator == or !=";
  if (at + 2 == inner.size()) return L"has nothing after the operator";
  return L"compares with " + std::wstring(inner.substr(at + 2)) + L": the value must be in apostrophes, as in 'value'";
}

}  // namespace

SourceChecker::Shape SourceChecker::ShapeOf(const CompiledSource& source) {
  if (source.IsLiteral()) return Shape::Literal;
  return source.Path().EndsInValue() ? Shape::ValuePath : Shape::NodePath;
}

void SourceChecker::CheckFilters(const CompiledPath& compiled, const std::wstring& path, const std::wstring& subject,
                                 CheckReport& report) {
  // The compiled steps are those a walk takes: nothing after a value step,
  // and an attribute step's followers are names, never filters.
  for (const SourceStep& step : compiled.Steps()) {
    if (step.kind == SourceStep::Kind::Filter) {
      // The left side is walked as a path of its own when the filter runs.
      CheckFilters(step.filter->LeftPath(), path, subject, report);
    } else if (step.kind == SourceStep::Kind::MalformedFilter) {
      const std::wstring_view inner = std::wstring_view(step.text).substr(1, step.text.size() - 2);
      report.AddResolutionError(
          path, subject, NodeErrors::kInvalidData,
          L"filter " + step.text + L" " + FilterFault(inner) + L"; evaluations that reach it fail");
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
  // The form the engine builds from the setting, so that the check reads
  // the source exactly as an evaluation will.
  const CompiledSource compiled{std::wstring(source)};
  const Shape shape = ShapeOf(compiled);
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
  if (compiled.IsTooLong()) {
    report.AddResolutionError(path, subject, NodeErrors::kInvalidData,
                              L"the path has " + std::to_wstring(compiled.SeparatorCount()) +
                                  L" elements, more than the " + std::to_wstring(kMaxSourcePathElements) +
                                  L" a walk takes; evaluations fail");
    return;
  }
  CheckFilters(compiled.Path(), path, subject, report);
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

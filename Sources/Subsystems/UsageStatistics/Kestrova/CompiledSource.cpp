#include "CompiledSource.h"

#include "node/NodeErrors.h"
#include "node/NodePaths.h"
#include "node/NodeTreeWalk.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"

#include <utility>

namespace UsageStatistics {

namespace {

using NodePaths::ElementKind;
using NodePaths::PathElementKind;
using StepKind = SourceStep::Kind;
using FollowerKind = AttributeFollower::Kind;

// One OnValue per text of a list attribute, else one for the attribute as
// text; one store call for a short text value.
void VisitAttributeValues(const DXNodePtr& node, const wchar_t* name, ISourceVisitor& visitor) {
  TextBuffer value;
  bool isList = false;
  if (!node.TryReadTextOrList(name, value, isList)) return;
  if (!isList) {
    visitor.OnValue(value);
    return;
  }
  DXNodePtr::ForEachListText(value.View(), [&](std::wstring_view text) { visitor.OnValue(text); });
}

// The attribute step for the attribute named attribute, its followers read
// as names.
void ReadAttribute(const DXNodePtr& node, const std::wstring& attribute, std::span<const AttributeFollower> followers,
                   ISourceVisitor& visitor) {
  if (followers.empty()) {
    VisitAttributeValues(node, attribute.c_str(), visitor);
    return;
  }
  const AttributeFollower& next = followers.front();
  switch (next.kind) {
    case FollowerKind::NamedAttribute:
      VisitAttributeValues(node, next.name.c_str(), visitor);
      return;
    case FollowerKind::EachAttribute:
      for (const std::wstring& name : node.GetAttributeNames()) {
        ReadAttribute(node, name, followers.subspan(1), visitor);
      }
      return;
    case FollowerKind::NameOfAttribute:
      visitor.OnValue(std::wstring_view(attribute));
      return;
    case FollowerKind::Nothing:
      return;
  }
}

// The text of a path up to its count-th separator (excluded): its first
// elements, read as the whole text would be.
std::wstring_view FirstElements(std::wstring_view path, size_t count) {
  size_t at = 0;
  for (size_t separators = 0; at < path.size(); ++at) {
    if (path[at] == NodePaths::kSeparator && ++separators > count) break;
  }
  return path.substr(0, at);
}

// The elements after an attribute step, up to the first that is not "*".
std::vector<AttributeFollower> CompileFollowers(std::wstring_view path, size_t position) {
  std::vector<AttributeFollower> followers;
  std::wstring_view next;
  while (NextPathElement(path, position, next)) {
    switch (PathElementKind(next)) {
      case ElementKind::AnyChild:
        followers.push_back({FollowerKind::EachAttribute, {}});
        continue;
      case ElementKind::ChildName:
        if (next.empty()) {
          followers.push_back({FollowerKind::Nothing, {}});
        } else {
          followers.push_back({FollowerKind::NamedAttribute, std::wstring(next)});
        }
        return followers;
      case ElementKind::NameOf:
        followers.push_back({FollowerKind::NameOfAttribute, {}});
        return followers;
      default:
        followers.push_back({FollowerKind::Nothing, {}});
        return followers;
    }
  }
  return followers;
}

// The walk reads the start node through the caller's wrapper: a step that
// moves holds the node it reached in "reached".
void WalkSteps(const DXNodePtr& start, const SourceStep* step, const SourceStep* end, ISourceVisitor& visitor) {
  const DXNodePtr* current = &start;
  DXNodePtr reached;
  for (; step != end; ++step) {
    switch (step->kind) {
      case StepKind::AnyChild:
        current->ForEachChild([&](const DXNodePtr& child) { WalkSteps(child, step + 1, end, visitor); });
        return;
      case StepKind::AnyDescendant:
        // A source tree may be as deep as its sender makes it: no recursion.
        NodeUtils::ForEachDescendant(
            *current, [&](const DXNodePtr& descendant) { WalkSteps(descendant, step + 1, end, visitor); });
        return;
      case StepKind::Parent:
        reached = current->GetParent();
        if (!reached) return;
        current = &reached;
        break;
      case StepKind::NameOf: {
        TextBuffer name;
        current->ReadName(name);
        visitor.OnValue(name);
        return;
      }
      case StepKind::TypeOf: {
        TextBuffer type;
        current->ReadType(type);
        visitor.OnValue(type);
        return;
      }
      case StepKind::Attribute:
        ReadAttribute(*current, step->text, step->followers, visitor);
        return;
      case StepKind::Filter:
        if (!step->filter->Matches(*current)) return;
        break;
      case StepKind::MalformedFilter:
        ThrowHr(NodeErrors::kInvalidData);
      case StepKind::Child:
        reached = current->GetChild(step->text.c_str(), false);
        if (!reached) return;
        current = &reached;
        break;
    }
  }
  if (*current) visitor.OnNode(*current);
}

}  // namespace

CompiledPath CompiledPath::Compile(std::wstring_view path, size_t position) {
  CompiledPath compiled;
  std::wstring_view element;
  while (NextPathElement(path, position, element)) {
    SourceStep& step = compiled.m_steps.emplace_back();
    switch (PathElementKind(element)) {
      case ElementKind::AnyChild:
        step.kind = StepKind::AnyChild;
        continue;
      case ElementKind::AnyDescendant:
        step.kind = StepKind::AnyDescendant;
        continue;
      case ElementKind::Parent:
        step.kind = StepKind::Parent;
        continue;
      case ElementKind::NameOf:
        step.kind = StepKind::NameOf;
        return compiled;
      case ElementKind::TypeOf:
        step.kind = StepKind::TypeOf;
        return compiled;
      case ElementKind::Attribute:
        step.kind = StepKind::Attribute;
        step.text.assign(element.substr(1));
        step.followers = CompileFollowers(path, position);
        return compiled;
      case ElementKind::Filter:
        if (element.size() >= 2 && element.back() == L']') {
          step.text.assign(element);
          PathPredicate predicate;
          if (PathPredicate::TryParse(element.substr(1, element.size() - 2), predicate)) {
            step.kind = StepKind::Filter;
            step.filter = std::make_shared<const PathFilter>(predicate);
          } else {
            step.kind = StepKind::MalformedFilter;
          }
          continue;
        }
        [[fallthrough]];  // "[" without a closing bracket names a child
      case ElementKind::ChildName:
        step.kind = StepKind::Child;
        step.text.assign(element);
        continue;
    }
  }
  return compiled;
}

void CompiledPath::Walk(const DXNodePtr& start, ISourceVisitor& visitor) const {
  WalkSteps(start, m_steps.data(), m_steps.data() + m_steps.size(), visitor);
}

PathFilter::PathFilter(const PathPredicate& predicate)
    : m_left(CompiledPath::Compile(predicate.leftPath)), m_value(predicate.value), m_op(predicate.op) {}

namespace {

// Compares the first value with a text as it comes, keeping nothing.
class FirstValueComparer final : public ISourceVisitor {
 public:
  explicit FirstValueComparer(std::wstring_view expected) noexcept : m_expected(expected) {}
  void OnNode(const DXNodePtr&) override {}
  void OnValue(const std::wstring& value) override { OnValue(std::wstring_view(value)); }
  void OnValue(std::wstring_view value) override {
    if (m_found) return;
    m_found = true;
    m_equal = value == m_expected;
  }
  // No value compares as the empty text.
  bool Equal() const noexcept { return m_found ? m_equal : m_expected.empty(); }

 private:
  std::wstring_view m_expected;
  bool m_found = false;
  bool m_equal = false;
};

}  // namespace

bool PathFilter::Matches(const DXNodePtr& node) const {
  FirstValueComparer comparer(m_value);
  m_left.Walk(node, comparer);
  const bool equal = comparer.Equal();
  return m_op == PathPredicate::Operator::Equal ? equal : !equal;
}

CompiledSource::CompiledSource(std::wstring source)
    : m_text(std::move(source)), m_separators(CountSeparators(m_text)), m_isLiteral(IsLiteralSource(m_text)) {
  if (m_isLiteral) return;
  // A path too long to walk fails at every evaluation; its first elements
  // stay compiled for the checker, the rest is never read.
  m_path = IsTooLong() ? CompiledPath::Compile(FirstElements(m_text, kMaxSourcePathElements + 1))
                       : CompiledPath::Compile(m_text);
}

void CompiledSource::ThrowIfTooLong() const {
  // Each wildcard element is one level of recursion of the walk.
  if (IsTooLong()) ThrowHr(ReportError(NodeErrors::kInvalidData, L" Source path longer than 256 elements."));
}

void CompiledSource::Evaluate(const DXNodePtr& node, ISourceVisitor& visitor) const {
  if (m_isLiteral) {
    visitor.OnValue(std::wstring_view(m_text));
    return;
  }
  ThrowIfTooLong();
  m_path.Walk(node, visitor);
}

std::wstring CompiledSource::FirstValue(const DXNodePtr& node) const {
  if (m_isLiteral) return m_text;
  TextBuffer value;
  FirstValue(node, value);
  std::wstring text;
  value.MoveTo(text);
  return text;
}

TerminatedText CompiledSource::FirstValue(const DXNodePtr& node, TextBuffer& scratch) const {
  if (m_isLiteral) return m_text;
  FirstValueCollector collector(scratch);
  Evaluate(node, collector);
  return scratch;
}

std::vector<std::wstring> CompiledSource::AllValues(const DXNodePtr& node) const {
  ValuesCollector collector;
  Evaluate(node, collector);
  return std::move(collector.Values());
}

}  // namespace UsageStatistics

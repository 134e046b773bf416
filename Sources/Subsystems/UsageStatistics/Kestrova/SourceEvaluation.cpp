#include "SourceEvaluation.h"

#include "node/NodeErrors.h"
#include "node/NodePaths.h"
#include "node/NodeTreeWalk.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"

#include <algorithm>
#include <iterator>
#include <optional>

namespace UsageStatistics {

namespace {

using NodePaths::ElementKind;
using NodePaths::PathElementKind;

// A path element as a NUL-terminated name for the store: on the stack when short.
class ElementName {
 public:
  explicit ElementName(std::wstring_view element) {
    if (element.size() < std::size(m_local)) {
      element.copy(m_local, element.size());
      m_local[element.size()] = L'\0';
      m_text = m_local;
    } else {
      m_long.assign(element);
      m_text = m_long.c_str();
    }
  }
  ElementName(const ElementName&) = delete;
  ElementName& operator=(const ElementName&) = delete;
  const wchar_t* c_str() const noexcept { return m_text; }

 private:
  wchar_t m_local[64];
  std::wstring m_long;
  const wchar_t* m_text;
};

// One OnValue per text of a list attribute, else one for the attribute as
// text; one store call for a short text value.
void VisitAttributeValues(const DXNodePtr& node, const wchar_t* name, ISourceVisitor& visitor) {
  std::wstring value;
  bool isList = false;
  if (!node.TryGetTextOrList(name, value, isList)) return;
  if (!isList) {
    visitor.OnValue(std::move(value));
    return;
  }
  std::vector<std::wstring> texts;
  DXNodePtr::SplitStringList(value, texts);
  for (std::wstring& text : texts) visitor.OnValue(std::move(text));
}

// The attribute step for attribute name A, reading at most one element more.
void AttributeStep(const DXNodePtr& node, std::wstring_view attribute, std::wstring_view path, size_t position,
                   ISourceVisitor& visitor) {
  std::wstring_view next;
  if (!NextPathElement(path, position, next)) {
    VisitAttributeValues(node, ElementName(attribute).c_str(), visitor);
    return;
  }
  switch (PathElementKind(next)) {
    case ElementKind::ChildName:
      if (!next.empty()) VisitAttributeValues(node, ElementName(next).c_str(), visitor);
      return;
    case ElementKind::AnyChild:
      for (const std::wstring& name : node.GetAttributeNames()) AttributeStep(node, name, path, position, visitor);
      return;
    case ElementKind::NameOf:
      visitor.OnValue(std::wstring(attribute));
      return;
    default:
      return;
  }
}

// Every descendant in document order, without recursion: a source tree may
// be as deep as its sender makes it.
void WalkDescendants(const DXNodePtr& node, std::wstring_view path, size_t position, ISourceVisitor& visitor) {
  // A path that ends in one attribute element ("\**\@Id") reads that
  // attribute of each descendant: its name is prepared once for the walk
  // instead of the rest of the path being parsed again at every node.
  size_t afterLast = position;
  std::wstring_view last;
  std::optional<ElementName> attribute;
  if (NextPathElement(path, afterLast, last) && afterLast >= path.size() &&
      PathElementKind(last) == ElementKind::Attribute) {
    attribute.emplace(last.substr(1));
  }
  NodeUtils::WalkNodeTree(
      node, DXNodePtr::kWholeSubtree,
      [&](const DXNodePtr& descendant, const NodeUtils::NodePosition& at) {
        if (at.empty()) return true;
        if (attribute) {
          VisitAttributeValues(descendant, attribute->c_str(), visitor);
        } else {
          WalkPath(descendant, path, position, visitor);
        }
        return true;
      },
      [](const DXNodePtr&, const NodeUtils::NodePosition&) { return true; });
}

bool FilterMatches(const DXNodePtr& node, std::wstring_view inner) {
  const PathPredicate predicate = PathPredicate::Parse(inner);
  FirstValueCollector collector;
  WalkPath(node, predicate.leftPath, 0, collector);
  const bool equal = collector.Value() == predicate.value;
  return predicate.op == PathPredicate::Operator::Equal ? equal : !equal;
}

}  // namespace

PathPredicate PathPredicate::Parse(std::wstring_view inner) {
  PathPredicate predicate;
  size_t at = inner.find(L"==");
  if (at == std::wstring_view::npos) {
    at = inner.find(L"!=");
    if (at == std::wstring_view::npos) ThrowHr(NodeErrors::kInvalidData);
    predicate.op = Operator::NotEqual;
  }
  const std::wstring_view right = inner.substr(at + 2);
  if (right.size() < 2 || right.front() != L'\'' || right.back() != L'\'') ThrowHr(NodeErrors::kInvalidData);
  predicate.leftPath.assign(inner.substr(0, at));
  predicate.value.assign(right.substr(1, right.size() - 2));
  return predicate;
}

bool IsLiteralSource(std::wstring_view source) {
  return !source.empty() && source.front() != NodePaths::kSeparator &&
         PathElementKind(source) == ElementKind::ChildName;
}

void EvaluateSource(const DXNodePtr& node, std::wstring_view source, ISourceVisitor& visitor) {
  if (IsLiteralSource(source)) {
    visitor.OnValue(std::wstring(source));
    return;
  }
  // Each wildcard element is one level of recursion of the walk.
  if (static_cast<size_t>(std::count(source.begin(), source.end(), NodePaths::kSeparator)) > kMaxSourcePathElements) {
    ThrowHr(ReportError(NodeErrors::kInvalidData, L" Source path longer than 256 elements."));
  }
  WalkPath(node, source, 0, visitor);
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

void WalkPath(const DXNodePtr& node, std::wstring_view path, size_t position, ISourceVisitor& visitor) {
  // The walk reads the start node through the caller's wrapper: a step that
  // moves holds the node it reached in "reached".
  const DXNodePtr* current = &node;
  DXNodePtr reached;
  bool keepGoing = true;
  std::wstring_view element;
  while (keepGoing && NextPathElement(path, position, element)) {
    keepGoing = false;
    switch (PathElementKind(element)) {
      case ElementKind::AnyChild:
        current->ForEachChild([&](const DXNodePtr& child) { WalkPath(child, path, position, visitor); });
        return;
      case ElementKind::AnyDescendant:
        WalkDescendants(*current, path, position, visitor);
        return;
      case ElementKind::Parent:
        reached = current->GetParent();
        current = &reached;
        keepGoing = static_cast<bool>(reached);
        break;
      case ElementKind::NameOf:
        visitor.OnValue(current->GetName());
        return;
      case ElementKind::TypeOf:
        visitor.OnValue(current->GetType());
        return;
      case ElementKind::Attribute:
        AttributeStep(*current, element.substr(1), path, position, visitor);
        return;
      case ElementKind::Filter:
        if (element.size() >= 2 && element.back() == L']') {
          keepGoing = FilterMatches(*current, element.substr(1, element.size() - 2));
          break;
        }
        [[fallthrough]];  // "[" without a closing bracket names a child
      case ElementKind::ChildName:
        reached = current->GetChild(ElementName(element).c_str(), false);
        current = &reached;
        keepGoing = static_cast<bool>(reached);
        break;
    }
  }
  if (keepGoing && *current) visitor.OnNode(*current);
}

std::wstring ResolveFirstValue(const DXNodePtr& node, std::wstring_view source) {
  FirstValueCollector collector;
  EvaluateSource(node, source, collector);
  return std::move(collector.Value());
}

std::vector<std::wstring> ResolveAllValues(const DXNodePtr& node, std::wstring_view source) {
  ValuesCollector collector;
  EvaluateSource(node, source, collector);
  return std::move(collector.Values());
}

}  // namespace UsageStatistics

#include "SourceEvaluation.h"

#include "node/NodeErrors.h"
#include "node/NodePaths.h"

#include "Sources/Common/ErrorHandling/HRES.h"

namespace UsageStatistics {

namespace {

using NodePaths::ElementKind;
using NodePaths::PathElementKind;

// One OnValue per text of a list attribute, else one for the attribute as text.
void VisitAttributeValues(const DXNodePtr& node, const std::wstring& name, ISourceVisitor& visitor) {
  // The type alone first: the value is read once, in its own form.
  uint16_t type = 0;
  if (!node.TryGetAttributeType(name.c_str(), type)) return;
  if ((type & DXN_TYPE_LIST_FLAG) != 0) {
    std::vector<std::wstring> texts;
    if (node.TryGetStringList(name.c_str(), texts)) {
      for (const std::wstring& text : texts) visitor.OnValue(text);
    }
    return;
  }
  visitor.OnValue(node.GetString(name.c_str()));
}

// The attribute step for attribute name A, reading at most one element more.
void AttributeStep(const DXNodePtr& node, const std::wstring& attribute, std::wstring_view path, size_t position,
                   ISourceVisitor& visitor) {
  std::wstring_view next;
  if (!NextPathElement(path, position, next)) {
    VisitAttributeValues(node, attribute, visitor);
    return;
  }
  switch (PathElementKind(next)) {
    case ElementKind::ChildName:
      if (!next.empty()) VisitAttributeValues(node, std::wstring(next), visitor);
      return;
    case ElementKind::AnyChild:
      for (const std::wstring& name : node.GetAttributeNames()) AttributeStep(node, name, path, position, visitor);
      return;
    case ElementKind::NameOf:
      visitor.OnValue(attribute);
      return;
    default:
      return;
  }
}

void WalkDescendants(const DXNodePtr& node, std::wstring_view path, size_t position, ISourceVisitor& visitor) {
  node.ForEachChild([&](const DXNodePtr& child) {
    WalkPath(child, path, position, visitor);
    WalkDescendants(child, path, position, visitor);
  });
}

bool FilterMatches(const DXNodePtr& node, std::wstring_view inner) {
  const PathPredicate predicate = PathPredicate::Parse(inner);
  ValuesCollector collector;
  WalkPath(node, predicate.leftPath, 0, collector);
  const std::wstring& first = collector.Values().empty() ? std::wstring() : collector.Values().front();
  const bool equal = first == predicate.value;
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
  DXNodePtr current = node;
  bool keepGoing = true;
  std::wstring_view element;
  while (keepGoing && NextPathElement(path, position, element)) {
    keepGoing = false;
    switch (PathElementKind(element)) {
      case ElementKind::AnyChild:
        current.ForEachChild([&](const DXNodePtr& child) { WalkPath(child, path, position, visitor); });
        return;
      case ElementKind::AnyDescendant:
        WalkDescendants(current, path, position, visitor);
        return;
      case ElementKind::Parent:
        current = current.GetParent();
        keepGoing = static_cast<bool>(current);
        break;
      case ElementKind::NameOf:
        visitor.OnValue(current.GetName());
        return;
      case ElementKind::TypeOf:
        visitor.OnValue(current.GetType());
        return;
      case ElementKind::Attribute:
        AttributeStep(current, std::wstring(element.substr(1)), path, position, visitor);
        return;
      case ElementKind::Filter:
        if (element.size() >= 2 && element.back() == L']') {
          keepGoing = FilterMatches(current, element.substr(1, element.size() - 2));
          break;
        }
        [[fallthrough]];  // "[" without a closing bracket names a child
      case ElementKind::ChildName:
        current = current.GetChild(std::wstring(element), false);
        keepGoing = static_cast<bool>(current);
        break;
    }
  }
  if (keepGoing && current) visitor.OnNode(current);
}

std::wstring ResolveFirstValue(const DXNodePtr& node, std::wstring_view source) {
  ValuesCollector collector;
  EvaluateSource(node, source, collector);
  return collector.Values().empty() ? std::wstring() : std::move(collector.Values().front());
}

std::vector<std::wstring> ResolveAllValues(const DXNodePtr& node, std::wstring_view source) {
  ValuesCollector collector;
  EvaluateSource(node, source, collector);
  return std::move(collector.Values());
}

}  // namespace UsageStatistics

#include "PathFilter.h"

#include "Failure.h"
#include "NodePath.h"

namespace ComponentsLib {

PathFilter PathFilter::FromNode(IDXNode* handle) {
  if (handle == nullptr) Fail(E_POINTER);
  const Node node = Node::Share(handle);
  if (node.Type() != L"FilterByPath") Fail(E_INVALIDARG);
  PathFilter filter;
  try {
    const auto path = node.GetText(L"NodePath");
    if (!path) Fail(E_INVALIDARG);
    filter.path = *path;
    filter.isParent = node.GetBool(L"IsParent").value_or(false);
    const int64_t depth = node.GetInteger(L"MaxDepth").value_or(DXN_DEPTH_SUBTREE);
    if (depth < 0) Fail(E_INVALIDARG);
    filter.maxDepth = depth >= DXN_DEPTH_SUBTREE ? DXN_DEPTH_SUBTREE : static_cast<uint32_t>(depth);
  } catch (const HrFailure& failure) {
    // A value of the wrong type is a bad filter, whatever the store said.
    Fail(failure.code == E_OUTOFMEMORY ? E_OUTOFMEMORY : E_INVALIDARG);
  }
  auto elements = NodePath::Split(filter.path);
  if (!elements) Fail(E_INVALIDARG);
  filter.elements = std::move(*elements);
  return filter;
}

}  // namespace ComponentsLib

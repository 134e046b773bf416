// PathFilter: a "FilterByPath" node read into values.
#pragma once

#include "Node.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ComponentsLib {

struct PathFilter {
  std::wstring path;                  // "NodePath", absolute
  std::vector<std::wstring> elements;  // path split at its backslashes
  bool isParent = false;              // "IsParent": select the node's children
  uint32_t maxDepth = DXN_DEPTH_SUBTREE;  // "MaxDepth": levels below each selected node

  // E_POINTER for a null node; E_INVALIDARG when the node is not of type
  // "FilterByPath", lacks "NodePath", holds a relative or malformed path,
  // a negative "MaxDepth", or values of the wrong types. "IsParent"
  // defaults to false and "MaxDepth" to the whole depth; larger depths are
  // the whole depth.
  static PathFilter FromNode(IDXNode* node);
};

}  // namespace ComponentsLib

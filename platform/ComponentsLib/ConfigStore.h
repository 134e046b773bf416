// ConfigStore: the configuration tree and the operations on it. Not
// thread-safe: the server serialises writers and lets readers share.
#pragma once

#include "Node.h"
#include "PathFilter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ComponentsLib {

// One applied change, in the order the store applied them.
struct StoreModification {
  std::wstring path;
  uint64_t changesMask = 0;  // Kestrova::ConfigChanges bits
  Node content;              // copy of the node without children; empty for removals
};

class ConfigStore {
 public:
  ConfigStore();

  // Replaces the tree with the nodes of a node text file: one node without
  // a name is the root itself; otherwise every node (which must be named)
  // becomes a child of an empty root.
  void Load(const std::vector<Node>& nodes);
  // The root with its whole subtree, for saving.
  IDXNode* Root() const noexcept { return m_root.Get(); }

  // Copies of what the filter selects, each to the filter's depth.
  std::vector<Node> Read(const PathFilter& filter) const;
  // The node at a path, or empty.
  Node Find(const std::vector<std::wstring>& elements) const;

  // Checks the nodes of a write without changing anything: E_POINTER for a
  // null node, E_INVALIDARG for a name that is not an absolute path, a
  // child without a usable name, or a tree deeper than the store allows.
  static void ValidateWrite(IDXNode* const* nodes, uint32_t count);
  // Merges the (validated) nodes into the tree.
  std::vector<StoreModification> Write(IDXNode* const* nodes, uint32_t count);
  // Removes what each filter selects; absent nodes are skipped. Removing
  // the root itself is E_INVALIDARG.
  std::vector<StoreModification> Delete(const std::vector<PathFilter>& filters);

 private:
  void MergeNode(Node& target, const Node& source, const std::wstring& path, bool created,
                 std::vector<StoreModification>& modifications);

  Node m_root;
};

}  // namespace ComponentsLib

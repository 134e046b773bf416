// Depth-first walk of a node tree without recursion, so that deep trees do
// not exhaust the stack.
#pragma once

#include "DXNodePtr.h"

#include <cstdint>
#include <vector>

namespace NodeUtils {

// Child indices that lead from the start node of a walk to the visited node;
// empty for the start node itself.
using NodePosition = std::vector<uint32_t>;

// Visits start and its descendants down to depth levels below it (0: start
// alone): enter(node, position) before a node's children, which follow in
// index order, and leave(node, position) after them. Each node's child count
// is read once, when it is entered. A callback returning false stops the
// walk; the result tells whether the walk ran to its end.
template <typename Enter, typename Leave>
bool WalkNodeTree(const DXNodePtr& start, uint32_t depth, Enter&& enter, Leave&& leave) {
  struct Level {
    DXNodePtr node;
    uint32_t childCount;
    uint32_t nextChild;
  };
  NodePosition position;
  if (!enter(start, static_cast<const NodePosition&>(position))) return false;
  std::vector<Level> levels;
  levels.push_back({start, depth > 0 ? start.GetChildCount() : 0, 0});
  while (!levels.empty()) {
    Level& current = levels.back();
    if (current.nextChild == current.childCount) {
      if (!leave(static_cast<const DXNodePtr&>(current.node), static_cast<const NodePosition&>(position))) return false;
      levels.pop_back();
      if (!position.empty()) position.pop_back();
      continue;
    }
    const uint32_t index = current.nextChild++;
    DXNodePtr child = current.node.GetChild(index);
    position.push_back(index);
    if (!enter(static_cast<const DXNodePtr&>(child), static_cast<const NodePosition&>(position))) return false;
    // The child lies levels.size() levels below the start node.
    const bool descend = levels.size() < depth;
    const uint32_t childCount = descend ? child.GetChildCount() : 0;
    levels.push_back({std::move(child), childCount, 0});
  }
  return true;
}

// Visits every descendant of start, start excluded, in pre-order (a child,
// then its descendants, then the next child), without recursion and without
// the positions WalkNodeTree keeps. Each node's child count is read after
// the node was visited; a level is kept only for a node with children.
template <typename Visit>
void ForEachDescendant(const DXNodePtr& start, Visit&& visit) {
  struct Level {
    DXNodePtr node;
    uint32_t childCount;
    uint32_t nextChild;
  };
  std::vector<Level> levels;
  const uint32_t startChildCount = start.GetChildCount();
  uint32_t startNextChild = 0;
  while (true) {
    while (!levels.empty() && levels.back().nextChild == levels.back().childCount) levels.pop_back();
    if (levels.empty() && startNextChild == startChildCount) return;
    const DXNodePtr& parent = levels.empty() ? start : levels.back().node;
    uint32_t& nextChild = levels.empty() ? startNextChild : levels.back().nextChild;
    DXNodePtr child = parent.GetChild(nextChild++);
    visit(static_cast<const DXNodePtr&>(child));
    const uint32_t childCount = child.GetChildCount();
    if (childCount != 0) levels.push_back({std::move(child), childCount, 0});
  }
}

// The node at position below start; empty when a child is missing.
inline DXNodePtr NodeAtPosition(const DXNodePtr& start, const NodePosition& position) {
  DXNodePtr node = start;
  for (const uint32_t index : position) {
    node = node.GetChild(index, false);
    if (!node) break;
  }
  return node;
}

}  // namespace NodeUtils

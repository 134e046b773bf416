// One node of a tree: optional name and type, attributes, ordered children and
// at most one parent.
//
// Lifetime: m_holds counts the node's handles plus each child that is itself
// held. A node whose count is zero is kept by its parent; a topmost node whose
// count reaches zero is destroyed with its whole subtree. A handle to any node
// therefore keeps its ancestors, and so the whole tree, alive: closing a handle
// never changes the shape of a tree another thread may be reading.
//
// Memory: nodes the reader builds live in its NodeArena (node, attribute
// block, long name and type); others, and everything a change allocates,
// in the SmallBlockPool (or on the heap, when large).
#pragma once

#include "AttributeList.h"
#include "NodeArena.h"
#include "OptionalText.h"
#include "Result.h"
#include "SmallBlockPool.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace DataLayer {

class Node {
 public:
  // A new topmost node with one handle.
  static Node* Create(OptionalText name, OptionalText type);

  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Nodes not placed in an arena live in the store's small-block pool.
  static void* operator new(size_t size) { return SmallBlockPool::Acquire(size); }
  static void operator delete(void* node, size_t size) noexcept { SmallBlockPool::Release(node, size); }
  static void* operator new(size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}

  // Handles.
  void AddHandle();
  // False when the node has no handle left (it was closed once too often).
  bool CloseHandle();
  bool LooksValid() const { return m_signature == kSignature; }

  const OptionalText& Name() const { return m_name; }
  const OptionalText& Type() const { return m_type; }
  void SetType(OptionalText type) { m_type = std::move(type); }
  // Form 2: "\" before each name from the topmost ancestor down; a topmost
  // node without name contributes nothing, and an empty result reads "\".
  std::u16string FullPath() const;

  const AttributeList& Attributes() const { return m_attributes; }
  AttributeList& Attributes() { return m_attributes; }

  Node* Parent() const { return m_parent; }
  const std::vector<Node*>& Children() const { return m_children; }
  // First child whose name reads as the given text (an absent name reads "").
  // Constant time once the node has kIndexFrom children: an index by name,
  // built then and kept up to date by every change of the children.
  Node* FindChild(std::u16string_view name) const;
  static constexpr size_t kIndexFrom = 16;
  // Attaches a held child at the end. Fails when it has a parent, is this node
  // or one of its ancestors.
  Result AddChild(Node* child);
  Result RemoveChild(Node* child);

  // A parentless copy to the given depth (0: the node alone), with one handle.
  Node* Clone(uint32_t depth) const;
  // Number of levels below this node (0 for a leaf).
  uint32_t SubtreeHeight() const;

  // For builders (reader, clone): a new node with no handle, and attaching it
  // under a node that is being built.
  static Node* CreateUnheld(OptionalText name, OptionalText type);
  // The same in the arena, which counts the node until it is destroyed.
  static Node* CreateUnheld(OptionalText name, OptionalText type, NodeArena& arena);
  void AttachBuilt(Node* child);
  void ReserveChildren(size_t count) { m_children.reserve(count); }
  // Destroys a tree whose nodes nobody holds (a builder's abandoned work).
  static void DestroyTree(Node* root);

 private:
  static constexpr uint32_t kSignature = 0x314E5844;  // "DXN1"

  Node(OptionalText name, OptionalText type, uint32_t holds);
  ~Node();
  void Release();
  // The index after a child was appended; builds it at kIndexFrom children.
  void IndexAppended(Node* child) noexcept;
  // The index after a child was removed: its name leads to the next child of that name, if any.
  void UnindexRemoved(Node* child) noexcept;

  // The first child of each name; keys view the names of those children.
  using ChildIndex = std::unordered_map<std::u16string_view, Node*>;

  std::atomic<uint32_t> m_holds;
  uint32_t m_signature = kSignature;
  Node* m_parent = nullptr;
  OptionalText m_name;
  OptionalText m_type;
  AttributeList m_attributes;
  std::vector<Node*> m_children;
  // Only for nodes with many children: small nodes pay one null pointer.
  std::unique_ptr<ChildIndex> m_index;
  NodeArena* m_arena = nullptr;  // where the node lives, if not on the heap
};

}  // namespace DataLayer

#include "Node.h"

#include <algorithm>
#include <new>
#include <utility>

namespace DataLayer {

Node::Node(OptionalText name, OptionalText type, uint32_t holds)
    : m_holds(holds), m_name(std::move(name)), m_type(std::move(type)) {}

Node::~Node() { m_signature = 0; }

Node* Node::Create(OptionalText name, OptionalText type) { return new Node(std::move(name), std::move(type), 1); }

Node* Node::CreateUnheld(OptionalText name, OptionalText type) { return new Node(std::move(name), std::move(type), 0); }

Node* Node::CreateUnheld(OptionalText name, OptionalText type, NodeArena& arena) {
  Node* node = new (arena.Allocate(sizeof(Node))) Node(std::move(name), std::move(type), 0);
  node->m_arena = &arena;
  arena.AddNode();
  return node;
}

void Node::AddHandle() {
  // A node that becomes held starts to hold its parent; the parent is held
  // already (the caller reached this node through a handle in its tree), so
  // the climb stops there in practice, but it is written for any depth.
  for (Node* node = this; node != nullptr; node = node->m_parent) {
    if (node->m_holds.fetch_add(1, std::memory_order_acq_rel) != 0) return;
  }
}

bool Node::CloseHandle() {
  // A node kept only by its parent has no handle to close: refuse instead of
  // letting the count wrap (a caller closing the same handle twice).
  uint32_t holds = m_holds.load(std::memory_order_relaxed);
  do {
    if (holds == 0) return false;
  } while (!m_holds.compare_exchange_weak(holds, holds - 1, std::memory_order_acq_rel, std::memory_order_relaxed));
  if (holds == 1) {
    if (m_parent == nullptr) {
      DestroyTree(this);
    } else {
      m_parent->Release();
    }
  }
  return true;
}

void Node::Release() {
  Node* node = this;
  while (true) {
    if (node->m_holds.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    Node* parent = node->m_parent;
    if (parent == nullptr) {
      DestroyTree(node);
      return;
    }
    node = parent;
  }
}

void Node::DestroyTree(Node* root) {
  // Iterative: trees built through the API may be arbitrarily deep. Nodes
  // of an arena are counted off in runs, one atomic step per run; an arena
  // whose count ends at zero has no node left in this tree or elsewhere.
  std::vector<Node*> pending{root};
  NodeArena* arena = nullptr;
  size_t destroyed = 0;
  while (!pending.empty()) {
    Node* node = pending.back();
    pending.pop_back();
    pending.insert(pending.end(), node->m_children.begin(), node->m_children.end());
    NodeArena* home = node->m_arena;
    if (home == nullptr) {
      delete node;
      continue;
    }
    if (home != arena) {
      if (arena != nullptr) arena->Release(destroyed);
      arena = home;
      destroyed = 0;
    }
    node->~Node();
    ++destroyed;
  }
  if (arena != nullptr) arena->Release(destroyed);
}

std::u16string Node::FullPath() const {
  std::vector<std::u16string_view> names;
  size_t length = 0;
  for (const Node* node = this; node != nullptr; node = node->m_parent) {
    if (node->m_parent == nullptr && !node->m_name.IsPresent()) break;
    names.push_back(node->m_name.View());
    length += 1 + names.back().size();
  }
  if (names.empty()) return std::u16string(1, u'\\');
  std::u16string path(length, u'\\');
  size_t at = 0;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    name->copy(path.data() + at + 1, name->size());
    at += 1 + name->size();
  }
  return path;
}

Node* Node::FindChild(std::u16string_view name) const {
  if (m_index) {
    const auto found = m_index->find(name);
    return found == m_index->end() ? nullptr : found->second;
  }
  for (Node* child : m_children) {
    if (child->m_name.View() == name) return child;
  }
  return nullptr;
}

// Out of memory for the index: it goes, and the linear search answers the
// same. (Hence a change of the children never fails for the index.)
void Node::IndexAppended(Node* child) noexcept {
  try {
    if (m_index) {
      // The first of a name stays the one found.
      m_index->try_emplace(child->m_name.View(), child);
      return;
    }
    if (m_children.size() < kIndexFrom) return;
    auto index = std::make_unique<ChildIndex>();
    index->reserve(m_children.size() * 2);
    for (Node* each : m_children) index->try_emplace(each->m_name.View(), each);
    m_index = std::move(index);
  } catch (...) {
    m_index.reset();
  }
}

void Node::UnindexRemoved(Node* child) noexcept {
  if (!m_index) return;
  try {
    const auto found = m_index->find(child->m_name.View());
    if (found == m_index->end() || found->second != child) return;
    // Its key views the removed child's name: the entry is made anew.
    m_index->erase(found);
    for (Node* each : m_children) {
      if (each->m_name.View() == child->m_name.View()) {
        m_index->emplace(each->m_name.View(), each);
        return;
      }
    }
  } catch (...) {
    m_index.reset();
  }
}

Result Node::AddChild(Node* child) {
  if (child->m_parent != nullptr) return Results::kInvalidOperation;
  for (const Node* ancestor = this; ancestor != nullptr; ancestor = ancestor->m_parent) {
    if (ancestor == child) return Results::kInvalidOperation;
  }
  m_children.push_back(child);
  IndexAppended(child);
  child->m_parent = this;
  // The caller holds a handle to the child, so the child now holds this node.
  AddHandle();
  return Results::kOk;
}

Result Node::RemoveChild(Node* child) {
  if (child->m_parent != this) return Results::kNotFound;
  const auto it = std::find(m_children.begin(), m_children.end(), child);
  if (it == m_children.end()) return Results::kNotFound;
  m_children.erase(it);
  UnindexRemoved(child);
  child->m_parent = nullptr;
  // The child was held (the caller has a handle to it): drop its hold here.
  Release();
  return Results::kOk;
}

void Node::AttachBuilt(Node* child) {
  m_children.push_back(child);
  IndexAppended(child);
  child->m_parent = this;
}

Node* Node::Clone(uint32_t depth) const {
  struct Pending {
    const Node* source;
    Node* copy;
    uint32_t level;
  };
  Node* root = Create(m_name, m_type);
  root->m_attributes.AssignCompact(m_attributes);
  std::vector<Pending> pending{{this, root, 0}};
  try {
    while (!pending.empty()) {
      const Pending item = pending.back();
      pending.pop_back();
      if (item.level >= depth) continue;
      item.copy->m_children.reserve(item.source->m_children.size());
      for (const Node* child : item.source->m_children) {
        Node* copy = CreateUnheld(child->m_name, child->m_type);
        item.copy->AttachBuilt(copy);
        copy->m_attributes.AssignCompact(child->m_attributes);
        pending.push_back({child, copy, item.level + 1});
      }
    }
  } catch (...) {
    root->CloseHandle();
    throw;
  }
  return root;
}

uint32_t Node::SubtreeHeight() const {
  std::vector<std::pair<const Node*, uint32_t>> pending{{this, 0}};
  uint32_t height = 0;
  while (!pending.empty()) {
    const auto [node, level] = pending.back();
    pending.pop_back();
    height = std::max(height, level);
    for (const Node* child : node->m_children) pending.emplace_back(child, level + 1);
  }
  return height;
}

}  // namespace DataLayer

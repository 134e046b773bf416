#include "ConfigStore.h"

#include "Failure.h"
#include "NodePath.h"

#include <Kestrova/HostServices.h>

namespace ComponentsLib {
namespace {

using Kestrova::ConfigChanges::Added;
using Kestrova::ConfigChanges::Modified;
using Kestrova::ConfigChanges::Removed;

// Children of written nodes must be addressable by name, and the whole
// tree must stay within the store's depth.
void ValidateChildren(const Node& node, uint32_t depth) {
  const uint32_t count = node.ChildCount();
  if (count != 0 && depth >= NodePath::kMaxDepth) Fail(E_INVALIDARG);
  for (uint32_t index = 0; index < count; ++index) {
    const Node child = node.Child(index);
    if (!NodePath::IsValidElement(child.Name())) Fail(E_INVALIDARG);
    ValidateChildren(child, depth + 1);
  }
}

}  // namespace

ConfigStore::ConfigStore() : m_root(Node::Create(nullptr, nullptr)) {}

void ConfigStore::Load(const std::vector<Node>& nodes) {
  if (nodes.size() == 1 && nodes.front().Name().empty()) {
    ValidateChildren(nodes.front(), 0);
    m_root = nodes.front();
    return;
  }
  Node root = Node::Create(nullptr, nullptr);
  for (const Node& node : nodes) {
    if (!NodePath::IsValidElement(node.Name())) Fail(HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
    ValidateChildren(node, 1);
    root.AddChild(node);
  }
  m_root = std::move(root);
}

Node ConfigStore::Find(const std::vector<std::wstring>& elements) const {
  Node current = m_root;
  for (const std::wstring& element : elements) {
    current = current.FindChild(element);
    if (!current) return Node();
  }
  return current;
}

std::vector<Node> ConfigStore::Read(const PathFilter& filter) const {
  std::vector<Node> result;
  const Node found = Find(filter.elements);
  if (!found) return result;
  if (!filter.isParent) {
    result.push_back(found.CopyToDepth(filter.maxDepth));
    return result;
  }
  const uint32_t count = found.ChildCount();
  for (uint32_t index = 0; index < count; ++index) result.push_back(found.Child(index).CopyToDepth(filter.maxDepth));
  return result;
}

void ConfigStore::ValidateWrite(IDXNode* const* nodes, uint32_t count) {
  if (count != 0 && nodes == nullptr) Fail(E_POINTER);
  for (uint32_t index = 0; index < count; ++index) {
    if (nodes[index] == nullptr) Fail(E_POINTER);
    const Node node = Node::Share(nodes[index]);
    const auto elements = NodePath::Split(node.Name());
    if (!elements) Fail(E_INVALIDARG);
    ValidateChildren(node, static_cast<uint32_t>(elements->size()));
  }
}

std::vector<StoreModification> ConfigStore::Write(IDXNode* const* nodes, uint32_t count) {
  std::vector<StoreModification> modifications;
  for (uint32_t index = 0; index < count; ++index) {
    const Node source = Node::Share(nodes[index]);
    const auto elements = NodePath::Split(source.Name());
    if (!elements) Fail(E_INVALIDARG);
    Node target = m_root;
    std::wstring path = L"\\";
    bool created = false;
    for (size_t level = 0; level < elements->size(); ++level) {
      const std::wstring& element = (*elements)[level];
      path = NodePath::Append(path, element);
      Node child = target.FindChild(element);
      created = !child;
      if (created) {
        child = Node::Create(element.c_str(), nullptr);
        target.AddChild(child);
        // Parents created on the way are reported as added; the written
        // node itself is reported by MergeNode.
        if (level + 1 < elements->size()) modifications.push_back({path, Added, child.CopyToDepth(0)});
      }
      target = std::move(child);
    }
    MergeNode(target, source, path, created, modifications);
  }
  return modifications;
}

void ConfigStore::MergeNode(Node& target, const Node& source, const std::wstring& path, bool created,
                            std::vector<StoreModification>& modifications) {
  bool changed = created;
  const std::wstring type = source.Type();
  if (!type.empty() && type != target.Type()) {
    target.SetType(type.c_str());
    changed = true;
  }
  for (const std::wstring& name : source.AttributeNames()) {
    const auto written = source.GetRaw(name.c_str());
    if (!written) continue;
    const auto stored = target.GetRaw(name.c_str());
    if (stored && *stored == *written) continue;
    target.SetRaw(name.c_str(), *written);
    changed = true;
  }
  if (changed) modifications.push_back({path, created ? Added | Modified : Modified, target.CopyToDepth(0)});

  const uint32_t count = source.ChildCount();
  for (uint32_t index = 0; index < count; ++index) {
    const Node sourceChild = source.Child(index);
    const std::wstring name = sourceChild.Name();
    Node targetChild = target.FindChild(name);
    const bool childCreated = !targetChild;
    if (childCreated) {
      targetChild = Node::Create(name.c_str(), nullptr);
      target.AddChild(targetChild);
    }
    MergeNode(targetChild, sourceChild, NodePath::Append(path, name), childCreated, modifications);
  }
}

std::vector<StoreModification> ConfigStore::Delete(const std::vector<PathFilter>& filters) {
  for (const PathFilter& filter : filters) {
    if (!filter.isParent && filter.elements.empty()) Fail(E_INVALIDARG);
  }
  std::vector<StoreModification> modifications;
  for (const PathFilter& filter : filters) {
    Node found = Find(filter.elements);
    if (!found) continue;
    if (!filter.isParent) {
      Node parent;
      Check(DxnGetParent(found.Get(), parent.Put()));
      parent.RemoveChild(found);
      modifications.push_back({filter.path, Removed, Node()});
      continue;
    }
    while (found.ChildCount() != 0) {
      const Node child = found.Child(0);
      const std::wstring path = NodePath::Append(filter.path, child.Name());
      found.RemoveChild(child);
      modifications.push_back({path, Removed, Node()});
    }
  }
  return modifications;
}

}  // namespace ComponentsLib

// Nodes in log lines: "DXNode[0x<handle>]:" and the node's serialized text,
// with the serializer's "<nr>" wrapper stripped and hidden attributes
// masked. A log statement prints a DXNodePtr (whole subtree) or a DXNodeRef:
//   KLOG_DBG(L"Diff node: " << diff);
//   KLOG_DBG(L"Config node: " << DXNodeRef(node, false));
// Build a DXNodeRef inside the statement: a failure to build it (a malformed
// "HiddenNodeTypeAttrs") then ends the line with "... (***EXCEPTION***)".
#pragma once

#include "DXNodePtr.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

class CHiddenAttributeMasker;

// A node to print and how deep: the whole subtree or the node alone. It may
// hold a masked copy instead of the given node.
class DXNodeRef {
 public:
  static constexpr uint32_t kWholeSubtree = DXNodePtr::kWholeSubtree;
  static constexpr uint32_t kNodeAlone = 0;

  // Masks through the process-wide masker; an empty node needs none.
  DXNodeRef(const DXNodePtr& node, bool wholeSubtree);
  // Masks through the given masker.
  DXNodeRef(const DXNodePtr& node, bool wholeSubtree, const CHiddenAttributeMasker& masker);

  const DXNodePtr& Node() const noexcept { return m_node; }
  uint32_t Depth() const noexcept { return m_depth; }

 private:
  DXNodePtr m_node;
  uint32_t m_depth;
};

namespace NodeUtils {

// "DXNode[<null>]" for an empty node, else "DXNode[0x%p]:\r\n%s" with the
// printed node's handle and its serialized text without the wrapper.
std::wstring DumpNode(const DXNodeRef& reference);

// The part of a serialized text that a dump prints: trailing white space,
// a leading "<nr>" line and a trailing "</nr>" line removed.
std::string_view StripSerializationWrapper(std::string_view text) noexcept;

}  // namespace NodeUtils

std::wostream& operator<<(std::wostream& stream, const DXNodeRef& reference);
// The whole subtree, masked.
std::wostream& operator<<(std::wostream& stream, const DXNodePtr& node);

// Writes trees as node text (docs/NodeTextFormat.md) into a byte string that
// the caller drains as it grows.
#pragma once

#include "Node.h"
#include "Result.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace DataLayer {

class NodeTextWriter {
 public:
  // Called with the text written so far whenever it passes a threshold; it
  // takes the text (clearing the string) or returns a failure that stops
  // the writing.
  using Drain = std::function<Result(std::string& text)>;

  static bool KnowsFlags(uint32_t flags);
  explicit NodeTextWriter(uint32_t flags);

  void Begin(std::string& out) const;
  // One node to the given depth (0: the node alone). Fails with
  // E_INVALIDARG, writing nothing, when the tree is nested deeper than the
  // reader accepts.
  Result WriteNode(const Node& root, uint32_t depth, std::string& out, const Drain& drain) const;
  void End(std::string& out) const;

 private:
  void LineStart(std::string& out, uint32_t level) const;
  void LineEnd(std::string& out) const;
  // Returns true when the element stays open for children.
  bool OpenNode(const Node& node, bool withChildren, uint32_t level, std::string& out) const;
  void CloseNode(uint32_t level, std::string& out) const;
  void WriteAttribute(const AttributeView& attribute, uint32_t level, std::string& out) const;

  bool m_lineBreaks;
  bool m_indent;
  std::string_view m_lineEnd;
};

}  // namespace DataLayer

// The tree format: the frames of a container as an indented list, one frame
// per line, its children two spaces further in:
//   "Name" = "text"           an item with a text value
//   "Name" = ["a", "b"]       an item with a list of texts
//   "Name" = 3                a counter (64-bit integer)
//   "Name" (IsMultiValue: false)   a set frame
//   "Name"                    a group frame
// Anything a frame carries beyond these is shown too, so nothing is hidden.
#pragma once

#include "NodeHandle.h"

#include <string>

namespace KestrovaTools {

class FrameTreePrinter {
 public:
  // The whole text for the children of the container, UTF-8; "(no frames)"
  // when there are none.
  static std::string Print(const NodeHandle& container);

 private:
  explicit FrameTreePrinter(std::string& out) : m_out(out) {}
  void PrintFrame(const NodeHandle& frame, size_t level);
  void PrintChildren(const NodeHandle& node, size_t level);

  std::string& m_out;
};

// One frame's own line of the tree format (no indentation, no line end, no
// children).
std::string FrameLine(const NodeHandle& frame);

// One attribute value as the tree format shows it.
std::string ValueText(const AttributeValue& value);

}  // namespace KestrovaTools

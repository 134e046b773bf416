// Expected and actual activity frames side by side: the first difference, as
// one line for the tools' test mode.
#pragma once

#include "NodeHandle.h"

#include <optional>
#include <string>

namespace KestrovaTools {

enum class FrameOrder {
  Exact,  // every frame in order
  // The module leaves open the order of the frames of several entries
  // answering one notification and of the frames of one snapshot pass: runs
  // of expected frames whose "ChangeType" item is "Snapshot", or that share
  // one "ModifiedBy" value, may come in any order within their run. Other
  // frames stand alone, in order.
  GroupsInAnyOrder,
};

// The first difference between the frames of two containers (their children
// are the frames, in order), as one line of UTF-8 text; std::nullopt when
// they are the same. Store failures raise ToolError.
std::optional<std::string> FirstFrameDifference(const NodeHandle& expected, const NodeHandle& actual, FrameOrder order);

}  // namespace KestrovaTools

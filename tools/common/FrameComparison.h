// Expected and actual activity frames side by side: the first difference, as
// one line for the tools' test mode.
#pragma once

#include "NodeHandle.h"

#include <optional>
#include <string>
#include <vector>

namespace KestrovaTools {

// Where the order of frames is left open. The module leaves open the order
// of the frames of several entries answering one notification, and of the
// entries' frames in one snapshot pass; a host that knows where that happens
// says so here. A run of consecutive expected frames with the same key may
// then come in any order within the run: snapshot frames ("ChangeType"
// "Snapshot"), or change frames with one "ChangeType" and one "ModifiedBy"
// value named here. Every other frame stands alone, in order.
struct FrameOrder {
  bool snapshotsInAnyOrder = false;
  std::vector<std::wstring> subjectsInAnyOrder;  // "ModifiedBy" values

  bool IsExact() const noexcept { return !snapshotsInAnyOrder && subjectsInAnyOrder.empty(); }
};

// The first difference between the frames of two containers (their children
// are the frames, in order), as one line of UTF-8 text; std::nullopt when
// they are the same. Store failures raise ToolError.
std::optional<std::string> FirstFrameDifference(const NodeHandle& expected, const NodeHandle& actual,
                                                const FrameOrder& order);

}  // namespace KestrovaTools

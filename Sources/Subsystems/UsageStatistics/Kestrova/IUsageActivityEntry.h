// An activity entry: a rule object built from a configuration node that turns
// a source node into activity frames.
#pragma once

#include "ActivityFrame.h"

#include <memory>

namespace UsageStatistics {

class IUsageActivityEntry {
 public:
  // Reads the source node only; the frames are new parentless nodes.
  virtual ActivityFrameList ResolveActivityEntry(const DXNodePtr& source) {
    ActivityFrameList frames;
    AppendActivityFrames(source, frames);
    return frames;
  }
  // The same frames, appended to frames: entries that hold entries resolve
  // each of them into one list they keep, instead of a new list per entry
  // and per source node. On a failure, frames may hold part of them.
  virtual void AppendActivityFrames(const DXNodePtr& source, ActivityFrameList& frames) = 0;
  virtual ~IUsageActivityEntry() = default;
};

// The DBG3 line of a group or set that drops the frames of a selected node.
inline constexpr wchar_t kSkippedFrameText[] =
    L"Activity items set get empty. The follow activity frame will be skiped: ";

using ActivityEntryPtr = std::shared_ptr<IUsageActivityEntry>;
using ActivityEntryList = std::vector<ActivityEntryPtr>;

}  // namespace UsageStatistics

// CArrivalLog: when each waiting frame reached its accumulator.
#pragma once

#include "node/DXNodePtr.h"

#include <chrono>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace UsageStatistics::Detail {

// When each frame reached the accumulator, in arrival order. Frames leave the
// accumulator's lists in that order or keep it, so the oldest waiting one is
// found by dropping older entries. The caller guards it with the lock of its
// queue. Entries hold their frames: a freed frame's address, reused by a
// later one, can never be mistaken for it.
class CArrivalLog {
 public:
  using Clock = std::chrono::steady_clock;
  void Append(const DXNodePtr& frame, Clock::time_point when) noexcept;
  // Frames placed before every other (a predecessor's), in their order.
  void Prepend(const std::deque<DXNodePtr>& frames, Clock::time_point when) noexcept;
  // When the oldest of the waiting frames (kept for a retry, then queued)
  // arrived; forgets the entries of frames that wait no more. None when
  // nothing waits or no waiting frame is in the log.
  std::optional<Clock::time_point> ArrivalOf(const std::vector<DXNodePtr>& kept,
                                             const std::deque<DXNodePtr>& queued) noexcept;
  void Clear() noexcept { m_entries.clear(); }

 private:
  std::deque<std::pair<DXNodePtr, Clock::time_point>> m_entries;
};

}  // namespace UsageStatistics::Detail

// CArrivalLog: when each waiting frame reached its accumulator.
#pragma once

#include "node/DXNodePtr.h"

#include <chrono>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace UsageStatistics::Detail {

// When each waiting frame reached the accumulator, in the order of arrival.
// Entries name frames by address only and hold no reference, so a frame that
// leaves costs 16 bytes here until the next lookup compacts the log. A later
// frame at a freed frame's address is told apart by keeping, per address, the
// latest entry. The caller guards it with the lock of its queue.
class CArrivalLog {
 public:
  using Clock = std::chrono::steady_clock;
  void Append(const DXNodePtr& frame, Clock::time_point when) noexcept;
  // Frames placed before every other (a predecessor's), in their order.
  void Prepend(const std::deque<DXNodePtr>& frames, Clock::time_point when) noexcept;
  // When the oldest of the waiting frames (kept for a retry and queued)
  // arrived; the entries of frames that wait no more go. None when nothing
  // waits or no waiting frame is in the log.
  std::optional<Clock::time_point> ArrivalOf(const std::vector<DXNodePtr>& kept,
                                             const std::deque<DXNodePtr>& queued) noexcept;
  size_t Size() const noexcept { return m_entries.size(); }
  void Clear() noexcept { m_entries.clear(); }

 private:
  std::deque<std::pair<const IDXNode*, Clock::time_point>> m_entries;
};

}  // namespace UsageStatistics::Detail

#include "ArrivalLog.h"

#include <unordered_set>

namespace UsageStatistics::Detail {

void CArrivalLog::Append(const DXNodePtr& frame, Clock::time_point when) noexcept {
  try {
    m_entries.emplace_back(frame.Get(), when);
  } catch (...) {
    // Without memory for the entry this frame's age is unknown.
  }
}

void CArrivalLog::Prepend(const std::deque<DXNodePtr>& frames, Clock::time_point when) noexcept {
  try {
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) m_entries.emplace_front(frame->Get(), when);
  } catch (...) {
  }
}

std::optional<CArrivalLog::Clock::time_point> CArrivalLog::ArrivalOf(const std::vector<DXNodePtr>& kept,
                                                                     const std::deque<DXNodePtr>& queued) noexcept {
  try {
    const size_t waitingCount = kept.size() + queued.size();
    if (waitingCount == 0) {
      m_entries.clear();
      return std::nullopt;
    }
    // Nothing to forget, and the oldest entry heads one of the lists: it is the oldest waiting frame.
    const auto isHead = [&](const IDXNode* frame) {
      return (!kept.empty() && kept.front().Get() == frame) || (!queued.empty() && queued.front().Get() == frame);
    };
    if (m_entries.size() <= waitingCount && !m_entries.empty() && isHead(m_entries.front().first)) {
      return m_entries.front().second;
    }
    // Otherwise only the latest entry of each waiting frame stays, in order.
    std::unordered_set<const IDXNode*> waiting;
    waiting.reserve(waitingCount);
    for (const DXNodePtr& frame : kept) waiting.insert(frame.Get());
    for (const DXNodePtr& frame : queued) waiting.insert(frame.Get());
    std::deque<std::pair<const IDXNode*, Clock::time_point>> remaining;
    for (auto entry = m_entries.rbegin(); entry != m_entries.rend(); ++entry) {
      if (waiting.erase(entry->first) != 0) remaining.push_front(*entry);
    }
    m_entries.swap(remaining);
    if (m_entries.empty()) return std::nullopt;
    return m_entries.front().second;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace UsageStatistics::Detail

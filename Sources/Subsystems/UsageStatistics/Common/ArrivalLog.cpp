#include "ArrivalLog.h"

#include <unordered_set>

namespace UsageStatistics::Detail {

void CArrivalLog::Append(const DXNodePtr& frame, Clock::time_point when) noexcept {
  try {
    m_entries.emplace_back(frame, when);
  } catch (...) {
    // Without memory for the entry the age is unknown until the log drains: a
    // lookup that misses empties it.
  }
}

void CArrivalLog::Prepend(const std::deque<DXNodePtr>& frames, Clock::time_point when) noexcept {
  try {
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) m_entries.emplace_front(*frame, when);
  } catch (...) {
  }
}

std::optional<CArrivalLog::Clock::time_point> CArrivalLog::ArrivalOf(const std::vector<DXNodePtr>& kept,
                                                                     const std::deque<DXNodePtr>& queued) noexcept {
  try {
    if (kept.empty() && queued.empty()) {
      m_entries.clear();
      return std::nullopt;
    }
    // Usually the oldest entry is the head of one of the lists.
    const auto isHead = [&](IDXNode* frame) {
      return (!kept.empty() && kept.front().Get() == frame) || (!queued.empty() && queued.front().Get() == frame);
    };
    if (!m_entries.empty() && isHead(m_entries.front().first.Get())) return m_entries.front().second;
    // Otherwise entries of frames gone leave the front until one still waits:
    // a frame that stopped waiting never waits again here.
    std::unordered_set<IDXNode*> waiting;
    waiting.reserve(kept.size() + queued.size());
    for (const DXNodePtr& frame : kept) waiting.insert(frame.Get());
    for (const DXNodePtr& frame : queued) waiting.insert(frame.Get());
    while (!m_entries.empty() && waiting.count(m_entries.front().first.Get()) == 0) m_entries.pop_front();
    if (m_entries.empty()) return std::nullopt;
    return m_entries.front().second;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace UsageStatistics::Detail

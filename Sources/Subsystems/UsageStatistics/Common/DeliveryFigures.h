// The figures of an accumulator's delivery health, as its report lines and
// its status node show them.
#pragma once

#include "node/DXNodePtr.h"

#include <cstdint>
#include <optional>
#include <string>

namespace UsageStatistics::Detail {

struct DeliveryFigures {
  uint64_t stored = 0;
  uint64_t discardedWhileOff = 0;
  uint64_t sent = 0;
  uint64_t failedSendAttempts = 0;
  uint64_t droppedAfterFailures = 0;
  uint64_t droppedByQueueLimit = 0;
  uint64_t restored = 0;
  uint64_t written = 0;
  // Frames queued or kept for a retry.
  uint64_t waiting = 0;
  // Seconds since the oldest waiting frame reached the accumulator; none when nothing waits.
  std::optional<int64_t> oldestWaitingAgeSec;
  // Seconds since 1970 (UTC) of the last accepted request; none before the first
  // (the node then holds an empty text: a merge keeps what a node leaves out).
  std::optional<int64_t> lastDeliveryTime;
  // Seconds since 1970 (UTC) of the accumulator's start.
  int64_t startTime = 0;

  // The counters and the number waiting: what "changed" means for the reports.
  bool SameCounts(const DeliveryFigures& other) const noexcept;
  // "stored 3, discarded while off 0, ...; 1 frames waiting, the oldest for 4 s; last delivery ..."
  std::wstring Text() const;
  // The status node at path, of type "UsageStatisticsDeliveryStatus".
  DXNodePtr StatusNode(const std::wstring& path, int64_t now) const;
};

// Seconds since 1970 as UTC text ("2026-12-11T03:00:00Z"); the number itself
// when it cannot be shown so.
std::wstring UtcTimeText(int64_t time);

}  // namespace UsageStatistics::Detail

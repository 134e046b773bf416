// The delivery health of one frame accumulator: what it counted since its
// start, what waits and since when, and when it last delivered; reported as
// an INFO line at most once an hour while the figures change (and at stop),
// a WARN line when the service has refused every frame for an hour while
// frames wait, an INFO line when it takes them again, and optionally a status
// node in the configuration store at most once a minute.
#pragma once

#include "DeliveryFigures.h"

#include "node/DXNodePtr.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace UsageStatistics::Detail {

class CDeliveryHealth {
 public:
  using Clock = std::chrono::steady_clock;

  struct Periods {
    Clock::duration report = std::chrono::hours(1);
    Clock::duration status = std::chrono::minutes(1);
  };
  // The periods of a product; a test run may shorten the hour through the
  // global setting [UsageStatistics] TestDeliveryHealthPeriodSec (1 to 3600;
  // the minute becomes a sixtieth of it), said in a WARN line.
  static Periods PeriodsFromSettings();

  // statusPath: the "DeliveryStatusCfgPath" setting, empty = no status node.
  // writeStatus writes a status node to the configuration store (may raise).
  CDeliveryHealth(Periods periods, std::wstring statusPath, std::function<void(const DXNodePtr&)> writeStatus,
                  Clock::time_point start);

  void Stored() noexcept { m_stored.fetch_add(1, std::memory_order_relaxed); }
  void DiscardedWhileOff() noexcept { m_discardedWhileOff.fetch_add(1, std::memory_order_relaxed); }
  void DroppedAfterFailures() noexcept { m_droppedAfterFailures.fetch_add(1, std::memory_order_relaxed); }
  void DroppedByQueueLimit(uint64_t frames) noexcept {
    m_droppedByQueueLimit.fetch_add(frames, std::memory_order_relaxed);
  }
  void Restored(uint64_t frames) noexcept { m_restored.fetch_add(frames, std::memory_order_relaxed); }
  void Written(uint64_t frames) noexcept { m_written.fetch_add(frames, std::memory_order_relaxed); }
  // On the worker, for each request.
  void Sent() noexcept;
  void SendFailed(Clock::time_point now) noexcept;

  // The counters, with waiting and the age filled in by the caller.
  DeliveryFigures Counters() const noexcept;

  enum class ReportKind {
    Running,     // on the worker, after each step
    Stopped,     // at Stop: the stop line and the node
    HandedOver,  // frames handed to a successor: the stop line, the node left to it
  };
  // Logs and writes what is due.
  void Report(const DeliveryFigures& figures, Clock::time_point now, ReportKind kind) noexcept;
  // When the next report may be due, for the worker's wait; never before now.
  Clock::time_point NextReportDue(Clock::time_point now) const noexcept;

 private:
  // True when written.
  bool WriteStatus(const DeliveryFigures& figures, Clock::time_point now) noexcept;

  const Periods m_periods;
  const std::wstring m_statusPath;
  const std::function<void(const DXNodePtr&)> m_writeStatus;
  const int64_t m_startTime;

  std::atomic<uint64_t> m_stored{0};
  std::atomic<uint64_t> m_discardedWhileOff{0};
  std::atomic<uint64_t> m_sent{0};
  std::atomic<uint64_t> m_failedSendAttempts{0};
  std::atomic<uint64_t> m_droppedAfterFailures{0};
  std::atomic<uint64_t> m_droppedByQueueLimit{0};
  std::atomic<uint64_t> m_restored{0};
  std::atomic<uint64_t> m_written{0};
  std::atomic<int64_t> m_lastDeliveryTime{-1};

  // The worker's (and the stopping thread's once the worker has ended).
  std::optional<Clock::time_point> m_failingSince;
  bool m_warned = false;
  bool m_recovered = false;
  Clock::time_point m_lastWarn{};
  Clock::time_point m_lastInfo;
  // The figures of the last periodic line (none yet: all zero).
  DeliveryFigures m_lastInfoFigures;
  Clock::time_point m_lastStatus;
  std::optional<DeliveryFigures> m_lastStatusFigures;
  Clock::time_point m_lastReport;
  bool m_statusFailing = false;
  Clock::time_point m_lastStatusWarn{};
};

}  // namespace UsageStatistics::Detail

#include "DeliveryHealth.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/LogStatement.h"
#include "settings/GlobalSettings.h"

#include <algorithm>
#include <cwchar>

namespace UsageStatistics::Detail {
namespace {

int64_t SystemNow() noexcept {
  return static_cast<int64_t>(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
}

}  // namespace

CDeliveryHealth::Periods CDeliveryHealth::PeriodsFromSettings() {
  Periods periods;
  std::wstring text;
  try {
    if (!GlobalSettings::Instance().TryReadSetting(L"UsageStatistics", L"TestDeliveryHealthPeriodSec", text)) {
      return periods;
    }
  } catch (...) {
    return periods;
  }
  wchar_t* end = nullptr;
  const long long seconds = std::wcstoll(text.c_str(), &end, 10);
  if (end != text.c_str() && *end == L'\0' && seconds >= 1 && seconds <= 3600) {
    KLOG_WARN(L"Delivery health reported every " << seconds
                                                 << L" s, set by the test setting TestDeliveryHealthPeriodSec");
    periods.report = std::chrono::seconds(seconds);
    periods.status = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(seconds)) / 60;
    return periods;
  }
  KLOG_WARN(L"Ignoring the test setting TestDeliveryHealthPeriodSec: " << text);
  return periods;
}

CDeliveryHealth::CDeliveryHealth(Periods periods, std::wstring statusPath,
                                 std::function<void(const DXNodePtr&)> writeStatus, Clock::time_point start)
    : m_periods(periods),
      m_statusPath(std::move(statusPath)),
      m_writeStatus(std::move(writeStatus)),
      m_startTime(SystemNow()),
      m_lastInfo(start),
      // Written at the first report; later at most once a period.
      m_lastStatus(start - m_periods.status),
      m_lastReport(start) {}

void CDeliveryHealth::Sent() noexcept {
  m_sent.fetch_add(1, std::memory_order_relaxed);
  m_lastDeliveryTime.store(SystemNow(), std::memory_order_relaxed);
  m_failingSince.reset();
  if (m_warned) m_recovered = true;
  m_warned = false;
}

void CDeliveryHealth::SendFailed(Clock::time_point now) noexcept {
  m_failedSendAttempts.fetch_add(1, std::memory_order_relaxed);
  if (!m_failingSince) m_failingSince = now;
}

DeliveryFigures CDeliveryHealth::Counters() const noexcept {
  DeliveryFigures figures;
  figures.stored = m_stored.load(std::memory_order_relaxed);
  figures.discardedWhileOff = m_discardedWhileOff.load(std::memory_order_relaxed);
  figures.sent = m_sent.load(std::memory_order_relaxed);
  figures.failedSendAttempts = m_failedSendAttempts.load(std::memory_order_relaxed);
  figures.droppedAfterFailures = m_droppedAfterFailures.load(std::memory_order_relaxed);
  figures.droppedByQueueLimit = m_droppedByQueueLimit.load(std::memory_order_relaxed);
  figures.restored = m_restored.load(std::memory_order_relaxed);
  figures.written = m_written.load(std::memory_order_relaxed);
  const int64_t lastDelivery = m_lastDeliveryTime.load(std::memory_order_relaxed);
  if (lastDelivery >= 0) figures.lastDeliveryTime = lastDelivery;
  figures.startTime = m_startTime;
  return figures;
}

void CDeliveryHealth::Report(const DeliveryFigures& figures, Clock::time_point now, ReportKind kind) noexcept {
  // First, before anything that may fail: a time that came due up to now is
  // then never waited for again, so the worker cannot spin on it.
  m_lastReport = now;
  try {
    const bool final = kind != ReportKind::Running;
    // Nothing waits: refusals of frames now gone are no outage.
    if (figures.waiting == 0) m_failingSince.reset();
    if (m_recovered) {
      m_recovered = false;
      KLOG_INFO(L"Usage statistics delivery recovered: frames are delivered again; " << figures.Text());
    }
    if (m_failingSince && now - *m_failingSince >= m_periods.report &&
        (!m_warned || now - m_lastWarn >= m_periods.report)) {
      m_warned = true;
      m_lastWarn = now;
      const std::wstring since = figures.lastDeliveryTime ? UtcTimeText(*figures.lastDeliveryTime)
                                                          : L"the start at " + UtcTimeText(m_startTime);
      KLOG_WARN(L"Usage statistics delivery failing: "
                << figures.waiting << L" frames waiting, no frame delivered since " << since << L"; "
                << figures.Text());
    }
    if (final) {
      KLOG_INFO(L"Usage statistics delivery at stop: " << figures.Text());
    } else if (now - m_lastInfo >= m_periods.report) {
      // The period restarts whether or not a line is due: an unchanged state
      // is looked at again an hour later.
      m_lastInfo = now;
      if (!m_lastInfoFigures.SameCounts(figures)) {
        m_lastInfoFigures = figures;
        KLOG_INFO(L"Usage statistics delivery: " << figures.Text());
      }
    }
    // A hand-over leaves the node to the successor, whose figures it shows next.
    if (m_statusPath.empty() || kind == ReportKind::HandedOver) return;
    if (final || now - m_lastStatus >= m_periods.status) {
      m_lastStatus = now;
      // Recorded only once written: a failed write is tried again a period later.
      if ((final || !m_lastStatusFigures || !m_lastStatusFigures->SameCounts(figures)) && WriteStatus(figures, now)) {
        m_lastStatusFigures = figures;
      }
    }
  } catch (...) {
    // A report never disturbs delivery.
  }
}

bool CDeliveryHealth::WriteStatus(const DeliveryFigures& figures, Clock::time_point now) noexcept {
  try {
    m_writeStatus(figures.StatusNode(m_statusPath, SystemNow()));
    m_statusFailing = false;
    return true;
  } catch (...) {
    // The first failure of a run of them, then at most one line an hour.
    if (!m_statusFailing || now - m_lastStatusWarn >= m_periods.report) {
      const HRES failure = CurrentFailure();
      KLOG_WARN(L"Failed writing the usage statistics delivery status to " << m_statusPath << L" due to " << failure);
      m_lastStatusWarn = now;
    }
    m_statusFailing = true;
    return false;
  }
}

CDeliveryHealth::Clock::time_point CDeliveryHealth::NextReportDue(Clock::time_point now) const noexcept {
  if (m_recovered) return now;
  // The earliest time that comes due after the last report; one that has
  // passed since is due now.
  Clock::time_point due = m_lastInfo + m_periods.report;
  const auto consider = [&](Clock::time_point candidate) {
    if (candidate > m_lastReport && candidate < due) due = candidate;
  };
  if (!m_statusPath.empty()) consider(m_lastStatus + m_periods.status);
  if (m_failingSince) consider(m_warned ? m_lastWarn + m_periods.report : *m_failingSince + m_periods.report);
  return std::max(now, due);
}

}  // namespace UsageStatistics::Detail

// The process-wide log manager: decides which severities are enabled,
// formats each line and hands it to up to four registered loggers.
#pragma once

#include "LineFormatter.h"
#include "Sources/Common/Lifetime/NoDestroy.h"
#include "LogSeverity.h"
#include "PeriodicTimer.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class SettingsSection;

// Receives whole formatted lines. length < 0: up to the terminating NUL.
class ILogger {
 public:
  virtual ~ILogger() = default;
  virtual void Write(const wchar_t* text, int length) noexcept = 0;
};

class LogManager {
 public:
  static constexpr size_t kLoggerSlots = 4;
  static constexpr uint32_t kSettingsRefreshMs = 5000;

  // The process-wide instance, created on first use. Inline: every log
  // statement asks for it, and a call would cost more than the test it makes.
  // Never destroyed (NoDestroy): a late statement after the module's detach
  // finds it whole.
  static LogManager& Instance() {
    static NoDestroy<LogManager> instance;
    return instance.Get();
  }

  LogManager();
  ~LogManager();
  LogManager(const LogManager&) = delete;
  LogManager& operator=(const LogManager&) = delete;

  // 1 <= severity <= "MaxSeverity"; re-reads the settings every 5 seconds.
  // A disabled statement costs one load and one compare: the gate holds
  // "MaxSeverity" while the settings are fresh, and the refresh timer opens
  // it wide when they are due, so that the next statement refreshes them.
  bool IsEnabled(uint32_t severity) noexcept {
    // Severity 0 wraps to the largest value and never passes.
    if (severity - 1 >= m_gate.load(std::memory_order_relaxed)) return false;
    return IsEnabledAfterRefresh(severity);
  }
  // Formats the line and writes it to target, or to every registered logger.
  void Write(uint32_t severity, std::wstring_view text, const wchar_t* file, uint32_t line,
             ILogger* target = nullptr) noexcept;

  // Takes the logger out of every slot it holds, then into the first free
  // one; false (and a report) when all four are taken.
  bool Register(ILogger* logger) noexcept;
  void Unregister(ILogger* logger) noexcept;
  // null: the built-in line formatter. The formatter must outlive its use.
  void SetFormatter(ILogFormatter* formatter) noexcept { m_formatter.store(formatter, std::memory_order_release); }

  // The log directory, ending with "\", created when it changes.
  std::wstring GetLogDirectory() noexcept;
  // A "Logger" setting (refreshed with the rest); fallback when absent or unreadable.
  std::wstring ReadSetting(const wchar_t* key, const std::wstring& fallback) noexcept;
  uint32_t ReadNumberSetting(const wchar_t* key, uint32_t fallback) noexcept;

  // Reloads the "Logger" section now instead of waiting for the refresh.
  void RefreshSettings() noexcept;

  // The module's end: from now on every statement is disabled and the
  // settings timer never starts again. At an unload (waitForTimer) the timer
  // is stopped after a callback in progress; at process exit nothing waits,
  // since the platform has already ended the timer's threads.
  void Close(bool waitForTimer) noexcept;
  uint32_t MaxSeverity() const noexcept { return m_maxSeverity.load(std::memory_order_relaxed); }

  // The calling thread's function-tracing nesting (0 when nesting is off).
  bool NestingEnabled() const noexcept { return m_nestingEnabled; }
  int NestingLevel() const noexcept;
  void AdjustNestingLevel(int delta) noexcept;

 private:
  static constexpr uint32_t kGateOpen = UINT32_MAX;

  bool IsEnabledAfterRefresh(uint32_t severity) noexcept;
  void RefreshSettingsIfDue() noexcept {
    if (m_closed.load(std::memory_order_relaxed)) return;
    if (m_gate.load(std::memory_order_relaxed) != kGateOpen) return;
    // Without a timer the gate stays open and the clock decides, before any lock.
    const uint64_t last = m_lastRefresh.load(std::memory_order_relaxed);
    if (!m_refreshTimer.IsRunning() && last != 0 && ::GetTickCount64() - last <= kSettingsRefreshMs) return;
    RefreshSettings(false);
  }
  void RefreshSettings(bool unconditionally) noexcept;
  static void OnRefreshDue(void* self) noexcept;

  std::array<std::atomic<ILogger*>, kLoggerSlots> m_loggers{};
  std::atomic<ILogFormatter*> m_formatter{nullptr};
  LineFormatter m_lineFormatter;
  const bool m_nestingEnabled;

  std::unique_ptr<SettingsSection> m_section;
  std::atomic<uint64_t> m_lastRefresh{0};
  std::atomic<uint32_t> m_maxSeverity{LogSeverity::Default};
  // "MaxSeverity", or kGateOpen while a refresh is due (always, when the
  // platform gave no timer: the clock then decides).
  std::atomic<uint32_t> m_gate{kGateOpen};
  std::atomic<bool> m_refreshDue{true};
  std::atomic<bool> m_closed{false};
  std::mutex m_sectionLock;
  std::wstring m_logDirectory;
  std::atomic<bool> m_recomputeDirectory{true};
  // Last: stopped (and its callback finished) before the members it touches go.
  PeriodicTimer m_refreshTimer;
};

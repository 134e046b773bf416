#include "LogManager.h"

#include "InternalReport.h"
#include "LogStatement.h"
#include "Sources/Common/ErrorHandling/ErrorMessageModules.h"
#include "settings/DataDirectory.h"
#include "settings/FileSystem.h"
#include "settings/GlobalSettings.h"
#include "settings/SettingsSection.h"

#include <versionhelpers.h>

#include <algorithm>
#include <cwchar>

namespace {

// The error message modules that could not be loaded, at ERR: error
// handling reports them here instead of logging itself.
void LogMessageModuleFailure(const ErrorMessageModules::LoadFailure& failure) {
  if (failure.path.empty()) {
    KLOG_ERR(L"Loading error message module(s)" << L" failed: " << static_cast<long>(failure.failure.Code()));
  } else if (failure.noMoreSlots) {
    KLOG_ERR(L"Loading errormsg module '" << failure.path << L"'" << L" failed: " << L"No more slots");
  } else {
    KLOG_ERR(L"Loading errormsg module '" << failure.path << L"'" << L" failed: " << FormatError(failure.failure));
  }
}
// Before any error text is looked up: static initialisation of the library.
[[maybe_unused]] const bool g_messageModuleFailuresLogged =
    (ErrorMessageModules::SetLoadFailureSink(&LogMessageModuleFailure), true);

constexpr wchar_t kSectionName[] = L"Logger";
constexpr wchar_t kDefaultLogPath[] = L"Logs\\";

thread_local int t_nestingLevel = 0;
}  // namespace

LogManager::LogManager()
    : m_nestingEnabled(::IsWindowsVistaOrGreater()),
      m_section(std::make_unique<SettingsSection>(GlobalSettings::Instance(), kSectionName, 0)) {}

LogManager::~LogManager() { m_refreshTimer.Stop(); }

bool LogManager::IsEnabledAfterRefresh(uint32_t severity) noexcept {
  if (m_closed.load(std::memory_order_acquire)) return false;
  RefreshSettingsIfDue();
  return severity <= m_maxSeverity.load(std::memory_order_relaxed);
}

void LogManager::OnRefreshDue(void* self) noexcept {
  auto* manager = static_cast<LogManager*>(self);
  if (manager->m_closed.load(std::memory_order_acquire)) return;
  manager->m_refreshDue.store(true);
  manager->m_gate.store(kGateOpen);
}

void LogManager::Close(bool waitForTimer) noexcept {
  m_closed.store(true, std::memory_order_release);
  m_gate.store(0);  // no severity passes
  if (waitForTimer) m_refreshTimer.Stop();
}

void LogManager::RefreshSettings() noexcept { RefreshSettings(true); }

void LogManager::RefreshSettings(bool unconditionally) noexcept {
  try {
    std::lock_guard guard(m_sectionLock);
    const uint64_t now = ::GetTickCount64();
    if (!unconditionally) {
      // Threads that found the settings due together refresh them once.
      const uint64_t last = m_lastRefresh.load();
      const bool due = m_refreshTimer.IsRunning() ? m_refreshDue.load() : last == 0 || now - last > kSettingsRefreshMs;
      if (!due) return;
    }
    m_refreshDue.store(false);
    m_section->Reload(false);
    std::wstring text;
    uint32_t maxSeverity = LogSeverity::Default;
    if (m_section->Read(L"MaxSeverity", text) == S_OK) maxSeverity = ParseSeverity(text).value_or(LogSeverity::Default);
    m_maxSeverity.store(maxSeverity, std::memory_order_relaxed);
    m_recomputeDirectory.store(true, std::memory_order_relaxed);
    m_lastRefresh.store(std::max<uint64_t>(now, 1), std::memory_order_relaxed);
    if (m_closed.load()) return;
    if (!m_refreshTimer.IsRunning()) m_refreshTimer.Start(kSettingsRefreshMs, &LogManager::OnRefreshDue, this);
    // A timer that fired during the reload keeps the gate open for the next statement.
    if (m_refreshTimer.IsRunning()) m_gate.store(maxSeverity);
    if (m_refreshDue.load()) m_gate.store(kGateOpen);
  } catch (...) {
    // Settings that cannot be read keep their last values.
  }
}

std::wstring LogManager::ReadSetting(const wchar_t* key, const std::wstring& fallback) noexcept {
  try {
    RefreshSettingsIfDue();
    return m_section->Read(key, fallback);
  } catch (...) {
    return fallback;
  }
}

uint32_t LogManager::ReadNumberSetting(const wchar_t* key, uint32_t fallback) noexcept {
  try {
    const std::wstring text = ReadSetting(key, std::wstring());
    if (text.empty()) return fallback;
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(text.c_str(), &end, 0);
    return end != text.c_str() ? static_cast<uint32_t>(value) : fallback;
  } catch (...) {
    return fallback;
  }
}

std::wstring LogManager::GetLogDirectory() noexcept {
  try {
    RefreshSettingsIfDue();
    std::lock_guard guard(m_sectionLock);
    if (m_recomputeDirectory.exchange(false, std::memory_order_relaxed)) {
      std::wstring directory = ResolvePath(m_section->Read(L"Path", kDefaultLogPath));
      std::replace(directory.begin(), directory.end(), L'/', L'\\');
      if (directory.empty() || directory.back() != L'\\') directory += L'\\';
      if (directory != m_logDirectory) {
        m_logDirectory = directory;
        CreateDirectories(m_logDirectory, nullptr, true);
      }
    }
    return m_logDirectory;
  } catch (...) {
    // The next call tries again; lines meanwhile go to the last good directory.
    m_recomputeDirectory.store(true, std::memory_order_relaxed);
    try {
      std::lock_guard guard(m_sectionLock);
      return m_logDirectory;
    } catch (...) {
      return std::wstring();
    }
  }
}

void LogManager::Write(uint32_t severity, std::wstring_view text, const wchar_t* file, uint32_t line,
                       ILogger* target) noexcept {
  if (m_closed.load(std::memory_order_acquire)) return;
  try {
    const FILETIME now = CurrentLogTime();
    const int depth = m_nestingEnabled ? t_nestingLevel : 0;
    ILogFormatter* formatter = m_formatter.load(std::memory_order_acquire);
    if (formatter == nullptr) formatter = &m_lineFormatter;
    const std::wstring formatted = formatter->Format(severity, file, line, text, depth, &now);
    const int length = static_cast<int>(formatted.size());
    if (target != nullptr) {
      target->Write(formatted.c_str(), length);
      return;
    }
    for (auto& slot : m_loggers) {
      if (ILogger* logger = slot.load(std::memory_order_acquire)) logger->Write(formatted.c_str(), length);
    }
  } catch (...) {
    // A line that cannot be built is lost; the caller goes on.
  }
}

bool LogManager::Register(ILogger* logger) noexcept {
  if (logger == nullptr) return false;
  Unregister(logger);
  for (auto& slot : m_loggers) {
    ILogger* expected = nullptr;
    if (slot.compare_exchange_strong(expected, logger, std::memory_order_acq_rel)) return true;
  }
  ReportInternal(L"LogManager: Too many loggers");
  return false;
}

void LogManager::Unregister(ILogger* logger) noexcept {
  for (auto& slot : m_loggers) {
    ILogger* expected = logger;
    slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
  }
}

int LogManager::NestingLevel() const noexcept { return m_nestingEnabled ? t_nestingLevel : 0; }

void LogManager::AdjustNestingLevel(int delta) noexcept {
  if (m_nestingEnabled) t_nestingLevel += delta;
}

// Logs "Entering: " and "Exiting: " (or "EXCEPTION at: ") lines around a
// traced operation with the time it took, and indents the lines logged in
// between by one nesting level.
#pragma once

#include "LogStatement.h"

#include <cstdint>
#include <memory>
#include <string>

class FunctionTracer {
 public:
  FunctionTracer(uint32_t severity, uint32_t exceptionSeverity, std::wstring text, const wchar_t* file,
                 uint32_t line) noexcept;
  ~FunctionTracer();
  FunctionTracer(const FunctionTracer&) = delete;
  FunctionTracer& operator=(const FunctionTracer&) = delete;

  // The traced scope: no tracer (and no text built) when severity is off.
  template <typename WriteParts>
  static std::unique_ptr<FunctionTracer> Make(uint32_t severity, uint32_t exceptionSeverity, const wchar_t* file,
                                              uint32_t line, WriteParts&& writeParts) noexcept {
    if (!LogManager::Instance().IsEnabled(severity)) return nullptr;
    try {
      return std::make_unique<FunctionTracer>(severity, exceptionSeverity, LogStatementDetail::BuildText(writeParts),
                                              file, line);
    } catch (...) {
      return nullptr;
    }
  }

  // " [1 234.567 ms]" for 1,234,567 microseconds.
  static std::wstring ElapsedText(int64_t microseconds);
  // The same through GetNumberFormatW (negative values).
  static std::wstring ElapsedTextThroughLocale(int64_t microseconds);
  // Microseconds for a performance-counter difference at the given frequency.
  static int64_t CounterToMicroseconds(int64_t counterDifference, int64_t frequency) noexcept;

 private:
  const uint32_t m_severity;
  const uint32_t m_exceptionSeverity;
  std::wstring m_text;
  const wchar_t* const m_file;
  const uint32_t m_line;
  int64_t m_start = 0;
  uint32_t m_nestingAdded = 0;
  const int m_uncaughtAtEntry;
};

#define KTRACE_CONCAT_(a, b) a##b
#define KTRACE_CONCAT(a, b) KTRACE_CONCAT_(a, b)

// At the top of a traced function:
//   KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"Namespace::Class::Method");
// The text after the two severities is a stream expression, built only when
// the severity is enabled.
#define KTRACE_SCOPE(severity, exceptionSeverity, ...)                             \
  const auto KTRACE_CONCAT(kFunctionTracer_, __LINE__) =                           \
      ::FunctionTracer::Make((severity), (exceptionSeverity), KLOG_FILE, __LINE__, \
                             [&](::LogStream& kLogStream_) { kLogStream_ << __VA_ARGS__; })

// The built-in log line: local time to 100 ns, severity, process and thread
// ids, source file and line, tracing indentation and the text, ending CR LF.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

// Turns one statement into the line handed to the loggers.
class ILogFormatter {
 public:
  virtual ~ILogFormatter() = default;
  // time null: now.
  virtual std::wstring Format(uint32_t severity, const wchar_t* file, uint32_t line, std::wstring_view text,
                              int depth, const FILETIME* time) = 0;
};

class LineFormatter final : public ILogFormatter {
 public:
  std::wstring Format(uint32_t severity, const wchar_t* file, uint32_t line, std::wstring_view text, int depth,
                      const FILETIME* time) override;
};

// The current system time, precise when the platform offers it.
FILETIME CurrentLogTime() noexcept;

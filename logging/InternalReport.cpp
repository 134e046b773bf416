#include "InternalReport.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cwchar>

namespace {
void DebuggerOutput(const wchar_t* text) { ::OutputDebugStringW(text); }

std::atomic<InternalReportSink> g_sink{&DebuggerOutput};
}  // namespace

void ReportInternal(const wchar_t* format, ...) noexcept {
  wchar_t text[1024];
  va_list arguments;
  va_start(arguments, format);
  // Leaves room for the "\n" appended below.
  const int length = std::vswprintf(text, std::size(text) - 1, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  text[length] = L'\n';
  text[length + 1] = L'\0';
  g_sink.load(std::memory_order_acquire)(text);
}

InternalReportSink SetInternalReportSink(InternalReportSink sink) noexcept {
  return g_sink.exchange(sink != nullptr ? sink : &DebuggerOutput, std::memory_order_acq_rel);
}

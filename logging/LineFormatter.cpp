#include "LineFormatter.h"

#include "LogSeverity.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace {
constexpr size_t kFileNameColumns = 26;
constexpr size_t kLineColumns = 4;
constexpr int kMaxDepth = 30;

using PreciseTimeFunction = VOID(WINAPI*)(LPFILETIME);

PreciseTimeFunction LookUpPreciseTime() noexcept {
  const HMODULE kernel = ::GetModuleHandleW(L"Kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<PreciseTimeFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")));
}

std::wstring_view FileNameOf(const wchar_t* path) noexcept {
  if (path == nullptr) return {};
  std::wstring_view name(path);
  const size_t separator = name.find_last_of(L"\\/");
  if (separator != std::wstring_view::npos) name.remove_prefix(separator + 1);
  return name.substr(0, kFileNameColumns);
}
}  // namespace

FILETIME CurrentLogTime() noexcept {
  static const PreciseTimeFunction precise = LookUpPreciseTime();
  FILETIME now{};
  if (precise != nullptr) {
    precise(&now);
  } else {
    ::GetSystemTimeAsFileTime(&now);
  }
  return now;
}

// "%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4s |%5u %5u | %.*s:%-*u| %*s%s\r\n"
std::wstring LineFormatter::Format(uint32_t severity, const wchar_t* file, uint32_t line, std::wstring_view text,
                                   int depth, const FILETIME* time) {
  const FILETIME utc = time != nullptr ? *time : CurrentLogTime();
  FILETIME local{};
  SYSTEMTIME parts{};
  if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &parts)) parts = {};
  const ULONGLONG ticks = (static_cast<ULONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;

  const std::wstring_view fileName = FileNameOf(file);
  const size_t lineWidth = kFileNameColumns - fileName.size() + kLineColumns;
  const int indent = 2 * std::clamp(depth, 0, kMaxDepth);

  wchar_t head[160];
  const int headLength = std::swprintf(
      head, std::size(head), L"%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4ls |%5u %5u | ",
      static_cast<unsigned>(parts.wYear), static_cast<unsigned>(parts.wMonth), static_cast<unsigned>(parts.wDay),
      static_cast<unsigned>(parts.wHour), static_cast<unsigned>(parts.wMinute), static_cast<unsigned>(parts.wSecond),
      static_cast<unsigned>(parts.wMilliseconds), static_cast<unsigned>(ticks % 10000),
      SeverityName(severity), static_cast<unsigned>(::GetCurrentProcessId() & 0xFFFF),
      static_cast<unsigned>(::GetCurrentThreadId() & 0xFFFF));
  wchar_t lineNumber[16];
  const int lineNumberLength = std::swprintf(lineNumber, std::size(lineNumber), L"%u", line);

  std::wstring formatted;
  formatted.reserve(static_cast<size_t>(std::max(headLength, 0)) + kFileNameColumns + kLineColumns + 4 + indent +
                    text.size() + 2);
  if (headLength > 0) formatted.append(head, headLength);
  formatted.append(fileName);
  formatted += L':';
  if (lineNumberLength > 0) formatted.append(lineNumber, lineNumberLength);
  if (static_cast<size_t>(std::max(lineNumberLength, 0)) < lineWidth) {
    formatted.append(lineWidth - lineNumberLength, L' ');
  }
  formatted += L"| ";
  formatted.append(indent, L' ');
  formatted.append(text);
  formatted += L"\r\n";
  return formatted;
}

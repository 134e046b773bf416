#include "LogSeverity.h"

#include <windows.h>

namespace {
constexpr const wchar_t* kNames[] = {L"NONE", L"CRIT", L"ERR", L"WARN", L"INFO", L"DBG", L"DBG2", L"DBG3"};
}  // namespace

const wchar_t* SeverityName(uint32_t severity) noexcept {
  return severity < std::size(kNames) ? kNames[severity] : L"";
}

std::optional<uint32_t> ParseSeverity(const std::wstring& name) noexcept {
  for (uint32_t severity = 0; severity < std::size(kNames); ++severity) {
    if (::CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), kNames[severity], -1, TRUE) == CSTR_EQUAL) {
      return severity;
    }
  }
  return std::nullopt;
}

// Log severities: 0 "NONE" (never logged) to 7 "DBG3" (most detailed).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace LogSeverity {
inline constexpr uint32_t None = 0;
inline constexpr uint32_t Crit = 1;
inline constexpr uint32_t Err = 2;
inline constexpr uint32_t Warn = 3;
inline constexpr uint32_t Info = 4;
inline constexpr uint32_t Dbg = 5;
inline constexpr uint32_t Dbg2 = 6;
inline constexpr uint32_t Dbg3 = 7;
inline constexpr uint32_t Default = Dbg;
}  // namespace LogSeverity

// The printed name; empty outside 0-7.
const wchar_t* SeverityName(uint32_t severity) noexcept;
// A name matched in any letter case; nothing for any other text.
std::optional<uint32_t> ParseSeverity(const std::wstring& name) noexcept;

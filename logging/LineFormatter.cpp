#include "LineFormatter.h"

#include "LogSeverity.h"

#include <algorithm>
#include <atomic>
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

namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134'774;

// The local time's offset from UTC for the second a FILETIME falls in, asked
// from the system once per second: offsets change only at whole seconds (in
// practice hours), so every line of that second shares the answer. The
// second and the offset in minutes are packed into one atomic word so that
// threads never see one without the other.
class LocalOffsetCache {
 public:
  int64_t OffsetTicks(uint64_t utcTicks) noexcept {
    const uint64_t second = utcTicks / kTicksPerSecond;
    const uint64_t cached = m_packed.load(std::memory_order_relaxed);
    if (cached != 0 && (cached >> 16) == second) return OffsetFromPacked(cached);
    FILETIME utc{static_cast<DWORD>(second * kTicksPerSecond), static_cast<DWORD>((second * kTicksPerSecond) >> 32)};
    FILETIME local{};
    if (!::FileTimeToLocalFileTime(&utc, &local)) return 0;
    const uint64_t localTicks = (static_cast<uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
    const int64_t offsetMinutes =
        (static_cast<int64_t>(localTicks) - static_cast<int64_t>(second * kTicksPerSecond)) / (60 * kTicksPerSecond);
    if (offsetMinutes > 0x7FFF || offsetMinutes < -0x7FFF) return offsetMinutes * 60 * kTicksPerSecond;
    m_packed.store((second << 16) | static_cast<uint16_t>(offsetMinutes + 0x8000), std::memory_order_relaxed);
    return offsetMinutes * 60 * static_cast<int64_t>(kTicksPerSecond);
  }

 private:
  static int64_t OffsetFromPacked(uint64_t packed) noexcept {
    const int64_t minutes = static_cast<int64_t>(packed & 0xFFFF) - 0x8000;
    return minutes * 60 * static_cast<int64_t>(kTicksPerSecond);
  }
  std::atomic<uint64_t> m_packed{0};
};

LocalOffsetCache g_localOffset;

struct CivilTime {
  unsigned year, month, day, hour, minute, second, millisecond, remainder;
};

// The calendar fields of a FILETIME value (proleptic Gregorian, as
// FileTimeToSystemTime gives them).
CivilTime ToCivil(uint64_t ticks) noexcept {
  CivilTime time{};
  time.remainder = static_cast<unsigned>(ticks % 10'000);
  time.millisecond = static_cast<unsigned>((ticks / 10'000) % 1'000);
  const uint64_t seconds = ticks / kTicksPerSecond;
  const uint64_t secondOfDay = seconds % kSecondsPerDay;
  time.hour = static_cast<unsigned>(secondOfDay / 3600);
  time.minute = static_cast<unsigned>(secondOfDay % 3600 / 60);
  time.second = static_cast<unsigned>(secondOfDay % 60);
  // Civil date from days since 1970-01-01 (H. Hinnant's days_from_civil inverse).
  const int64_t days = static_cast<int64_t>(seconds / kSecondsPerDay) - kDaysFrom1601To1970 + 719'468;
  const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146'097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  time.day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  time.month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  time.year = static_cast<unsigned>(static_cast<int64_t>(yearOfEra) + era * 400 + (time.month <= 2 ? 1 : 0));
  return time;
}

// Writes value in at least width columns, padded on the left with pad; returns the end.
wchar_t* PutPadded(wchar_t* at, unsigned value, int width, wchar_t pad) noexcept {
  wchar_t digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int column = count; column < width; ++column) *at++ = pad;
  while (count != 0) *at++ = digits[--count];
  return at;
}

// Zero-padded to width digits.
wchar_t* PutDigits(wchar_t* at, unsigned value, int width) noexcept { return PutPadded(at, value, width, L'0'); }

// Right-aligned in width columns, blank-padded.
wchar_t* PutRightAligned(wchar_t* at, unsigned value, int width) noexcept { return PutPadded(at, value, width, L' '); }

}  // namespace

// "%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4s |%5u %5u | %.*s:%-*u| %*s%s\r\n",
// written field by field: printf and the system's local-time conversion per
// line would cost more than the rest of the line.
std::wstring LineFormatter::Format(uint32_t severity, const wchar_t* file, uint32_t line, std::wstring_view text,
                                   int depth, const FILETIME* time) {
  const FILETIME utc = time != nullptr ? *time : CurrentLogTime();
  const uint64_t utcTicks = (static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
  const int64_t localTicks = static_cast<int64_t>(utcTicks) + g_localOffset.OffsetTicks(utcTicks);
  CivilTime parts = localTicks >= 0 ? ToCivil(static_cast<uint64_t>(localTicks)) : CivilTime{};
  // The fraction below the millisecond comes from the UTC value, as the offset is whole minutes.
  parts.remainder = static_cast<unsigned>(utcTicks % 10'000);

  const std::wstring_view fileName = FileNameOf(file);
  const size_t lineWidth = kFileNameColumns - fileName.size() + kLineColumns;
  const int indent = 2 * std::clamp(depth, 0, kMaxDepth);

  wchar_t head[96];
  wchar_t* at = head;
  at = PutDigits(at, parts.year, 4);
  *at++ = L'-';
  at = PutDigits(at, parts.month, 2);
  *at++ = L'-';
  at = PutDigits(at, parts.day, 2);
  *at++ = L' ';
  at = PutDigits(at, parts.hour, 2);
  *at++ = L':';
  at = PutDigits(at, parts.minute, 2);
  *at++ = L':';
  at = PutDigits(at, parts.second, 2);
  *at++ = L'.';
  at = PutDigits(at, parts.millisecond, 3);
  at = PutDigits(at, parts.remainder, 4);
  *at++ = L' ';
  *at++ = L'|';
  *at++ = L' ';
  const wchar_t* name = SeverityName(severity);
  for (int column = 0; column < 4; ++column) *at++ = (name != nullptr && *name != L'\0') ? *name++ : L' ';
  *at++ = L' ';
  *at++ = L'|';
  at = PutRightAligned(at, static_cast<unsigned>(::GetCurrentProcessId() & 0xFFFF), 5);
  *at++ = L' ';
  at = PutRightAligned(at, static_cast<unsigned>(::GetCurrentThreadId() & 0xFFFF), 5);
  *at++ = L' ';
  *at++ = L'|';
  *at++ = L' ';
  const size_t headLength = static_cast<size_t>(at - head);

  wchar_t lineNumber[16];
  const size_t lineNumberLength = static_cast<size_t>(PutDigits(lineNumber, line, 1) - lineNumber);

  std::wstring formatted;
  formatted.reserve(headLength + fileName.size() + 1 + std::max(lineNumberLength, lineWidth) + 2 + indent +
                    text.size() + 2);
  formatted.append(head, headLength);
  formatted.append(fileName);
  formatted += L':';
  formatted.append(lineNumber, lineNumberLength);
  if (lineNumberLength < lineWidth) formatted.append(lineWidth - lineNumberLength, L' ');
  formatted += L"| ";
  formatted.append(indent, L' ');
  formatted.append(text);
  formatted += L"\r\n";
  return formatted;
}

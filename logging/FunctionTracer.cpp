#include "FunctionTracer.h"

#include <atomic>
#include <cwchar>
#include <exception>

namespace {
int64_t CounterFrequency() noexcept {
  // Written once; concurrent first uses store the same value.
  static std::atomic<int64_t> frequency{0};
  int64_t value = frequency.load(std::memory_order_relaxed);
  if (value == 0) {
    LARGE_INTEGER queried{};
    ::QueryPerformanceFrequency(&queried);
    value = queried.QuadPart > 0 ? queried.QuadPart : 1;
    frequency.store(value, std::memory_order_relaxed);
  }
  return value;
}

int64_t CounterNow() noexcept {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return now.QuadPart;
}
}  // namespace

FunctionTracer::FunctionTracer(uint32_t severity, uint32_t exceptionSeverity, std::wstring text, const wchar_t* file,
                               uint32_t line) noexcept
    : m_severity(severity),
      m_exceptionSeverity(exceptionSeverity),
      m_text(std::move(text)),
      m_file(file),
      m_line(line),
      m_uncaughtAtEntry(std::uncaught_exceptions()) {
  LogManager& manager = LogManager::Instance();
  if (manager.IsEnabled(m_severity)) {
    try {
      manager.Write(m_severity, L"Entering: " + m_text, m_file, m_line);
    } catch (...) {
    }
    manager.AdjustNestingLevel(1);
    m_nestingAdded = 1;
  }
  m_start = CounterNow();
}

FunctionTracer::~FunctionTracer() {
  const int64_t end = CounterNow();
  const bool exception = std::uncaught_exceptions() != m_uncaughtAtEntry;
  const uint32_t severity = exception ? m_exceptionSeverity : m_severity;
  LogManager& manager = LogManager::Instance();
  manager.AdjustNestingLevel(-static_cast<int>(m_nestingAdded));
  if (!manager.IsEnabled(severity)) return;
  try {
    const std::wstring elapsed = ElapsedText(CounterToMicroseconds(end - m_start, CounterFrequency()));
    manager.Write(severity, (exception ? L"EXCEPTION at: " : L"Exiting: ") + m_text + elapsed, m_file, m_line);
  } catch (...) {
  }
}

int64_t FunctionTracer::CounterToMicroseconds(int64_t counterDifference, int64_t frequency) noexcept {
  int64_t divisor = frequency / 100000;
  if (divisor == 0) divisor = 1;
  return counterDifference * 10 / divisor;
}

std::wstring FunctionTracer::ElapsedText(int64_t microseconds) {
  if (microseconds < 0) return ElapsedTextThroughLocale(microseconds);
  // What GetNumberFormatW gives for LOCALE_INVARIANT with 3 decimals, groups
  // of 3 digits, "." and " ": written directly, at a fraction of its cost.
  wchar_t digits[24];
  int count = 0;
  for (uint64_t whole = static_cast<uint64_t>(microseconds) / 1000; count == 0 || whole != 0; whole /= 10) {
    digits[count++] = static_cast<wchar_t>(L'0' + whole % 10);
  }
  wchar_t text[48];
  wchar_t* at = text;
  *at++ = L' ';
  *at++ = L'[';
  for (int index = count; index != 0; --index) {
    *at++ = digits[index - 1];
    if (index != 1 && (index - 1) % 3 == 0) *at++ = L' ';
  }
  const unsigned fraction = static_cast<unsigned>(microseconds % 1000);
  *at++ = L'.';
  *at++ = static_cast<wchar_t>(L'0' + fraction / 100);
  *at++ = static_cast<wchar_t>(L'0' + fraction / 10 % 10);
  *at++ = static_cast<wchar_t>(L'0' + fraction % 10);
  for (const wchar_t* unit = L" ms]"; *unit != L'\0'; ++unit) *at++ = *unit;
  return std::wstring(text, at);
}

std::wstring FunctionTracer::ElapsedTextThroughLocale(int64_t microseconds) {
  wchar_t printed[64];
  std::swprintf(printed, std::size(printed), L"%lld.%03lld", static_cast<long long>(microseconds / 1000),
                static_cast<long long>(microseconds % 1000));
  wchar_t decimalSeparator[] = L".";
  wchar_t thousandSeparator[] = L" ";
  NUMBERFMTW format{};
  format.NumDigits = 3;
  format.LeadingZero = 1;
  format.Grouping = 3;
  format.lpDecimalSep = decimalSeparator;
  format.lpThousandSep = thousandSeparator;
  format.NegativeOrder = 1;
  wchar_t grouped[64];
  const int length = ::GetNumberFormatW(LOCALE_INVARIANT, 0, printed, &format, grouped, std::size(grouped));
  return std::wstring(L" [") + (length > 0 ? grouped : printed) + L" ms]";
}

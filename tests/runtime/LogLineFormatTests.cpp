// The built-in line format, severities by name, logger slots and the log
// statement, through the log manager.
#include "RuntimeTestSupport.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/LineFormatter.h"
#include "logging/LogStatement.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <regex>
#include <stdexcept>
#include <vector>

namespace {

using RuntimeTest::CapturingLogger;
using RuntimeTest::ScopedCapture;
using RuntimeTest::ScopedEnvironmentVariable;
using RuntimeTest::ScopedReportCapture;

// A fixed time whose last four digits (100-ns units inside the millisecond) are 4567.
constexpr ULONGLONG kTicks = 134096000001234567ull;

FILETIME FixedTime() { return {static_cast<DWORD>(kTicks & 0xFFFFFFFF), static_cast<DWORD>(kTicks >> 32)}; }

std::wstring ExpectedTimeText() {
  const FILETIME utc = FixedTime();
  FILETIME local{};
  SYSTEMTIME parts{};
  ::FileTimeToLocalFileTime(&utc, &local);
  ::FileTimeToSystemTime(&local, &parts);
  wchar_t text[64];
  std::swprintf(text, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u4567", parts.wYear, parts.wMonth, parts.wDay, parts.wHour,
                parts.wMinute, parts.wSecond, parts.wMilliseconds);
  return text;
}

std::wstring Ids() {
  wchar_t text[32];
  std::swprintf(text, 32, L"%5u %5u", static_cast<unsigned>(::GetCurrentProcessId() & 0xFFFF),
                static_cast<unsigned>(::GetCurrentThreadId() & 0xFFFF));
  return text;
}

TEST(LineFormatter, WritesEveryFieldInItsColumns) {
  struct Case {
    uint32_t severity;
    const wchar_t* file;
    uint32_t line;
    int depth;
    std::wstring severityField;
    std::wstring fileField;  // name, ":", line number padded to the column
    std::wstring indent;
  };
  const std::wstring longName = L"ThisSourceFileNameIsLongerThan26.cpp";
  const Case cases[] = {
      {2, L"C:\\src\\a.cpp", 12, 0, L"ERR ", L"a.cpp:12                       ", L""},
      {5, L"/work/x/Deeper/b.h", 7, 1, L"DBG ", L"b.h:7                          ", L"  "},
      {6, L"mixed/path\\c.cpp", 123456, 2, L"DBG2", L"c.cpp:123456                   ", L"    "},
      {9, L"d.cpp", 1, 31, L"    ", L"d.cpp:1                        ", std::wstring(60, L' ')},
      {0, L"e.cpp", 1, -3, L"NONE", L"e.cpp:1                        ", L""},
      {1, longName.c_str(), 42, 30, L"CRIT", longName.substr(0, 26) + L":42  ", std::wstring(60, L' ')},
      {7, L"x\\TwentySixCharactersName.h", 12345, 0, L"DBG3", L"TwentySixCharactersName.h:12345", L""},
  };
  LineFormatter formatter;
  const FILETIME time = FixedTime();
  for (const Case& c : cases) {
    const std::wstring expected = ExpectedTimeText() + L" | " + c.severityField + L" |" + Ids() + L" | " + c.fileField +
                                  L"| " + c.indent + L"message\r\n";
    EXPECT_EQ(formatter.Format(c.severity, c.file, c.line, L"message", c.depth, &time), expected) << c.file;
  }
}

// The formatter computes the calendar itself: it must agree with the system's
// conversion at the edges of days, months, leap days and years, and in
// between, and on several lines within one second (which share its cached
// local-time offset).
TEST(LineFormatter, DateAndTimeAgreeWithTheSystemConversion) {
  const ULONGLONG kPerSecond = 10000000ull;
  const ULONGLONG kPerDay = 86400ull * kPerSecond;
  // 2000-01-01 00:00:00 UTC and 2024-02-29 00:00:00 UTC as FILETIME values.
  const ULONGLONG y2000 = 125911584000000000ull;
  const ULONGLONG leapDay2024 = 133535520000000000ull;
  std::vector<ULONGLONG> times = {
      y2000 - 1, y2000,      y2000 + kPerDay - 1, leapDay2024 - 1,       leapDay2024,          leapDay2024 + kPerDay,
      kTicks,    kTicks + 1, kTicks + 9999,       131000000000000000ull, 170000000000000000ull};
  for (ULONGLONG t = 116444736000000000ull; t < 190000000000000000ull; t += 1234567890123457ull) times.push_back(t);
  LineFormatter formatter;
  for (const ULONGLONG ticks : times) {
    const FILETIME utc{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
    FILETIME local{};
    SYSTEMTIME parts{};
    ASSERT_TRUE(::FileTimeToLocalFileTime(&utc, &local));
    ASSERT_TRUE(::FileTimeToSystemTime(&local, &parts));
    wchar_t expected[64];
    std::swprintf(expected, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u%04u", parts.wYear, parts.wMonth, parts.wDay,
                  parts.wHour, parts.wMinute, parts.wSecond, parts.wMilliseconds, static_cast<unsigned>(ticks % 10000));
    const std::wstring line = formatter.Format(4, L"f.cpp", 5, L"text", 0, &utc);
    EXPECT_EQ(line.substr(0, 27), expected) << ticks;
  }
}

TEST(LineFormatter, ShortNamesMakeAThirtyOneCharacterColumn) {
  LineFormatter formatter;
  const std::wstring line = formatter.Format(4, L"f.cpp", 5, L"text", 0, nullptr);
  const std::wregex shape(
      LR"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{7} \| INFO \|[ \d]{5} [ \d]{5} \| (.{31})\| text\r\n$)");
  std::wsmatch match;
  ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
  EXPECT_EQ(match[1].str(), L"f.cpp:5" + std::wstring(24, L' '));
}

TEST(Severity, NamesParseInAnyLetterCase) {
  struct Case {
    const wchar_t* text;
    std::optional<uint32_t> parsed;
  };
  const Case cases[] = {{L"NONE", 0},        {L"crit", 1},         {L"Err", 2},
                        {L"wArN", 3},        {L"info", 4},         {L"DBG", 5},
                        {L"dbg2", 6},        {L"DBG3", 7},         {L"DBG4", std::nullopt},
                        {L"", std::nullopt}, {L"5", std::nullopt}, {L"ERR ", std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(ParseSeverity(c.text), c.parsed) << c.text;
  EXPECT_STREQ(SeverityName(7), L"DBG3");
  EXPECT_STREQ(SeverityName(8), L"");
}

TEST(LogManager, MaxSeverityComesFromTheSettings) {
  struct Case {
    const wchar_t* setting;  // null: absent
    uint32_t highestEnabled;
  };
  const Case cases[] = {{L"dbg2", 6}, {L"NONE", 0}, {L"bogus", 5}, {nullptr, 5}, {L"Err", 2}, {L"DBG3", 7}};
  LogManager& manager = LogManager::Instance();
  for (const Case& c : cases) {
    ScopedEnvironmentVariable variable(L"GS_Logger_MaxSeverity", c.setting);
    manager.RefreshSettings();
    EXPECT_FALSE(manager.IsEnabled(0));
    for (uint32_t severity = 1; severity <= 8; ++severity) {
      EXPECT_EQ(manager.IsEnabled(severity), severity <= c.highestEnabled)
          << (c.setting ? c.setting : L"(absent)") << " " << severity;
    }
  }
  manager.RefreshSettings();
}

TEST(LogManager, SettingsAreReadAgainAfterFiveSeconds) {
  ScopedEnvironmentVariable variable(L"GS_Logger_MaxSeverity", L"ERR");
  LogManager manager;
  EXPECT_TRUE(manager.IsEnabled(LogSeverity::Err));  // first use reads the settings
  EXPECT_FALSE(manager.IsEnabled(LogSeverity::Dbg3));
  ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG3");
  ::Sleep(1000);
  EXPECT_FALSE(manager.IsEnabled(LogSeverity::Dbg3));  // still the cached value
  ::Sleep(4500);
  EXPECT_TRUE(manager.IsEnabled(LogSeverity::Dbg3));
}

TEST(LogManager, LoweredSeverityClosesAndRaisedOneOpensAtOnceOnAnExplicitRefresh) {
  ScopedEnvironmentVariable variable(L"GS_Logger_MaxSeverity", L"DBG3");
  LogManager manager;
  EXPECT_TRUE(manager.IsEnabled(LogSeverity::Dbg3));
  EXPECT_FALSE(manager.IsEnabled(0));  // severity 0 never logs
  ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"WARN");
  manager.RefreshSettings();
  EXPECT_FALSE(manager.IsEnabled(LogSeverity::Info));
  EXPECT_TRUE(manager.IsEnabled(LogSeverity::Warn));
  EXPECT_TRUE(manager.IsEnabled(LogSeverity::Crit));
  ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG");
  manager.RefreshSettings();
  EXPECT_TRUE(manager.IsEnabled(LogSeverity::Dbg));
  EXPECT_FALSE(manager.IsEnabled(LogSeverity::Dbg2));
}

TEST(LogManager, HoldsFourLoggersAndRefusesAFifth) {
  ScopedReportCapture reports;
  LogManager manager;
  CapturingLogger loggers[5];
  EXPECT_TRUE(manager.Register(&loggers[0]));
  EXPECT_TRUE(manager.Register(&loggers[0]));  // the same logger keeps one slot
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(manager.Register(&loggers[i]));
  EXPECT_TRUE(reports.Texts().empty());
  EXPECT_FALSE(manager.Register(&loggers[4]));
  EXPECT_EQ(reports.Texts(), std::vector<std::wstring>{L"LogManager: Too many loggers\n"});

  manager.Write(LogSeverity::Err, L"to all", L"x.cpp", 1);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(loggers[i].Lines().size(), 1u);
  EXPECT_TRUE(loggers[4].Lines().empty());

  manager.Write(LogSeverity::Err, L"to one", L"x.cpp", 2, &loggers[4]);
  EXPECT_EQ(loggers[4].Lines().size(), 1u);
  EXPECT_EQ(loggers[0].Lines().size(), 1u);

  manager.Unregister(&loggers[1]);
  EXPECT_TRUE(manager.Register(&loggers[4]));
  manager.Write(LogSeverity::Err, L"again", L"x.cpp", 3);
  EXPECT_EQ(loggers[1].Lines().size(), 1u);
  EXPECT_EQ(loggers[4].Lines().size(), 2u);
}

class LogStatementTest : public ::testing::Test {
 protected:
  LogStatementTest() { LogManager::Instance().RefreshSettings(); }
  ~LogStatementTest() override { LogManager::Instance().RefreshSettings(); }

  // The text part of each captured line.
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> texts;
    for (const std::wstring& line : m_capture.Lines()) {
      const size_t start = line.find(L"| ", line.find(L':', 30)) + 2;
      texts.push_back(line.substr(start, line.size() - start - 2));
    }
    return texts;
  }

  ScopedEnvironmentVariable m_severity{L"GS_Logger_MaxSeverity", L"DBG"};
  ScopedCapture m_capture;
};

TEST_F(LogStatementTest, DisabledSeverityBuildsNothing) {
  int evaluated = 0;
  const auto part = [&] {
    ++evaluated;
    return L"part";
  };
  KLOG_DBG2(L"disabled " << part());
  KLOG(LogSeverity::None, L"never " << part());
  EXPECT_EQ(evaluated, 0);
  EXPECT_TRUE(m_capture.Lines().empty());
  KLOG_DBG(L"enabled " << part());
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"enabled part"});
}

TEST_F(LogStatementTest, PartsAreWrittenByTheirStreamInsertion) {
  const wchar_t* nullText = nullptr;
  const char* nullNarrow = nullptr;
  KLOG_ERR(L"n=" << 42 << L" " << nullText << L" " << nullNarrow << L" " << std::string("narrow") << L" "
                 << std::wstring(L"wide") << L" " << HRES(E_INVALIDARG));
  const std::vector<std::wstring> texts = Texts();
  ASSERT_EQ(texts.size(), 1u) << ::testing::PrintToString(m_capture.Lines());
  const std::wstring expectedStart = L"n=42 (null) (null) narrow wide 0x80070057 ";
  EXPECT_EQ(texts[0].substr(0, expectedStart.size()), expectedStart) << texts[0];
  // The HRES carries its call site.
  EXPECT_NE(texts[0].find(L" [0x"), std::wstring::npos) << texts[0];
}

struct ThrowingPart {};
std::wostream& operator<<(std::wostream& stream, const ThrowingPart&) {
  stream << L"half";
  throw std::runtime_error("part failed");
}

TEST_F(LogStatementTest, APartThatThrowsMarksTheLineAndNothingEscapes) {
  EXPECT_NO_THROW(KLOG_ERR(L"before " << ThrowingPart{} << L" never"));
  EXPECT_NO_THROW(KLOG_WARN(L"hr " << [] {
    ThrowHr(E_FAIL);
    return 1;
  }()));
  EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"before half... (***EXCEPTION***)", L"hr ... (***EXCEPTION***)"}));
}

template <typename First, typename Second>
struct Pair {
  static constexpr const wchar_t* text = L"pair";
};

TEST_F(LogStatementTest, CommasInsideTheStatementAreFine) {
  KLOG_INFO(Pair<int, long>::text << L" " << std::wstring(3, L'x'));
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"pair xxx"});
}

TEST_F(LogStatementTest, LinesCarryTheStatementsFileAndLine) {
  const uint32_t line = __LINE__ + 1;
  KLOG_INFO(L"here");
  const std::vector<std::wstring> lines = m_capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(L"| INFO |"), std::wstring::npos);
  EXPECT_NE(lines[0].find(L"| LogLineFormatTests.cpp:" + std::to_wstring(line) + L" "), std::wstring::npos) << lines[0];
}

}  // namespace

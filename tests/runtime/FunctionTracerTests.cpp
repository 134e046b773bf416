// Function tracing: the entry and exit lines, their elapsed part and the
// nesting that indents the lines in between.
#include "RuntimeTestSupport.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/FunctionTracer.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using RuntimeTest::ScopedCapture;
using RuntimeTest::ScopedEnvironmentVariable;

// Windows' GetNumberFormatW groups with the given separator: the tests hold
// the Windows result, and Wine gives the same.
TEST(FunctionTracer, ElapsedTextGroupsThousandsWithSpaces) {
  struct Case {
    int64_t microseconds;
    const wchar_t* text;
  };
  const Case cases[] = {{1234567, L" [1 234.567 ms]"}, {5, L" [0.005 ms]"},
                        {0, L" [0.000 ms]"},           {999999, L" [999.999 ms]"},
                        {1000000, L" [1 000.000 ms]"}, {1234567890123, L" [1 234 567 890.123 ms]"}};
  for (const Case& c : cases) EXPECT_EQ(FunctionTracer::ElapsedText(c.microseconds), c.text) << c.microseconds;
}

// The elapsed text is written directly; GetNumberFormatW with the same
// format gives the same text for every value.
TEST(FunctionTracer, ElapsedTextIsWhatTheNumberFormatGives) {
  for (int64_t microseconds : {0ll, 1ll, 999ll, 1000ll, 1001ll, 99999ll, 100000ll, 999999ll, 1000000ll, 12345678ll,
                               123456789ll, 1000000000ll, 123456789012345ll}) {
    EXPECT_EQ(FunctionTracer::ElapsedText(microseconds), FunctionTracer::ElapsedTextThroughLocale(microseconds))
        << microseconds;
  }
  for (int64_t microseconds = 1; microseconds < 4000000000000ll; microseconds = microseconds * 7 + 3) {
    EXPECT_EQ(FunctionTracer::ElapsedText(microseconds), FunctionTracer::ElapsedTextThroughLocale(microseconds))
        << microseconds;
  }
}

TEST(FunctionTracer, CounterTicksBecomeMicroseconds) {
  EXPECT_EQ(FunctionTracer::CounterToMicroseconds(12345670, 10000000), 1234567);  // 10 MHz
  EXPECT_EQ(FunctionTracer::CounterToMicroseconds(3000, 3000000), 1000);          // 3 MHz
  EXPECT_EQ(FunctionTracer::CounterToMicroseconds(7, 50000), 70);                 // divisor 0 counts as 1
}

class FunctionTracerTest : public ::testing::Test {
 protected:
  FunctionTracerTest() { LogManager::Instance().RefreshSettings(); }
  ~FunctionTracerTest() override { LogManager::Instance().RefreshSettings(); }

  // Text part of each line, with its indentation.
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> texts;
    const std::wregex shape(LR"(^.*FunctionTracerTests\.cpp:\d+ *\| (.*)\r\n$)");
    for (const std::wstring& line : m_capture.Lines()) {
      std::wsmatch match;
      texts.push_back(std::regex_match(line, match, shape) ? match[1].str() : L"?" + line);
    }
    return texts;
  }

  ScopedEnvironmentVariable m_severity{L"GS_Logger_MaxSeverity", L"DBG2"};
  ScopedCapture m_capture;
};

void Inner() {
  KTRACE_SCOPE(LogSeverity::Dbg2, LogSeverity::Dbg2, L"Tests::Inner");
  KLOG_INFO(L"inside inner");
}

void Outer() {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Err, L"Tests::" << L"Outer");
  Inner();
}

void Disabled() {
  KTRACE_SCOPE(LogSeverity::Dbg3, LogSeverity::Err, L"Tests::Disabled");
  KLOG_INFO(L"inside disabled");
}

void Failing() {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Err, L"Tests::Failing");
  ThrowHr(E_FAIL);
}

const std::wregex kElapsed(LR"( \[[\d ]+\.\d{3} ms\]$)");

TEST_F(FunctionTracerTest, NestedScopesIndentTheLinesBetween) {
  Outer();
  const std::vector<std::wstring> texts = Texts();
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0], L"Entering: Tests::Outer");
  EXPECT_EQ(texts[1], L"  Entering: Tests::Inner");
  EXPECT_EQ(texts[2], L"    inside inner");
  EXPECT_EQ(texts[3].rfind(L"  Exiting: Tests::Inner [", 0), 0u) << texts[3];
  EXPECT_TRUE(std::regex_search(texts[3], kElapsed)) << texts[3];
  EXPECT_EQ(texts[4].rfind(L"Exiting: Tests::Outer [", 0), 0u) << texts[4];
  EXPECT_EQ(LogManager::Instance().NestingLevel(), 0);
}

TEST_F(FunctionTracerTest, DisabledSeverityLogsNothingForTheCall) {
  Disabled();
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"inside disabled"});
}

TEST_F(FunctionTracerTest, ExceptionLeavingTheScopeLogsAtTheExceptionSeverity) {
  EXPECT_THROW(Failing(), HRX);
  const std::vector<std::wstring> lines = m_capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(L"| ERR  |"), std::wstring::npos) << lines[1];
  EXPECT_NE(lines[1].find(L"| EXCEPTION at: Tests::Failing ["), std::wstring::npos) << lines[1];
  EXPECT_EQ(LogManager::Instance().NestingLevel(), 0);
}

TEST_F(FunctionTracerTest, ScopeInsideACatchBlockEndsNormally) {
  try {
    ThrowHr(E_FAIL);
  } catch (const HRX&) {
    Inner();  // an exception is in flight while it runs and ends normally
  }
  const std::vector<std::wstring> texts = Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[2].rfind(L"Exiting: Tests::Inner [", 0), 0u) << texts[2];
}

TEST_F(FunctionTracerTest, TextThatCannotBeBuiltIsMarked) {
  {
    KTRACE_SCOPE(
        LogSeverity::Dbg, LogSeverity::Dbg, L"Tests::" << [] {
          ThrowHr(E_FAIL);
          return 0;
        }());
  }
  const std::vector<std::wstring> texts = Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], L"Entering: Tests::... (***EXCEPTION***)");
}

TEST_F(FunctionTracerTest, NestingIsPerThread) {
  KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"Tests::Main");
  int otherThreadLevel = -1;
  std::thread([&] { otherThreadLevel = LogManager::Instance().NestingLevel(); }).join();
  EXPECT_EQ(otherThreadLevel, 0);
  EXPECT_EQ(LogManager::Instance().NestingLevel(), 1);
}

}  // namespace

// The file logger on a real file system: banner, keep-open interval, size
// threshold, lost lines, impersonation and many writers at once.
#include "RuntimeTestSupport.h"

#include "logging/FileLogger.h"
#include "settings/ImpersonationRevertGuard.h"
#include "logging/LogStatement.h"
#include "logging/ModuleBanner.h"
#include "settings/FileSystem.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

namespace {

using RuntimeTest::ReadUtf16File;
using RuntimeTest::ScopedEnvironmentVariable;
using RuntimeTest::ScopedReportCapture;
using RuntimeTest::SplitLines;
using RuntimeTest::TempDirectory;

const std::wstring kHeader = L"*** test banner ***\r\n";
const std::wregex kLineShape(
    LR"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{7} \| [A-Z0-9 ]{4} \|[ \d]{5} [ \d]{5} \| .{1,26}:[\d ]+\| *.*$)");

class FileLoggerTest : public ::testing::Test {
 protected:
  explicit FileLoggerTest(const wchar_t* keepOpen = nullptr)
      : m_path(L"GS_Logger_Path", (m_temp.Path() + L"\\logs").c_str()),
        m_keepOpen(L"GS_Logger_KeepOpenInterval", keepOpen) {
    LogManager::Instance().RefreshSettings();
  }
  ~FileLoggerTest() override { LogManager::Instance().RefreshSettings(); }

  std::wstring LogFile() const { return m_temp.Path() + L"\\logs\\test.log"; }
  void WriteLine(FileLogger& logger, const std::wstring& text) {
    const std::wstring line = m_formatter.Format(LogSeverity::Info, L"FileLoggerTests.cpp", 1, text, 0, nullptr);
    logger.Write(line.c_str(), -1);
  }
  std::vector<std::wstring> FileLines() const { return SplitLines(ReadUtf16File(LogFile())); }

  TempDirectory m_temp;
  ScopedEnvironmentVariable m_path;
  ScopedEnvironmentVariable m_keepOpen;
  LineFormatter m_formatter;
};

class FileLoggerOpenPerLineTest : public FileLoggerTest {
 protected:
  FileLoggerOpenPerLineTest() : FileLoggerTest(L"0") {}
};

TEST_F(FileLoggerTest, NewFileStartsWithTheBannerInTheLogDirectory) {
  FileLogger logger(L"test.log", kHeader);
  WriteLine(logger, L"first");
  WriteLine(logger, L"second");
  logger.CloseCachedHandle();
  const std::wstring content = ReadUtf16File(LogFile());
  ASSERT_EQ(content.substr(0, kHeader.size()), kHeader);
  const std::vector<std::wstring> lines = SplitLines(content.substr(kHeader.size()));
  ASSERT_EQ(lines.size(), 2u);
  for (const std::wstring& line : lines) EXPECT_TRUE(std::regex_match(line, kLineShape)) << line;
  EXPECT_NE(lines[1].find(L"| second"), std::wstring::npos);
}

TEST_F(FileLoggerTest, AnExistingFileGetsNoSecondBannerFromTheSameLogger) {
  FileLogger logger(L"test.log", kHeader);
  WriteLine(logger, L"one");
  logger.CloseCachedHandle();
  WriteLine(logger, L"two");  // reopened: same file, no banner
  logger.CloseCachedHandle();
  EXPECT_EQ(FileLines().size(), 3u);  // banner line + two lines
}

TEST_F(FileLoggerOpenPerLineTest, EveryLineOpensAndClosesTheFile) {
  FileLogger logger(L"test.log", kHeader);
  WriteLine(logger, L"one");
  // No handle is kept: the file can be opened without any sharing.
  const HANDLE exclusive = ::CreateFileW(LogFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
  ::CloseHandle(exclusive);
}

TEST_F(FileLoggerTest, KeepOpenIntervalHoldsTheFileOpen) {
  FileLogger logger(L"test.log", kHeader);
  WriteLine(logger, L"one");
  const HANDLE exclusive = ::CreateFileW(LogFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(exclusive, INVALID_HANDLE_VALUE);
  if (exclusive != INVALID_HANDLE_VALUE) ::CloseHandle(exclusive);
  logger.CloseCachedHandle();
}

TEST_F(FileLoggerOpenPerLineTest, DeletedFileIsCreatedAgainWithTheBanner) {
  FileLogger logger(L"test.log", kHeader);
  WriteLine(logger, L"before");
  ASSERT_TRUE(::DeleteFileW(LogFile().c_str()));
  WriteLine(logger, L"after");
  const std::wstring content = ReadUtf16File(LogFile());
  ASSERT_EQ(content.substr(0, kHeader.size()), kHeader);
  EXPECT_EQ(content.find(L"before"), std::wstring::npos);
  EXPECT_NE(content.find(L"| after"), std::wstring::npos);
}

TEST_F(FileLoggerTest, DeletedFileIsCreatedAgainAfterTheKeepOpenInterval) {
  ScopedEnvironmentVariable keepOpen(L"GS_Logger_KeepOpenInterval", L"100");
  LogManager::Instance().RefreshSettings();
  FileLogger logger(L"test.log", kHeader);
  WriteLine(logger, L"before");
  logger.CloseCachedHandle();  // lets the platform delete it at once
  ASSERT_TRUE(::DeleteFileW(LogFile().c_str()));
  WriteLine(logger, L"reopened");
  ::Sleep(150);
  WriteLine(logger, L"after the interval");
  logger.CloseCachedHandle();
  const std::wstring content = ReadUtf16File(LogFile());
  ASSERT_EQ(content.substr(0, kHeader.size()), kHeader);
  EXPECT_EQ(SplitLines(content).size(), 3u);
}

TEST_F(FileLoggerOpenPerLineTest, FileAtTheThresholdIsNotWrittenAndReportedOnce) {
  ScopedEnvironmentVariable threshold(L"GS_Logger_LogFileSizeThresholdMB", L"1");
  LogManager::Instance().RefreshSettings();
  CreateDirectories(m_temp.Path() + L"\\logs");
  RuntimeTest::WriteTextFile(LogFile(), std::string(1 << 20, 'x'));
  ScopedReportCapture reports;
  FileLogger logger(L"test.log", kHeader);
  WriteLine(logger, L"lost one");
  WriteLine(logger, L"lost two");
  const std::wstring tooBig =
      L"FileLogger: log file '" + LogFile() + L"' is too big (size=1MB threshold=1MB)\n";
  EXPECT_EQ(reports.Texts(), std::vector<std::wstring>{tooBig});

  RuntimeTest::WriteTextFile(LogFile(), "");  // below the threshold again
  WriteLine(logger, L"kept");
  RuntimeTest::WriteTextFile(LogFile(), std::string(1 << 20, 'x'));
  WriteLine(logger, L"lost three");
  EXPECT_EQ(reports.Texts(), (std::vector<std::wstring>{tooBig, tooBig}));
}

TEST_F(FileLoggerOpenPerLineTest, UncreatableDirectoryOnlyLosesLines) {
  RuntimeTest::WriteTextFile(m_temp / L"blocker", "x");
  ScopedEnvironmentVariable path(L"GS_Logger_Path", (m_temp.Path() + L"\\blocker\\logs").c_str());
  LogManager::Instance().RefreshSettings();
  EXPECT_EQ(LogManager::Instance().GetLogDirectory(), m_temp.Path() + L"\\blocker\\logs\\");
  ScopedReportCapture reports;
  FileLogger logger(L"test.log", kHeader);
  EXPECT_NO_THROW(WriteLine(logger, L"lost"));
  ASSERT_EQ(reports.Texts().size(), 1u);
  EXPECT_EQ(reports.Texts()[0].rfind(L"FileLogger: cannot open log file '" + m_temp.Path() + L"\\blocker\\logs\\test.log' (error: 0x8007", 0), 0u)
      << reports.Texts()[0];
}

TEST_F(FileLoggerOpenPerLineTest, NameWithASeparatorIsUsedAsThePath) {
  const std::wstring path = m_temp / L"direct.log";
  FileLogger logger(path, L"");
  WriteLine(logger, L"direct");
  const std::vector<std::wstring> lines = SplitLines(ReadUtf16File(path));
  ASSERT_EQ(lines.size(), 1u);  // no header given, none written
  EXPECT_NE(lines[0].find(L"| direct"), std::wstring::npos);
}

TEST_F(FileLoggerTest, LogDirectoryFollowsASlashPathAndEndsWithABackslash) {
  ScopedEnvironmentVariable path(L"GS_Logger_Path", (m_temp.Path() + L"/a/b").c_str());
  LogManager::Instance().RefreshSettings();
  EXPECT_EQ(LogManager::Instance().GetLogDirectory(), m_temp.Path() + L"\\a\\b\\");
  const DWORD attributes = ::GetFileAttributesW((m_temp.Path() + L"\\a\\b").c_str());
  EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FileLoggerTest, RelativeLogPathFollowsTheDataDirectory) {
  // No data directory is configured: it is the folder of the module, here the test executable.
  const std::wstring created = RuntimeTest::ExecutableDirectory() + L"KestrovaRuntimeTestLogs";
  ScopedEnvironmentVariable path(L"GS_Logger_Path", L"KestrovaRuntimeTestLogs/sub");
  LogManager::Instance().RefreshSettings();
  EXPECT_EQ(LogManager::Instance().GetLogDirectory(), created + L"\\sub\\");
  EXPECT_NE(::GetFileAttributesW((created + L"\\sub").c_str()), INVALID_FILE_ATTRIBUTES);
  RuntimeTest::RemoveTree(created);
}

// Windows removes an impersonation token for the open and puts it back; a
// thread without a token is left alone.
TEST(ImpersonationRevertGuard, PutsTheThreadTokenBack) {
  { ImpersonationRevertGuard withoutToken; EXPECT_FALSE(withoutToken.Reverted()); }
  if (!::ImpersonateSelf(SecurityImpersonation)) GTEST_SKIP() << "ImpersonateSelf failed: " << ::GetLastError();
  {
    ImpersonationRevertGuard guard;
    EXPECT_TRUE(guard.Reverted());
    HANDLE token = nullptr;
    EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  }
  HANDLE token = nullptr;
  EXPECT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  if (token != nullptr) ::CloseHandle(token);
  ::RevertToSelf();
}

// Writers on many threads, each line through its own handle duplicate:
// every line arrives whole and exactly once.
class FileLoggerStressTest : public FileLoggerTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(FileLoggerStressTest, ManyThreadsWriteWholeLines) {
  ScopedEnvironmentVariable keepOpen(L"GS_Logger_KeepOpenInterval", GetParam());
  LogManager::Instance().RefreshSettings();
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 300;
  FileLogger logger(L"test.log", kHeader);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLinesPerThread; ++i) {
        WriteLine(logger, L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + L" " +
                              std::wstring(static_cast<size_t>(i % 97), L'#') + L" end");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  logger.CloseCachedHandle();

  const std::wstring content = ReadUtf16File(LogFile());
  ASSERT_EQ(content.substr(0, kHeader.size()), kHeader);
  const std::vector<std::wstring> lines = SplitLines(content.substr(kHeader.size()));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesPerThread));
  const std::wregex body(LR"(.*\| thread (\d+) line (\d+) (#*) end$)");
  std::set<std::pair<int, int>> seen;
  for (const std::wstring& line : lines) {
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(line, kLineShape) && std::regex_match(line, match, body)) << line;
    const int index = std::stoi(match[2].str());
    EXPECT_EQ(match[3].length(), index % 97);
    EXPECT_TRUE(seen.emplace(std::stoi(match[1].str()), index).second) << line;
  }
}

INSTANTIATE_TEST_SUITE_P(KeepOpenIntervals, FileLoggerStressTest, ::testing::Values(L"5000", L"0"));

TEST(ModuleBanner, NamesModuleVersionProcessAndCommandLine) {
  const HMODULE module = ::GetModuleHandleW(nullptr);
  const std::wstring banner = BuildModuleBanner(module, L"Kestrova64");
  const std::wstring stars(100, L'*');
  const std::wstring expected = stars + L"\r\n*** Module: " + RuntimeTest::ExecutablePath() + L" (Base: 0x" +
                                PointerText(module) + L")\r\n*** Version: 0.0.0.0\r\n" +
                                L"*** Module description: Kestrova64\r\n*** Process: " +
                                RuntimeTest::ExecutablePath() + L" (Pid: " +
                                std::to_wstring(::GetCurrentProcessId()) + L")\r\n*** Command line: " +
                                ::GetCommandLineW() + L"\r\n" + stars + L"\r\n";
  EXPECT_EQ(banner, expected);
  EXPECT_EQ(PointerText(module).size(), 16u);
  EXPECT_EQ(DefaultLogFileName(module), L"LoggingTests.log");
}

TEST(ModuleBanner, CarriesTheVersionOfTheModulesResource) {
  const std::wstring path = RuntimeTest::ExecutableDirectory() + L"Kestrova.dll";
  const HMODULE module = ::LoadLibraryW(path.c_str());
  ASSERT_NE(module, nullptr);
  const std::wstring banner = BuildModuleBanner(module, L"Kestrova64");
  EXPECT_NE(banner.find(L"*** Module: " + path + L" (Base: 0x" + PointerText(module) + L")\r\n"), std::wstring::npos)
      << banner;
  const std::wstring version = std::wstring(L"\r\n*** Version: ") + KESTROVA_TEST_MODULE_VERSION + L"\r\n";
  EXPECT_NE(banner.find(version), std::wstring::npos) << banner;
  EXPECT_EQ(DefaultLogFileName(module), L"Kestrova.log");
  ::FreeLibrary(module);
}

}  // namespace

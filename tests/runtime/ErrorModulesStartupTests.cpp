// The process-wide message-module lists, loaded once from the settings on
// the first error text. Alone in its executable: the lists are loaded only once.
#include "RuntimeTestSupport.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "Sources/Common/ErrorHandling/ErrorMessageModules.h"
#include "Sources/Common/ErrorHandling/ErrorText.h"

#include <gtest/gtest.h>

namespace {

using RuntimeTest::ExecutableDirectory;
using RuntimeTest::ScopedCapture;
using RuntimeTest::ScopedEnvironmentVariable;

// A module that fails to load is logged with its error text while the lists
// are still being built; that text is looked up without them.
TEST(ErrorModulesStartup, LoadsTheConfiguredListsAndLogsFailures) {
  ScopedEnvironmentVariable severity(L"GS_Logger_MaxSeverity", L"err");
  ScopedEnvironmentVariable primary(L"GS_ErrorHandling_MessageFile", L"Missing.dll;CoreErrorMessages.dll");
  const std::wstring fallbackPath = ExecutableDirectory() + L"RuntimeTestMessages.dll";
  ScopedEnvironmentVariable fallback(L"GS_ErrorHandling_FallbackMessageFile", fallbackPath.c_str());
  LogManager::Instance().RefreshSettings();
  ScopedCapture capture;

  EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0x80040903)), L"The decrypted data is corrupt: its checksum does not match");
  EXPECT_EQ(ErrorMessageModules::Instance().Primary().size(), 1u);
  EXPECT_EQ(ErrorMessageModules::Instance().Fallback().size(), 1u);
  EXPECT_EQ(GetErrorText(static_cast<HRESULT>(0x800401FF)), L"Test text below the interface range");

  const std::vector<std::wstring> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(L"| Loading errormsg module '" + ExecutableDirectory() + L"Missing.dll' failed: 0x80070002 "),
            std::wstring::npos)
      << lines[0];
  EXPECT_EQ(lines[0].find(L"<no description>"), std::wstring::npos) << lines[0];
  LogManager::Instance().RefreshSettings();
}

}  // namespace

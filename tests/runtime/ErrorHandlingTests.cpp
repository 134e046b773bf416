// Error descriptions: parsing and formatting, the hand-over through the
// thread's COM error object, and message texts from the system and from
// message-table modules.
#include "RuntimeTestSupport.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "Sources/Common/ErrorHandling/ErrorMessageModules.h"
#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/ErrorText.h"
#include "logging/CatchSite.h"

#include <gtest/gtest.h>

#include <oleauto.h>

#include <algorithm>
#include <functional>
#include <new>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <vector>
#include <sstream>

namespace {

using RuntimeTest::ExecutableDirectory;
using RuntimeTest::ScopedCapture;
using RuntimeTest::ScopedEnvironmentVariable;

const std::wstring kAddress = LR"(0x[0-9A-F]{16})";
const std::wstring kGroup = kAddress + L"(," + kAddress + L")?";

std::wstring AddressText(const void* address) {
  wchar_t text[24];
  swprintf(text, 24, L"0x%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

std::wstring GroupOf(const HRES& result) {
  std::wstring group = AddressText(result.Sites()[0]);
  if (result.Sites()[1] != nullptr) group += L"," + AddressText(result.Sites()[1]);
  return group;
}

TEST(FormatError, FlagsLeaveOutCodeTextAndLocation) {
  const ErrorDescription description{static_cast<HRESULT>(0x80004005), L"Unspecified error", L"0x1,0x2;0x3"};
  const std::wstring byFlags[8] = {
      L"0x80004005 Unspecified error [0x1,0x2;0x3]", L"Unspecified error [0x1,0x2;0x3]",
      L"0x80004005  [0x1,0x2;0x3]",                  L" [0x1,0x2;0x3]",  // only trailing space goes
      L"0x80004005 Unspecified error",               L"Unspecified error",
      L"0x80004005",                                 L"",
  };
  for (unsigned flags = 0; flags < 8; ++flags) EXPECT_EQ(FormatError(description, flags), byFlags[flags]) << flags;
  EXPECT_EQ(FormatError(ErrorDescription{E_INVALIDARG, L"", L""}), L"0x80070057");
}

TEST(ParseErrorDescription, ReadsCodeTextAndLocation) {
  struct Case {
    const wchar_t* described;
    bool parsed;
    ErrorDescription expected;
  };
  const Case cases[] = {
      {L"0x80004005 Unspecified error [0x1,0x2;0x3]", true, {static_cast<HRESULT>(0x80004005), L"Unspecified error", L"0x1,0x2;0x3"}},
      {L"0x80004005 Text [with bracket inside", true, {static_cast<HRESULT>(0x80004005), L"Text [with bracket inside", L""}},
      {L"0x80004005 Text ] only", true, {static_cast<HRESULT>(0x80004005), L"Text ] only", L""}},
      {L"0x80004005 [0x1]", true, {static_cast<HRESULT>(0x80004005), L"", L"0x1"}},
      {L"0x80004005 ]", true, {static_cast<HRESULT>(0x80004005), L"]", L""}},
      {L"12 decimal", true, {12, L"decimal", L""}},
      {L"0x80004005", false, {}},
      {L"0x80004005:text", false, {}},
      {L"text 0x80004005", false, {}},
  };
  for (const Case& c : cases) {
    ErrorDescription description;
    EXPECT_EQ(ParseErrorDescription(c.described, description), c.parsed) << c.described;
    if (!c.parsed) continue;
    EXPECT_EQ(description.hr, c.expected.hr) << c.described;
    EXPECT_EQ(description.text, c.expected.text) << c.described;
    EXPECT_EQ(description.location, c.expected.location) << c.described;
  }
}

// Each "component" sets the failure in its own function, so each adds its
// own address group.
[[gnu::noinline]] HRESULT FirstComponentFails(HRES& failure) {
  failure = E_FAIL;
  return PublishErrorInfo(failure);
}

[[gnu::noinline]] HRES SecondComponentFails(HRESULT hr) {
  HRES failure = hr;  // takes the thread's error object over
  return failure;
}

TEST(DescribeError, AFailureCrossingTwoComponentsKeepsBothAddressGroups) {
  HRES first;
  ASSERT_EQ(FirstComponentFails(first), E_FAIL);
  const HRES second = SecondComponentFails(E_FAIL);
  ASSERT_NE(second.ErrorObject(), nullptr);
  const ErrorDescription description = DescribeError(second);
  EXPECT_EQ(description.hr, E_FAIL);
  EXPECT_EQ(description.text, GetErrorText(E_FAIL));
  EXPECT_EQ(description.location, GroupOf(first) + L";" + GroupOf(second));
  const std::wregex shape(L"^0x80004005 .+ \\[" + kGroup + L";" + kGroup + L"\\]$");
  EXPECT_TRUE(std::regex_match(FormatError(second), shape)) << FormatError(second);
}

TEST(DescribeError, OwnDescriptionOfAnotherCodeIsIgnored) {
  HRES first;
  FirstComponentFails(first);
  const HRES other = SecondComponentFails(E_INVALIDARG);
  const ErrorDescription description = DescribeError(other);
  EXPECT_EQ(description.hr, E_INVALIDARG);
  EXPECT_EQ(description.text, GetErrorText(E_INVALIDARG));
  EXPECT_EQ(description.location, GroupOf(other));
}

TEST(DescribeError, ForeignErrorObjectGivesItsTextUnparsed) {
  ICreateErrorInfo* creator = nullptr;
  ASSERT_EQ(::CreateErrorInfo(&creator), S_OK);
  creator->SetDescription(const_cast<wchar_t*>(L"0x80004005 foreign [not ours]"));
  IErrorInfo* errorObject = nullptr;
  creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&errorObject));
  ::SetErrorInfo(0, errorObject);
  errorObject->Release();
  creator->Release();
  const HRES failure = SecondComponentFails(E_FAIL);
  const ErrorDescription description = DescribeError(failure);
  EXPECT_EQ(description.text, L"0x80004005 foreign [not ours]");
  EXPECT_EQ(description.location, GroupOf(failure));
}

TEST(DescribeError, SuccessHasNoLocation) {
  const ErrorDescription description = DescribeError(HRES(S_FALSE));
  EXPECT_EQ(description.hr, S_FALSE);
  EXPECT_TRUE(description.location.empty());
  std::wostringstream stream;
  stream << HRES(S_OK);
  EXPECT_EQ(stream.str(), FormatError(ErrorDescription{S_OK, GetErrorText(S_OK), L""}));
}

TEST(PublishErrorInfo, SetsTheThreadsErrorObjectForFailuresOnly) {
  ::SetErrorInfo(0, nullptr);
  EXPECT_EQ(PublishErrorInfo(HRES(S_FALSE)), S_FALSE);
  IErrorInfo* errorObject = nullptr;
  EXPECT_EQ(::GetErrorInfo(0, &errorObject), S_FALSE);  // nothing set

  const HRES failure = HRES(E_ACCESSDENIED);
  EXPECT_EQ(PublishErrorInfo(failure), E_ACCESSDENIED);
  ASSERT_EQ(::GetErrorInfo(0, &errorObject), S_OK);
  BSTR text = nullptr;
  GUID guid{};
  errorObject->GetDescription(&text);
  errorObject->GetGUID(&guid);
  EXPECT_EQ(std::wstring(text), FormatError(failure));
  EXPECT_TRUE(::IsEqualGUID(guid, ErrorDescriptionGuid));
  ::SysFreeString(text);
  errorObject->Release();
}

// Whatever a component method or a host callback meets becomes an HRESULT:
// the catch site maps each exception type, logs it and publishes it.
HRESULT ThrowingMethod(const std::function<void()>& body) {
  try {
    body();
    return S_OK;
  }
  KCATCH_RETURN(L"Test::CComponent::Method")
}

TEST(CatchSite, EveryExceptionTypeBecomesAnHresultLoggedAndPublished) {
  struct Case {
    const char* name;
    std::function<void()> body;
    HRESULT expected;
  };
  const Case cases[] = {
      {"HRX", [] { ThrowHr(E_ACCESSDENIED); }, E_ACCESSDENIED},
      {"HRES", [] { throw HRES(E_INVALIDARG); }, E_INVALIDARG},
      {"bad_alloc", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
      {"system_error of a Win32 code",
       [] { throw std::system_error(std::error_code(ERROR_ACCESS_DENIED, std::system_category())); },
       HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      {"system_error of an HRESULT",
       [] { throw std::system_error(std::error_code(static_cast<int>(E_NOTIMPL), std::system_category())); },
       E_NOTIMPL},
      {"system_error: no thread",
       [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); },
       E_OUTOFMEMORY},
      {"system_error: permission",
       [] { throw std::system_error(std::make_error_code(std::errc::operation_not_permitted)); }, E_ACCESSDENIED},
      {"system_error: other errno",
       [] { throw std::system_error(std::make_error_code(std::errc::broken_pipe)); }, E_FAIL},
      {"runtime_error", [] { throw std::runtime_error("boom"); }, E_UNEXPECTED},
      {"int", [] { throw 42; }, E_UNEXPECTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedCapture capture;
    ::SetErrorInfo(0, nullptr);
    EXPECT_EQ(ThrowingMethod(c.body), c.expected);
    const std::vector<std::wstring> lines = capture.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::wstring& line) {
                              return line.find(L"Test::CComponent::Method failed: 0x") != std::wstring::npos;
                            }),
              1);
    IErrorInfo* published = nullptr;
    EXPECT_EQ(::GetErrorInfo(0, &published), S_OK);
    ASSERT_NE(published, nullptr) << "the thread's error object describes the failure";
    published->Release();
  }
}

TEST(ReportError, TheThrownExceptionCarriesTheTextAndSuffix) {
  try {
    HRX{ReportError(E_INVALIDARG, L" Invalid Activity Entry config node.")};
    FAIL() << "a failing report must throw";
  } catch (const HRX& failure) {
    const ErrorDescription description = DescribeError(failure);
    EXPECT_EQ(description.text, GetErrorText(E_INVALIDARG) + L" Invalid Activity Entry config node.");
    EXPECT_EQ(description.location, GroupOf(failure));  // no location of its own
  }
}

TEST(ReportError, WithACauseCarriesTheCausesText) {
  const HRES cause = HRES(E_ACCESSDENIED);
  try {
    HRX{ReportError(static_cast<HRESULT>(0x80040904), cause, ErrorFormat::NoLocation)};
    FAIL();
  } catch (const HRX& failure) {
    EXPECT_EQ(DescribeError(failure).text,
              GetErrorText(static_cast<HRESULT>(0x80040904)) + L" (" + FormatError(cause, ErrorFormat::NoLocation) + L")");
  }
}

class MessageModulesTest : public ::testing::Test {
 protected:
  const std::wstring m_testModule = ExecutableDirectory() + L"RuntimeTestMessages.dll";
};

TEST_F(MessageModulesTest, PrimaryModulesAnswerOnlyInterfaceCodes) {
  ErrorMessageModules modules;
  modules.LoadPrimary(m_testModule, L"");
  ASSERT_EQ(modules.Primary().size(), 1u);
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x80040200), modules), L"Test text of the first interface code");
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x80040201), modules), L"Test text with an insert %1 kept");
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x800401FF), modules), L"<no description>");
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x80050000), modules), L"<no description>");
}

TEST_F(MessageModulesTest, FallbackModulesAnswerAnyCodeAndWin32LowWords) {
  ErrorMessageModules modules;
  modules.LoadFallback(m_testModule);
  ASSERT_EQ(modules.Fallback().size(), 1u);
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x800401FF), modules), L"Test text below the interface range");
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x80050000), modules), L"Test text at the end of the interface range");
  // A Win32-facility code is looked up again by its low word; others are not.
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x80073FFE), modules), L"Test text of the low word 3FFE");
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x80083FFE), modules), L"<no description>");
}

TEST_F(MessageModulesTest, SystemTextsLoseTheirFullStopAndLineEnd) {
  ErrorMessageModules none;
  const std::wstring text = LookupErrorText(E_ACCESSDENIED, none);  // found as itself or as 5
  EXPECT_NE(text, L"<no description>");
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), L'.');
  EXPECT_NE(text.back(), L'\n');
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x8004FFFF), none), L"<no description>");
}

TEST_F(MessageModulesTest, ASixthModuleIsRefusedWithNoMoreSlots) {
  ScopedEnvironmentVariable severity(L"GS_Logger_MaxSeverity", L"ERR");
  LogManager::Instance().RefreshSettings();
  ScopedCapture capture;
  ErrorMessageModules modules;
  const std::wstring names = L"RuntimeTestMessages.dll,RuntimeTestMessages.dll|RuntimeTestMessages.dll;;"
                             L"RuntimeTestMessages.dll;RuntimeTestMessages.dll,RuntimeTestMessages.dll,Missing.dll";
  modules.LoadPrimary(names, ExecutableDirectory());
  EXPECT_EQ(modules.Primary().size(), ErrorMessageModules::kSlots);
  for (const HMODULE module : modules.Primary()) EXPECT_NE(module, nullptr);
  EXPECT_EQ(LookupErrorText(static_cast<HRESULT>(0x80040200), modules), L"Test text of the first interface code");

  const std::vector<std::wstring> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(L"| ERR  |"), std::wstring::npos);
  EXPECT_NE(lines[0].find(L"| Loading errormsg module '" + m_testModule + L"' failed: No more slots\r\n"),
            std::wstring::npos) << lines[0];
  // A missing data file is "file not found" (Windows and Wine alike); the text follows the code.
  EXPECT_NE(lines[1].find(L"| Loading errormsg module '" + ExecutableDirectory() + L"Missing.dll' failed: 0x80070002 " +
                          GetErrorText(static_cast<HRESULT>(0x80070002)) + L" [0x"),
            std::wstring::npos) << lines[1];
  LogManager::Instance().RefreshSettings();
}

// The process-wide lists read "ErrorHandling"/"MessageFile", by default the
// module's own CoreErrorMessages.dll beside it.
TEST(GetErrorText, ModuleCodesComeFromCoreErrorMessages) {
  struct Case {
    uint32_t code;
    const wchar_t* text;
  };
  const Case cases[] = {
      {0x80040201, L"The path has no parent: \"..\" cannot be applied to the root path"},
      {0x80040901, L"The attribute encryption settings name the same node type more than once"},
      {0x80040903, L"The decrypted data is corrupt: its checksum does not match"},
      {0x80040904, L"The encrypted attribute value is invalid or cannot be decrypted"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(c.code)), c.text);
    EXPECT_EQ(GetErrorText(static_cast<HRESULT>(c.code)), c.text);  // from the cache
  }
  EXPECT_EQ(FormatError(ErrorDescription{static_cast<HRESULT>(0x8004FFFE), GetErrorText(static_cast<HRESULT>(0x8004FFFE)), L"0x1"}),
            L"0x8004FFFE <no description> [0x1]");
}

}  // namespace

// The process-wide masker and node dumps in real log lines. The masker is
// built once per process from "Logger"/"HiddenNodeTypeAttrs", so this
// program runs its steps in one order: a malformed setting first (never
// kept), then a valid one (kept for good).
#include "node/HiddenAttributeMasker.h"
#include "node/NodeDump.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/FileLogger.h"
#include "logging/LogStatement.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/HresultOf.h"
#include "support/NodeBuilder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using KestrovaTest::Build;
using KestrovaTest::HresultOf;
using KestrovaTest::NodeSpec;
using KestrovaTest::Text;
using RuntimeTest::ScopedEnvironmentVariable;
using RuntimeTest::TempDirectory;

constexpr wchar_t kHiddenSetting[] = L"GS_Logger_HiddenNodeTypeAttrs";
constexpr wchar_t kExceptionMark[] = L"... (***EXCEPTION***)";

// The log written into a temporary directory through the settings the
// module's logger reads, with a file logger like the module's.
class NodeDumpLogTest : public ::testing::Test {
 protected:
  NodeDumpLogTest()
      : m_path(L"GS_Logger_Path", m_temp.Path().c_str()),
        m_severity(L"GS_Logger_MaxSeverity", L"DBG3"),
        m_keepOpen(L"GS_Logger_KeepOpenInterval", L"0") {
    LogManager::Instance().RefreshSettings();
    m_logger = std::make_unique<FileLogger>(L"NodeDumpLoggingTests.log", L"");
    LogManager::Instance().Register(m_logger.get());
  }
  ~NodeDumpLogTest() override {
    LogManager::Instance().Unregister(m_logger.get());
    m_logger->CloseCachedHandle();
    LogManager::Instance().RefreshSettings();
  }

  std::wstring LogText() const { return RuntimeTest::ReadUtf16File(m_temp / L"NodeDumpLoggingTests.log"); }

  TempDirectory m_temp;
  ScopedEnvironmentVariable m_path;
  ScopedEnvironmentVariable m_severity;
  ScopedEnvironmentVariable m_keepOpen;
  std::unique_ptr<FileLogger> m_logger;
};

size_t Occurrences(const std::wstring& text, const std::wstring& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

DXNodePtr SecretTree() {
  return Build(NodeSpec{L"Root",
                        L"Item",
                        {Text(L"A1", L"root-secret"), Text(L"Plain", L"visible")},
                        {{L"Child", L"Other", {Text(L"A1", L"child-secret")}, {}}}});
}

TEST_F(NodeDumpLogTest, MalformedSettingFailsEveryDumpUntilAValidOneIsKept) {
  const DXNodePtr tree = SecretTree();
  {
    SCOPED_TRACE("malformed: every attempt raises, and every log line says so");
    ScopedEnvironmentVariable malformed(kHiddenSetting, L"*:A1;Item");
    EXPECT_EQ(HresultOf([] { CHiddenAttributeMasker::Instance(); }), E_INVALIDARG);
    EXPECT_EQ(HresultOf([&] { DXNodeRef reference(tree, true); }), E_INVALIDARG);
    KLOG_ERR(L"First dump: " << tree);
    KLOG_ERR(L"Second dump: " << DXNodeRef(tree, false) << L" never printed");
    // An empty node needs no masker.
    KLOG_ERR(L"Empty dump: " << DXNodePtr());
    EXPECT_EQ(HresultOf([] { CHiddenAttributeMasker::Instance(); }), E_INVALIDARG) << "the failure is not kept";

    const std::wstring log = LogText();
    EXPECT_NE(log.find(std::wstring(L"| First dump: ") + kExceptionMark + L"\r\n"), std::wstring::npos) << log;
    EXPECT_NE(log.find(std::wstring(L"| Second dump: ") + kExceptionMark + L"\r\n"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"| Empty dump: DXNode[<null>]\r\n"), std::wstring::npos) << log;
    EXPECT_EQ(log.find(L"secret"), std::wstring::npos);
  }
  {
    SCOPED_TRACE("valid: masks, and is kept");
    ScopedEnvironmentVariable valid(kHiddenSetting, L" * : A1 ");
    KLOG_ERR(L"Masked dump: " << tree);
    KLOG_ERR(L"Masked node alone: " << DXNodeRef(tree, false));
    const std::wstring log = LogText();
    const size_t masked = log.find(L"| Masked dump: DXNode[0x");
    ASSERT_NE(masked, std::wstring::npos) << log;
    const size_t alone = log.find(L"| Masked node alone: DXNode[0x");
    ASSERT_NE(alone, std::wstring::npos) << log;
    const std::wstring wholeText = log.substr(masked, alone - masked);
    EXPECT_EQ(Occurrences(wholeText, L"********"), 2u) << wholeText;
    EXPECT_NE(wholeText.find(L"visible"), std::wstring::npos);
    EXPECT_NE(wholeText.find(L"</node>\r\n"), std::wstring::npos) << "the dump continues on the next lines";
    const std::wstring aloneText = log.substr(alone);
    EXPECT_EQ(Occurrences(aloneText, L"********"), 1u) << aloneText;
    EXPECT_EQ(aloneText.find(L"Child"), std::wstring::npos);
    EXPECT_EQ(log.find(L"secret"), std::wstring::npos);
    EXPECT_EQ(tree.GetString(L"A1"), L"root-secret") << "the given tree keeps its values";
  }
  {
    SCOPED_TRACE("a later change of the setting is not seen");
    ScopedEnvironmentVariable malformed(kHiddenSetting, L"broken");
    EXPECT_EQ(HresultOf([] { CHiddenAttributeMasker::Instance(); }), S_OK);
    const DXNodeRef reference(tree, true);
    EXPECT_EQ(reference.Node().GetString(L"A1"), L"********");
  }
}

}  // namespace

#include "FrameTestRun.h"

#include "FrameTreePrinter.h"
#include "JUnitReport.h"
#include "NodeTextEdit.h"
#include "NodeTextFile.h"
#include "StandardStream.h"
#include "ToolError.h"
#include "ToolMain.h"
#include "Utf8Text.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/DXNodePtr.h"
#include "settings/FileSystem.h"

#include <windows.h>

#include <chrono>
#include <exception>
#include <new>

namespace KestrovaTools {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Each line of text, indented.
std::string Indented(const std::string& text, const char* indent) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const size_t stop = end == std::string::npos ? text.size() : end;
    out += indent + text.substr(start, stop - start) + "\n";
    start = stop + 1;
  }
  return out;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Whether two paths name one file: their full forms, letter case aside.
bool SamePath(const std::wstring& left, const std::wstring& right) {
  const auto full = [](const std::wstring& path) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
      if (length == 0) return path;
      if (length < buffer.size()) return buffer.substr(0, length);
      buffer.resize(length);
    }
  };
  return EqualNoCase(full(left), full(right));
}

// The frames as an "Expected" node, which is how a case keeps them.
std::string ExpectedElement(const NodeHandle& frames) {
  const DXNodePtr expected = DXNodePtr::Create(FrameTestFile::kExpected, nullptr);
  const uint32_t count = frames.ChildCount();
  for (uint32_t index = 0; index < count; ++index) {
    const NodeHandle frame = frames.Child(index);
    expected.AddChild(DXNodePtr(frame.Get(), DXNodePtr::Handle::Duplicate).Clone());
  }
  const std::optional<std::string> element =
      NodeTextEdit::ElementOfSerialization(NodeTextFile::ToText({expected.Get()}));
  if (!element) throw ToolError(kExitFailure, L"the expected frames cannot be written as node text");
  return *element;
}

class TestRun {
 public:
  explicit TestRun(const FrameTestKind& kind, const FrameTestOptions& options)
      : m_kind(kind), m_options(options), m_output(StandardStream::Output()) {}

  int Run() {
    if (m_options.junitPath) {
      for (const std::wstring& path : m_options.files) {
        if (SamePath(*m_options.junitPath, path)) {
          throw ToolError(kExitUsage, L"--junit names the test file '" + path + L"'");
        }
      }
    }
    for (const std::wstring& path : m_options.files) RunFile(path);
    // A report that cannot be written is told on standard error; the counts
    // still end the output.
    if (m_options.junitPath) {
      try {
        for (const std::wstring& input : m_inputs) {
          if (SamePath(*m_options.junitPath, input)) {
            throw ToolError(kExitFailure, L"the JUnit report file '" + *m_options.junitPath +
                                              L"' is an input of the cases: not written");
          }
        }
        const std::string report = JUnitReport::Document(ToUtf8(m_kind.tool), m_suites);
        NodeTextFile::WriteBytes(report, *m_options.junitPath, L"JUnit report");
      } catch (const ToolError& error) {
        ReportToolError(m_kind.tool, error.Message());
        m_writeFailed = true;
      }
    }
    m_output.Write(std::to_string(m_passed) + " passed, " + std::to_string(m_failed) + " failed\n");
    m_output.Flush();
    if (m_inputErrors > 0) return kExitUsage;
    return m_failed > m_updated || m_writeFailed ? kExitFailure : kExitSuccess;
  }

 private:
  struct Update {
    const FrameTestCase* testCase;
    NodeHandle frames;
  };

  void RunFile(const std::wstring& path) {
    const Clock::time_point start = Clock::now();
    JUnitSuite suite{ToUtf8(path), {}, 0};
    std::optional<FrameTestFile> file;
    try {
      file = FrameTestFile::Read(path, m_kind.schema);
    } catch (const ToolError& error) {
      if (error.Status() != kExitUsage) throw;
      ReportInputError(suite, ToUtf8(path), ToUtf8(error.Message()));
      suite.seconds = SecondsSince(start);
      m_suites.push_back(std::move(suite));
      return;
    }
    std::vector<Update> updates;
    if (file->Cases().empty()) {
      ReportInputError(suite, ToUtf8(path), "test file '" + ToUtf8(path) + "' holds no case");
    }
    for (const FrameTestCase& testCase : file->Cases()) {
      NoteInputs(testCase);
      if (NodeHandle frames = RunCase(*file, testCase, suite)) updates.push_back({&testCase, std::move(frames)});
      m_output.Flush();
    }
    if (!updates.empty()) {
      // A file that cannot be rewritten is told; the other files still run.
      try {
        WriteUpdates(*file, updates);
      } catch (const ToolError& error) {
        ReportToolError(m_kind.tool, error.Message());
        m_writeFailed = true;
      } catch (const HRX& hr) {
        ReportToolError(m_kind.tool,
                        L"test file '" + file->Path() + L"' not updated: " + FormatError(hr, ErrorFormat::NoLocation));
        m_writeFailed = true;
      }
    }
    suite.seconds = SecondsSince(start);
    m_suites.push_back(std::move(suite));
  }

  // The case's actual frames when --update is to write them.
  NodeHandle RunCase(const FrameTestFile& file, const FrameTestCase& testCase, JUnitSuite& suite) {
    const Clock::time_point start = Clock::now();
    const std::string title = "test file '" + ToUtf8(file.Path()) + "': case " + QuotedUtf8(testCase.Name());
    JUnitCase outcome{ToUtf8(testCase.Name()), JUnitCase::Outcome::Passed, {}, {}, 0};
    if (const std::optional<std::wstring>& problem = testCase.Problem()) {
      ReportInputError(suite, ToUtf8(testCase.Name()), ToUtf8(*problem));
      return {};
    }
    FrameTestResult result;
    const NodeHandle& actual = result.frames;
    std::string failure;
    try {
      result = m_kind.run(testCase);
    } catch (const ToolError& error) {
      if (error.Status() == kExitUsage) {
        // Messages of the case's own checks name the file and the case already.
        const std::string message = ToUtf8(error.Message());
        ReportInputError(suite, ToUtf8(testCase.Name()),
                         message.starts_with("test file '") ? message : title + ": " + message);
        return {};
      }
      failure = ToUtf8(error.Message());
    } catch (const HRX& hr) {
      failure = ToUtf8(FormatError(hr, ErrorFormat::NoLocation));
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& exception) {
      failure = exception.what();
    } catch (...) {
      failure = "an exception of an unknown type";
    }
    std::string details;
    if (!failure.empty()) {
      const size_t lineEnd = failure.find('\n');
      details = "the run failed: " + FirstLine(failure) + "\n" +
                (lineEnd == std::string::npos ? std::string() : Indented(failure.substr(lineEnd + 1), "  "));
    } else if (!testCase.Expected()) {
      details = "no expected frames yet (--update records them)\n  actual frames:\n" +
                Indented(FrameTreePrinter::Print(actual), "    ");
    } else if (const std::optional<std::string> difference =
                   FirstFrameDifference(testCase.Expected(), actual, result.order)) {
      details = *difference + "\n  expected frames:\n" +
                Indented(FrameTreePrinter::Print(testCase.Expected()), "    ") + "  actual frames:\n" +
                Indented(FrameTreePrinter::Print(actual), "    ");
    }
    outcome.seconds = SecondsSince(start);
    if (details.empty()) {
      ++m_passed;
    } else {
      ++m_failed;
      outcome.outcome = JUnitCase::Outcome::Failed;
      outcome.message = FirstLine(details);
      outcome.details = details;
      m_output.Write("FAIL " + title + ": " + details);
    }
    suite.cases.push_back(std::move(outcome));
    if (!m_options.update || details.empty() || !failure.empty()) return {};
    return std::move(result.frames);
  }

  // The expected frames of the cases rewritten in the file's own bytes; the
  // new text is read back before it replaces the file.
  void WriteUpdates(const FrameTestFile& file, const std::vector<Update>& updates) {
    std::string text = file.Bytes();
    for (const Update& update : updates) {
      const FrameTestCase& testCase = *update.testCase;
      const std::string element = ExpectedElement(update.frames);
      const std::optional<std::string> edited =
          testCase.ExpectedIndex()
              ? NodeTextEdit::ReplaceNode(text, {0, testCase.Index(), *testCase.ExpectedIndex()}, element)
              : NodeTextEdit::InsertLastChild(text, {0, testCase.Index()}, element);
      if (!edited) {
        throw ToolError(kExitFailure, L"test file '" + file.Path() + L"': the expected frames of case \"" +
                                          testCase.Name() + L"\" cannot be located in its text");
      }
      text = *edited;
    }
    NodeTextFile::ReadFirstNodeFromText(text, (L"the updated test file '" + file.Path() + L"'").c_str());
    // An edit made while the cases ran is not overwritten.
    if (NodeTextFile::ReadBytes(file.Path(), L"test") != file.Bytes()) {
      throw ToolError(kExitFailure, L"test file '" + file.Path() + L"' changed while its cases ran: not updated");
    }
    NodeTextFile::WriteBytes(text, file.Path(), L"test");
    for (const Update& update : updates) {
      m_output.Write("updated test file '" + ToUtf8(file.Path()) + "': case " + QuotedUtf8(update.testCase->Name()) +
                     "\n");
      ++m_updated;
    }
  }

  // The files a case reads, so that the report never replaces one.
  void NoteInputs(const FrameTestCase& testCase) {
    if (!m_options.junitPath || testCase.Problem()) return;
    for (const auto* names : {&m_kind.schema.inputs, &m_kind.schema.optionalInputs}) {
      for (const std::wstring& input : *names) {
        try {
          if (std::optional<std::wstring> path = testCase.InputPath(input.c_str()))
            m_inputs.push_back(std::move(*path));
        } catch (const ToolError&) {
          // Not a path: the case reports it when it runs.
        }
      }
    }
  }

  void ReportInputError(JUnitSuite& suite, std::string name, const std::string& message) {
    ++m_inputErrors;
    ++m_failed;
    m_output.Write("ERROR " + message + "\n");
    suite.cases.push_back({std::move(name), JUnitCase::Outcome::Error, message, message + "\n", 0});
  }

  const FrameTestKind& m_kind;
  const FrameTestOptions& m_options;
  StandardStream& m_output;
  std::vector<JUnitSuite> m_suites;
  size_t m_passed = 0;
  size_t m_failed = 0;
  size_t m_updated = 0;
  size_t m_inputErrors = 0;
  bool m_writeFailed = false;  // the report or a rewritten test file
  std::vector<std::wstring> m_inputs;
};

}  // namespace

int RunFrameTests(const FrameTestKind& kind, const FrameTestOptions& options) { return TestRun(kind, options).Run(); }

}  // namespace KestrovaTools

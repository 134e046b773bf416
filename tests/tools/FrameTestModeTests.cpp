// The test mode of both tools run as processes: test files written into a
// scratch folder, the tool's lines, exit status, the files --update leaves
// and the JUnit report read back with MSXML; and the frames the guide's test
// file expects held against the committed outputs of the same rules.
#include "ToolProcess.h"

#include "node/DXNodePtr.h"
#include "node/NodeSerialization.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace KestrovaTest;
namespace fs = std::filesystem;

ToolRun RunResolve(const std::vector<std::wstring>& arguments) {
  return RunProgram(L"kestrova-resolve.exe", arguments);
}
ToolRun RunHost(const std::vector<std::wstring>& arguments) { return RunProgram(L"kestrova-host.exe", arguments); }

// ---- Files and texts -----------------------------------------------------------

std::wstring SourcePath(const char* directory, const std::string& file) {
  const std::string unixPath = std::string(directory) + "/" + file;
  const std::wstring wide(unixPath.begin(), unixPath.end());
  wchar_t full[MAX_PATH] = {};
  const DWORD length = ::GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
  return length > 0 && length < MAX_PATH ? std::wstring(full, length) : wide;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  ASSERT_TRUE(file.good()) << "cannot write " << path.string();
}

std::string Utf8(const std::wstring& text) {
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
  return bytes;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::string LastLine(const std::string& text) {
  const std::vector<std::string> lines = Lines(text);
  return lines.empty() ? std::string() : lines.back();
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& start) {
  std::vector<std::string> found;
  for (const std::string& line : Lines(text))
    if (line.starts_with(start)) found.push_back(line);
  return found;
}

std::string UtcNowText() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_s(&utc, &now);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// A folder of the test's own, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    const fs::path base = fs::temp_directory_path() / "kestrova-frame-test-mode";
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    m_path = base / (std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(stamp));
    fs::create_directories(m_path);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::wstring operator/(const std::string& name) const { return (m_path / name).wstring(); }
  // The file written, by its Windows path.
  std::wstring Write(const std::string& name, const std::string& bytes) const {
    const std::wstring path = *this / name;
    WriteBytes(path, bytes);
    return path;
  }

 private:
  fs::path m_path;
};

// ---- Frames, both as node text and as the tree the tool prints -----------------

struct Frame {
  std::string name;
  std::string type;  // of the value; empty for a group frame, which has none
  std::string value;
  std::vector<Frame> items;
};

std::string NodeText(const Frame& frame) {
  std::string text = "<node type=\"UsageActivityFrame\"><attr name=\"Name\" type=\"text\">" + frame.name + "</attr>";
  if (!frame.type.empty()) text += "<attr name=\"Value\" type=\"" + frame.type + "\">" + frame.value + "</attr>";
  for (const Frame& item : frame.items) text += NodeText(item);
  return text + "</node>";
}

std::string NodeText(const std::vector<Frame>& frames) {
  std::string text;
  for (const Frame& frame : frames) text += NodeText(frame);
  return text;
}

std::string TreeLine(const Frame& frame) {
  std::string line = "\"" + frame.name + "\"";
  if (frame.type == "text") line += " = \"" + frame.value + "\"";
  if (frame.type == "int64") line += " = " + frame.value;
  return line;
}

// The frames as printed under "expected frames:" and "actual frames:".
std::string Tree(const std::vector<Frame>& frames, const std::string& indent = "    ") {
  std::string text;
  for (const Frame& frame : frames) {
    text += indent + TreeLine(frame) + "\n";
    if (!frame.items.empty()) text += Tree(frame.items, indent + "  ");
  }
  return frames.empty() ? indent + "(no frames)\n" : text;
}

// ---- Rule tests --------------------------------------------------------------

// A small source and rules that give an item, a counter and a group frame.
constexpr char kSource[] =
    "<node name=\"Shop\" type=\"Section\">"
    "<attr name=\"Mode\" type=\"text\">Full</attr>"
    "<node name=\"Users\"><node name=\"alice\" type=\"User\"><attr name=\"Role\" type=\"text\">Admin</attr></node>"
    "</node>"
    "<node name=\"Policies\">"
    "<node name=\"Passwords\"><attr name=\"Enabled\" type=\"text\">1</attr></node>"
    "<node name=\"Lockout\"><attr name=\"Enabled\" type=\"text\">0</attr></node>"
    "</node>"
    "</node>";

constexpr char kRules[] =
    "<node name=\"Rules\">"
    "<node type=\"UsageActivityItem\"><attr name=\"NameSource\" type=\"text\">Mode</attr>"
    "<attr name=\"ValueSource\" type=\"text\">@Mode</attr></node>"
    "<node type=\"UsageActivityItemCounter\"><attr name=\"NameSource\" type=\"text\">Users</attr>"
    "<attr name=\"ValueSource\" type=\"text\">\\Users\\*\\&lt;name&gt;</attr></node>"
    "<node name=\"Report\" type=\"UsageActivityItemsGroup\"><attr name=\"NameSource\" type=\"text\">Policies</attr>"
    "<attr name=\"ConfigPath\" type=\"text\">\\Policies\\*</attr>"
    "<node type=\"UsageActivityItem\"><attr name=\"NameSource\" type=\"text\">&lt;name&gt;</attr>"
    "<attr name=\"ValueSource\" type=\"text\">@Enabled</attr></node>"
    "</node>"
    "</node>";

// The frames of kRules on kSource.
const std::vector<Frame> kActual = {
    {"Mode", "text", "Full", {}},
    {"Users", "int64", "1", {}},
    {"Policies", "", "", {{"Passwords", "text", "1", {}}, {"Lockout", "text", "0", {}}}},
};

// Rules that name the node they start at: "StartPath" shows in the frame.
constexpr char kWhereRules[] =
    "<node name=\"Rules\"><node type=\"UsageActivityItem\"><attr name=\"NameSource\" type=\"text\">Here</attr>"
    "<attr name=\"ValueSource\" type=\"text\">&lt;name&gt;</attr></node></node>";

std::string Suite(const std::string& cases, const char* type = "RuleTests") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<nr><node name=\"suite\" type=\"" + std::string(type) + "\">" +
         cases + "</node></nr>\n";
}
std::string Case(const std::string& name, const std::string& body, const char* type = "RuleTest") {
  return "<node name=\"" + name + "\" type=\"" + type + "\">" + body + "</node>";
}
std::string Inline(const std::string& input, const std::string& node) {
  return "<node name=\"" + input + "\">" + node + "</node>";
}
std::string ByPath(const std::string& input, const std::string& path) {
  return "<attr name=\"" + input + "\" type=\"text\">" + path + "</attr>";
}
std::string Text(const std::string& name, const std::string& value) { return ByPath(name, value); }
std::string Expected(const std::vector<Frame>& frames) { return Inline("Expected", NodeText(frames)); }
const std::string kInlineInputs = Inline("Rules", kRules) + Inline("Source", kSource);

std::string FailLine(const std::wstring& file, const std::string& testCase, const std::string& difference) {
  return "FAIL test file '" + Utf8(file) + "': case \"" + testCase + "\": " + difference + "\n";
}

// While Kestrova.dll answers E_NOTIMPL for the resolver, the cases that need
// its frames are skipped.
bool ResolverAnswers() {
  static const bool answers = [] {
    const ScratchFolder scratch;
    const ToolRun run = RunResolve({L"--test", scratch.Write("probe.tests.txt", Suite(Case("probe", kInlineInputs)))});
    return !Contains(run.output, "0x80004001");
  }();
  return answers;
}

#define SKIP_UNLESS_RESOLVER_ANSWERS() \
  if (!ResolverAnswers()) GTEST_SKIP() << "the items resolver of Kestrova.dll answers E_NOTIMPL"

TEST(ResolveTestMode, PassingCasesWithInputsInlineAndByPath) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  scratch.Write("rules.txt", std::string("<nr>") + kRules + "</nr>");
  fs::create_directories(scratch / "inputs");
  scratch.Write("inputs/source.txt", std::string("<nr>") + kSource + "</nr>");
  const std::wstring file = scratch.Write(
      "pass.tests.txt",
      Suite(Case("inline", kInlineInputs + Expected(kActual)) +
            Case("by path", ByPath("Rules", "rules.txt") + ByPath("Source", "inputs\\source.txt") + Expected(kActual)) +
            Case("mixed", ByPath("Source", "inputs/source.txt") + Inline("Rules", kRules) + Expected(kActual)) +
            // An absolute path is taken as it is.
            Case("absolute",
                 ByPath("Rules", Utf8(scratch / "rules.txt")) + Inline("Source", kSource) + Expected(kActual))));
  const ToolRun run = RunResolve({L"--test", file});
  EXPECT_EQ(run.exitCode, 0u) << run.output << run.error;
  EXPECT_EQ(run.output, "4 passed, 0 failed\n");
  EXPECT_EQ(run.error, "");
}

TEST(ResolveTestMode, StartPathPicksTheNodeTheRulesRunOn) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const std::string inputs = Inline("Rules", kWhereRules) + Inline("Source", kSource);
  const auto at = [&](const std::string& name, const std::string& startPath, const char* node) {
    return Case(name, Text("StartPath", startPath) + inputs + Expected({{"Here", "text", node, {}}}));
  };
  const std::wstring file = scratch.Write(
      "start.tests.txt",
      Suite(Case("no StartPath", inputs + Expected({{"Here", "text", "Shop", {}}})) + at("empty", "", "Shop") +
            at("backslash", "\\", "Shop") + at("nested", "Users\\alice", "alice") +
            at("nested absolute", "\\Users\\alice", "alice") + at("trailing backslash", "\\Users\\", "Users")));
  const ToolRun run = RunResolve({L"--test", file});
  EXPECT_EQ(run.exitCode, 0u) << run.output << run.error;
  EXPECT_EQ(run.output, "6 passed, 0 failed\n");

  // A node the source does not have: an input error of the case, located;
  // the file's other case still runs.
  const std::wstring missing = scratch.Write(
      "missing.tests.txt",
      Suite(at("zed", "\\Users\\zed", "zed") + at("alice", "\\Users\\alice", "alice") +
            at("empty element", "Users\\\\alice", "alice") +
            at("empty before a missing name", "\\zed\\\\alice", "alice") + at("two backslashes", "\\\\", "Shop")));
  const ToolRun located = RunResolve({L"--test", missing});
  EXPECT_EQ(located.exitCode, 2u);
  EXPECT_EQ(located.output, "ERROR test file '" + Utf8(missing) +
                                "': case \"zed\": \"StartPath\" '\\Users\\zed': no node \"zed\" in the source\n"
                                "ERROR test file '" +
                                Utf8(missing) +
                                "': case \"empty element\": \"StartPath\" 'Users\\\\alice' has an empty element\n"
                                "ERROR test file '" +
                                Utf8(missing) +
                                "': case \"empty before a missing name\": \"StartPath\" '\\zed\\\\alice' has an empty "
                                "element\n"
                                "ERROR test file '" +
                                Utf8(missing) +
                                "': case \"two backslashes\": \"StartPath\" '\\\\' has an empty element\n" +
                                "1 passed, 4 failed\n");
}

struct DifferenceCase {
  const char* what;
  std::vector<Frame> expected;
  const char* difference;  // the FAIL line's text after the case
};

TEST(ResolveTestMode, EachKindOfDifferenceFailsWithItsLineAndBothTrees) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const Frame mode = kActual[0];
  const Frame users = kActual[1];
  const Frame policies = kActual[2];
  const Frame passwords = policies.items[0];
  const Frame lockout = policies.items[1];
  const Frame extra{"Extra", "text", "x", {}};
  const DifferenceCase cases[] = {
      {"frame missing in the middle",
       {mode, extra, users, policies},
       "frame 2: expected \"Extra\" = \"x\", not received"},
      {"frame missing at the end", {mode, users, policies, extra}, "frame 4: expected \"Extra\" = \"x\", not received"},
      {"frame not expected in the middle", {mode, policies}, "frame 2: not expected: \"Users\" = 1"},
      {"frame not expected at the end", {mode, users}, "frame 3: not expected: \"Policies\""},
      {"no frames expected", {}, "frame 1: not expected: \"Mode\" = \"Full\""},
      {"item value",
       {{"Mode", "text", "Partial", {}}, users, policies},
       "frame 1 \"Mode\": Value: expected \"Partial\", actual \"Full\""},
      {"value type",
       {mode, {"Users", "text", "1", {}}, policies},
       "frame 2 \"Users\": Value: expected text \"1\", actual int64 1"},
      {"no value expected",
       {{"Mode", "", "", {}}, users, policies},
       "frame 1 \"Mode\": Value not expected (actual \"Full\")"},
      {"value missing",
       {mode, users, {"Policies", "text", "on", policies.items}},
       "frame 3 \"Policies\": Value missing (expected \"on\")"},
      {"nested item missing",
       {mode, users, {"Policies", "", "", {passwords, lockout, {"Audit", "text", "2", {}}}}},
       "frame 3 \"Policies\": item 3 missing: expected \"Audit\" = \"2\""},
      {"nested item not expected",
       {mode, users, {"Policies", "", "", {passwords}}},
       "frame 3 \"Policies\": item 2 not expected: \"Lockout\" = \"0\""},
      {"nested item value",
       {mode, users, {"Policies", "", "", {passwords, {"Lockout", "text", "1", {}}}}},
       "frame 3 \"Policies\" > item 2 \"Lockout\": Value: expected \"1\", actual \"0\""},
      {"frames in another order",
       {users, mode, policies},
       "frame 1 \"Users\": Name: expected \"Users\", actual \"Mode\" (the same frames in another order)"},
      {"items in another order",
       {mode, users, {"Policies", "", "", {lockout, passwords}}},
       "frame 3 \"Policies\" > item 1 \"Lockout\": Name: expected \"Lockout\", actual \"Passwords\" (the same items "
       "in another order)"},
  };
  const ScratchFolder scratch;
  for (const DifferenceCase& difference : cases) {
    SCOPED_TRACE(difference.what);
    const std::wstring file =
        scratch.Write("difference.tests.txt", Suite(Case("c", kInlineInputs + Expected(difference.expected))));
    const ToolRun run = RunResolve({L"--test", file});
    EXPECT_EQ(run.exitCode, 1u) << run.error;
    EXPECT_EQ(run.output, FailLine(file, "c", difference.difference) + "  expected frames:\n" +
                              Tree(difference.expected) + "  actual frames:\n" + Tree(kActual) +
                              "0 passed, 1 failed\n");
    EXPECT_EQ(run.error, "");
  }
}

// Frames of one Name, one per value: the frame left out or added is named,
// not the first pair that happens to differ.
TEST(ResolveTestMode, AFrameAmongFramesOfOneNameIsNamedMissingOrNotExpected) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  constexpr char kRoles[] =
      "<node name=\"Rules\"><node type=\"UsageActivityItem\"><attr name=\"NameSource\" type=\"text\">Role</attr>"
      "<attr name=\"ValueSource\" type=\"text\">\\*\\@Role</attr>"
      "<attr name=\"ActivityItemType\" type=\"int32\">2</attr></node></node>";
  constexpr char kUsers[] =
      "<node name=\"Users\">"
      "<node name=\"a\"><attr name=\"Role\" type=\"text\">r1</attr></node>"
      "<node name=\"b\"><attr name=\"Role\" type=\"text\">r2</attr></node>"
      "<node name=\"c\"><attr name=\"Role\" type=\"text\">r3</attr></node>"
      "</node>";
  const Frame r1{"Role", "text", "r1", {}};
  const Frame r2{"Role", "text", "r2", {}};
  const Frame r3{"Role", "text", "r3", {}};
  const DifferenceCase cases[] = {
      {"one left out", {r1, r3}, "frame 2: not expected: \"Role\" = \"r2\""},
      {"one added", {r1, r2, {"Role", "text", "r9", {}}, r3}, "frame 3: expected \"Role\" = \"r9\", not received"},
      {"one changed", {r1, {"Role", "text", "r9", {}}, r3}, "frame 2 \"Role\": Value: expected \"r9\", actual \"r2\""},
  };
  const ScratchFolder scratch;
  for (const DifferenceCase& difference : cases) {
    SCOPED_TRACE(difference.what);
    const std::wstring file = scratch.Write(
        "names.tests.txt",
        Suite(Case("c", Inline("Rules", kRoles) + Inline("Source", kUsers) + Expected(difference.expected))));
    const ToolRun run = RunResolve({L"--test", file});
    EXPECT_EQ(run.exitCode, 1u) << run.error;
    const std::string line = FailLine(file, "c", difference.difference);
    EXPECT_EQ(LinesStartingWith(run.output, "FAIL "), std::vector<std::string>{line.substr(0, line.size() - 1)});
  }
}

// --junit never replaces a file the run reads.
TEST(ResolveTestMode, TheReportIsNeverWrittenOverATestFileOrAnInput) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const std::string rules = "<nr>" + std::string(kRules) + "</nr>";
  const std::wstring rulesFile = scratch.Write("my.rules.txt", rules);
  const std::string text =
      Suite(Case("c", ByPath("Rules", "my.rules.txt") + Inline("Source", kSource) + Expected(kActual)));
  const std::wstring file = scratch.Write("c.tests.txt", text);

  const ToolRun overTestFile = RunResolve({L"--test", file, L"--junit", file});
  EXPECT_EQ(overTestFile.exitCode, 2u) << overTestFile.output << overTestFile.error;
  EXPECT_EQ(overTestFile.error, "kestrova-resolve: --junit names the test file '" + Utf8(file) + "'\n");
  EXPECT_EQ(ReadBytes(file), text);

  const ToolRun overInput = RunResolve({L"--test", file, L"--junit", rulesFile});
  EXPECT_EQ(overInput.exitCode, 1u) << overInput.output << overInput.error;
  EXPECT_EQ(overInput.output, "1 passed, 0 failed\n");
  EXPECT_EQ(overInput.error, "kestrova-resolve: the JUnit report file '" + Utf8(rulesFile) +
                                 "' is an input of the cases: not written\n");
  EXPECT_EQ(ReadBytes(rulesFile), rules);
}

// A file beside the test file with the name a careless rewrite would use.
TEST(ResolveTestMode, UpdateLeavesOtherFilesBesideTheTestFile) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const std::wstring file = scratch.Write("n.tests.txt", Suite(Case("new", kInlineInputs)));
  const std::wstring beside = scratch.Write("n.tests.txt.tmp", "precious");
  const ToolRun run = RunResolve({L"--test", file, L"--update"});
  EXPECT_EQ(run.exitCode, 0u) << run.output << run.error;
  EXPECT_EQ(ReadBytes(beside), "precious");
}

TEST(ResolveTestMode, ANewCaseFailsAndShowsItsFrames) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const std::wstring file = scratch.Write(
      "new.tests.txt", Suite(Case("old", kInlineInputs + Expected(kActual)) + Case("new", kInlineInputs)));
  const std::string before = ReadBytes(file);
  const ToolRun run = RunResolve({L"--test", file});
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.output, FailLine(file, "new", "no expected frames yet (--update records them)") + "  actual frames:\n" +
                            Tree(kActual) + "1 passed, 1 failed\n");
  EXPECT_EQ(ReadBytes(file), before) << "without --update the file stays";
}

// The text between fixed pieces of a file: the pieces must come in order, the
// first at the start and the last at the end; std::nullopt otherwise.
std::optional<std::vector<std::string>> Between(const std::string& text, const std::vector<std::string>& pieces) {
  if (!text.starts_with(pieces.front())) return std::nullopt;
  std::vector<std::string> gaps;
  size_t at = pieces.front().size();
  for (size_t index = 1; index < pieces.size(); ++index) {
    const bool last = index + 1 == pieces.size();
    const size_t found = last ? (text.ends_with(pieces.back()) && text.size() - pieces.back().size() >= at
                                     ? text.size() - pieces.back().size()
                                     : std::string::npos)
                              : text.find(pieces[index], at);
    if (found == std::string::npos) return std::nullopt;
    gaps.push_back(text.substr(at, found - at));
    at = found + pieces[index].size();
  }
  return gaps;
}

bool OnlyCrLf(const std::string& text) {
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
    if (at == 0 || text[at - 1] != '\r') return false;
  return true;
}

TEST(ResolveTestMode, UpdateRewritesOnlyTheExpectedFramesOfFailingAndNewCases) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  scratch.Write("rules.txt", std::string("<nr>") + kRules + "</nr>");
  scratch.Write("source.txt", std::string("<nr>") + kSource + "</nr>");
  const std::string inputs =
      "<attr name=\"Rules\" type=\"text\">rules.txt</attr>\r\n"
      "       <attr name=\"Source\" type=\"text\">source.txt</attr>";
  // A byte order mark, comments, blank lines, tabs and uneven indentation,
  // CRLF line ends; the pieces between the edits must stay byte for byte.
  const std::vector<std::string> pieces = {
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
      "<!-- rule tests, laid out by hand -->\r\n"
      "<nr>\r\n"
      "\r\n"
      " <node name=\"layout\" type=\"RuleTests\">\r\n"
      "   <!-- passes: not touched -->\r\n"
      "\t<node name=\"passing\" type=\"RuleTest\">\r\n"
      "\t  " +
          inputs + "\r\n\t  " + Expected(kActual) +
          "\r\n"
          "\t</node>\r\n"
          "\r\n"
          "     <node name=\"failing\" type=\"RuleTest\"><!-- Mode differs -->\r\n"
          "       " +
          inputs +
          "\r\n"
          "\t\t   ",
      // (the failing case's "Expected")
      "\r\n"
      "       <!-- after the expected frames -->\r\n"
      "     </node>\r\n"
      "  <node name=\"expected first\" type=\"RuleTest\">\r\n"
      "    ",
      // (an empty, self-closing "Expected" before the inline inputs)
      "\r\n    " + Inline("Rules", kRules) + "\r\n    " + Inline("Source", kSource) +
          "\r\n"
          "  </node>\r\n"
          "   <node name=\"new\" type=\"RuleTest\">\r\n"
          "       " +
          inputs,
      // (the new case's "Expected", inserted)
      "\r\n"
      "   </node>\r\n"
      "<node name=\"new compact\" type=\"RuleTest\">" +
          inputs,
      // (the compact new case's "Expected", inserted)
      "</node>\r\n"
      " </node>\r\n"
      "</nr>\r\n"
      "<!-- the end -->\r\n",
  };
  const std::vector<Frame> wrong = {{"Mode", "text", "Partial", {}}, kActual[1], kActual[2]};
  const std::string original = pieces[0] + "<node name=\"Expected\">\r\n\t\t     " + NodeText(wrong[0]) +
                               "\r\n\t\t     " + NodeText({wrong[1], wrong[2]}) + "\r\n\t\t   </node>" + pieces[1] +
                               "<node name=\"Expected\" />" + pieces[2] + pieces[3] + pieces[4];
  const std::wstring file = scratch.Write("layout.tests.txt", original);

  const ToolRun update = RunResolve({L"--test", file, L"--update"});
  EXPECT_EQ(update.exitCode, 0u) << update.output << update.error;
  EXPECT_EQ(LastLine(update.output), "1 passed, 4 failed");
  const std::string updatedPrefix = "updated test file '" + Utf8(file) + "': case ";
  EXPECT_EQ(LinesStartingWith(update.output, "updated "),
            (std::vector<std::string>{updatedPrefix + "\"failing\"", updatedPrefix + "\"expected first\"",
                                      updatedPrefix + "\"new\"", updatedPrefix + "\"new compact\""}));
  EXPECT_TRUE(LinesStartingWith(update.output, "FAIL ").size() == 4u) << update.output;

  const std::string updated = ReadBytes(file);
  const std::optional<std::vector<std::string>> gaps = Between(updated, pieces);
  ASSERT_TRUE(gaps.has_value()) << "bytes outside the expected frames changed:\n" << updated;
  ASSERT_EQ(gaps->size(), 4u);
  for (const std::string& gap : *gaps) {
    SCOPED_TRACE(gap);
    EXPECT_TRUE(OnlyCrLf(gap)) << "the file's own line ends";
    EXPECT_TRUE(Contains(gap, "<node name=\"Expected\">")) << "a written element of expected frames";
    EXPECT_TRUE(gap.find_last_not_of(" \t\r\n") == gap.rfind("</node>") + 6) << "nothing after the element";
  }
  // Replaced elements start where the old ones did and take their
  // indentation; inserted ones come on a line of their own.
  EXPECT_TRUE((*gaps)[0].starts_with("<node name=\"Expected\">\r\n\t\t     <node")) << (*gaps)[0];
  EXPECT_TRUE((*gaps)[1].starts_with("<node name=\"Expected\">\r\n      <node")) << (*gaps)[1];
  EXPECT_TRUE((*gaps)[2].starts_with("\r\n     <node name=\"Expected\">\r\n       <node")) << (*gaps)[2];
  EXPECT_TRUE((*gaps)[2].ends_with("\r\n     </node>")) << (*gaps)[2];
  EXPECT_TRUE((*gaps)[3].starts_with("\r\n  <node name=\"Expected\">\r\n    <node")) << (*gaps)[3];
  EXPECT_TRUE((*gaps)[3].ends_with("\r\n  </node>\r\n")) << "the end tag on a line of its own: " << (*gaps)[3];

  // The file now passes; another --update leaves it as it is.
  const ToolRun again = RunResolve({L"--test", file, L"--update"});
  EXPECT_EQ(again.exitCode, 0u) << again.output << again.error;
  EXPECT_EQ(again.output, "5 passed, 0 failed\n");
  EXPECT_EQ(ReadBytes(file), updated);
}

// A line break inside a text value is the value's: the recorded element
// keeps it a bare LF in a CRLF file, and the file then passes.
TEST(ResolveTestMode, UpdateKeepsLineBreaksInsideValues) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const std::string rules =
      "<node name=\"Rules\"><node type=\"UsageActivityItem\"><attr name=\"NameSource\" type=\"text\">Mode</attr>"
      "<attr name=\"ValueSource\" type=\"text\">@Mode</attr></node></node>";
  const std::string head =
      "<nr>\r\n  <node name=\"s\" type=\"RuleTests\">\r\n    <node name=\"lf\" type=\"RuleTest\">\r\n      " +
      Inline("Rules", rules) + "\r\n      " +
      Inline("Source", "<node name=\"Shop\"><attr name=\"Mode\" type=\"text\">a\nb</attr></node>");
  const std::string tail = "\r\n    </node>\r\n  </node>\r\n</nr>\r\n";
  const std::wstring file = scratch.Write("lf.tests.txt", head + tail);
  const ToolRun update = RunResolve({L"--test", file, L"--update"});
  EXPECT_EQ(update.exitCode, 0u) << update.output;
  EXPECT_TRUE(Contains(update.output, "    \"Mode\" = \"a\\nb\"\n")) << update.output;
  const std::string updated = ReadBytes(file);
  ASSERT_TRUE(updated.starts_with(head) && updated.ends_with(tail)) << updated;
  EXPECT_TRUE(Contains(updated, "<attr name=\"Value\" type=\"text\">a\nb</attr>\r\n")) << updated;
  const ToolRun again = RunResolve({L"--test", file});
  EXPECT_EQ(again.exitCode, 0u) << again.output;
  EXPECT_EQ(again.output, "1 passed, 0 failed\n");
}

TEST(ResolveTestMode, UpdateLeavesCasesThatCouldNotRun) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const std::string broken = Case("broken", ByPath("Rules", "missing.rules.txt") + Inline("Source", kSource) +
                                                Expected({{"Mode", "text", "Partial", {}}}));
  const std::wstring file = scratch.Write("broken.tests.txt", Suite(broken + Case("new", kInlineInputs)));
  const ToolRun run = RunResolve({L"--test", file, L"--update"});
  EXPECT_EQ(run.exitCode, 2u) << run.output;
  EXPECT_EQ(LinesStartingWith(run.output, "updated "),
            std::vector<std::string>{"updated test file '" + Utf8(file) + "': case \"new\""});
  EXPECT_TRUE(Contains(ReadBytes(file), broken)) << "the case that could not run keeps its frames";
}

// A test file that cannot be rewritten stays as it was; the next file still
// runs and the counts end the output.
TEST(ResolveTestMode, AnUpdateThatCannotBeWrittenFailsTheRunAndLeavesTheFile) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const std::string text = Suite(Case("new", kInlineInputs));
  const std::wstring locked = scratch.Write("locked.tests.txt", text);
  const std::wstring other = scratch.Write("other.tests.txt", text);
  // Held open for reading by others only, so the file cannot be replaced
  // (a read-only file would do on Windows, but Wine replaces it).
  const HANDLE hold = ::CreateFileW(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);
  const ToolRun run = RunResolve({L"--test", locked, other, L"--update"});
  ::CloseHandle(hold);
  EXPECT_EQ(run.exitCode, 1u) << run.output << run.error;
  EXPECT_TRUE(run.error.starts_with("kestrova-resolve: cannot replace test file '" + Utf8(locked) + "'")) << run.error;
  EXPECT_EQ(LinesStartingWith(run.output, "updated "),
            std::vector<std::string>{"updated test file '" + Utf8(other) + "': case \"new\""});
  EXPECT_EQ(LastLine(run.output), "0 passed, 2 failed");
  EXPECT_EQ(ReadBytes(locked), text);
  for (const auto& entry : fs::directory_iterator(fs::path(locked).parent_path())) {
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
}

// ---- The JUnit report, read with MSXML ----------------------------------------

struct XmlElement {
  std::wstring name;
  std::map<std::wstring, std::wstring> attributes;
  std::wstring text;  // all text below the element
  std::vector<XmlElement> children;

  std::vector<const XmlElement*> Children(const std::wstring& childName) const {
    std::vector<const XmlElement*> found;
    for (const XmlElement& child : children)
      if (child.name == childName) found.push_back(&child);
    return found;
  }
  std::string Attribute(const std::wstring& attribute) const {
    const auto found = attributes.find(attribute);
    return found == attributes.end() ? "(none)" : Utf8(found->second);
  }
};

template <typename T>
struct ComRelease {
  T* p = nullptr;
  ~ComRelease() {
    if (p != nullptr) p->Release();
  }
  T** operator&() { return &p; }
  T* operator->() const { return p; }
};

std::wstring TakeBstr(BSTR text) {
  std::wstring value = text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
  ::SysFreeString(text);
  return value;
}

XmlElement ReadElement(IXMLDOMNode* node) {
  XmlElement element;
  BSTR text = nullptr;
  node->get_nodeName(&text);
  element.name = TakeBstr(text);
  text = nullptr;
  node->get_text(&text);
  element.text = TakeBstr(text);
  ComRelease<IXMLDOMNamedNodeMap> attributes;
  if (SUCCEEDED(node->get_attributes(&attributes)) && attributes.p != nullptr) {
    long count = 0;
    attributes->get_length(&count);
    for (long index = 0; index < count; ++index) {
      ComRelease<IXMLDOMNode> attribute;
      if (FAILED(attributes->get_item(index, &attribute)) || attribute.p == nullptr) continue;
      BSTR name = nullptr;
      attribute->get_nodeName(&name);
      BSTR value = nullptr;
      attribute->get_text(&value);
      element.attributes[TakeBstr(name)] = TakeBstr(value);
    }
  }
  ComRelease<IXMLDOMNodeList> children;
  if (SUCCEEDED(node->get_childNodes(&children)) && children.p != nullptr) {
    long count = 0;
    children->get_length(&count);
    for (long index = 0; index < count; ++index) {
      ComRelease<IXMLDOMNode> child;
      DOMNodeType type = NODE_INVALID;
      if (SUCCEEDED(children->get_item(index, &child)) && child.p != nullptr && SUCCEEDED(child->get_nodeType(&type)) &&
          type == NODE_ELEMENT) {
        element.children.push_back(ReadElement(child.p));
      }
    }
  }
  return element;
}

// The document element of the file, parsed by MSXML (6.0, else 3.0); a
// message instead when the file is not well-formed XML.
std::optional<XmlElement> ReadXml(const std::wstring& path, std::string& problem) {
  // {88d96a05-f192-11d4-a65f-0040963251e5} and {f5078f32-c551-11d3-89b9-0000f81fe221}
  static const CLSID kDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
  static const CLSID kDomDocument30 = {0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
  const HRESULT initialized = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::optional<XmlElement> root;
  {
    ComRelease<IXMLDOMDocument> document;
    HRESULT hr = ::CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                    reinterpret_cast<void**>(&document));
    if (FAILED(hr)) {
      hr = ::CoCreateInstance(kDomDocument30, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                              reinterpret_cast<void**>(&document));
    }
    if (FAILED(hr)) {
      problem = "no MSXML document: " + std::to_string(hr);
    } else {
      document->put_async(VARIANT_FALSE);
      // The report's texts as written: MSXML trims them otherwise.
      document->put_preserveWhiteSpace(VARIANT_TRUE);
      VARIANT source;
      ::VariantInit(&source);
      source.vt = VT_BSTR;
      source.bstrVal = ::SysAllocString(path.c_str());
      VARIANT_BOOL loaded = VARIANT_FALSE;
      hr = document->load(source, &loaded);
      ::VariantClear(&source);
      ComRelease<IXMLDOMElement> element;
      if (FAILED(hr) || loaded != VARIANT_TRUE) {
        ComRelease<IXMLDOMParseError> error;
        BSTR reason = nullptr;
        if (SUCCEEDED(document->get_parseError(&error)) && error.p != nullptr) error->get_reason(&reason);
        problem = "not well-formed XML: " + Utf8(TakeBstr(reason));
      } else if (SUCCEEDED(document->get_documentElement(&element)) && element.p != nullptr) {
        root = ReadElement(element.p);
      } else {
        problem = "no document element";
      }
    }
  }
  if (SUCCEEDED(initialized)) ::CoUninitialize();
  return root;
}

bool IsSeconds(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && seconds >= 0;
}

TEST(ResolveTestMode, JUnitReportHasASuitePerFileAndACasePerCase) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  // A name that XML has to escape, and one beyond ASCII.
  const std::string oddName = "&quot;odd&quot; &lt;name&gt; &amp; Ekstr\xC3\xB6m";
  const std::wstring first = scratch.Write(
      "first.tests.txt",
      Suite(Case("passes", kInlineInputs + Expected(kActual)) +
            Case("fails", kInlineInputs + Expected({{"Mode", "text", "Partial", {}}, kActual[1], kActual[2]})) +
            Case("broken", ByPath("Rules", "missing.rules.txt") + Inline("Source", kSource)) +
            Case(oddName, kInlineInputs + Expected(kActual))));
  const std::wstring second = scratch.Write("second.tests.txt", Suite("", "HostTests"));
  const std::wstring report = scratch / "report.xml";
  const ToolRun run = RunResolve({L"--test", first, second, L"--junit=" + report});
  EXPECT_EQ(run.exitCode, 2u) << run.output << run.error;
  EXPECT_EQ(LastLine(run.output), "2 passed, 3 failed");

  std::string problem;
  const std::optional<XmlElement> root = ReadXml(report, problem);
  ASSERT_TRUE(root.has_value()) << problem << "\n" << ReadBytes(report);
  EXPECT_EQ(Utf8(root->name), "testsuites");
  EXPECT_EQ(root->Attribute(L"name"), "kestrova-resolve");
  EXPECT_EQ(root->Attribute(L"tests"), "5");
  EXPECT_EQ(root->Attribute(L"failures"), "1");
  EXPECT_EQ(root->Attribute(L"errors"), "2");
  EXPECT_TRUE(IsSeconds(root->Attribute(L"time"))) << root->Attribute(L"time");
  const auto suites = root->Children(L"testsuite");
  ASSERT_EQ(suites.size(), 2u);

  const XmlElement& firstSuite = *suites[0];
  EXPECT_EQ(firstSuite.Attribute(L"name"), Utf8(first));
  EXPECT_EQ(firstSuite.Attribute(L"tests"), "4");
  EXPECT_EQ(firstSuite.Attribute(L"failures"), "1");
  EXPECT_EQ(firstSuite.Attribute(L"errors"), "1");
  const auto cases = firstSuite.Children(L"testcase");
  ASSERT_EQ(cases.size(), 4u);
  const char* const names[] = {"passes", "fails", "broken", "\"odd\" <name> & Ekstr\xC3\xB6m"};
  for (size_t index = 0; index < cases.size(); ++index) {
    SCOPED_TRACE(names[index]);
    EXPECT_EQ(cases[index]->Attribute(L"name"), names[index]);
    EXPECT_EQ(cases[index]->Attribute(L"classname"), Utf8(first));
    EXPECT_TRUE(IsSeconds(cases[index]->Attribute(L"time")));
    const size_t outcomes = cases[index]->Children(L"failure").size() + cases[index]->Children(L"error").size();
    EXPECT_EQ(outcomes, index == 0 || index == 3 ? 0u : 1u);
  }
  const auto failure = cases[1]->Children(L"failure");
  ASSERT_EQ(failure.size(), 1u);
  EXPECT_EQ(failure[0]->Attribute(L"message"), "frame 1 \"Mode\": Value: expected \"Partial\", actual \"Full\"");
  EXPECT_EQ(Utf8(failure[0]->text),
            "frame 1 \"Mode\": Value: expected \"Partial\", actual \"Full\"\n"
            "  expected frames:\n" +
                Tree({{"Mode", "text", "Partial", {}}, kActual[1], kActual[2]}) + "  actual frames:\n" + Tree(kActual));
  const auto error = cases[2]->Children(L"error");
  ASSERT_EQ(error.size(), 1u);
  const std::string message = "test file '" + Utf8(first) + "': case \"broken\": cannot open \"Rules\" file '" +
                              Utf8(scratch / "missing.rules.txt") + "': 0x80070002";
  EXPECT_TRUE(error[0]->Attribute(L"message").starts_with(message)) << error[0]->Attribute(L"message");

  // A file that cannot be read is one case with an error, named by the file.
  const XmlElement& secondSuite = *suites[1];
  EXPECT_EQ(secondSuite.Attribute(L"name"), Utf8(second));
  EXPECT_EQ(secondSuite.Attribute(L"tests"), "1");
  EXPECT_EQ(secondSuite.Attribute(L"errors"), "1");
  EXPECT_EQ(secondSuite.Attribute(L"failures"), "0");
  const auto fileCases = secondSuite.Children(L"testcase");
  ASSERT_EQ(fileCases.size(), 1u);
  EXPECT_EQ(fileCases[0]->Attribute(L"name"), Utf8(second));
  const auto fileError = fileCases[0]->Children(L"error");
  ASSERT_EQ(fileError.size(), 1u);
  EXPECT_EQ(fileError[0]->Attribute(L"message"),
            "test file '" + Utf8(second) + "': its first node is of type \"HostTests\", not \"RuleTests\"");
}

TEST(ResolveTestMode, AReportThatCannotBeWrittenFailsTheRunAfterTheCounts) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const std::wstring file = scratch.Write("passes.tests.txt", Suite(Case("passes", kInlineInputs + Expected(kActual))));
  const std::wstring report = scratch / "no such folder\\report.xml";
  const ToolRun run = RunResolve({L"--test", file, L"--junit", report});
  EXPECT_EQ(run.exitCode, 1u) << run.output << run.error;
  EXPECT_EQ(run.output, "1 passed, 0 failed\n");
  EXPECT_NE(run.error.find("kestrova-resolve: cannot create JUnit report file '" + Utf8(report) + "'"),
            std::string::npos)
      << run.error;
}

// ---- Malformed test files --------------------------------------------------------

struct MalformedCase {
  const char* what;
  std::string text;
  std::string reason;  // after "test file 'PATH'"
};

TEST(ResolveTestMode, MalformedTestFilesExitTwoWithTheFileAndTheReason) {
  const MalformedCase cases[] = {
      {"not node text", "<nr><node name=\"suite\" type=\"RuleTests\">", " is not well-formed node text (0x8007000D"},
      {"no node", "<nr></nr>", " holds no node"},
      {"wrong root type", Suite("", "Tests"), ": its first node is of type \"Tests\", not \"RuleTests\""},
      {"no case", Suite(""), " holds no case"},
  };
  const ScratchFolder scratch;
  for (const MalformedCase& malformed : cases) {
    SCOPED_TRACE(malformed.what);
    const std::wstring file = scratch.Write("malformed.tests.txt", malformed.text);
    const ToolRun run = RunResolve({L"--test", file});
    EXPECT_EQ(run.exitCode, 2u) << run.output << run.error;
    const std::string line = "ERROR test file '" + Utf8(file) + "'" + malformed.reason;
    EXPECT_TRUE(run.output.starts_with(line)) << run.output;
    EXPECT_EQ(LastLine(run.output), "0 passed, 1 failed");
    EXPECT_EQ(Lines(run.output).size(), 2u) << "one line for the whole file:\n" << run.output;
    EXPECT_EQ(run.error, "");
  }
}

// A case that is not well-formed is an error of its own: the file's other
// cases still run.
TEST(ResolveTestMode, MalformedCasesExitTwoWithTheCaseAndTheReason) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const std::string inputs = kInlineInputs;
  const std::string good = Case("good", inputs + Expected(kActual));
  const MalformedCase cases[] = {
      {"case of another type", Case("b", inputs, "HostTest"),
       ": case \"b\": a node of type \"HostTest\", not \"RuleTest\""},
      {"case without a name", Case("", inputs), ": case \"node 2\": a case without a name"},
      {"two cases with one name", Case("good", inputs), ": case \"good\": another case of the file has this name"},
      {"unknown attribute", Case("a", Text("Startpath", "x") + inputs),
       ": case \"a\": unknown attribute \"Startpath\" (known: \"Rules\", \"Source\", \"StartPath\")"},
      {"unknown child", Case("a", inputs + Inline("Expect", NodeText(kActual))),
       ": case \"a\": unknown child node \"Expect\" (known: \"Rules\", \"Source\", \"Expected\")"},
      {"two Expected", Case("a", inputs + Expected({}) + Expected({})),
       ": case \"a\": two child nodes are named \"Expected\""},
      {"input given twice", Case("a", ByPath("Rules", "rules.txt") + inputs),
       ": case \"a\": \"Rules\" is given twice: as a file path and inline"},
      {"input missing", Case("a", Inline("Rules", kRules)),
       ": case \"a\": no \"Source\" (a file path attribute or an inline node)"},
  };
  const ScratchFolder scratch;
  for (const MalformedCase& malformed : cases) {
    SCOPED_TRACE(malformed.what);
    const std::wstring file = scratch.Write("malformed.tests.txt", Suite(good + malformed.text));
    const ToolRun run = RunResolve({L"--test", file});
    EXPECT_EQ(run.exitCode, 2u) << run.output << run.error;
    EXPECT_EQ(run.output, "ERROR test file '" + Utf8(file) + "'" + malformed.reason + "\n1 passed, 1 failed\n");
    EXPECT_EQ(run.error, "");
  }
}

TEST(ResolveTestMode, InputsThatCannotBeReadFailTheirCaseOnly) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const MalformedCase cases[] = {
      {"input file missing", Case("a", ByPath("Rules", "no-such.rules.txt") + Inline("Source", kSource)),
       ": case \"a\": cannot open \"Rules\" file '" + Utf8(scratch / "no-such.rules.txt") + "': 0x80070002"},
      {"input file not node text", Case("a", ByPath("Source", "broken.txt") + Inline("Rules", kRules)),
       ": case \"a\": \"Source\" file '" + Utf8(scratch / "broken.txt") + "' is not well-formed node text"},
      {"input path not a text", Case("a", "<attr name=\"Rules\" type=\"int64\">1</attr>" + Inline("Source", kSource)),
       ": case \"a\": \"Rules\" must be a text: the path of a node text file"},
      {"empty input path", Case("a", ByPath("Rules", "") + Inline("Source", kSource)),
       ": case \"a\": \"Rules\" must be a text: the path of a node text file"},
      {"inline input without a node", Case("a", Inline("Rules", "") + Inline("Source", kSource)),
       ": case \"a\": the inline \"Rules\" holds no node"},
      {"StartPath not a text", Case("a", "<attr name=\"StartPath\" type=\"int64\">1</attr>" + kInlineInputs),
       ": case \"a\": \"StartPath\" must be a text"},
  };
  scratch.Write("broken.txt", "<nr><node>");
  for (const MalformedCase& malformed : cases) {
    SCOPED_TRACE(malformed.what);
    // The file's passing case still runs.
    const std::wstring file =
        scratch.Write("inputs.tests.txt", Suite(malformed.text + Case("ok", kInlineInputs + Expected(kActual))));
    const ToolRun run = RunResolve({L"--test", file});
    EXPECT_EQ(run.exitCode, 2u) << run.output << run.error;
    const std::vector<std::string> lines = Lines(run.output);
    ASSERT_EQ(lines.size(), 2u) << run.output;
    EXPECT_TRUE(lines[0].starts_with("ERROR test file '" + Utf8(file) + "'" + malformed.reason)) << lines[0];
    EXPECT_EQ(lines[1], "1 passed, 1 failed");
  }
}

TEST(ResolveTestMode, AMalformedFileAmongOthersLeavesTheOthersRunning) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ScratchFolder scratch;
  const std::wstring good = scratch.Write("good.tests.txt", Suite(Case("a", kInlineInputs + Expected(kActual))));
  const std::wstring bad = scratch.Write("bad.tests.txt", Suite(Case("a", kInlineInputs + Inline("Expect", ""))));
  const std::wstring failing =
      scratch.Write("failing.tests.txt", Suite(Case("b", kInlineInputs + Expected({kActual[0]}))));
  const std::wstring missing = scratch / "missing.tests.txt";
  const ToolRun run = RunResolve({L"--test", good, bad, failing, missing});
  EXPECT_EQ(run.exitCode, 2u) << run.output;
  const std::vector<std::string> errors = LinesStartingWith(run.output, "ERROR ");
  ASSERT_EQ(errors.size(), 2u) << run.output;
  EXPECT_TRUE(errors[0].starts_with("ERROR test file '" + Utf8(bad) + "': case \"a\": unknown child node \"Expect\""))
      << errors[0];
  EXPECT_TRUE(errors[1].starts_with("ERROR cannot open test file '" + Utf8(missing) + "': 0x80070002")) << errors[1];
  EXPECT_EQ(LinesStartingWith(run.output, "FAIL ").size(), 1u) << run.output;
  EXPECT_TRUE(Contains(run.output, FailLine(failing, "b", "frame 2: not expected: \"Users\" = 1"))) << run.output;
  EXPECT_EQ(LastLine(run.output), "1 passed, 3 failed");
}

// ---- Usage errors ----------------------------------------------------------------

struct UsageCase {
  std::vector<std::wstring> arguments;
  const char* message;
};

void ExpectUsageErrors(const wchar_t* program, const char* tool, const std::vector<UsageCase>& cases) {
  for (const UsageCase& usage : cases) {
    SCOPED_TRACE(usage.message);
    const ToolRun run = RunProgram(program, usage.arguments);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.output, "");
    EXPECT_TRUE(run.error.starts_with(std::string(tool) + ": " + usage.message + "\n")) << run.error;
    EXPECT_TRUE(Contains(run.error, std::string("usage: ") + tool)) << run.error;
  }
}

TEST(ResolveTestMode, UsageErrorsExitTwo) {
  ExpectUsageErrors(L"kestrova-resolve.exe", "kestrova-resolve",
                    {
                        {{L"--update", L"a.txt", L"b.txt"}, "--update goes with --test only"},
                        {{L"--junit", L"r.xml", L"a.txt", L"b.txt"}, "--junit goes with --test only"},
                        {{L"--test", L"t.txt", L"--junit"}, "--junit needs a file name"},
                        {{L"--test", L"t.txt", L"--junit="}, "--junit needs a file name"},
                        {{L"--test", L"t.txt", L"--junit", L"a.xml", L"--junit=b.xml"}, "--junit given more than once"},
                        {{L"--test"}, "--test needs at least one test FILE"},
                        {{L"--test", L"--update"}, "--test needs at least one test FILE"},
                        {{L"--test", L"t.txt", L"--test"}, "--test given more than once"},
                        {{L"--test", L"t.txt", L"--check"}, "--check does not go with --test"},
                        {{L"--check", L"t.txt", L"--test"}, "--check does not go with --test"},
                        {{L"--test", L"t.txt", L"--format", L"xml"}, "--format does not go with --test"},
                        {{L"--test", L"t.txt", L"--strict"}, "--strict goes with --check only"},
                    });
}

TEST(HostTestMode, UsageErrorsExitTwo) {
  ExpectUsageErrors(
      L"kestrova-host.exe", "kestrova-host",
      {
          {{L"--update"}, "--update goes with --test only"},
          {{L"--junit", L"r.xml"}, "--junit goes with --test only"},
          {{L"--test", L"t.txt", L"--junit"}, "--junit needs a value"},
          {{L"--test", L"t.txt", L"--junit="}, "--junit needs a file name"},
          {{L"--test"}, "--test needs at least one test FILE"},
          {{L"--test=t.txt"}, "--test takes no value"},
          {{L"--test", L"t.txt", L"--store", L"s.txt"},
           "--test takes no other option than --update, --junit and --settle"},
          {{L"--test", L"t.txt", L"--check-settings", L"s.txt"},
           "--test takes no other option than --update, --junit and --settle"},
          {{L"--test", L"t.txt", L"--quiet"}, "--test takes no other option than --update, --junit and --settle"},
          {{L"--test", L"t.txt", L"--settle", L"soon"},
           "--settle needs a number of milliseconds from 0 to 86400000, not 'soon'"},
      });
}

// ---- The guide's test file and the committed outputs -------------------------

std::string Serialized(const std::vector<DXNodePtr>& nodes) {
  std::vector<IDXNode*> handles;
  for (const DXNodePtr& node : nodes) handles.push_back(node.Get());
  return NodeUtils::SerializeToText(handles.data(), static_cast<uint32_t>(handles.size()), DXN_SERIALIZE_FORMATTED,
                                    DXNodePtr::kWholeSubtree);
}

std::vector<DXNodePtr> ChildrenOf(const DXNodePtr& node) {
  std::vector<DXNodePtr> children;
  node.ForEachChild([&](DXNodePtr child) { children.push_back(std::move(child)); });
  return children;
}

// Each case of the guide's test file that runs one of the shipped rule files
// on the shared source expects the frames of that file's committed output.
TEST(GuideTestFile, ExpectedFramesAreTheCommittedOutputsOfTheSameRules) {
  const auto suite = NodeUtils::DeserializeFromFile(SourcePath(KESTROVA_EXAMPLES_DIR, "guide.tests.txt"),
                                                    DXNSerializationType_NodeText, 0);
  ASSERT_EQ(suite.size(), 1u);
  std::vector<std::string> compared;
  for (const DXNodePtr& testCase : ChildrenOf(suite[0])) {
    std::wstring rules;
    std::wstring source;
    if (!testCase.TryGetString(L"Rules", rules) || !testCase.TryGetString(L"Source", source) ||
        source != L"users.source.txt" || testCase.HasAttribute(L"StartPath")) {
      continue;
    }
    const std::string name = Utf8(rules.substr(0, rules.find(L".rules.txt")));
    SCOPED_TRACE(Utf8(testCase.GetName()) + " (" + name + ")");
    const auto output = NodeUtils::DeserializeFromFile(SourcePath(KESTROVA_TOOL_TESTS_DIR "/expected", name + ".xml"),
                                                       DXNSerializationType_NodeText, 0);
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(Serialized(ChildrenOf(testCase.GetChild(L"Expected"))), Serialized(ChildrenOf(output[0])));
    compared.push_back(name);
  }
  std::sort(compared.begin(), compared.end());
  EXPECT_EQ(compared, (std::vector<std::string>{"conditional", "counters", "empty-results", "groups", "paths",
                                                "typed-attributes", "users-set"}));
}

// ---- kestrova-host --test --------------------------------------------------------

// A store of two users with recent snapshot times (no snapshot is due), and
// settings that track \Shop\Users\* (and, with a second entry, \Shop as one
// frame with its number of users) and send every second.
std::string HostStore() {
  return "<node name=\"Shop\" type=\"Section\">"
         "<node name=\"Switch\"><attr name=\"Enabled\" type=\"bool\">true</attr></node>"
         "<node name=\"Users\" type=\"UserList\">"
         "<node name=\"ann\" type=\"User\"><attr name=\"Role\" type=\"text\">Clerk</attr></node>"
         "<node name=\"ben\" type=\"User\"><attr name=\"Role\" type=\"text\">Manager</attr></node>"
         "</node>"
         "<node name=\"Statuses\"><node name=\"{7E0C2B44-1D5A-4C3E-9A61-0B2F8D4E6C10}\" type=\"ConfigSnapshotStatus\">"
         "<attr name=\"LastSnapshotTime\" type=\"text\">" +
         UtcNowText() +
         "</attr><attr name=\"LastModifiedBy\" type=\"text\">Unknown</attr></node>"
         "<node name=\"{3A9D5F10-6B2C-4E8F-8D47-5C1E0A9B7F21}\" type=\"ConfigSnapshotStatus\">"
         "<attr name=\"LastSnapshotTime\" type=\"text\">" +
         UtcNowText() +
         "</attr><attr name=\"LastModifiedBy\" type=\"text\">Unknown</attr></node></node>"
         "</node>";
}

enum class Entries { One, Two };

std::string HostSettings(const std::wstring& pending, bool withSinkInterval = true, Entries entries = Entries::One) {
  return "<node name=\"Maintainer\">"
         "<attr name=\"SnapshotStatusesCfgPath\" type=\"text\">\\Shop\\Statuses</attr>" +
         std::string(withSinkInterval ? "<attr name=\"SinkIntervalSec\" type=\"int64\">1</attr>" : "") +
         "<attr name=\"SendSnapshotsIntervalHours\" type=\"int64\">24</attr>"
         "<node name=\"TransientStorage\">"
         "<attr name=\"SendIntervalSec\" type=\"int64\">1</attr>"
         "<attr name=\"MaxSendFailures\" type=\"int32\">100</attr>"
         "<attr name=\"UsageStatisticsCfgPath\" type=\"text\">\\Shop\\Switch</attr>"
         "<attr name=\"TransientStoragePath\" type=\"text\">" +
         Utf8(pending) +
         "</attr></node>"
         "<node name=\"ConfigSnapshots\">"
         "<node name=\"{7E0C2B44-1D5A-4C3E-9A61-0B2F8D4E6C10}\" type=\"ConfigSnapshotEntry\">"
         "<attr name=\"ConfigPath\" type=\"text\">\\Shop\\Users\\*</attr>"
         "<attr name=\"SendIntervalHours\" type=\"int64\">24</attr>"
         "<attr name=\"NameSource\" type=\"text\">&lt;name&gt;</attr>"
         "<node type=\"UsageActivityItem\"><attr name=\"NameSource\" type=\"text\">Role</attr>"
         "<attr name=\"ValueSource\" type=\"text\">@Role</attr></node>"
         "</node>" +
         std::string(
             entries == Entries::One
                 ? ""
                 : "<node name=\"{3A9D5F10-6B2C-4E8F-8D47-5C1E0A9B7F21}\" type=\"ConfigSnapshotEntry\">"
                   "<attr name=\"ConfigPath\" type=\"text\">\\Shop</attr>"
                   "<attr name=\"SendIntervalHours\" type=\"int64\">24</attr>"
                   "<attr name=\"NameSource\" type=\"text\">Shop</attr>"
                   "<node type=\"UsageActivityItemCounter\"><attr name=\"NameSource\" type=\"text\">Users</attr>"
                   "<attr name=\"ValueSource\" type=\"text\">\\Users\\*\\&lt;name&gt;</attr></node>"
                   "</node>") +
         "</node></node>";
}

// Two writes without "Subject" (made in the scenario's "DefaultSubject") and
// a delete in a subject of its own.
constexpr char kHostChanges[] =
    "<node name=\"Changes\">"
    "<node type=\"Write\"><node name=\"\\Shop\\Users\\cid\" type=\"User\"><attr name=\"Role\" "
    "type=\"text\">Clerk</attr></node></node>"
    "<node type=\"Write\"><node name=\"\\Shop\\Users\\ann\"><attr name=\"Role\" type=\"text\">Manager</attr></node>"
    "</node>"
    "<node type=\"Delete\"><attr name=\"Path\" type=\"text\">\\Shop\\Users\\ben</attr>"
    "<attr name=\"Subject\" type=\"text\">SHOP\\auditor</attr></node>"
    "</node>";

std::string HostFrame(const std::string& user, const std::string& role, const std::string& by,
                      const std::string& change) {
  const auto item = [](const std::string& name, const std::string& value) {
    return "<node type=\"UsageActivityFrame\"><attr name=\"Name\" type=\"text\">" + name +
           "</attr><attr name=\"Value\" type=\"text\">" + value + "</attr></node>";
  };
  return "<node type=\"UsageActivityFrame\"><attr name=\"Name\" type=\"text\">" + user +
         "</attr><attr name=\"IsMultiValue\" type=\"bool\">false</attr>" + item("Role", role) + item("ModifiedBy", by) +
         item("ChangeType", change) + "</node>";
}

const std::string kCid = HostFrame("cid", "Clerk", "SHOP\\deputy", "Modified");
const std::string kAnn = HostFrame("ann", "Manager", "SHOP\\deputy", "Modified");
const std::string kBen = HostFrame("ben", "", "SHOP\\auditor", "Removed");

std::string HostCase(const std::string& name, const std::string& settings, const std::string& expected) {
  return Case(name,
              Text("DefaultSubject", "SHOP\\deputy") + "<attr name=\"SettleMs\" type=\"int64\">1500</attr>" +
                  Inline("Store", HostStore()) + Inline("Settings", settings) + Inline("Changes", kHostChanges) +
                  expected,
              "HostTest");
}

bool MaintainerAnswers() {
  static const bool answers = [] {
    const ScratchFolder scratch;
    const std::wstring file = scratch.Write(
        "probe.tests.txt", Suite(Case("probe",
                                      "<attr name=\"SettleMs\" type=\"int64\">0</attr>" + Inline("Store", HostStore()) +
                                          Inline("Settings", HostSettings(scratch / "pending.dat")),
                                      "HostTest"),
                                 "HostTests"));
    const ToolRun run = RunHost({L"--test", file});
    return !Contains(run.output, "Configure failed: 0x80004001");
  }();
  return answers;
}

#define SKIP_UNLESS_MAINTAINER_ANSWERS() \
  if (!MaintainerAnswers()) GTEST_SKIP() << "the snapshot maintainer of Kestrova.dll answers E_NOTIMPL"

// One entry: every frame has its place, the notifications one after another.
TEST(HostTestMode, ScenariosFailOnOrderValuesAndConfigure) {
  SKIP_UNLESS_MAINTAINER_ANSWERS();
  const ScratchFolder scratch;
  const std::string settings = HostSettings(scratch / "pending.dat");
  const std::string wrongAnn = HostFrame("ann", "Owner", "SHOP\\deputy", "Modified");
  const std::wstring file = scratch.Write(
      "host.tests.txt",
      Suite(HostCase("known frames", settings, Inline("Expected", kCid + kAnn + kBen)) +
                HostCase("notifications reordered", settings, Inline("Expected", kAnn + kCid + kBen)) +
                HostCase("value differs", settings, Inline("Expected", kCid + wrongAnn + kBen)) +
                HostCase("refused settings", HostSettings(scratch / "pending.dat", false), Inline("Expected", "")),
            "HostTests"));
  const ToolRun run = RunHost({L"--test", file});
  EXPECT_EQ(run.exitCode, 1u) << run.output << run.error;
  EXPECT_EQ(LastLine(run.output), "1 passed, 3 failed") << run.output;
  const std::vector<std::string> failures = LinesStartingWith(run.output, "FAIL ");
  ASSERT_EQ(failures.size(), 3u) << run.output;
  EXPECT_EQ(failures[0] + "\n",
            FailLine(file, "notifications reordered",
                     "frame 1 \"ann\": Name: expected \"ann\", actual \"cid\" (the same frames in another order)"));
  EXPECT_EQ(failures[1] + "\n",
            FailLine(file, "value differs",
                     "frame 2 \"ann\" > item 1 \"Role\": Value: expected \"Owner\", actual \"Manager\""));
  EXPECT_TRUE(Contains(run.output, "    \"ann\" (IsMultiValue: false)\n      \"Role\" = \"Owner\"\n")) << run.output;
  EXPECT_TRUE(failures[2].starts_with(Utf8(L"FAIL test file '" + file) +
                                      "': case \"refused settings\": the run failed: Configure failed: 0x80070490"))
      << failures[2];
  // The pending file the settings name is the scenario's own: this one is untouched.
  EXPECT_FALSE(fs::exists(fs::path(scratch / "pending.dat")));
}

// The node text of each node, without the <nr> around it.
std::string ElementsOf(const std::vector<DXNodePtr>& nodes) {
  std::string text;
  for (const DXNodePtr& node : nodes) {
    std::string one = Serialized({node});
    const size_t begin = one.find("<node");
    const size_t end = one.rfind("</nr>");
    text += one.substr(begin, end - begin);
  }
  return text;
}

// Two entries answer each notification: their frames may come in either
// order, the notifications themselves may not.
TEST(HostTestMode, FramesOfSeveralEntriesAnsweringOneNotificationPassInAnyOrder) {
  SKIP_UNLESS_MAINTAINER_ANSWERS();
  const ScratchFolder scratch;
  const std::string settings = HostSettings(scratch / "pending.dat", true, Entries::Two);
  const std::wstring file = scratch.Write("shared.tests.txt", Suite(HostCase("shared", settings, ""), "HostTests"));
  const ToolRun update = RunHost({L"--test", file, L"--update"});
  ASSERT_EQ(update.exitCode, 0u) << update.output << update.error;
  const auto suite = NodeUtils::DeserializeFromFile(file, DXNSerializationType_NodeText, 0);
  ASSERT_EQ(suite.size(), 1u);
  const std::vector<DXNodePtr> frames = ChildrenOf(suite[0].GetChild(uint32_t{0}).GetChild(L"Expected"));
  // Three notifications (cid, ann, ben), each answered by both entries.
  ASSERT_EQ(frames.size(), 6u) << Serialized(frames);
  const auto pick = [&](std::initializer_list<size_t> order) {
    std::vector<DXNodePtr> picked;
    for (const size_t index : order) picked.push_back(frames[index]);
    return Inline("Expected", ElementsOf(picked));
  };
  const std::wstring reordered = scratch.Write(
      "reordered.tests.txt", Suite(HostCase("entries swapped", settings, pick({1, 0, 3, 2, 5, 4})) +
                                       HostCase("notifications swapped", settings, pick({0, 1, 4, 5, 2, 3})),
                                   "HostTests"));
  const ToolRun run = RunHost({L"--test", reordered});
  EXPECT_EQ(run.exitCode, 1u) << run.output << run.error;
  EXPECT_EQ(LastLine(run.output), "1 passed, 1 failed") << run.output;
  const std::vector<std::string> failures = LinesStartingWith(run.output, "FAIL ");
  ASSERT_EQ(failures.size(), 1u) << run.output;
  EXPECT_TRUE(Contains(failures[0], "case \"notifications swapped\": frame 3")) << failures[0];
}

TEST(HostTestMode, UpdateRecordsANewScenarioWhichThenPasses) {
  SKIP_UNLESS_MAINTAINER_ANSWERS();
  const ScratchFolder scratch;
  const std::wstring file = scratch.Write(
      "new.tests.txt", Suite(HostCase("new scenario", HostSettings(scratch / "pending.dat"), ""), "HostTests"));
  const ToolRun update = RunHost({L"--test", file, L"--update"});
  EXPECT_EQ(update.exitCode, 0u) << update.output << update.error;
  EXPECT_EQ(LinesStartingWith(update.output, "updated "),
            std::vector<std::string>{"updated test file '" + Utf8(file) + "': case \"new scenario\""});
  EXPECT_EQ(LastLine(update.output), "0 passed, 1 failed");

  // The recorded frames are those known by hand, "ModifiedBy" the default subject.
  const auto suite = NodeUtils::DeserializeFromFile(file, DXNSerializationType_NodeText, 0);
  ASSERT_EQ(suite.size(), 1u);
  const auto known = NodeUtils::DeserializeFromFile(scratch.Write("known.txt", "<nr>" + kCid + kAnn + kBen + "</nr>"),
                                                    DXNSerializationType_NodeText, 0);
  EXPECT_EQ(Serialized(ChildrenOf(suite[0].GetChild(uint32_t{0}).GetChild(L"Expected"))), Serialized(known));

  const ToolRun again = RunHost({L"--test", file});
  EXPECT_EQ(again.exitCode, 0u) << again.output << again.error;
  EXPECT_EQ(again.output, "1 passed, 0 failed\n");
}

}  // namespace

// The rule and settings checks: broken rule sets and settings through the
// real tools (kestrova-resolve.exe --check, kestrova-host.exe
// --check-settings), and the checks held against Kestrova.dll itself — a
// rule set the check passes initializes and resolves, and every error it
// reports fails Initialize or a resolution with the reported code.
#include "ToolProcess.h"

#include <Kestrova/ComponentInterfaces.h>

#include "Sources/Subsystems/UsageStatistics/Kestrova/Checking/RuleChecker.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/Checking/RuleVocabulary.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/Checking/SettingsChecker.h"
#include "module/CompPtr.h"
#include "node/DXNodePtr.h"
#include "node/NodeSerialization.h"
#include "support/LoadedModule.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace KestrovaTest;
using namespace UsageStatistics::Checking;
namespace fs = std::filesystem;

// --- Files ------------------------------------------------------------------

std::wstring SourcePath(const char* directory, const std::string& file) {
  const std::string unixPath = std::string(directory) + "/" + file;
  const std::wstring wide(unixPath.begin(), unixPath.end());
  wchar_t full[MAX_PATH] = {};
  const DWORD length = ::GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
  return length > 0 && length < MAX_PATH ? std::wstring(full, length) : wide;
}

std::wstring Example(const std::string& file) { return SourcePath(KESTROVA_EXAMPLES_DIR, file); }

std::string ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "no " << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A folder of its own under the temporary folder, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    m_path = fs::temp_directory_path() /
             ("kestrova-check-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount64()));
    fs::create_directories(m_path);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }
  std::wstring Write(const std::string& name, const std::string& bytes) const {
    const fs::path file = m_path / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    EXPECT_TRUE(out.good()) << "cannot write " << file.string();
    return file.wstring();
  }

 private:
  fs::path m_path;
};

std::string RulesText(const std::string& entries) {
  return "<nr>\n  <node name=\"Rules\">\n" + entries + "  </node>\n</nr>\n";
}

DXNodePtr FirstNode(const std::wstring& path) {
  return NodeUtils::DeserializeFromFile(path, DXNSerializationType_NodeText, 0).at(0);
}

// --- The module's resolver --------------------------------------------------

class ModuleResolver {
 public:
  ModuleResolver() : m_library(L"Kestrova.dll") {
    auto getModule = m_library.Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject");
    IComponentsModule* module = nullptr;
    if (getModule == nullptr || FAILED(getModule(reinterpret_cast<void**>(&module)))) return;
    module->CreateInstance(CLSID_UsageActivityItemsResolver, IID_IUsageActivityItemsResolver, m_resolver.PutVoid());
  }
  bool Available() const { return static_cast<bool>(m_resolver); }
  HRESULT Initialize(const DXNodePtr& rules) { return m_resolver->Initialize(rules.Get()); }
  HRESULT Resolve(const DXNodePtr& source) {
    DXNodePtr container;
    return m_resolver->ResolveActivityItems(source.Get(), container.Out());
  }

 private:
  LoadedLibrary m_library;
  CompPtr<IUsageActivityItemsResolver> m_resolver;
};

CheckReport Check(const DXNodePtr& rules) {
  CheckReport report;
  RuleChecker(report).CheckRuleList(rules);
  return report;
}

std::optional<CheckFinding> FirstError(const CheckReport& report, CheckFinding::Stage stage) {
  for (const CheckFinding& finding : report.Findings()) {
    if (finding.severity == CheckFinding::Severity::Error && finding.stage == stage) return finding;
  }
  return std::nullopt;
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// The agreement: a passed check initializes and resolves every source; the
// first construction error is Initialize's failure; each resolution error is
// the failure of a resolution of one of the sources.
void ExpectAgreement(ModuleResolver& resolver, const DXNodePtr& rules, const std::vector<DXNodePtr>& sources) {
  const CheckReport report = Check(rules);
  std::wstring lines = report.Text();
  SCOPED_TRACE(std::string(lines.begin(), lines.end()));
  const HRESULT initialized = resolver.Initialize(rules);
  if (const auto construction = FirstError(report, CheckFinding::Stage::Construction)) {
    EXPECT_EQ(Hex(initialized), Hex(construction->hr)) << "Initialize fails on the first construction error";
    return;
  }
  ASSERT_EQ(Hex(initialized), Hex(S_OK)) << "a rule set without construction errors initializes";
  std::vector<HRESULT> resolved;
  for (const DXNodePtr& source : sources) resolved.push_back(resolver.Resolve(source));
  std::vector<HRESULT> reported;
  for (const CheckFinding& finding : report.Findings()) {
    if (finding.severity == CheckFinding::Severity::Error) reported.push_back(finding.hr);
  }
  for (const HRESULT hr : resolved) {
    if (FAILED(hr)) {
      EXPECT_NE(std::find(reported.begin(), reported.end(), hr), reported.end())
          << "a resolution failed with " << Hex(hr) << ", which the check did not report";
    }
  }
  for (const HRESULT hr : reported) {
    EXPECT_NE(std::find(resolved.begin(), resolved.end(), hr), resolved.end())
        << "the reported " << Hex(hr) << " failed no resolution";
  }
}

// --- Broken rule sets through kestrova-resolve.exe --------------------------

struct BrokenRules {
  const char* what;
  std::string entries;  // the children of the rules node, as node text
  std::string output;   // the tool's standard output, whole
  DWORD exitCode;
  DWORD strictExitCode;
  // Replaces users.source.txt's text for the agreement; empty: as it is.
  std::function<std::string(const std::string&)> witness = nullptr;
};

const std::string kItemRole =
    "    <node type=\"UsageActivityItem\">\n"
    "      <attr name=\"NameSource\" type=\"text\">Role</attr>\n"
    "      <attr name=\"ValueSource\" type=\"text\">@Role</attr>\n"
    "    </node>\n";

std::string Item(const std::string& valueSource, const std::string& more = "") {
  return "    <node type=\"UsageActivityItem\">\n"
         "      <attr name=\"NameSource\" type=\"text\">X</attr>\n"
         "      <attr name=\"ValueSource\" type=\"text\">" +
         valueSource + "</attr>\n" + more + "    </node>\n";
}

std::string Set(const std::string& attributes, const std::string& children, const std::string& name = "PerUser") {
  return "    <node name=\"" + name + "\" type=\"UsageActivityItemsSet\">\n" + attributes + children + "    </node>\n";
}

std::string Attr(const std::string& name, const std::string& type, const std::string& value) {
  return "      <attr name=\"" + name + "\" type=\"" + type + "\">" + value + "</attr>\n";
}

std::string If(const std::string& parts) { return "    <node name=\"When\" type=\"If\">\n" + parts + "    </node>\n"; }

const std::string kCaseCondition =
    "      <node name=\"Condition\" type=\"CaseCondition\">\n"
    "        <attr name=\"CaseValuePath1\" type=\"text\">@Mode</attr>\n"
    "        <attr name=\"CaseValuePath2\" type=\"text\">Full</attr>\n"
    "      </node>\n";
const std::string kThen = "      <node name=\"Then\">\n" + Item("@Product") + "      </node>\n";

std::vector<BrokenRules> BrokenRuleSets() {
  return {
      {"a sound rule set",
       Set(Attr("NameSource", "text", "&lt;name&gt;") + Attr("ConfigPath", "text", "\\Users\\*"), kItemRole),
       "no problems\n", 0, 0},
      {"unknown entry type",
       "    <node type=\"UsageActivityItemCountr\">\n" + Attr("NameSource", "text", "X") + "    </node>\n",
       "Rules\\UsageActivityItemCountr[0]: node: error 0x80070057: unknown entry type \"UsageActivityItemCountr\" (did "
       "you mean \"UsageActivityItemCounter\"?)\n1 error, 0 warnings\n",
       1, 1},
      {"a condition where an entry belongs", kItemRole + "    <node type=\"CaseCondition\"/>\n",
       "Rules\\CaseCondition[1]: node: error 0x80070057: unknown entry type \"CaseCondition\": a condition type; "
       "conditions belong under the \"Condition\" of an \"If\"\n1 error, 0 warnings\n",
       1, 1},
      {"entry without a type", "    <node name=\"Untyped\"/>\n",
       "Rules\\Untyped: node: error 0x80070057: the node has no type; entry types: \"UsageActivityItemsSet\", "
       "\"UsageActivityItem\", \"If\", \"UsageActivityItemCounter\", \"UsageActivityItemsGroup\"\n1 error, 0 "
       "warnings\n",
       1, 1},
      {"a kind's name without its type",
       "    <node name=\"UsageActivityItem\" type=\"Item\">\n" + Attr("NameSource", "text", "X") +
           Attr("ValueSource", "text", "Y") + "    </node>\n",
       "Rules\\UsageActivityItem: node: error 0x80070057: unknown entry type \"Item\"; its name is "
       "\"UsageActivityItem\", but only the type selects the kind\n1 error, 0 warnings\n",
       1, 1},
      {"missing required setting",
       "    <node type=\"UsageActivityItem\">\n" + Attr("NameSource", "text", "X") + "    </node>\n",
       "Rules\\UsageActivityItem[0]: \"ValueSource\": error 0x80070490: required setting is missing\n"
       "1 error, 0 warnings\n",
       1, 1},
      {"boolean setting written as text",
       Set(Attr("NameSource", "text", "U") + Attr("IsAllowEmpty", "text", "true"), kItemRole),
       "Rules\\PerUser: \"IsAllowEmpty\": error 0x8007065D: is text; the engine reads bool\n1 error, 0 warnings\n", 1,
       1},
      {"text setting holding a list",
       "    <node type=\"UsageActivityItemCounter\">\n"
       "      <attr name=\"NameSource\" type=\"textlist\"><item>A</item></attr>\n    </node>\n",
       "Rules\\UsageActivityItemCounter[0]: \"NameSource\": error 0x8007065D: is textlist; the engine reads text (a "
       "number or boolean reads as its text)\n1 error, 0 warnings\n",
       1, 1},
      {"item type out of range", Item("@Role", Attr("ActivityItemType", "int32", "-1")),
       "Rules\\UsageActivityItem[0]: \"ActivityItemType\": error 0x8007000D: item type -1 is none of 0, 1, 2; every "
       "resolution that reaches this item fails\n1 error, 0 warnings\n",
       1, 1},
      {"If without Then", If(kCaseCondition),
       "Rules\\When: child \"Then\": error 0x80070490: missing; an \"If\" needs a child named \"Then\"\n"
       "1 error, 0 warnings\n",
       1, 1},
      {"If without Condition, with a misspelt one",
       If("      <node name=\"Conditon\" type=\"CaseCondition\"/>\n" + kThen),
       "Rules\\When\\Conditon: node: warning: ignored: an \"If\" reads only its children named \"Condition\", \"Then\" "
       "and \"Else\" (did you mean \"Condition\"?)\n"
       "Rules\\When: child \"Condition\": error 0x80070490: missing; an \"If\" needs a child named \"Condition\"\n"
       "1 error, 1 warning\n",
       1, 1},
      {"and condition without conditions", If("      <node name=\"Condition\" type=\"AndCondition\"/>\n" + kThen),
       "Rules\\When\\Condition: node: error 0x8007000D: \"AndCondition\" without conditions; it needs at least one "
       "child condition\n1 error, 0 warnings\n",
       1, 1},
      {"condition type in the wrong letter case",
       If("      <node name=\"Condition\" type=\"Casecondition\">\n" + Attr("CaseValuePath1", "text", "@Mode") +
          "      </node>\n" + kThen),
       "Rules\\When\\Condition: node: error 0x8007000D: unknown condition type \"Casecondition\": differs from "
       "\"CaseCondition\" only in letter case, and types are compared with letter case\n"
       "Rules\\When\\Condition: \"CaseValuePath2\": error 0x80070490: required setting is missing\n"
       "2 errors, 0 warnings\n",
       1, 1},
      {"filter without operator", Item("\\Users\\*\\[@Role]\\&lt;name&gt;"),
       "Rules\\UsageActivityItem[0]: \"ValueSource\": error 0x8007000D: filter [@Role] has no operator == or !=; "
       "evaluations that reach it fail\n1 error, 0 warnings\n",
       1, 1},
      {"filter with nothing after the operator", Item("\\Users\\*\\[@Role!=]\\&lt;name&gt;"),
       "Rules\\UsageActivityItem[0]: \"ValueSource\": error 0x8007000D: filter [@Role!=] has nothing after the "
       "operator; evaluations that reach it fail\n1 error, 0 warnings\n",
       1, 1},
      {"filter with an unquoted value in a selection",
       Set(Attr("NameSource", "text", "&lt;name&gt;") + Attr("ConfigPath", "text", "\\Users\\*\\[@Role==Admin]"),
           kItemRole),
       "Rules\\PerUser: \"ConfigPath\": error 0x8007000D: filter [@Role==Admin] compares with Admin: the value must "
       "be in apostrophes, as in 'value'; evaluations that reach it fail\n1 error, 0 warnings\n",
       1, 1},
      {"filter in a filter's left side", Item("\\Users\\*\\[[@Role!=x]=='y']\\&lt;name&gt;"),
       "Rules\\UsageActivityItem[0]: \"ValueSource\": error 0x8007000D: filter [@Role!=x] compares with x: the value "
       "must be in apostrophes, as in 'value'; evaluations that reach it fail\n1 error, 0 warnings\n",
       1, 1},
      {"a bracket after an attribute step is never parsed", Item("\\Users\\alice\\@Role\\[oops]"), "no problems\n", 0,
       0},
      {"malformed filter in a branch the source does not take",
       If(kCaseCondition + "      <node name=\"Then\"/>\n      <node name=\"Else\">\n" +
          Item("\\Users\\[@Role==Admin]\\&lt;name&gt;") + "      </node>\n"),
       "Rules\\When\\Else\\UsageActivityItem[0]: \"ValueSource\": error 0x8007000D: filter [@Role==Admin] compares "
       "with Admin: the value must be in apostrophes, as in 'value'; evaluations that reach it fail\n"
       "1 error, 0 warnings\n",
       1, 1,
       [](const std::string& users) {
         return Replace(users, "<attr name=\"Mode\" type=\"text\">Full<", "<attr name=\"Mode\" type=\"text\">Lite<");
       }},
      {"a path without its leading backslash", Item("*\\@Role"),
       "Rules\\UsageActivityItem[0]: \"ValueSource\": warning: reads as the literal text \"*\\@Role\", not as a path; "
       "a path starts with a backslash: \\*\\@Role\n0 errors, 1 warning\n",
       0, 1},
      {"a value read from a path that ends at nodes", Item("\\Users\\alice"),
       "Rules\\UsageActivityItem[0]: \"ValueSource\": warning: the path \\Users\\alice ends at nodes, which give no "
       "value: it always reads as nothing (an empty text, a count of 0); end it with <name>, <type> or an "
       "@attribute\n0 errors, 1 warning\n",
       0, 1},
      {"a selection path that ends at values",
       Set(Attr("NameSource", "text", "U") + Attr("ConfigPath", "text", "\\Users\\*\\&lt;name&gt;"), kItemRole),
       "Rules\\PerUser: \"ConfigPath\": warning: the path \\Users\\*\\<name> ends in a value step (<name>, <type> or "
       "@) and selects no node, so the entries never run\n0 errors, 1 warning\n",
       0, 1},
      {"an empty selection whose item reads the first child's value",
       Set(Attr("NameSource", "text", "Users"), Item("\\*\\@Role")),
       "Rules\\PerUser: \"ConfigPath\": warning: is empty: the set makes at most one frame, for the source node "
       "itself, and its item UsageActivityItem[0] takes only the first value of \\*\\@Role; a \"ConfigPath\" "
       "of \\* makes one frame per child\n0 errors, 1 warning\n",
       0, 1},
      {"settings the engine ignores",
       "    <node name=\"All\" type=\"UsageActivityItemsGroup\">\n" + Attr("IsMultiValue", "bool", "true") +
           Attr("ConfigPth", "text", "\\Users\\*") + kItemRole + "    </node>\n" +
           "    <node type=\"UsageActivityItemCounter\">\n" + Attr("NameSource", "text", "N") +
           "      <node name=\"Nested\" type=\"UsageActivityItem\"/>\n    </node>\n",
       "Rules\\All: \"IsMultiValue\": warning: not a setting of \"UsageActivityItemsGroup\"; the engine ignores it\n"
       "Rules\\All: \"ConfigPth\": warning: not a setting of \"UsageActivityItemsGroup\"; the engine ignores it (did "
       "you mean \"ConfigPath\"?)\n"
       "Rules\\UsageActivityItemCounter[1]\\Nested: node: warning: ignored: a \"UsageActivityItemCounter\" has no "
       "nested nodes\n0 errors, 3 warnings\n",
       0, 1},
      {"many problems at once",
       Set(Attr("ConfigPath", "text", "Users\\*") + Attr("IsMultivalue", "bool", "true"),
           "    <node type=\"UsageActivityitem\">\n" + Attr("NameSource", "text", "Role") + "    </node>\n" +
               Item("\\[@Role=='Admin']\\@Id", Attr("ActivityItemType", "int32", "7")) +
               "    <node type=\"If\">\n      <node name=\"Condition\" type=\"OrCondition\">\n"
               "        <node type=\"CaseCondition\">\n" +
               Attr("CaseValuePath1", "text", "@Role") + Attr("CaseValuePath2", "int32", "5") +
               "        </node>\n        <node type=\"OrCondition\"/>\n      </node>\n"
               "      <node name=\"Then\">\n" +
               Item("\\Devices\\*\\[&lt;name&gt;=laptop]\\@Os") + "      </node>\n    </node>\n"),
       "Rules\\PerUser: \"NameSource\": error 0x80070490: required setting is missing\n"
       "Rules\\PerUser: \"ConfigPath\": warning: the literal Users\\* selects no node, so the entries never run; a "
       "selection path starts with a backslash: \\Users\\*\n"
       "Rules\\PerUser: \"IsMultivalue\": warning: not a setting of \"UsageActivityItemsSet\"; the engine ignores it "
       "(did you mean \"IsMultiValue\"?)\n"
       "Rules\\PerUser\\UsageActivityitem[0]: node: error 0x80070057: unknown entry type \"UsageActivityitem\": "
       "differs from \"UsageActivityItem\" only in letter case, and types are compared with letter case\n"
       "Rules\\PerUser\\UsageActivityitem[0]: \"ValueSource\": error 0x80070490: required setting is missing\n"
       "Rules\\PerUser\\UsageActivityItem[1]: \"ActivityItemType\": error 0x8007000D: item type 7 is none of 0, 1, 2; "
       "every resolution that reaches this item fails\n"
       "Rules\\PerUser\\If[2]\\Condition\\OrCondition[1]: node: error 0x8007000D: \"OrCondition\" without "
       "conditions; it needs at least one child condition\n"
       "Rules\\PerUser\\If[2]\\Then\\UsageActivityItem[0]: \"ValueSource\": error 0x8007000D: filter "
       "[<name>=laptop] has no operator == or !=; evaluations that reach it fail\n"
       "6 errors, 2 warnings\n",
       1, 1},
  };
}

TEST(KestrovaResolveCheck, BrokenRuleSetsGiveEveryFindingAndTheirExitStatus) {
  const ScratchFolder scratch;
  for (const BrokenRules& rules : BrokenRuleSets()) {
    SCOPED_TRACE(rules.what);
    const std::wstring file = scratch.Write("rules.txt", RulesText(rules.entries));
    const ToolRun run = RunTool({L"--check", file});
    EXPECT_EQ(run.output, rules.output);
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.exitCode, rules.exitCode);
    const ToolRun strict = RunTool({file, L"--strict", L"--check"});
    EXPECT_EQ(strict.output, rules.output);
    EXPECT_EQ(strict.exitCode, rules.strictExitCode);
  }
}

TEST(KestrovaResolveCheck, BrokenRuleSetsAgreeWithTheModule) {
  ModuleResolver resolver;
  ASSERT_TRUE(resolver.Available());
  const ScratchFolder scratch;
  const std::string users = ReadBytes(Example("users.source.txt"));
  for (const BrokenRules& rules : BrokenRuleSets()) {
    SCOPED_TRACE(rules.what);
    const DXNodePtr rulesNode = FirstNode(scratch.Write("rules.txt", RulesText(rules.entries)));
    std::vector<DXNodePtr> sources{FirstNode(Example("users.source.txt"))};
    if (rules.witness) sources.push_back(FirstNode(scratch.Write("witness.txt", rules.witness(users))));
    ExpectAgreement(resolver, rulesNode, sources);
  }
}

// Entries and conditions nested to the engine's bound pass; one level more is
// a problem of the innermost entry, for the check and for Initialize alike.
TEST(KestrovaResolveCheck, NestingPastTheEngineBoundIsAProblemOfBoth) {
  ModuleResolver resolver;
  ASSERT_TRUE(resolver.Available());
  const ScratchFolder scratch;
  for (const int levels : {64, 65}) {
    SCOPED_TRACE(levels);
    std::string entries = kItemRole;
    for (int level = 1; level < levels; ++level) {
      entries = Set(Attr("NameSource", "text", "&lt;name&gt;") + Attr("ConfigPath", "text", "\\*"), entries,
                    "L" + std::to_string(level));
    }
    const std::wstring file = scratch.Write("nested.txt", RulesText(entries));
    const ToolRun run = RunTool({L"--check", file});
    EXPECT_EQ(run.exitCode, levels <= 64 ? 0u : 1u) << run.output;
    EXPECT_EQ(
        run.output.find("error 0x8007000D: rules and conditions nested deeper than 64 levels") != std::string::npos,
        levels > 64)
        << run.output;
    ExpectAgreement(resolver, FirstNode(file), {FirstNode(Example("users.source.txt"))});
  }
}

// Source paths up to the walk's 256 elements pass; a longer one fails every
// resolution that evaluates it, as the check says.
TEST(KestrovaResolveCheck, SourcePathsPastTheWalksBoundAreAProblemOfBoth) {
  ModuleResolver resolver;
  ASSERT_TRUE(resolver.Available());
  const ScratchFolder scratch;
  for (const int elements : {256, 257}) {
    SCOPED_TRACE(elements);
    std::string source;
    for (int element = 1; element < elements; ++element) source += "\\a";
    source += "\\@Role";
    const std::wstring file = scratch.Write("long.txt", RulesText(Item(source)));
    const ToolRun run = RunTool({L"--check", file});
    EXPECT_EQ(run.exitCode, elements <= 256 ? 0u : 1u) << run.output;
    EXPECT_EQ(run.output.find("error 0x8007000D: the path has 257 elements") != std::string::npos, elements > 256)
        << run.output;
    ExpectAgreement(resolver, FirstNode(file), {FirstNode(Example("users.source.txt"))});
  }
}

// Every rule file of the repository, with the sources that reach its
// problems: the guide's source, and for the conditional example the product
// name that takes its short-circuited branch.
TEST(KestrovaResolveCheck, EveryRuleFileOfTheRepositoryAgreesWithTheModule) {
  ModuleResolver resolver;
  ASSERT_TRUE(resolver.Available());
  const ScratchFolder scratch;
  const std::string users = ReadBytes(Example("users.source.txt"));
  const std::vector<DXNodePtr> sources{
      FirstNode(Example("users.source.txt")),
      FirstNode(SourcePath(KESTROVA_TOOL_TESTS_DIR "/fixtures", "two-nodes.source.txt")),
      FirstNode(scratch.Write("lower-case-product.txt", Replace(users, ">Veltrano<", ">veltrano<"))),
  };
  size_t files = 0;
  for (const char* directory : {KESTROVA_EXAMPLES_DIR, KESTROVA_TOOL_TESTS_DIR "/fixtures"}) {
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(SourcePath(directory, "")))) {
      const std::string name = entry.path().filename().string();
      if (!name.ends_with(".rules.txt") || name == "no-node.rules.txt") continue;
      SCOPED_TRACE(name);
      ++files;
      ExpectAgreement(resolver, FirstNode(entry.path().wstring()), sources);
    }
  }
  EXPECT_GT(files, 0u);
}

// --- The vocabulary against the module ---------------------------------------

// A stored value of each type the node text has.
struct StoredValue {
  const char* what;
  std::function<void(const DXNodePtr&, const wchar_t*)> set;
};

void SetInt32(const DXNodePtr& node, const wchar_t* name, int32_t value) {
  ASSERT_EQ(DxnSetAttribute(node.Get(), name, DXN_TYPE_INT32, &value, sizeof value), S_OK);
}

const StoredValue kStoredValues[] = {
    {"text", [](const DXNodePtr& node, const wchar_t* name) { node.SetString(name, L"1"); }},
    {"int32", [](const DXNodePtr& node, const wchar_t* name) { SetInt32(node, name, 1); }},
    {"int64", [](const DXNodePtr& node, const wchar_t* name) { node.SetInt64(name, 1); }},
    {"int64 beyond int32", [](const DXNodePtr& node, const wchar_t* name) { node.SetInt64(name, int64_t{1} << 40); }},
    {"bool", [](const DXNodePtr& node, const wchar_t* name) { node.SetBool(name, true); }},
    {"textlist", [](const DXNodePtr& node, const wchar_t* name) { node.SetStringList(name, {L"1"}); }},
    {"binary", [](const DXNodePtr& node, const wchar_t* name) { node.SetBinary(name, "\x01", 1); }},
};

// A node of the kind with every required setting as text, and what its kind
// needs nested: an "If" with a condition and "Then", an or/and with a case.
DXNodePtr MinimalNode(const KindRule& kind) {
  const DXNodePtr node = DXNodePtr::Create(nullptr, kind.type);
  for (const SettingRule& setting : kind.settings) {
    if (setting.read == SettingRead::RequiredText) node.SetString(setting.name, L"x");
  }
  if (kind.nested == NestedNodes::IfParts) {
    const DXNodePtr condition = DXNodePtr::Create(kConditionPart, L"CaseCondition");
    condition.SetString(L"CaseValuePath1", L"a");
    condition.SetString(L"CaseValuePath2", L"a");
    node.AddChild(condition);
    node.AddChild(DXNodePtr::Create(kThenPart, nullptr));
  } else if (kind.nested == NestedNodes::Conditions) {
    node.AddChild(MinimalNode(*FindKind(ConditionKinds(), L"CaseCondition")));
  }
  return node;
}

// The rules node around an entry, or around an "If" whose condition is the node.
DXNodePtr RulesAround(const DXNodePtr& node, bool isCondition) {
  const DXNodePtr rules = DXNodePtr::Create(L"Rules", nullptr);
  if (!isCondition) {
    rules.AddChild(node.Clone());
    return rules;
  }
  const DXNodePtr conditional = DXNodePtr::Create(nullptr, L"If");
  const DXNodePtr condition = node.Clone();
  DXNodePtr named = DXNodePtr::Create(kConditionPart, condition.GetType().c_str());
  for (const std::wstring& attribute : condition.GetAttributeNames()) {
    std::vector<uint8_t> scratch;
    CopyAttribute(attribute.c_str(), condition, named, scratch);
  }
  condition.ForEachChild([&](const DXNodePtr& child) { named.AddChild(child.Clone()); });
  conditional.AddChild(named);
  conditional.AddChild(DXNodePtr::Create(kThenPart, nullptr));
  rules.AddChild(conditional);
  return rules;
}

std::wstring LowerCased(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

void ExpectVocabularyAgrees(ModuleResolver& resolver, std::span<const KindRule> kinds, bool areConditions) {
  const std::vector<DXNodePtr> sources{FirstNode(Example("users.source.txt"))};
  for (const KindRule& kind : kinds) {
    const std::wstring type = kind.type;
    SCOPED_TRACE(std::string(type.begin(), type.end()));
    ExpectAgreement(resolver, RulesAround(MinimalNode(kind), areConditions), sources);
    EXPECT_EQ(Check(RulesAround(MinimalNode(kind), areConditions)).ErrorCount(), 0u) << "the minimal node is sound";

    // Letter case, and a type of its own.
    for (const std::wstring& otherType : {LowerCased(type), type + L"s"}) {
      const DXNodePtr node = MinimalNode(kind);
      node.SetType(otherType.c_str());
      ExpectAgreement(resolver, RulesAround(node, areConditions), sources);
      EXPECT_EQ(Check(RulesAround(node, areConditions)).ErrorCount(), 1u);
    }

    // Every setting absent and with each stored type.
    for (const SettingRule& setting : kind.settings) {
      const std::wstring name = setting.name;
      SCOPED_TRACE(std::string(name.begin(), name.end()));
      const DXNodePtr without = MinimalNode(kind);
      without.DeleteAttribute(setting.name, false);
      ExpectAgreement(resolver, RulesAround(without, areConditions), sources);
      for (const StoredValue& value : kStoredValues) {
        SCOPED_TRACE(value.what);
        const DXNodePtr node = MinimalNode(kind);
        value.set(node, setting.name);
        ExpectAgreement(resolver, RulesAround(node, areConditions), sources);
      }
    }

    // An attribute the kind has no setting for: accepted, and a warning.
    const DXNodePtr extra = MinimalNode(kind);
    extra.SetString(L"Unread", L"1");
    ExpectAgreement(resolver, RulesAround(extra, areConditions), sources);
    const CheckReport report = Check(RulesAround(extra, areConditions));
    EXPECT_EQ(report.ErrorCount(), 0u);
    EXPECT_EQ(report.WarningCount(), 1u);
  }
}

TEST(KestrovaRuleVocabulary, EntryKindsTheirSettingsAndTheirReadsAreTheModules) {
  ModuleResolver resolver;
  ASSERT_TRUE(resolver.Available());
  ExpectVocabularyAgrees(resolver, EntryKinds(), false);
}

TEST(KestrovaRuleVocabulary, ConditionKindsTheirSettingsAndTheirReadsAreTheModules) {
  ModuleResolver resolver;
  ASSERT_TRUE(resolver.Available());
  ExpectVocabularyAgrees(resolver, ConditionKinds(), true);
  // An or/and condition needs a child.
  for (const wchar_t* type : {L"OrCondition", L"AndCondition"}) {
    const DXNodePtr empty = DXNodePtr::Create(nullptr, type);
    ExpectAgreement(resolver, RulesAround(empty, true), {});
  }
}

TEST(KestrovaRuleVocabulary, ItemTypesOutsideZeroToTwoFailEveryResolution) {
  ModuleResolver resolver;
  ASSERT_TRUE(resolver.Available());
  const std::vector<DXNodePtr> sources{FirstNode(Example("users.source.txt"))};
  for (const int32_t itemType : {-1, 0, 1, 2, 3, 1000}) {
    SCOPED_TRACE(itemType);
    const DXNodePtr item = MinimalNode(*FindKind(EntryKinds(), L"UsageActivityItem"));
    SetInt32(item, L"ActivityItemType", itemType);
    ExpectAgreement(resolver, RulesAround(item, false), sources);
  }
}

// --- Command line -------------------------------------------------------------

TEST(KestrovaResolveCheck, UsageErrorsExitTwo) {
  const std::wstring rules = Example("users-set.rules.txt");
  const std::wstring source = Example("users.source.txt");
  const struct {
    const char* what;
    std::vector<std::wstring> arguments;
    const char* message;
  } cases[] = {
      {"no file", {L"--check"}, "--check needs a RULES file"},
      {"two files", {L"--check", rules, source}, "--check takes one RULES file"},
      {"with a format", {L"--check", rules, L"--format", L"xml"}, "--format does not go with --check"},
      {"strict alone", {rules, source, L"--strict"}, "--strict goes with --check only"},
      {"check twice", {L"--check", L"--check", rules}, "--check given more than once"},
      {"missing file", {L"--check", Example("no-such.rules.txt")}, "cannot open RULES file"},
  };
  for (const auto& usage : cases) {
    SCOPED_TRACE(usage.what);
    const ToolRun run = RunTool(usage.arguments);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.error.find(usage.message), std::string::npos) << run.error;
  }
  const ToolRun help = RunTool({L"--help"});
  EXPECT_NE(help.output.find("kestrova-resolve --check RULES [--strict]"), std::string::npos) << help.output;
}

// --- Maintainer settings through kestrova-host.exe ---------------------------

ToolRun RunHost(const std::vector<std::wstring>& arguments) { return RunProgram(L"kestrova-host.exe", arguments); }

struct BrokenSettings {
  const char* what;
  std::vector<std::pair<std::string, std::string>> edits;  // replacements in the demo's settings
  std::string output;
  DWORD exitCode;
  DWORD strictExitCode;
};

constexpr char kFirstEntry[] = "{6C1F4B2E-93A7-4D0B-8E55-2F7A91C3D401}";

std::vector<BrokenSettings> BrokenSettingsFiles() {
  return {
      {"the demo's settings", {}, "no problems\n", 0, 0},
      {"a required setting missing",
       {{"<attr name=\"SinkIntervalSec\" type=\"int64\">1</attr>", ""}},
       "ConfigSnapshotsMaintainer: \"SinkIntervalSec\": error 0x80070490: required setting is missing\n"
       "1 error, 0 warnings\n",
       1,
       1},
      {"a snapshot interval out of range",
       {{"<attr name=\"SendSnapshotsIntervalHours\" type=\"int64\">24</attr>",
         "<attr name=\"SendSnapshotsIntervalHours\" type=\"int64\">-1</attr>"}},
       "ConfigSnapshotsMaintainer: \"SendSnapshotsIntervalHours\": error 0x80070057: -1 hours is outside 0 to "
       "2562047\n1 error, 0 warnings\n",
       1,
       1},
      {"an accumulator setting missing",
       {{"<attr name=\"UsageStatisticsCfgPath\" type=\"text\">\\Veltrano\\UsageStatisticsSettings</attr>", ""}},
       "ConfigSnapshotsMaintainer\\TransientStorage: \"UsageStatisticsCfgPath\": error 0x80070490: required setting "
       "is missing\n1 error, 0 warnings\n",
       1,
       1},
      {"a send interval beyond the maximum",
       {{"<attr name=\"SendIntervalSec\" type=\"int64\">1</attr>",
         "<attr name=\"SendIntervalSec\" type=\"int64\">9223372036854775807</attr>"}},
       "ConfigSnapshotsMaintainer\\TransientStorage: \"SendIntervalSec\": warning: 9223372036854775807 seconds is "
       "above the maximum of 31536000 (365 days); the accumulator takes 31536000\n0 errors, 1 warning\n",
       0,
       1},
      {"a delivery status path that is the switch's",
       {{"<attr name=\"DeliveryStatusCfgPath\" type=\"text\">\\Veltrano\\UsageStatistics\\DeliveryStatus</attr>",
         "<attr name=\"DeliveryStatusCfgPath\" type=\"text\">\\Veltrano\\UsageStatisticsSettings</attr>"}},
       "ConfigSnapshotsMaintainer\\TransientStorage: \"DeliveryStatusCfgPath\": warning: is the switch's own path; the "
       "accumulator writes no status node there\n0 errors, 1 warning\n",
       0,
       1},
      {"a relative delivery status path",
       {{"<attr name=\"DeliveryStatusCfgPath\" type=\"text\">\\Veltrano\\UsageStatistics\\DeliveryStatus</attr>",
         "<attr name=\"DeliveryStatusCfgPath\" type=\"text\">DeliveryStatus</attr>"}},
       "ConfigSnapshotsMaintainer\\TransientStorage: \"DeliveryStatusCfgPath\": warning: \"DeliveryStatus\" is not an "
       "absolute path below the root without empty elements; the accumulator writes no status node\n0 errors, 1 "
       "warning\n",
       0,
       1},
      {"an entry name that is no GUID",
       {{kFirstEntry, "Users"}},
       "ConfigSnapshotsMaintainer\\ConfigSnapshots\\Users: node: error 0x80070057: the name \"Users\" is not a GUID "
       "(braced, hyphenated or 32 digits)\n1 error, 0 warnings\n",
       1,
       1},
      {"a relative ConfigPath",
       {{"<attr name=\"ConfigPath\" type=\"text\">\\Veltrano\\Mail</attr>",
         "<attr name=\"ConfigPath\" type=\"text\">Veltrano\\Mail</attr>"}},
       "ConfigSnapshotsMaintainer\\ConfigSnapshots\\{0B8D5E61-2C4F-4A8E-9F13-7D6E2A5B8C02}: \"ConfigPath\": error "
       "0x8007000D: \"Veltrano\\Mail\" is not absolute; it must start with a backslash\n1 error, 0 warnings\n",
       1,
       1},
      {"an entry's rules without their name",
       {{"<attr name=\"NameSource\" type=\"text\">UserAccount</attr>", ""}},
       std::string("ConfigSnapshotsMaintainer\\ConfigSnapshots\\") + kFirstEntry +
           ": \"NameSource\": error 0x80070490: required setting is missing\n1 error, 0 warnings\n",
       1,
       1},
      {"two entries of one base path",
       {{"<attr name=\"ConfigPath\" type=\"text\">\\Veltrano\\Licensing</attr>",
         "<attr name=\"ConfigPath\" type=\"text\">\\Veltrano\\Mail\\*</attr>"}},
       "ConfigSnapshotsMaintainer\\ConfigSnapshots\\{F2D93B17-6E8A-4C05-A1B4-58C7E0D2F904}: \"ConfigPath\": warning: "
       "its base path \\Veltrano\\Mail is also that of "
       "ConfigSnapshotsMaintainer\\ConfigSnapshots\\{0B8D5E61-2C4F-4A8E-9F13-7D6E2A5B8C02}; the maintainer keeps the "
       "first entry of a base path and drops this one\n0 errors, 1 warning\n",
       0,
       1},
      {"an entry of a misspelt type",
       {{"type=\"ConfigSnapshotEntry\"", "type=\"ConfigSnapshotentry\""}},
       std::string("ConfigSnapshotsMaintainer\\ConfigSnapshots\\") + kFirstEntry +
           ": node: warning: ignored: only children of type \"ConfigSnapshotEntry\" become tracked paths (did you "
           "mean \"ConfigSnapshotEntry\"?)\n0 errors, 1 warning\n",
       0,
       1},
      {"many problems at once",
       {{"<attr name=\"SinkIntervalSec\" type=\"int64\">1</attr>",
         "<attr name=\"SinkIntervalSecs\" type=\"int64\">1</attr>"},
        {"<attr name=\"SendIntervalSec\" type=\"int64\">1</attr>",
         "<attr name=\"SendIntervalSec\" type=\"int64\">0</attr>"},
        {kFirstEntry, "Users"},
        {"<attr name=\"ValueSource\" type=\"text\">@Role</attr>",
         "<attr name=\"ValueSource\" type=\"text\">\\[@Role]</attr>"},
        {"<attr name=\"ConfigPath\" type=\"text\">\\Veltrano\\Licensing</attr>",
         "<attr name=\"ConfigPath\" type=\"text\">\\Veltrano\\Users\\[&lt;name&gt;=='a']</attr>"},
        {"<attr name=\"SendSnapshotsIntervalHours\" type=\"int64\">24</attr>",
         "<attr name=\"SendSnapshotsIntervalHours\" type=\"text\">24</attr>"}},
       "ConfigSnapshotsMaintainer: \"SinkIntervalSec\": error 0x80070490: required setting is missing\n"
       "ConfigSnapshotsMaintainer: \"SinkIntervalSecs\": warning: not a setting of the maintainer; it is ignored (did "
       "you mean \"SinkIntervalSec\"?)\n"
       "ConfigSnapshotsMaintainer\\TransientStorage: \"SendIntervalSec\": warning: 0 seconds is below 1; the "
       "accumulator takes 1\n"
       "ConfigSnapshotsMaintainer\\ConfigSnapshots\\Users: node: error 0x80070057: the name \"Users\" is not a GUID "
       "(braced, hyphenated or 32 digits)\n"
       "ConfigSnapshotsMaintainer\\ConfigSnapshots\\Users\\UsageActivityItem[0]: \"ValueSource\": error 0x8007000D: "
       "filter [@Role] has no operator == or !=; evaluations that reach it fail\n"
       "ConfigSnapshotsMaintainer\\ConfigSnapshots\\Users\\UsageActivityItem[0]: \"ValueSource\": warning: the path "
       "\\[@Role] ends at nodes, which give no value: it always reads as nothing (an empty text, a count of 0); end "
       "it with <name>, <type> or an @attribute\n"
       "ConfigSnapshotsMaintainer\\ConfigSnapshots\\{F2D93B17-6E8A-4C05-A1B4-58C7E0D2F904}: \"ConfigPath\": warning: "
       "its base path \\Veltrano\\Users is also that of ConfigSnapshotsMaintainer\\ConfigSnapshots\\Users; the "
       "maintainer keeps the first entry of a base path and drops this one\n"
       "ConfigSnapshotsMaintainer: \"SendSnapshotsIntervalHours\": error 0x8007065D: is text; the engine reads int64\n"
       "4 errors, 4 warnings\n",
       1,
       1},
  };
}

std::string EditedDemoSettings(const BrokenSettings& settings, const std::wstring& pending) {
  std::string text = ReadBytes(Example("host/demo.settings.txt"));
  text = Replace(text, "%ProgramData%\\Veltrano\\UsageStatistics\\KestrovaHostDemo.pending",
                 std::string(pending.begin(), pending.end()));
  for (const auto& [from, to] : settings.edits) text = Replace(text, from, to);
  return text;
}

TEST(KestrovaHostCheck, BrokenSettingsGiveEveryFindingAndTheirExitStatus) {
  const ScratchFolder scratch;
  for (const BrokenSettings& settings : BrokenSettingsFiles()) {
    SCOPED_TRACE(settings.what);
    const std::wstring file = scratch.Write("settings.txt", EditedDemoSettings(settings, L"C:\\unused.pending"));
    const ToolRun run = RunHost({L"--check-settings", file});
    EXPECT_EQ(run.output, settings.output);
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.exitCode, settings.exitCode);
    EXPECT_EQ(RunHost({L"--strict", L"--check-settings=" + file}).exitCode, settings.strictExitCode);
  }
}

// The same files configure the maintainer of Kestrova.dll in the reference
// host, on the demo's store: a passed check configures; otherwise Configure
// fails with the first construction error's code.
TEST(KestrovaHostCheck, BrokenSettingsAgreeWithConfigure) {
  const ScratchFolder scratch;
  for (const BrokenSettings& settings : BrokenSettingsFiles()) {
    SCOPED_TRACE(settings.what);
    const std::wstring pending = fs::path(scratch.Write("pending.dat", "")).wstring();
    fs::remove(fs::path(pending));
    const std::wstring file = scratch.Write("settings.txt", EditedDemoSettings(settings, pending));
    const ToolRun check = RunHost({L"--check-settings", file});
    const std::optional<std::string> firstError = [&]() -> std::optional<std::string> {
      const size_t at = check.output.find(": error 0x");
      if (at == std::string::npos) return std::nullopt;
      return check.output.substr(at + 8, 10);
    }();
    const ToolRun run = RunHost({L"--settings", file, L"--settle", L"0", L"--quiet"});
    if (firstError) {
      EXPECT_EQ(run.exitCode, 1u) << run.error;
      EXPECT_NE(run.error.find("Configure failed: " + *firstError), std::string::npos) << run.error;
    } else {
      EXPECT_EQ(run.exitCode, 0u) << run.error;
      EXPECT_EQ(run.error.find("Configure failed"), std::string::npos) << run.error;
    }
  }
}

// Every setting Configure reads, absent and stored with another type, in
// the demo's settings (on the demo's store): the check's first error is
// Configure's failure, and a check without errors configures.
TEST(KestrovaHostCheck, EverySettingAbsentOrMistypedAgreesWithConfigure) {
  const ScratchFolder scratch;
  const std::wstring pending = fs::path(scratch.Write("pending.dat", "")).wstring();
  fs::remove(fs::path(pending));
  const BrokenSettings demo{"the demo's settings", {}, "", 0, 0};
  const std::wstring demoFile = scratch.Write("demo.settings.txt", EditedDemoSettings(demo, pending));

  // The node each table reads: the settings, their "TransientStorage", the first entry.
  const auto target = [](const DXNodePtr& settings, int table) {
    if (table == 0) return settings;
    if (table == 1) return settings.GetChild(L"TransientStorage");
    return settings.GetChild(L"ConfigSnapshots").GetChild(0u);
  };
  const std::span<const SettingsChecker::NamedRead> tables[] = {
      SettingsChecker::MaintainerSettings(), SettingsChecker::StorageSettings(), SettingsChecker::EntrySettings()};
  for (int table = 0; table < 3; ++table) {
    for (const SettingsChecker::NamedRead& setting : tables[table]) {
      const std::wstring name = setting.name;
      for (const bool absent : {true, false}) {
        SCOPED_TRACE(std::string(name.begin(), name.end()) + (absent ? " absent" : " of another type"));
        const DXNodePtr settings = FirstNode(demoFile);
        const DXNodePtr node = target(settings, table);
        node.DeleteAttribute(setting.name, false);
        if (!absent) {
          // A text where a number or boolean is read, a number where a text is.
          const bool textRead = setting.read == SettingRead::RequiredText || setting.read == SettingRead::OptionalText;
          if (textRead) {
            node.SetInt64(setting.name, 7);
          } else {
            node.SetString(setting.name, L"7");
          }
        }
        const std::wstring file = (fs::path(demoFile).parent_path() / "edited.settings.txt").wstring();
        NodeUtils::SerializeToFile(file, std::vector<DXNodePtr>{settings}, DXNSerializationType_NodeText, 257,
                                   DXNodePtr::kWholeSubtree);
        CheckReport report;
        SettingsChecker(report).CheckMaintainerSettings(FirstNode(file));
        const auto firstError = FirstError(report, CheckFinding::Stage::Construction);
        const ToolRun run = RunHost({L"--settings", file, L"--settle", L"0", L"--quiet"});
        if (firstError) {
          EXPECT_EQ(run.exitCode, 1u) << run.error;
          EXPECT_NE(run.error.find("Configure failed: " + Hex(firstError->hr)), std::string::npos) << run.error;
        } else {
          EXPECT_EQ(run.exitCode, 0u) << run.error;
        }
      }
    }
  }
}

// The repository's settings files configure the maintainer in the host's
// end-to-end runs; the check passes them.
TEST(KestrovaHostCheck, TheRepositorysSettingsFilesPass) {
  for (const std::wstring& file :
       {Example("host/demo.settings.txt"), SourcePath(KESTROVA_TOOL_TESTS_DIR "/host", "tracked-users.settings.txt")}) {
    SCOPED_TRACE(std::string(file.begin(), file.end()));
    const ToolRun run = RunHost({L"--check-settings", file, L"--strict"});
    EXPECT_EQ(run.output, "no problems\n");
    EXPECT_EQ(run.exitCode, 0u);
  }
}

TEST(KestrovaHostCheck, UsageErrorsExitTwo) {
  const std::wstring settings = Example("host/demo.settings.txt");
  const struct {
    const char* what;
    std::vector<std::wstring> arguments;
    const char* message;
  } cases[] = {
      {"no file", {L"--check-settings"}, "--check-settings needs a value"},
      {"with a run option", {L"--check-settings", settings, L"--quiet"}, "--check-settings takes no other option"},
      {"strict alone", {L"--strict"}, "--strict goes with --check-settings only"},
      {"missing file", {L"--check-settings", Example("host/no-such.settings.txt")}, "cannot open SETTINGS file"},
  };
  for (const auto& usage : cases) {
    SCOPED_TRACE(usage.what);
    const ToolRun run = RunHost(usage.arguments);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.error.find(usage.message), std::string::npos) << run.error;
  }
}

}  // namespace

// kestrova-resolve.exe run as a process, the way rule authors run it: the
// shipped examples against their committed outputs, the xml format against
// the resolver's own container, exit statuses and messages.
#include "ToolProcess.h"

#include <Kestrova/ComponentInterfaces.h>

#include "module/CompPtr.h"
#include "node/DXNodePtr.h"
#include "node/NodeSerialization.h"
#include "support/LoadedModule.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace KestrovaTest;

// A Linux path of the source tree as the Windows side names it.
std::wstring WindowsPath(const char* directory, const std::string& file) {
  const std::string unixPath = std::string(directory) + "/" + file;
  const std::wstring wide(unixPath.begin(), unixPath.end());
  wchar_t full[MAX_PATH] = {};
  const DWORD length = ::GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
  return length > 0 && length < MAX_PATH ? std::wstring(full, length) : wide;
}

std::wstring Example(const std::string& file) { return WindowsPath(KESTROVA_EXAMPLES_DIR, file); }
std::wstring Fixture(const std::string& file) { return WindowsPath(KESTROVA_TOOL_TESTS_DIR "/fixtures", file); }

std::string ReadBytes(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  EXPECT_TRUE(file.good() || file.eof()) << "cannot read an expected output";
  return bytes.str();
}

std::string Expected(const std::string& file) {
  return ReadBytes(WindowsPath(KESTROVA_TOOL_TESTS_DIR "/expected", file));
}

// What the resolver itself returns for the files, serialized as the tool
// promises: node text, flags 257, the whole subtree.
std::string ResolveDirectly(const std::wstring& rulesPath, const std::wstring& sourcePath) {
  const LoadedLibrary library(L"Kestrova.dll");
  auto getModule = library.Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject");
  IComponentsModule* module = nullptr;
  if (getModule == nullptr || FAILED(getModule(reinterpret_cast<void**>(&module)))) return "no module";
  CompPtr<IUsageActivityItemsResolver> resolver;
  if (FAILED(module->CreateInstance(CLSID_UsageActivityItemsResolver, IID_IUsageActivityItemsResolver,
                                    resolver.PutVoid()))) {
    return "no resolver";
  }
  const auto rules = NodeUtils::DeserializeFromFile(rulesPath, DXNSerializationType_NodeText, 0);
  const auto source = NodeUtils::DeserializeFromFile(sourcePath, DXNSerializationType_NodeText, 0);
  if (FAILED(resolver->Initialize(rules.at(0).Get()))) return "Initialize failed";
  DXNodePtr container;
  if (FAILED(resolver->ResolveActivityItems(source.at(0).Get(), container.Out()))) return "resolution failed";
  IDXNode* const nodes[] = {container.Get()};
  return NodeUtils::SerializeToText(nodes, 1, DXN_SERIALIZE_FORMATTED, DXNodePtr::kWholeSubtree);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// While Kestrova.dll still answers E_NOTIMPL for the resolver, the cases that
// need its frames are skipped; every other case runs.
bool ResolverAnswers() {
  static const bool answers = [] {
    const ToolRun run = RunTool({Fixture("no-entries.rules.txt"), Example("users.source.txt")});
    return !Contains(run.error, "0x80004001");
  }();
  return answers;
}

#define SKIP_UNLESS_RESOLVER_ANSWERS() \
  if (!ResolverAnswers()) GTEST_SKIP() << "the items resolver of Kestrova.dll answers E_NOTIMPL"

// --- The shipped examples ------------------------------------------------

struct ExampleCase {
  const char* rules;  // in docs/examples; run against users.source.txt
  const char* expected;  // base name in tests/tools/expected
};

const ExampleCase kExamples[] = {
    {"users-set.rules.txt", "users-set"},     {"counters.rules.txt", "counters"},
    {"groups.rules.txt", "groups"},           {"conditional.rules.txt", "conditional"},
    {"paths.rules.txt", "paths"},             {"empty-results.rules.txt", "empty-results"},
    {"typed-attributes.rules.txt", "typed-attributes"},
};

TEST(KestrovaResolveTool, ShippedExamplesGiveTheCommittedOutputs) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const std::wstring source = Example("users.source.txt");
  for (const ExampleCase& example : kExamples) {
    SCOPED_TRACE(example.rules);
    const std::wstring rules = Example(example.rules);

    const ToolRun tree = RunTool({rules, source});
    EXPECT_EQ(tree.exitCode, 0u);
    EXPECT_EQ(tree.error, "");
    EXPECT_EQ(tree.output, Expected(std::string(example.expected) + ".tree.txt"));
    EXPECT_EQ(RunTool({rules, source, L"--format", L"tree"}).output, tree.output) << "tree is the default";

    const ToolRun xml = RunTool({L"--format", L"xml", rules, source});
    EXPECT_EQ(xml.exitCode, 0u);
    EXPECT_EQ(xml.error, "");
    EXPECT_EQ(xml.output, Expected(std::string(example.expected) + ".xml"));
  }
}

TEST(KestrovaResolveTool, XmlOutputIsTheResolversContainerByteForByte) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const std::wstring source = Example("users.source.txt");
  for (const ExampleCase& example : kExamples) {
    SCOPED_TRACE(example.rules);
    const std::wstring rules = Example(example.rules);
    const ToolRun xml = RunTool({rules, source, L"--format=xml"});
    ASSERT_EQ(xml.exitCode, 0u);
    EXPECT_EQ(xml.output, ResolveDirectly(rules, source));
  }
}

// --- Formats of values and texts ------------------------------------------

TEST(KestrovaResolveTool, TreeFormatQuotesAndEscapesTextsAndKeepsUtf8) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ToolRun run = RunTool({Fixture("texts.rules.txt"), Example("users.source.txt")});
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output,
            "\"Quoted\" = \"say \\\"hi\\\" \\\\ now\"\n"
            "\"Controls\" = \"tab\\tline\\nreturn\\r\\u0001\"\n"
            "\"Unicode\" = \"Ekstr\xC3\xB6m \xF0\x9F\x98\x80\"\n"
            "\"LoneSurrogate\" = \"a\\uD800b\"\n"
            "\"\" = \"no name\"\n"
            "\"EmptyList\" = []\n"
            "\"ListOfOneEmptyText\" = [\"\"]\n");
}

TEST(KestrovaResolveTool, EmptyResultAndFirstNodesOnly) {
  SKIP_UNLESS_RESOLVER_ANSWERS();
  const ToolRun empty = RunTool({Fixture("no-entries.rules.txt"), Example("users.source.txt")});
  EXPECT_EQ(empty.exitCode, 0u);
  EXPECT_EQ(empty.output, "(no frames)\n");
  const ToolRun emptyXml = RunTool({Fixture("no-entries.rules.txt"), Example("users.source.txt"), L"--format", L"xml"});
  EXPECT_EQ(emptyXml.output, "<nr>\r\n  <node/>\r\n</nr>\r\n") << "a container without name, type or frames";

  // Only the first node of each file counts: the second rules node and the
  // second source node are not used.
  const ToolRun first = RunTool({Fixture("two-nodes.rules.txt"), Fixture("two-nodes.source.txt")});
  EXPECT_EQ(first.exitCode, 0u);
  EXPECT_EQ(first.output, "\"From\" = \"first source\"\n");
}

// --- Failures: exit status, message, nothing on standard output ------------

struct FailureCase {
  const char* what;
  std::vector<std::wstring> arguments;
  DWORD exitCode;
  std::vector<std::string> messageParts;
};

TEST(KestrovaResolveTool, FailuresGiveTheirExitStatusAndAReadableMessage) {
  const std::wstring rules = Example("users-set.rules.txt");
  const std::wstring source = Example("users.source.txt");
  const FailureCase cases[] = {
      {"no arguments", {}, 2, {"kestrova-resolve: RULES and SOURCE files are required", "usage: kestrova-resolve"}},
      {"one file", {rules}, 2, {"RULES and SOURCE files are required"}},
      {"three files", {rules, source, source}, 2, {"too many arguments"}},
      {"unknown format", {rules, source, L"--format", L"json"}, 2, {"unknown format 'json'"}},
      {"format without value", {rules, source, L"--format"}, 2, {"--format needs a value"}},
      {"format twice", {rules, source, L"--format", L"xml", L"--format", L"tree"}, 2, {"more than once"}},
      {"unknown option", {rules, source, L"--verbose"}, 2, {"unknown option '--verbose'"}},
      {"missing rules file", {Fixture("no-such-file.txt"), source}, 2, {"cannot open RULES file", "no-such-file.txt", "0x80070002"}},
      {"folder as source", {rules, WindowsPath(KESTROVA_TOOL_TESTS_DIR, "fixtures")}, 2, {"cannot open SOURCE file"}},
      {"malformed source", {rules, Fixture("malformed.source.txt")}, 2,
       {"SOURCE file", "malformed.source.txt", "is not well-formed node text", "0x8007000D"}},
      {"rules without node", {Fixture("no-node.rules.txt"), source}, 2, {"RULES file", "holds no node"}},
      {"unknown entry type", {Example("bad-type.rules.txt"), source}, 1,
       {"Initialize failed: 0x80070057", "Invalid Activity Entry config node."}},
      {"missing required setting", {Fixture("missing-name-source.rules.txt"), source}, 1,
       {"Initialize failed: 0x80070490"}},
      {"setting of the wrong type", {Fixture("text-item-type.rules.txt"), source}, 1,
       {"Initialize failed: 0x8007065D"}},
      {"or condition without children", {Fixture("empty-or.rules.txt"), source}, 1,
       {"Initialize failed: 0x8007000D"}},
      {"malformed filter", {Example("bad-filter.rules.txt"), source}, 1, {"ResolveActivityItems failed: 0x8007000D"}},
      {"invalid item type", {Fixture("item-type-3.rules.txt"), source}, 1, {"ResolveActivityItems failed: 0x8007000D"}},
  };
  for (const FailureCase& failure : cases) {
    SCOPED_TRACE(failure.what);
    if (failure.exitCode == 1 && !ResolverAnswers()) continue;  // needs the module's own failures
    const ToolRun run = RunTool(failure.arguments);
    EXPECT_EQ(run.exitCode, failure.exitCode);
    EXPECT_EQ(run.output, "") << "nothing on standard output";
    EXPECT_TRUE(run.error.starts_with("kestrova-resolve: ")) << run.error;
    for (const std::string& part : failure.messageParts) EXPECT_TRUE(Contains(run.error, part)) << run.error;
    EXPECT_FALSE(Contains(run.error, "\r\n")) << "plain line ends";
  }
}

TEST(KestrovaResolveTool, HelpGoesToStandardOutput) {
  const ToolRun run = RunTool({L"--help"});
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.output.starts_with("usage: kestrova-resolve RULES SOURCE [--format tree|xml]")) << run.output;
  EXPECT_EQ(run.error, "");
}

}  // namespace

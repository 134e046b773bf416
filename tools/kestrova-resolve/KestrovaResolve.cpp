// kestrova-resolve: runs activity rules on a source tree through the items
// resolver of Kestrova.dll and shows the frames, so that rule authors see
// what their rules produce before they ship them.
//
//   kestrova-resolve RULES SOURCE [--format tree|xml]
//   kestrova-resolve --check RULES [--strict]
//   kestrova-resolve --test FILE... [--update] [--junit FILE]
#include "CheckOutput.h"
#include "CommandLine.h"
#include "FrameTestRun.h"
#include "FrameTreePrinter.h"
#include "NodeTextFile.h"
#include "ResolverHost.h"
#include "StandardStream.h"
#include "ToolError.h"
#include "ToolMain.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/Checking/RuleChecker.h"
#include "node/DXNodePtr.h"

#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace {

using namespace KestrovaResolve;
using namespace KestrovaTools;

int Run(const CommandLine& commandLine) {
  // Both files are read before the module is touched: input errors are
  // reported as such, whatever state the module is in.
  const NodeHandle rules = NodeTextFile::ReadFirstNode(commandLine.rulesPath, L"RULES");
  const NodeHandle source = NodeTextFile::ReadFirstNode(commandLine.sourcePath, L"SOURCE");

  ResolverHost host;
  host.Initialize(rules);
  const NodeHandle container = host.ResolveActivityItems(source);

  StandardStream& output = StandardStream::Output();
  if (commandLine.format == OutputFormat::Xml) {
    NodeTextFile::Write(container, output);
  } else {
    output.Write(FrameTreePrinter::Print(container));
  }
  output.Flush();
  return kExitSuccess;
}

// Checks the rules with the module's own checker, linked in: the module is
// not loaded and nothing is resolved.
int Check(const CommandLine& commandLine) {
  const NodeHandle rules = NodeTextFile::ReadFirstNode(commandLine.rulesPath, L"RULES");
  UsageStatistics::Checking::CheckReport report;
  try {
    UsageStatistics::Checking::RuleChecker(report).CheckRuleList(DXNodePtr(rules.Get(), DXNodePtr::Handle::Duplicate));
  } catch (const HRX& failure) {
    throw ToolError(kExitFailure, L"the check failed: " + FormatError(failure, ErrorFormat::NoLocation));
  }
  return WriteCheckReport(report, commandLine.strict);
}

// The node at the case's "StartPath" below the source node: plain names
// separated by backslashes, with an optional backslash before the first and
// after the last; empty, or a lone backslash, is the source node.
NodeHandle StartNode(NodeHandle source, const FrameTestCase& testCase) {
  const std::optional<std::wstring> startPath = testCase.TextSetting(L"StartPath");
  if (!startPath) return source;
  std::wstring_view rest = *startPath;
  if (rest.starts_with(L'\\')) rest.remove_prefix(1);
  if (rest.size() > 1 && rest.ends_with(L'\\')) rest.remove_suffix(1);
  std::vector<std::wstring> names;
  for (size_t start = 0; !rest.empty() && start <= rest.size();) {
    const size_t separator = std::min(rest.find(L'\\', start), rest.size());
    names.emplace_back(rest.substr(start, separator - start));
    if (names.back().empty()) testCase.Fail(L"\"StartPath\" '" + *startPath + L"' has an empty element");
    start = separator + 1;
  }
  NodeHandle node = std::move(source);
  for (const std::wstring& name : names) {
    NodeHandle child;
    for (uint32_t index = 0, count = node.ChildCount(); index < count && !child; ++index) {
      if (NodeHandle candidate = node.Child(index); candidate.Name() == name) child = std::move(candidate);
    }
    if (!child) testCase.Fail(L"\"StartPath\" '" + *startPath + L"': no node \"" + name + L"\" in the source");
    node = std::move(child);
  }
  return node;
}

// Every case through a resolver of its own, as a host that loads new rules
// would; the inputs are read before the module is touched.
int Test(const CommandLine& commandLine) {
  const FrameTestKind kind{L"kestrova-resolve",
                           {L"RuleTests", L"RuleTest", {L"Rules", L"Source"}, {}, {L"StartPath"}},
                           [](const FrameTestCase& testCase) {
                             const NodeHandle rules = testCase.InputNode(L"Rules");
                             const NodeHandle source = StartNode(testCase.InputNode(L"Source"), testCase);
                             ResolverHost host;
                             host.Initialize(rules);
                             // A resolver's frames come in one defined order.
                             return FrameTestResult{host.ResolveActivityItems(source), {}};
                           }};
  return RunFrameTests(kind, commandLine.testOptions);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  return RunToolMain<CommandLine>(L"kestrova-resolve", L"the resolver failed", argc, argv,
                                  [](const CommandLine& commandLine) {
                                    if (commandLine.test) return Test(commandLine);
                                    return commandLine.check ? Check(commandLine) : Run(commandLine);
                                  });
}

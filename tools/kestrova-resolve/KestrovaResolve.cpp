// kestrova-resolve: runs activity rules on a source tree through the items
// resolver of Kestrova.dll and shows the frames, so that rule authors see
// what their rules produce before they ship them.
//
//   kestrova-resolve RULES SOURCE [--format tree|xml]
//   kestrova-resolve --check RULES [--strict]
#include "CheckOutput.h"
#include "CommandLine.h"
#include "FrameTreePrinter.h"
#include "NodeTextFile.h"
#include "ResolverHost.h"
#include "StandardStream.h"
#include "ToolError.h"
#include "ToolMain.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/Checking/RuleChecker.h"
#include "node/DXNodePtr.h"

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  return RunToolMain<CommandLine>(
      L"kestrova-resolve", L"the resolver failed", argc, argv,
      [](const CommandLine& commandLine) { return commandLine.check ? Check(commandLine) : Run(commandLine); });
}

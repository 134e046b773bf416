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

void ReportError(const std::wstring& message) {
  try {
    StandardStream& error = StandardStream::Error();
    std::wstring text = L"kestrova-resolve: " + message;
    if (text.back() != L'\n') text += L'\n';
    error.WriteText(text);
    error.Flush();
  } catch (const ToolError&) {
    // Standard error itself is gone: the exit status is all that is left.
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  CommandLine commandLine;
  try {
    commandLine = CommandLine::Parse(std::vector<std::wstring>(argv + 1, argv + argc));
  } catch (const ToolError& error) {
    ReportError(error.Message() + L"\n" + CommandLine::UsageText());
    return error.Status();
  }
  try {
    if (commandLine.helpRequested) {
      StandardStream::Output().WriteText(CommandLine::UsageText());
      StandardStream::Output().Flush();
      return kExitSuccess;
    }
    return commandLine.check ? Check(commandLine) : Run(commandLine);
  } catch (const ToolError& error) {
    ReportError(error.Message());
    return error.Status();
  } catch (const std::bad_alloc&) {
    ReportError(L"out of memory");
    return kExitFailure;
  }
}

// The frame every tool's wmain shares: the command line parsed (a usage
// error prints its message and the usage text), --help answered, the run,
// and each failure turned into one line on standard error, prefixed with the
// tool's name, and its exit status.
#pragma once

#include "StandardStream.h"
#include "ToolError.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "Sources/Common/ErrorHandling/HRES.h"

#include <new>
#include <string>
#include <vector>

namespace KestrovaTools {

// "<tool>: message" and a line break on standard error; nothing when
// standard error itself is gone (the exit status is all that is left).
void ReportToolError(const wchar_t* tool, const std::wstring& message) noexcept;

// CommandLine: Parse(arguments), UsageText() and helpRequested. run(commandLine)
// returns the exit status; failure names what failed ("the host failed").
template <typename CommandLine, typename Run>
int RunToolMain(const wchar_t* tool, const wchar_t* failure, int argc, wchar_t** argv, Run&& run) {
  CommandLine commandLine;
  try {
    commandLine = CommandLine::Parse(std::vector<std::wstring>(argv + 1, argv + argc));
  } catch (const ToolError& error) {
    ReportToolError(tool, error.Message() + L"\n" + CommandLine::UsageText());
    return error.Status();
  }
  try {
    if (commandLine.helpRequested) {
      StandardStream::Output().WriteText(CommandLine::UsageText());
      StandardStream::Output().Flush();
      return kExitSuccess;
    }
    return run(static_cast<const CommandLine&>(commandLine));
  } catch (const ToolError& error) {
    ReportToolError(tool, error.Message());
    return error.Status();
  } catch (const HRX& hr) {
    ReportToolError(tool, std::wstring(failure) + L": " + FormatError(hr, ErrorFormat::NoLocation));
    return kExitFailure;
  } catch (const std::bad_alloc&) {
    ReportToolError(tool, L"out of memory");
    return kExitFailure;
  }
}

}  // namespace KestrovaTools

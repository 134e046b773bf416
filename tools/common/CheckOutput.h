// The output of a check run (kestrova-resolve --check, kestrova-host
// --check-settings): one line per finding, then the summary line, on
// standard output; the exit status the tools promise.
#pragma once

#include "ToolError.h"

#include "Sources/Subsystems/UsageStatistics/Kestrova/Checking/CheckReport.h"

namespace KestrovaTools {

// kExitSuccess without errors (and, with strict, without warnings), else
// kExitFailure.
ExitStatus WriteCheckReport(const UsageStatistics::Checking::CheckReport& report, bool strict);

}  // namespace KestrovaTools

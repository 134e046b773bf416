#include "CheckOutput.h"

#include "StandardStream.h"

namespace KestrovaTools {

ExitStatus WriteCheckReport(const UsageStatistics::Checking::CheckReport& report, bool strict) {
  StandardStream& output = StandardStream::Output();
  output.WriteText(report.Text());
  output.Flush();
  return report.Passed(strict) ? kExitSuccess : kExitFailure;
}

}  // namespace KestrovaTools

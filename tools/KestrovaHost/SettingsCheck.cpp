#include "SettingsCheck.h"

#include "CheckOutput.h"
#include "NodeTextFile.h"
#include "ToolError.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/Checking/SettingsChecker.h"
#include "node/DXNodePtr.h"

namespace KestrovaHost {

using namespace KestrovaTools;

int SettingsCheck::Run(const std::wstring& settingsPath, bool strict) {
  const NodeHandle settings = NodeTextFile::ReadFirstNode(settingsPath, L"SETTINGS");
  UsageStatistics::Checking::CheckReport report;
  try {
    UsageStatistics::Checking::SettingsChecker(report).CheckMaintainerSettings(
        DXNodePtr(settings.Get(), DXNodePtr::Handle::Duplicate));
  } catch (const HRX& failure) {
    throw ToolError(kExitFailure, L"the check failed: " + FormatError(failure, ErrorFormat::NoLocation));
  }
  return WriteCheckReport(report, strict);
}

}  // namespace KestrovaHost

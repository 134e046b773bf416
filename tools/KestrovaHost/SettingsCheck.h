// kestrova-host --check-settings: checks a maintainer settings file with the
// module's own checker, linked in; nothing is loaded, hosted or configured.
#pragma once

#include <string>

namespace KestrovaHost {

class SettingsCheck {
 public:
  // Writes the findings and the summary line to standard output; returns the
  // exit status (0 passed, 1 problems, or warnings with strict). An unreadable
  // or malformed file raises ToolError (kExitUsage).
  static int Run(const std::wstring& settingsPath, bool strict);
};

}  // namespace KestrovaHost

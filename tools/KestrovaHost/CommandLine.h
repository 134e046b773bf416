// The host's arguments:
//   kestrova-host [--store FILE] [--settings FILE] [--changes FILE]
//                 [--frames-out FILE] [--save-store FILE] [--settle MS]
//                 [--service-fails] [--quiet]
//   kestrova-host --show-pending FILE
//   kestrova-host --check-settings FILE [--strict]
//   kestrova-host --test FILE... [--update] [--junit FILE] [--settle MS]
#pragma once

#include "FrameTestRun.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace KestrovaHost {

struct CommandLine {
  std::optional<std::wstring> storePath;
  std::optional<std::wstring> settingsPath;
  std::optional<std::wstring> changesPath;
  std::optional<std::wstring> framesOutPath;
  std::optional<std::wstring> saveStorePath;
  std::optional<std::wstring> showPendingPath;
  std::optional<std::wstring> checkSettingsPath;
  bool strict = false;  // with --check-settings: warnings fail too
  uint32_t settleMs = kDefaultSettleMs;
  bool serviceFails = false;
  bool quiet = false;
  bool test = false;  // run the scenarios of the test files instead
  KestrovaTools::FrameTestOptions testOptions;
  bool helpRequested = false;

  static constexpr uint32_t kDefaultSettleMs = 3000;
  static constexpr uint32_t kMaxSettleMs = 86'400'000;  // a day

  // True when neither a store nor settings were given: the embedded demo runs.
  bool RunsDemo() const { return !storePath && !settingsPath; }

  // Raises ToolError with kExitUsage for anything else.
  static CommandLine Parse(const std::vector<std::wstring>& arguments);
  static const wchar_t* UsageText();
};

}  // namespace KestrovaHost

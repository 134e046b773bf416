// What a run starts from: the store, the maintainer's settings and the
// change steps, from the files given or from the embedded demo, all read
// and checked before the module is loaded.
#pragma once

#include "ChangeScript.h"
#include "CommandLine.h"
#include "StoreCopy.h"

#include "node/DXNodePtr.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace KestrovaHost {

struct HostInputs {
  StoreCopy store;
  std::wstring storeName;  // for messages
  DXNodePtr settings;
  std::vector<ChangeStep> steps;
  // The settings' "ConfigSnapshotEntry" children: the entries the maintainer is asked to build.
  uint32_t entryCount = 0;
  std::optional<std::wstring> pendingPath;
  // The settings' "DeliveryStatusCfgPath": where the sender keeps its figures.
  std::optional<std::wstring> deliveryStatusPath;
  // The base paths of those entries (the plain names before the first
  // pattern element of each absolute "ConfigPath"): what the module tracks.
  std::vector<std::wstring> trackedBasePaths;

  // Raises ToolError (kExitUsage) for a file that cannot be read or is malformed.
  static HostInputs Load(const CommandLine& commandLine);
  // The inputs of a store, settings and steps already read; the figures the
  // host needs are taken from the settings.
  static HostInputs Make(StoreCopy store, std::wstring storeName, DXNodePtr settings, std::vector<ChangeStep> steps);
};

}  // namespace KestrovaHost

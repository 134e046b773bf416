// What the host prints on standard output at the end of a run: the summary
// and, unless --quiet, the delivered frames in the tree format of
// kestrova-resolve.
#pragma once

#include "DeliveryWatch.h"
#include "StepRunner.h"

#include "node/DXNodePtr.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace KestrovaHost {

struct PendingCount {
  std::optional<std::wstring> path;  // none: the settings name no transient storage file
  std::optional<uint32_t> frames;    // none: the file could not be read
  std::wstring readFailure;
};

struct RunReport {
  uint32_t entriesConfigured = 0;
  StepCounts counts;
  std::optional<DeliveryTimes> times;  // none: the steps did not run to their end
  std::vector<DXNodePtr> delivered;
  PendingCount pending;
  // The sender's status node after Shutdown; empty when the settings name none.
  DXNodePtr deliveryStatus;

  // UTF-8 text for standard output.
  std::string Text(bool withFrames) const;
};

// The frames as the tree format shows them ("(no frames)" for none).
std::string FramesTree(const std::vector<DXNodePtr>& frames);

}  // namespace KestrovaHost

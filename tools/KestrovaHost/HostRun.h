// One run of the maintainer on its inputs, the way a service process runs
// it: the reference services, Configure, the steps, the settle time,
// Shutdown, the release, and the figures of the run.
#pragma once

#include "FrameComparison.h"
#include "HostInputs.h"
#include "RunReport.h"
#include "ToolError.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace KestrovaHost {

struct HostRunOptions {
  uint32_t settleMs = 0;
  bool serviceFails = false;
  std::optional<std::wstring> saveStorePath;
  // The subject of steps that name none; none: the process user.
  std::optional<std::wstring> defaultSubject;
};

struct HostRun {
  // The first failure of the run decides it; the run still shuts the module
  // down and releases everything after it.
  KestrovaTools::ExitStatus status = KestrovaTools::kExitSuccess;
  RunReport report;
  // Where the module left the order of the delivered frames open: the
  // snapshot frames of several entries, and the frames of notifications that
  // several entries answered.
  KestrovaTools::FrameOrder order;
};

// Every failure of the run goes to failed as it happens, every warning to
// warned, each as one line without the tool's name.
HostRun RunMaintainer(const HostInputs& inputs, const HostRunOptions& options,
                      const std::function<void(const std::wstring&)>& failed,
                      const std::function<void(const std::wstring&)>& warned);

}  // namespace KestrovaHost

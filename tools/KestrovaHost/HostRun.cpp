#include "HostRun.h"

#include "DeliveryWatch.h"
#include "FailureText.h"
#include "MaintainerHost.h"
#include "ModificationReporter.h"
#include "PendingFrames.h"
#include "ReferenceServices.h"
#include "StepRunner.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "node/ConfigServerAccess.h"
#include "node/Identity.h"

#include <Kestrova/ComponentsLib.h>

#include <algorithm>

namespace KestrovaHost {

using namespace KestrovaTools;

namespace {

using Sink = std::function<void(const std::wstring&)>;

std::wstring ProcessUser(const Sink& warned) {
  try {
    return Identity::GetProcessUserName();
  } catch (const HRX& failure) {
    warned(L"warning: the process user is unknown (" + FormatError(failure, ErrorFormat::NoLocation) +
           L"); Write and Delete steps without \"Subject\" name \"Unknown\"");
    return L"Unknown";
  }
}

PendingCount CountPending(const std::optional<std::wstring>& path) {
  PendingCount pending{path, 0u, {}};
  if (!path || !PendingFrames::FileExists(*path)) return pending;
  try {
    pending.frames = static_cast<uint32_t>(PendingFrames::Read(*path).size());
  } catch (const ToolError& error) {
    pending.frames.reset();
    pending.readFailure = error.Message();
  }
  return pending;
}

class RunStatus {
 public:
  explicit RunStatus(const Sink& failed) : m_failed(failed) {}
  void Fail(ExitStatus status, const std::wstring& message) {
    m_failed(message);
    if (m_status == kExitSuccess) m_status = status;
  }
  void CheckModuleResult(HRESULT hr, const wchar_t* method) {
    if (FAILED(hr)) Fail(kExitFailure, std::wstring(method) + L" failed: " + FailureText::DescribeModuleFailure(hr));
  }
  ExitStatus Status() const { return m_status; }

 private:
  const Sink& m_failed;
  ExitStatus m_status = kExitSuccess;
};

}  // namespace

HostRun RunMaintainer(const HostInputs& inputs, const HostRunOptions& options, const Sink& failed, const Sink& warned) {
  RunStatus status(failed);
  HostRun run;
  RunReport& report = run.report;
  report.entriesConfigured = inputs.entryCount;
  {
    ReferenceServices services(inputs.store.Path(), inputs.storeName);
    if (options.serviceFails) services.MakeServiceFail();
    MaintainerHost maintainer;
    {
      ModificationReporter reporter(services.ConfigServer());
      const HRESULT configured = maintainer.Configure(inputs.settings.Get());
      status.CheckModuleResult(configured, L"Configure");
      // A failed Configure has shut the maintainer down itself.
      if (SUCCEEDED(configured)) {
        StepRunner runner(services.ConfigServer(), reporter, maintainer,
                          options.defaultSubject ? *options.defaultSubject : ProcessUser(warned),
                          inputs.trackedBasePaths);
        DeliveryWatch watch(services.UsageStatistics());
        try {
          watch.StepsStarting();
          runner.Run(inputs.steps);
          watch.StepsEnded();
          watch.Settle(options.settleMs);
          report.times = watch.Times();
        } catch (const ToolError& error) {
          status.Fail(error.Status(), error.Message());
        }
        report.counts = runner.Counts();
        run.order.subjectsInAnyOrder = runner.SharedNotificationSubjects();
        status.CheckModuleResult(maintainer.Shutdown(), L"Shutdown");
        if (inputs.deliveryStatusPath) {
          try {
            report.deliveryStatus = ReadConfigNode(services.ConfigServer(), *inputs.deliveryStatusPath, false);
          } catch (const HRX& failure) {
            warned(L"warning: the delivery status node cannot be read (" +
                   FormatError(failure, ErrorFormat::NoLocation) + L")");
          }
        }
      }
    }
    maintainer.ReleaseMaintainer();
    report.delivered = services.ReceivedFrames();
    if (options.saveStorePath) services.SaveStore(*options.saveStorePath);
    services.Revoke();
    if (const uint32_t inUse = maintainer.ModuleInUse(); inUse != 0) {
      status.Fail(kExitFailure, L"Kestrova.dll is still in use (IsModuleInUse " + std::to_wstring(inUse) +
                                    L") after every reference was released");
    }
  }
  if (const uint32_t alive = ::CLGetLiveObjectCount(); alive != 0) {
    warned(L"warning: " + std::to_wstring(alive) + L" ComponentsLib objects are still alive after the run");
  }
  report.pending = CountPending(inputs.pendingPath);
  std::vector<std::wstring> bases = inputs.trackedBasePaths;
  std::sort(bases.begin(), bases.end());
  run.order.snapshotsInAnyOrder = std::unique(bases.begin(), bases.end()) - bases.begin() > 1;
  run.status = status.Status();
  return run;
}

}  // namespace KestrovaHost

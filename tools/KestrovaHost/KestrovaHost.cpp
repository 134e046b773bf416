// kestrova-host: the reference host. Runs Kestrova.dll's snapshot maintainer
// the way a service does — a configuration server, a service client with a
// usage-statistics service, the module configured, every modification of
// the host's own changes reported to it, shut down and released — and shows
// the frames the service received.
//
//   kestrova-host [--store FILE] [--settings FILE] [--changes FILE] [--frames-out FILE]
//                 [--save-store FILE] [--settle MS] [--service-fails] [--quiet]
//   kestrova-host --show-pending FILE
//   kestrova-host --check-settings FILE [--strict]
#include "CommandLine.h"
#include "DeliveryWatch.h"
#include "FailureText.h"
#include "HostInputs.h"
#include "MaintainerHost.h"
#include "ModificationReporter.h"
#include "NodeTextFile.h"
#include "PendingFrames.h"
#include "ReferenceServices.h"
#include "RunReport.h"
#include "SettingsCheck.h"
#include "StandardStream.h"
#include "StepRunner.h"
#include "ToolError.h"
#include "ToolMain.h"

#include "Sources/Common/ErrorHandling/ErrorDescription.h"
#include "node/ConfigServerAccess.h"
#include "node/Identity.h"

#include <Kestrova/ComponentsLib.h>

#include <windows.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace KestrovaHost;
using namespace KestrovaTools;

void ReportError(const std::wstring& message) { ReportToolError(L"kestrova-host", message); }

std::wstring ProcessUser() {
  try {
    return Identity::GetProcessUserName();
  } catch (const HRX& failure) {
    ReportError(L"warning: the process user is unknown (" + FormatError(failure, ErrorFormat::NoLocation) +
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

// The first failure of a run decides its exit status; the run still shuts
// the module down and releases everything after it.
class RunStatus {
 public:
  void Fail(ExitStatus status, const std::wstring& message) {
    ReportError(message);
    if (m_status == kExitSuccess) m_status = status;
  }
  ExitStatus Status() const { return m_status; }

 private:
  ExitStatus m_status = kExitSuccess;
};

void CheckModuleResult(RunStatus& status, HRESULT hr, const wchar_t* method) {
  if (FAILED(hr))
    status.Fail(kExitFailure, std::wstring(method) + L" failed: " + FailureText::DescribeModuleFailure(hr));
}

int RunHost(const CommandLine& commandLine) {
  HostInputs inputs = HostInputs::Load(commandLine);
  RunStatus status;
  RunReport report;
  report.entriesConfigured = inputs.entryCount;
  {
    ReferenceServices services(inputs.store.Path(), inputs.storeName);
    if (commandLine.serviceFails) services.MakeServiceFail();
    MaintainerHost maintainer;
    {
      ModificationReporter reporter(services.ConfigServer());
      const HRESULT configured = maintainer.Configure(inputs.settings.Get());
      CheckModuleResult(status, configured, L"Configure");
      // A failed Configure has shut the maintainer down itself.
      if (SUCCEEDED(configured)) {
        StepRunner runner(services.ConfigServer(), reporter, maintainer, ProcessUser(), inputs.trackedBasePaths);
        DeliveryWatch watch(services.UsageStatistics());
        try {
          watch.StepsStarting();
          runner.Run(inputs.steps);
          watch.StepsEnded();
          watch.Settle(commandLine.settleMs);
          report.times = watch.Times();
        } catch (const ToolError& error) {
          status.Fail(error.Status(), error.Message());
        }
        report.counts = runner.Counts();
        CheckModuleResult(status, maintainer.Shutdown(), L"Shutdown");
        if (inputs.deliveryStatusPath) {
          try {
            report.deliveryStatus = ReadConfigNode(services.ConfigServer(), *inputs.deliveryStatusPath, false);
          } catch (const HRX& failure) {
            ReportError(L"warning: the delivery status node cannot be read (" +
                        FormatError(failure, ErrorFormat::NoLocation) + L")");
          }
        }
      }
    }
    maintainer.ReleaseMaintainer();
    report.delivered = services.ReceivedFrames();
    if (commandLine.saveStorePath) services.SaveStore(*commandLine.saveStorePath);
    services.Revoke();
    if (const uint32_t inUse = maintainer.ModuleInUse(); inUse != 0) {
      status.Fail(kExitFailure, L"Kestrova.dll is still in use (IsModuleInUse " + std::to_wstring(inUse) +
                                    L") after every reference was released");
    }
  }
  if (const uint32_t alive = ::CLGetLiveObjectCount(); alive != 0) {
    ReportError(L"warning: " + std::to_wstring(alive) + L" ComponentsLib objects are still alive after the run");
  }
  report.pending = CountPending(inputs.pendingPath);

  if (commandLine.framesOutPath) {
    std::vector<IDXNode*> frames;
    for (const DXNodePtr& frame : report.delivered) frames.push_back(frame.Get());
    NodeTextFile::WriteFile(frames, *commandLine.framesOutPath, L"FRAMES-OUT");
  }
  StandardStream& output = StandardStream::Output();
  output.Write(report.Text(!commandLine.quiet));
  output.Flush();
  return status.Status();
}

int ShowPending(const std::wstring& path) {
  const std::vector<DXNodePtr> frames = PendingFrames::Read(path);
  StandardStream& output = StandardStream::Output();
  output.Write(FramesTree(frames));
  output.Flush();
  return kExitSuccess;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  return RunToolMain<CommandLine>(L"kestrova-host", L"the host failed", argc, argv, [](const CommandLine& commandLine) {
    if (commandLine.showPendingPath) return ShowPending(*commandLine.showPendingPath);
    if (commandLine.checkSettingsPath) return SettingsCheck::Run(*commandLine.checkSettingsPath, commandLine.strict);
    return RunHost(commandLine);
  });
}

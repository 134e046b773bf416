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
//   kestrova-host --test FILE... [--update] [--junit FILE] [--settle MS]
#include "CommandLine.h"
#include "FrameTestRun.h"
#include "HostInputs.h"
#include "HostRun.h"
#include "NodeTextFile.h"
#include "PendingFrames.h"
#include "RunReport.h"
#include "ScenarioFolder.h"
#include "SettingsCheck.h"
#include "StandardStream.h"
#include "ToolError.h"
#include "ToolMain.h"

#include "node/DXNodePtr.h"

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace KestrovaHost;
using namespace KestrovaTools;

void ReportError(const std::wstring& message) { ReportToolError(L"kestrova-host", message); }

int RunHost(const CommandLine& commandLine) {
  const HostInputs inputs = HostInputs::Load(commandLine);
  const HostRunOptions options{commandLine.settleMs, commandLine.serviceFails, commandLine.saveStorePath, {}};
  const HostRun run = RunMaintainer(inputs, options, ReportError, ReportError);
  if (commandLine.framesOutPath) {
    std::vector<IDXNode*> frames;
    for (const DXNodePtr& frame : run.report.delivered) frames.push_back(frame.Get());
    NodeTextFile::WriteFile(frames, *commandLine.framesOutPath, L"FRAMES-OUT");
  }
  StandardStream& output = StandardStream::Output();
  output.Write(run.report.Text(!commandLine.quiet));
  output.Flush();
  return run.status;
}

// A scenario's inputs: the store (a file, or the inline node's children),
// the settings and the optional change script. A pending frames file the
// settings name is moved into the scenario's own folder.
HostInputs ScenarioInputs(const FrameTestCase& scenario, const ScenarioFolder& folder) {
  const std::wstring source = L"\"Changes\" of case \"" + scenario.Name() + L"\"";
  std::vector<ChangeStep> steps;
  if (scenario.HasInput(L"Changes")) {
    const NodeHandle script = scenario.InputNode(L"Changes");
    steps = ChangeScript::Parse(DXNodePtr(script.Get(), DXNodePtr::Handle::Duplicate), source);
  }
  const NodeHandle settingsNode = scenario.InputNode(L"Settings");
  const DXNodePtr settings = DXNodePtr(settingsNode.Get(), DXNodePtr::Handle::Duplicate).Clone();
  // An empty path keeps its meaning: frames in memory only.
  if (const DXNodePtr storage = settings.GetChild(L"TransientStorage", false);
      storage && !storage.GetString(L"TransientStoragePath", L"").empty()) {
    storage.SetString(L"TransientStoragePath", (folder.Path() + L"scenario.pending").c_str());
  }
  const std::optional<std::wstring> storePath = scenario.InputPath(L"Store");
  StoreCopy store = storePath ? StoreCopy::OfFile(*storePath) : StoreCopy::OfText(scenario.InputText(L"Store"));
  return HostInputs::Make(
      std::move(store),
      storePath ? L"STORE file '" + *storePath + L"'" : L"the inline \"Store\" of case \"" + scenario.Name() + L"\"",
      settings, std::move(steps));
}

// Every scenario in a run of its own; a failure of the run (Configure,
// Shutdown, a step, the module left in use) fails the scenario.
int Test(const CommandLine& commandLine) {
  const auto runScenario = [&](const FrameTestCase& scenario) {
    const ScenarioFolder folder;
    const HostInputs inputs = ScenarioInputs(scenario, folder);
    const std::optional<int64_t> settle = scenario.IntegerSetting(L"SettleMs");
    if (settle && (*settle < 0 || *settle > CommandLine::kMaxSettleMs)) {
      scenario.Fail(L"\"SettleMs\" must be from 0 to " + std::to_wstring(CommandLine::kMaxSettleMs));
    }
    const HostRunOptions options{settle ? static_cast<uint32_t>(*settle) : commandLine.settleMs,
                                 false,
                                 {},
                                 scenario.TextSetting(L"DefaultSubject")};
    std::wstring failures;
    const HostRun run = RunMaintainer(
        inputs, options, [&](const std::wstring& line) { failures += (failures.empty() ? L"" : L"\n") + line; },
        ReportError);
    if (run.status != kExitSuccess) throw ToolError(run.status, failures);
    DXNodePtr received = DXNodePtr::Create(nullptr, nullptr);
    for (const DXNodePtr& frame : run.report.delivered) received.AddChild(frame.Clone());
    return FrameTestResult{NodeHandle(received.Detach()), run.order};
  };
  const FrameTestKind kind{
      L"kestrova-host",
      {L"HostTests", L"HostTest", {L"Store", L"Settings"}, {L"Changes"}, {L"DefaultSubject", L"SettleMs"}},
      runScenario};
  return RunFrameTests(kind, commandLine.testOptions);
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
    if (commandLine.test) return Test(commandLine);
    if (commandLine.showPendingPath) return ShowPending(*commandLine.showPendingPath);
    if (commandLine.checkSettingsPath) return SettingsCheck::Run(*commandLine.checkSettingsPath, commandLine.strict);
    return RunHost(commandLine);
  });
}

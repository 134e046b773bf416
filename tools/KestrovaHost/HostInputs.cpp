#include "HostInputs.h"

#include "DemoInputs.h"
#include "NodeHandle.h"
#include "NodeTextFile.h"
#include "PendingFrames.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "node/NodePaths.h"

namespace KestrovaHost {

namespace NodeTextFile = KestrovaTools::NodeTextFile;

namespace {

DXNodePtr ToDXNode(const KestrovaTools::NodeHandle& node) {
  return DXNodePtr(node.Get(), DXNodePtr::Handle::Duplicate);
}

DXNodePtr ReadSettings(const CommandLine& commandLine) {
  if (commandLine.settingsPath) return ToDXNode(NodeTextFile::ReadFirstNode(*commandLine.settingsPath, L"SETTINGS"));
  return ToDXNode(NodeTextFile::ReadFirstNodeFromText(DemoInputs::SettingsText(), L"the demo settings"));
}

std::vector<ChangeStep> ReadSteps(const CommandLine& commandLine) {
  if (commandLine.changesPath) {
    const DXNodePtr script = ToDXNode(NodeTextFile::ReadFirstNode(*commandLine.changesPath, L"CHANGES"));
    return ChangeScript::Parse(script, L"CHANGES file '" + *commandLine.changesPath + L"'");
  }
  // The demo's script belongs to the demo's store and settings.
  if (!commandLine.RunsDemo()) return {};
  const DXNodePtr script =
      ToDXNode(NodeTextFile::ReadFirstNodeFromText(DemoInputs::ChangesText(), L"the demo changes"));
  return ChangeScript::Parse(script, L"the demo changes");
}

uint32_t CountEntries(const DXNodePtr& settings) {
  const DXNodePtr snapshots = settings.GetChild(L"ConfigSnapshots", false);
  uint32_t count = 0;
  if (snapshots) {
    snapshots.ForEachChild([&](const DXNodePtr& child) { count += child.GetType() == L"ConfigSnapshotEntry"; });
  }
  return count;
}

std::vector<std::wstring> TrackedBasePaths(const DXNodePtr& settings) {
  std::vector<std::wstring> bases;
  const DXNodePtr snapshots = settings.GetChild(L"ConfigSnapshots", false);
  if (!snapshots) return bases;
  snapshots.ForEachChild([&](const DXNodePtr& child) {
    if (child.GetType() != L"ConfigSnapshotEntry") return;
    // An entry the module cannot build tracks nothing; Configure says why.
    try {
      std::wstring configPath;
      if (!child.TryGetString(L"ConfigPath", configPath) || configPath.empty() ||
          configPath.front() != NodePaths::kSeparator) {
        return;
      }
      bases.push_back(NodePaths::SplitAtFirstPattern(configPath).basePath);
    } catch (const HRX&) {
      // A "ConfigPath" that is not text.
    }
  });
  return bases;
}

}  // namespace

HostInputs HostInputs::Make(StoreCopy store, std::wstring storeName, DXNodePtr settings,
                            std::vector<ChangeStep> steps) {
  const uint32_t entryCount = CountEntries(settings);
  std::optional<std::wstring> pendingPath = PendingFrames::StoragePath(settings);
  std::optional<std::wstring> deliveryStatusPath = PendingFrames::StorageSetting(settings, L"DeliveryStatusCfgPath");
  std::vector<std::wstring> trackedBasePaths = TrackedBasePaths(settings);
  return HostInputs{
      std::move(store), std::move(storeName),   std::move(settings),           std::move(steps),
      entryCount,       std::move(pendingPath), std::move(deliveryStatusPath), std::move(trackedBasePaths)};
}

HostInputs HostInputs::Load(const CommandLine& commandLine) {
  // Settings and steps first: they are checked completely before the store is copied.
  DXNodePtr settings = ReadSettings(commandLine);
  std::vector<ChangeStep> steps = ReadSteps(commandLine);
  const bool ownStore = commandLine.storePath.has_value();
  return Make(ownStore ? StoreCopy::OfFile(*commandLine.storePath) : StoreCopy::OfText(DemoInputs::StoreText()),
              ownStore ? L"STORE file '" + *commandLine.storePath + L"'" : std::wstring(L"the demo store"),
              std::move(settings), std::move(steps));
}

}  // namespace KestrovaHost

#include "SettingsChecker.h"

#include "NameHint.h"
#include "RuleChecker.h"
#include "RuleVocabulary.h"
#include "SettingReader.h"

#include "Sources/Subsystems/UsageStatistics/Kestrova/ConfigSnapshotsMaintainer.h"

#include "node/NodeErrors.h"
#include "node/NodePaths.h"
#include "node/ValueFormats.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace UsageStatistics::Checking {

namespace {

constexpr wchar_t kNodeSubject[] = L"node";
constexpr wchar_t kEntryType[] = L"ConfigSnapshotEntry";
constexpr wchar_t kStorageChild[] = L"TransientStorage";
constexpr wchar_t kSnapshotsChild[] = L"ConfigSnapshots";

using NamedRead = SettingsChecker::NamedRead;

// CConfigSnapshotsMaintainer::ConfigureSteps, its attributes in reading order.
constexpr NamedRead kMaintainerSettings[] = {
    {L"SnapshotStatusesCfgPath", SettingRead::RequiredText},
    {L"SinkIntervalSec", SettingRead::RequiredInt64},
    {L"SendSnapshotsIntervalHours", SettingRead::RequiredInt64},
};
// CTransientUsageStatsAccumulator::ReadSettings.
constexpr NamedRead kStorageSettings[] = {
    {L"SendIntervalSec", SettingRead::RequiredInt64},       {L"MaxSendFailures", SettingRead::OptionalInt32},
    {L"UsageStatisticsCfgPath", SettingRead::RequiredText}, {L"TransientStoragePath", SettingRead::OptionalText},
    {L"MaxQueuedFrames", SettingRead::OptionalInt64},       {L"CheckpointIntervalSec", SettingRead::OptionalInt64},
    {L"DeliveryStatusCfgPath", SettingRead::OptionalText},
};
// CConfigSnapshotEntry's own settings; the rest of the node is its set.
constexpr NamedRead kEntrySettings[] = {
    {L"SnapshotsOnly", SettingRead::OptionalBool},
    {L"SendIntervalHours", SettingRead::RequiredInt64},
    {L"ConfigPath", SettingRead::RequiredText},
};
constexpr const wchar_t* kEntryOwnSettings[] = {L"SnapshotsOnly", L"SendIntervalHours"};

std::wstring Quoted(std::wstring_view text) { return RuleChecker::Quoted(text); }

template <size_t N>
std::vector<std::wstring_view> Names(const NamedRead (&reads)[N]) {
  std::vector<std::wstring_view> names;
  for (const NamedRead& read : reads) names.push_back(read.name);
  return names;
}

// Reads one setting as its reader does; a failure becomes an error.
SettingValue ReadSetting(CheckReport& report, const DXNodePtr& node, const std::wstring& path, const NamedRead& read) {
  SettingValue value = SettingReader::Read(node, read.name, read.read);
  if (FAILED(value.failure)) {
    report.AddError(path, Quoted(read.name), value.failure,
                    SettingReader::FailureText(node, read.name, read.read, value.failure));
  }
  return value;
}

void WarnUnknownAttributes(CheckReport& report, const DXNodePtr& node, const std::wstring& path,
                           const std::vector<std::wstring_view>& known, const wchar_t* owner) {
  for (const std::wstring& name : node.GetAttributeNames()) {
    if (std::find(known.begin(), known.end(), name) != known.end()) continue;
    report.AddWarning(path, Quoted(name),
                      std::wstring(L"not a setting of ") + owner + L"; it is ignored" + NameHint::Suggest(name, known));
  }
}

}  // namespace

std::span<const NamedRead> SettingsChecker::MaintainerSettings() { return kMaintainerSettings; }
std::span<const NamedRead> SettingsChecker::StorageSettings() { return kStorageSettings; }
std::span<const NamedRead> SettingsChecker::EntrySettings() { return kEntrySettings; }

bool SettingsChecker::IsServerPath(std::wstring_view path) { return NodePaths::IsServerPath(path); }

void SettingsChecker::CheckRequiredChild(const DXNodePtr& parent, const wchar_t* name, const std::wstring& path,
                                         DXNodePtr& child) {
  child = parent.GetChild(name, false);
  if (!child) {
    m_report.AddError(path, L"child " + Quoted(name), NodeErrors::kNotFound,
                      L"missing; the maintainer needs a child named " + Quoted(name));
  }
}

void SettingsChecker::CheckMaintainerSettings(const DXNodePtr& settings) {
  m_basePaths.clear();
  m_badStatusRoot.reset();
  const std::wstring path = RuleChecker::NodeLabel(settings, 0);
  m_rootPath = path;
  const SettingValue statusRoot = ReadSetting(m_report, settings, path, kMaintainerSettings[0]);
  if (SUCCEEDED(statusRoot.failure) && !IsServerPath(statusRoot.text)) m_badStatusRoot = statusRoot.text;
  ReadSetting(m_report, settings, path, kMaintainerSettings[1]);
  WarnUnknownAttributes(m_report, settings, path, Names(kMaintainerSettings), L"the maintainer");

  const std::vector<std::wstring_view> children{kStorageChild, kSnapshotsChild};
  uint32_t index = 0;
  settings.ForEachChild([&](const DXNodePtr& child) {
    const uint32_t childIndex = index++;
    const std::wstring name = child.GetName();
    if (std::find(children.begin(), children.end(), name) != children.end()) return;
    m_report.AddWarning(RuleChecker::ChildPath(path, child, childIndex), kNodeSubject,
                        L"ignored: the maintainer reads only its children named \"TransientStorage\" and "
                        L"\"ConfigSnapshots\"" +
                            NameHint::Suggest(name, children));
  });

  DXNodePtr storage;
  CheckRequiredChild(settings, kStorageChild, path, storage);
  if (storage) CheckStorage(storage, path + NodePaths::kSeparator + kStorageChild);
  DXNodePtr snapshots;
  CheckRequiredChild(settings, kSnapshotsChild, path, snapshots);
  if (snapshots) CheckSnapshots(snapshots, path + NodePaths::kSeparator + kSnapshotsChild);

  const SettingValue interval = ReadSetting(m_report, settings, path, kMaintainerSettings[2]);
  if (SUCCEEDED(interval.failure) &&
      (interval.number < 0 || interval.number > CConfigSnapshotsMaintainer::kMaxSnapshotIntervalHours)) {
    m_report.AddError(path, Quoted(kMaintainerSettings[2].name), E_INVALIDARG,
                      std::to_wstring(interval.number) + L" hours is outside 0 to " +
                          std::to_wstring(CConfigSnapshotsMaintainer::kMaxSnapshotIntervalHours));
  }
}

void SettingsChecker::CheckStorage(const DXNodePtr& storage, const std::wstring& path) {
  for (const NamedRead& read : kStorageSettings) {
    const SettingValue value = ReadSetting(m_report, storage, path, read);
    if (FAILED(value.failure) || !value.present) continue;
    if (read.name == std::wstring_view(L"UsageStatisticsCfgPath") && !IsServerPath(value.text)) {
      // The accumulator reads and subscribes to its switch there.
      m_report.AddError(
          path, Quoted(read.name), E_INVALIDARG,
          Quoted(value.text) + L" is not an absolute path without empty elements; the configuration server refuses it");
    }
    if (read.name == std::wstring_view(L"DeliveryStatusCfgPath") && !value.text.empty()) {
      if (!IsServerPath(value.text) || value.text.size() == 1) {
        m_report.AddWarning(path, Quoted(read.name),
                            Quoted(value.text) +
                                L" is not an absolute path below the root without empty elements; the accumulator "
                                L"writes no status node");
      } else if (value.text == storage.GetString(L"UsageStatisticsCfgPath", std::wstring())) {
        m_report.AddWarning(path, Quoted(read.name),
                            L"is the switch's own path; the accumulator writes no status node there");
      }
    }
    // Intervals the accumulator clamps, and what it takes instead.
    const auto warnClamped = [&](const wchar_t* name, int64_t minimum, const std::wstring& belowTakes,
                                 int64_t maximum) {
      if (read.name != std::wstring_view(name)) return;
      if (value.number < minimum) {
        m_report.AddWarning(path, Quoted(read.name),
                            std::to_wstring(value.number) + L" seconds is below " + std::to_wstring(minimum) +
                                L"; the accumulator takes " + belowTakes);
      }
      if (value.number > maximum) {
        const std::wstring most = std::to_wstring(maximum);
        m_report.AddWarning(path, Quoted(read.name),
                            std::to_wstring(value.number) + L" seconds is above the maximum of " + most +
                                L" (365 days); the accumulator takes " + most);
      }
    };
    warnClamped(L"SendIntervalSec", 1, L"1", CTransientUsageStatsAccumulator::kMaxSendIntervalSec);
    warnClamped(L"CheckpointIntervalSec", 0, L"0 (no checkpoints)",
                CTransientUsageStatsAccumulator::kMaxCheckpointIntervalSec);
    if (read.name == std::wstring_view(L"CheckpointIntervalSec") && value.number > 0 &&
        storage.GetString(L"TransientStoragePath", std::wstring()).empty()) {
      m_report.AddWarning(path, Quoted(read.name),
                          L"checkpoints need \"TransientStoragePath\"; without it frames stay in memory only");
    }
    if (read.name == std::wstring_view(L"MaxSendFailures") && value.number < 0) {
      m_report.AddWarning(path, Quoted(read.name),
                          std::to_wstring(value.number) + L" is negative; the accumulator takes it as " +
                              std::to_wstring(static_cast<uint32_t>(value.number)));
    }
  }
  WarnUnknownAttributes(m_report, storage, path, Names(kStorageSettings), L"\"TransientStorage\"");
}

void SettingsChecker::CheckSnapshots(const DXNodePtr& snapshots, const std::wstring& path) {
  uint32_t index = 0;
  snapshots.ForEachChild([&](const DXNodePtr& child) {
    const std::wstring childPath = RuleChecker::ChildPath(path, child, index++);
    const std::wstring type = child.GetType();
    if (type == kEntryType) {
      CheckEntry(child, childPath);
      return;
    }
    m_report.AddWarning(childPath, kNodeSubject,
                        L"ignored: only children of type \"ConfigSnapshotEntry\" become tracked paths" +
                            NameHint::Suggest(type, {kEntryType}));
  });
}

void SettingsChecker::CheckEntry(const DXNodePtr& entry, const std::wstring& path) {
  // CConfigSnapshotEntry's constructor, in its order.
  const std::wstring name = entry.GetName();
  GUID id{};
  if (const HRESULT hr = ValueFormats::GuidFromString(name.c_str(), &id); FAILED(hr)) {
    m_report.AddError(path, kNodeSubject, hr,
                      L"the name " + Quoted(name) + L" is not a GUID (braced, hyphenated or 32 digits)");
  }
  ReadSetting(m_report, entry, path, kEntrySettings[0]);
  const SettingValue interval = ReadSetting(m_report, entry, path, kEntrySettings[1]);
  if (SUCCEEDED(interval.failure) && (interval.number < 0 || interval.number > std::numeric_limits<uint32_t>::max())) {
    m_report.AddWarning(path, Quoted(kEntrySettings[1].name),
                        std::to_wstring(interval.number) + L" does not fit 32 bits; the entry takes " +
                            std::to_wstring(static_cast<uint32_t>(interval.number)) + L" hours");
  }

  if (m_badStatusRoot) {
    // Each entry reads its status node under the root: the first one fails.
    m_report.AddError(m_rootPath, Quoted(kMaintainerSettings[0].name), E_INVALIDARG,
                      Quoted(*m_badStatusRoot) +
                          L" is not an absolute path without empty elements; the configuration server refuses the "
                          L"status paths of the entries under it");
    m_badStatusRoot.reset();
  }

  const DXNodePtr rules = entry.Clone();
  const SettingValue configPath = ReadSetting(m_report, entry, path, kEntrySettings[2]);
  if (SUCCEEDED(configPath.failure)) {
    if (configPath.text.empty() || configPath.text.front() != NodePaths::kSeparator) {
      m_report.AddError(path, Quoted(kEntrySettings[2].name), NodeErrors::kInvalidData,
                        Quoted(configPath.text) + L" is not absolute; it must start with a backslash");
      rules.DeleteAttribute(L"ConfigPath", false);
    } else {
      // The entry splits its path the same way.
      const NodePaths::BaseAndPattern split = NodePaths::SplitAtFirstPattern(configPath.text);
      const auto earlier = std::find_if(m_basePaths.begin(), m_basePaths.end(),
                                        [&](const auto& known) { return known.first == split.basePath; });
      if (earlier != m_basePaths.end()) {
        m_report.AddWarning(path, Quoted(kEntrySettings[2].name),
                            L"its base path " + split.basePath + L" is also that of " + earlier->second +
                                L"; the maintainer keeps the first entry of a base path and drops this one");
      } else {
        m_basePaths.emplace_back(split.basePath, path);
      }
      // The entry's set selects with the pattern part.
      rules.SetString(L"ConfigPath", split.patternPath);
    }
  } else {
    rules.DeleteAttribute(L"ConfigPath", false);
  }
  RuleChecker(m_report).CheckEntryAs(rules, path, *FindKind(EntryKinds(), L"UsageActivityItemsSet"), kEntryOwnSettings);
}

}  // namespace UsageStatistics::Checking

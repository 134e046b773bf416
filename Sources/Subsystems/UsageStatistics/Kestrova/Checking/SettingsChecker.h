// Checks a snapshot maintainer's settings node as Configure reads it: its own
// settings, the frame accumulator's, every tracked path's entry with its
// rules, and what Configure silently drops (children of other types, a second
// entry of a base path). Reads nothing from a configuration server: whether
// a base path exists in the store is not checked.
#pragma once

#include "CheckReport.h"
#include "RuleVocabulary.h"

#include "node/DXNodePtr.h"

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace UsageStatistics::Checking {

class SettingsChecker {
 public:
  explicit SettingsChecker(CheckReport& report) : m_report(report) {}

  void CheckMaintainerSettings(const DXNodePtr& settings);

  // The attributes Configure reads, each with its read, in reading order:
  // the maintainer's own, the frame accumulator's ("TransientStorage") and
  // each tracked path's own (the rest of an entry node is its rules).
  struct NamedRead {
    const wchar_t* name;
    SettingRead read;
  };
  static std::span<const NamedRead> MaintainerSettings();
  static std::span<const NamedRead> StorageSettings();
  static std::span<const NamedRead> EntrySettings();

  // A path the configuration server takes: absolute, the root alone or
  // elements that are not empty (no doubled or trailing backslash).
  static bool IsServerPath(std::wstring_view path);

 private:
  void CheckStorage(const DXNodePtr& storage, const std::wstring& path);
  void CheckSnapshots(const DXNodePtr& snapshots, const std::wstring& path);
  void CheckEntry(const DXNodePtr& entry, const std::wstring& path);
  void CheckRequiredChild(const DXNodePtr& parent, const wchar_t* name, const std::wstring& path, DXNodePtr& child);

  CheckReport& m_report;
  std::wstring m_rootPath;
  // "SnapshotStatusesCfgPath" when the server would refuse the status paths
  // under it; reported where the first entry reads its status.
  std::optional<std::wstring> m_badStatusRoot;
  // Base paths of the entries so far, with the path of the entry that has each.
  std::vector<std::pair<std::wstring, std::wstring>> m_basePaths;
};

}  // namespace UsageStatistics::Checking

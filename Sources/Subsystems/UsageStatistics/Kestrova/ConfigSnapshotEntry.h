// One tracked configuration path: keeps a snapshot of the subtree at its base
// path, turns modifications and periodic snapshots of it into activity frames
// and keeps its status node on the configuration server.
#pragma once

#include "ActivityFrame.h"
#include "IUsageActivityEntry.h"

#include "module/CompPtr.h"
#include "node/DXNodePtr.h"

#include <Kestrova/HostServices.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace UsageStatistics {

class CConfigSnapshotEntry {
 public:
  using TimePoint = std::chrono::system_clock::time_point;  // TimePoint{} means never

  // Change mask bits of a modification.
  static constexpr uint32_t kRemoved = 1;
  static constexpr uint32_t kAdded = 2;
  static constexpr uint32_t kModified = 4;

  // settings: the entry node (type "ConfigSnapshotEntry"); statusRootPath:
  // where the status nodes of the entries live; server: the configuration
  // server component, asked for its server interface on each use. Reads the
  // stored status and the snapshot from the server.
  CConfigSnapshotEntry(const DXNodePtr& settings, const std::wstring& statusRootPath,
                       const CompPtr<IDXConfigServerComponent>& server);
  CConfigSnapshotEntry(const CConfigSnapshotEntry&) = delete;
  CConfigSnapshotEntry& operator=(const CConfigSnapshotEntry&) = delete;
  ~CConfigSnapshotEntry();

  // The plain leading part of "ConfigPath"; the maintainer's key.
  const std::wstring& BasePath() const noexcept { return m_basePath; }
  const GUID& Id() const noexcept { return m_id; }
  const std::wstring& StatusPath() const noexcept { return m_statusPath; }

  // Frames for a modification notification ("ModifiedPath", "ModifyMask",
  // "SubjectDisplayName", content as child 0); then records the subject in
  // the status node and applies the change to the snapshot. Not locked: the
  // maintainer serialises calls.
  ActivityFrameList ProcessModification(const DXNodePtr& notification);
  // The frames that describe a modification against the current snapshot.
  // Logs failures and returns the frames gathered until then.
  ActivityFrameList MakeModificationFrame(const std::wstring& modifiedPath, uint32_t mask, const std::wstring& subject,
                                          const DXNodePtr& content) noexcept;

  bool IsSnapshotDue(TimePoint now);
  // Frames of the whole snapshot; records now as the last snapshot time.
  ActivityFrameList CreateSnapshot(TimePoint now);
  // The same, with the frames in frames as soon as they are resolved: a
  // failure of the status write that follows still raises, but leaves the
  // frames there for the caller to deliver.
  void CreateSnapshot(TimePoint now, ActivityFrameList& frames);

  // State, for diagnostics and tests.
  TimePoint LastSnapshotTime() const;
  std::wstring LastModifiedBy() const;
  // A second handle to the snapshot root (not a copy).
  DXNodePtr Snapshot() const;

  // "Modified", "Removed", "Added" or the empty text, in that precedence.
  static const wchar_t* ChangeTypeText(uint32_t mask) noexcept;

 private:
  struct Modification {
    std::wstring relativePath;
    uint32_t mask = 0;
    DXNodePtr content;
  };

  void IntApplyModification(const Modification& modification);
  CompPtr<IDXConfigServer> ConfigServer() const;
  void WriteStatus(const DXNodePtr& status) const;
  DXNodePtr MakeStatusNode() const;

  TimePoint m_lastSnapshotTime{};
  DXNodePtr m_snapshot;
  bool m_snapshotsOnly = false;
  GUID m_id{};
  std::wstring m_basePath;
  std::wstring m_statusPath;
  std::wstring m_lastModifiedBy;
  std::unique_ptr<IUsageActivityEntry> m_activityEntry;
  CompPtr<IDXConfigServerComponent> m_component;
  uint32_t m_sendIntervalHours = 0;
  mutable std::recursive_mutex m_lock;
};

}  // namespace UsageStatistics

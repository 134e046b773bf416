// The nodes of the maintainer's load scenarios, without a test framework so
// that plain host programs use them too: the settings with one entry over
// \Stress\Items, the notifications that carry a sequence number into the
// frames, and the reading of a frame's items.
#pragma once

#include "node/DXNodePtr.h"

#include <cstdint>
#include <string>

namespace KestrovaStress {

inline constexpr wchar_t kProductSwitch[] = L"\\Veltrano\\UsageStatisticsSettings";
inline constexpr wchar_t kAccumulatorSwitch[] = L"\\Stress\\AccumulatorSwitch";
inline constexpr wchar_t kItemsPath[] = L"\\Stress\\Items";
inline constexpr wchar_t kEntryName[] = L"{5A0E6C21-7B3D-4F19-8E42-C61D09B7A3F5}";

// One entry over the items: a frame per item node with its name and the
// "Seq" of its last change. No frame is dropped for its failures (every
// loss must have another cause) unless maxSendFailures says otherwise.
inline DXNodePtr Settings(const std::wstring& storagePath, int64_t maxSendFailures = 1000000,
                          int64_t sendIntervalSec = 1) {
  const DXNodePtr settings = DXNodePtr::Create(L"Maintainer", nullptr);
  settings.SetString(L"SnapshotStatusesCfgPath", L"\\Stress\\Statuses");
  settings.SetInt64(L"SinkIntervalSec", 1);
  settings.SetInt64(L"SendSnapshotsIntervalHours", 1);
  const DXNodePtr storage = DXNodePtr::Create(L"TransientStorage", nullptr);
  storage.SetInt64(L"SendIntervalSec", sendIntervalSec);
  storage.SetInt64(L"MaxSendFailures", maxSendFailures);
  storage.SetString(L"UsageStatisticsCfgPath", kAccumulatorSwitch);
  storage.SetString(L"TransientStoragePath", storagePath);
  settings.AddChild(storage);
  const DXNodePtr snapshots = DXNodePtr::Create(L"ConfigSnapshots", nullptr);
  const DXNodePtr entry = DXNodePtr::Create(kEntryName, L"ConfigSnapshotEntry");
  entry.SetString(L"ConfigPath", std::wstring(kItemsPath) + L"\\*");
  entry.SetInt64(L"SendIntervalHours", 0);
  entry.SetString(L"NameSource", L"<name>");
  const DXNodePtr item = DXNodePtr::Create(nullptr, L"UsageActivityItem");
  item.SetString(L"NameSource", L"Seq");
  item.SetString(L"ValueSource", L"@Seq");
  entry.AddChild(item);
  snapshots.AddChild(entry);
  settings.AddChild(snapshots);
  return settings;
}

inline std::wstring ItemName(int thread) { return L"t" + std::to_wstring(thread); }

// A change of thread's item whose frame carries seq.
inline DXNodePtr Notification(int thread, int64_t seq) {
  const DXNodePtr notification = DXNodePtr::Create(nullptr, L"ConfigModificationNotification");
  notification.SetString(L"ModifiedPath", std::wstring(kItemsPath) + L"\\" + ItemName(thread));
  notification.SetInt64(L"ModifyMask", 4);
  notification.SetString(L"SubjectDisplayName", L"CORP\\stress");
  const DXNodePtr content = DXNodePtr::Create(ItemName(thread).c_str(), L"StressItem");
  content.SetString(L"Seq", std::to_wstring(seq));
  notification.AddChild(content);
  return notification;
}

inline std::wstring ItemValue(const DXNodePtr& frame, const wchar_t* name) {
  std::wstring value;
  frame.ForEachChild([&](const DXNodePtr& child) {
    if (child.GetString(L"Name", L"") == name) value = child.GetString(L"Value", L"");
  });
  return value;
}

}  // namespace KestrovaStress

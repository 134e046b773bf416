// What the load suites of the maintainer share: the reference services
// registered as a host registers them (the service behind
// EveryThirdRequestFails), the maintainer's settings with one entry over
// \Stress\Items, the notifications that carry a sequence number into the
// frames, and a maintainer of Kestrova.dll created by class id.
#pragma once

#include "EveryThirdRequestFails.h"

#include "node/DXNodePtr.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/StoreWrites.h"

#include <Kestrova/ComponentInterfaces.h>
#include <Kestrova/ComponentsLib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace KestrovaStress {

inline constexpr wchar_t kProductSwitch[] = L"\\Veltrano\\UsageStatisticsSettings";
inline constexpr wchar_t kAccumulatorSwitch[] = L"\\Stress\\AccumulatorSwitch";
inline constexpr wchar_t kItemsPath[] = L"\\Stress\\Items";
inline constexpr wchar_t kEntryName[] = L"{5A0E6C21-7B3D-4F19-8E42-C61D09B7A3F5}";

// The module's log in a folder of this program, at WARN: failures and the
// storage warnings, without the per-notification debug dumps.
class ModuleLog {
 public:
  ModuleLog() {
    ::SetEnvironmentVariableW(L"GS_Logger_Path", m_folder.Path().c_str());
    ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"WARN");
    ::SetEnvironmentVariableW(L"GS_Logger_KeepOpenInterval", L"0");
  }
  std::wstring Text() const { return RuntimeTest::ReadUtf16File(m_folder / L"Kestrova.log"); }

 private:
  RuntimeTest::TempDirectory m_folder;
};

class Services {
 public:
  Services() {
    EXPECT_EQ(CLCreateConfigServer(nullptr, 0, m_server.Put()), S_OK);
    EXPECT_EQ(CLCreateServiceClient(m_client.Put()), S_OK);
    EXPECT_EQ(CLCreateUsageStatisticsService(m_service.Put()), S_OK);
    m_failing.Attach(new EveryThirdRequestFails(m_service));
    EXPECT_EQ(CLServiceClientRegisterService(m_client.Get(), L"Service.UsageStatistics", m_failing.Get()), S_OK);
    EXPECT_EQ(CLRegisterNamedInstance(L"ConfigServer.Proxy", m_server.Get()), S_OK);
    EXPECT_EQ(CLRegisterNamedInstance(L"Core.ServiceClient", m_client.Get()), S_OK);
  }
  ~Services() {
    CLRevokeNamedInstance(L"ConfigServer.Proxy");
    CLRevokeNamedInstance(L"Core.ServiceClient");
    CLServiceClientRevokeService(m_client.Get(), L"Service.UsageStatistics");
  }
  Services(const Services&) = delete;
  Services& operator=(const Services&) = delete;

  IDXConfigServer* Server() const { return m_server.Get(); }
  IComponentObject* Service() const { return m_service.Get(); }
  EveryThirdRequestFails& Failing() const { return *m_failing.Get(); }
  // Every request refused (true) or none (false), by the service's own fault injection.
  void RefuseAll(bool refuse) const {
    const CLFault fault{refuse ? CLFault_Always : CLFault_Off, 0, E_FAIL, 0};
    EXPECT_EQ(CLSetFault(m_service.Get(), CLOp_ServiceProcessRequest, &fault), S_OK);
  }

  void Write(const DXNodePtr& node) const { ASSERT_EQ(KestrovaTest::WriteNode(m_server.Get(), node), S_OK); }
  uint32_t FrameCount() const {
    uint32_t count = 0;
    CLUsageStatisticsGetFrameCount(m_service.Get(), &count);
    return count;
  }
  DXNodePtr Frame(uint32_t index) const {
    IDXNode* frame = nullptr;
    EXPECT_EQ(CLUsageStatisticsGetFrame(m_service.Get(), index, &frame), S_OK);
    return DXNodePtr(frame, DXNodePtr::Handle::Adopt);
  }

 private:
  CompPtr<IDXConfigServer> m_server;
  CompPtr<IDXServiceClient> m_client;
  CompPtr<IDXRequestProcessor> m_service;
  CompPtr<EveryThirdRequestFails> m_failing;
};

// One entry over the items: a frame per item node with its name and the
// "Seq" of its last change. No frame is dropped for its failures (every
// loss must have another cause) unless maxSendFailures says otherwise.
inline DXNodePtr Settings(const std::wstring& storagePath, int64_t maxSendFailures = 1000000) {
  const DXNodePtr settings = DXNodePtr::Create(L"Maintainer", nullptr);
  settings.SetString(L"SnapshotStatusesCfgPath", L"\\Stress\\Statuses");
  settings.SetInt64(L"SinkIntervalSec", 1);
  settings.SetInt64(L"SendSnapshotsIntervalHours", 1);
  const DXNodePtr storage = DXNodePtr::Create(L"TransientStorage", nullptr);
  storage.SetInt64(L"SendIntervalSec", 1);
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

// The item nodes the notifications change, written to the store.
inline void WriteItems(const Services& services, int threads) {
  for (int thread = 0; thread < threads; ++thread) {
    const DXNodePtr node =
        DXNodePtr::Create((std::wstring(kItemsPath) + L"\\" + ItemName(thread)).c_str(), L"StressItem");
    node.SetString(L"Seq", L"0");
    services.Write(node);
  }
}

inline std::wstring ItemValue(const DXNodePtr& frame, const wchar_t* name) {
  std::wstring value;
  frame.ForEachChild([&](const DXNodePtr& child) {
    if (child.GetString(L"Name", L"") == name) value = child.GetString(L"Value", L"");
  });
  return value;
}

// One maintainer of Kestrova.dll, created by class id.
struct Maintainer {
  CompPtr<IConfigurableComponent> configurable;
  CompPtr<IShutdownableComponent> shutdown;
  CompPtr<IUsageActivityProcessor> processor;

  explicit Maintainer(IComponentsModule* module) {
    EXPECT_EQ(
        module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent, configurable.PutVoid()),
        S_OK);
    EXPECT_EQ(configurable.As(shutdown), S_OK);
    EXPECT_EQ(configurable.As(processor), S_OK);
  }
};

}  // namespace KestrovaStress

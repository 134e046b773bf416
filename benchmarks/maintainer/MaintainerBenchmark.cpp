// Snapshot maintainer figures:
// - ProcessUsageActivity per notification through Kestrova.dll, p50 and p99,
//   with 10^3 and 10^5 users side by side under the one node the
//   notifications modify (it should not grow with the siblings);
// - one snapshot pass of an entry over 10^4 and 10^5 tracked nodes with a
//   realistic rule set: time and frames.
// A program, not a test: scripts/bench-maintainer.sh builds and runs it.
#include "Sources/Subsystems/UsageStatistics/Kestrova/ConfigSnapshotEntry.h"
#include "logging/LogManager.h"

#include <Kestrova/ComponentInterfaces.h>
#include <Kestrova/ComponentsLib.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using UsageStatistics::CConfigSnapshotEntry;

constexpr wchar_t kEntryName[] = L"{6B1F3C2A-0D4E-4F5A-9B8C-7D6E5F4A3B2C}";
constexpr wchar_t kStatusRoot[] = L"\\Bench\\Statuses";

double Percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, static_cast<size_t>(fraction * static_cast<double>(samples.size())))];
}

DXNodePtr Item(const wchar_t* name, const wchar_t* value, int32_t type = -1) {
  DXNodePtr item = DXNodePtr::Create(nullptr, L"UsageActivityItem");
  item.SetString(L"NameSource", name);
  item.SetString(L"ValueSource", value);
  if (type >= 0) item.SetInt64(L"ActivityItemType", type);
  return item;
}

// One entry over every user: the items of a typical per-user rule set.
DXNodePtr EntrySettings() {
  DXNodePtr entry = DXNodePtr::Create(kEntryName, L"ConfigSnapshotEntry");
  entry.SetString(L"ConfigPath", L"\\Bench\\Users\\*");
  entry.SetInt64(L"SendIntervalHours", 24);
  entry.SetString(L"NameSource", L"<name>");
  entry.SetBool(L"IsMultiValue", true);
  entry.SetBool(L"IsAllowEmpty", true);
  entry.AddChild(Item(L"Role", L"@Role"));
  entry.AddChild(Item(L"DisplayName", L"@DisplayName"));
  entry.AddChild(Item(L"Groups", L"@Groups", 1));
  entry.AddChild(Item(L"Device", L"\\Devices\\*\\<name>", 2));
  DXNodePtr counter = DXNodePtr::Create(nullptr, L"UsageActivityItemCounter");
  counter.SetString(L"NameSource", L"DeviceCount");
  counter.SetString(L"ValueSource", L"\\Devices\\*\\<name>");
  entry.AddChild(counter);
  return entry;
}

DXNodePtr User(size_t index) {
  DXNodePtr user = DXNodePtr::Create((L"user" + std::to_wstring(index)).c_str(), L"User");
  user.SetString(L"Role", index % 10 == 0 ? L"Admin" : L"User");
  user.SetString(L"DisplayName", L"User " + std::to_wstring(index));
  user.SetStringList(L"Groups", {L"Staff", L"Site" + std::to_wstring(index % 7)});
  return user;
}

// \Bench\Users with the given users of three nodes each (user, Devices, one device).
DXNodePtr UsersTree(size_t userCount) {
  DXNodePtr users = DXNodePtr::Create(L"\\Bench\\Users", L"UserList");
  for (size_t index = 0; index < userCount; ++index) {
    DXNodePtr user = User(index);
    DXNodePtr devices = DXNodePtr::Create(L"Devices", nullptr);
    devices.AddChild(DXNodePtr::Create((L"device" + std::to_wstring(index)).c_str(), L"Device"));
    user.AddChild(devices);
    users.AddChild(user);
  }
  return users;
}

void Write(IDXConfigServer* server, const DXNodePtr& node) {
  IDXNode* handles[] = {node.Get()};
  server->WriteNodes(nullptr, 0, handles, 1);
}

void SnapshotPass(size_t nodes) {
  CompPtr<IDXConfigServer> server;
  CLCreateConfigServer(nullptr, 0, server.Put());
  Write(server.Get(), UsersTree(nodes / 3));
  const CompPtr<IDXConfigServerComponent> component(server.Get());
  CConfigSnapshotEntry entry(EntrySettings(), kStatusRoot, component);
  double best = 1e30;
  size_t frames = 0;
  for (int round = 0; round < 3; ++round) {
    const auto start = Clock::now();
    frames = entry.CreateSnapshot(std::chrono::system_clock::now()).size();
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::printf("Snapshot pass, %zu tracked nodes: %.1f ms (best of 3), %zu frames, %.2f us per frame\n", nodes, best,
              frames, best * 1000.0 / static_cast<double>(frames));
}

class HostedMaintainer {
 public:
  explicit HostedMaintainer(size_t users) {
    CLCreateConfigServer(nullptr, 0, m_server.Put());
    CLCreateServiceClient(m_client.Put());
    CLCreateUsageStatisticsService(m_service.Put());
    CLServiceClientRegisterService(m_client.Get(), L"Service.UsageStatistics", m_service.Get());
    CLRegisterNamedInstance(L"ConfigServer.Proxy", m_server.Get());
    CLRegisterNamedInstance(L"Core.ServiceClient", m_client.Get());
    Write(m_server.Get(), UsersTree(users));
    Switch(L"\\Veltrano\\UsageStatisticsSettings", true);
    // The accumulator discards: what is measured is the notification alone.
    Switch(L"\\Bench\\AccumulatorSwitch", false);

    m_library = ::LoadLibraryW(L"Kestrova.dll");
    auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(::GetProcAddress(m_library, "GetComponentsModuleObject")));
    IComponentsModule* module = nullptr;
    getModule(reinterpret_cast<void**>(&module));
    module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent, m_maintainer.PutVoid());
    m_maintainer.As(m_processor);
    m_maintainer.As(m_shutdown);

    const DXNodePtr settings = DXNodePtr::Create(L"Maintainer", nullptr);
    settings.SetString(L"SnapshotStatusesCfgPath", kStatusRoot);
    settings.SetInt64(L"SinkIntervalSec", 1);
    settings.SetInt64(L"SendSnapshotsIntervalHours", 24);
    const DXNodePtr storage = DXNodePtr::Create(L"TransientStorage", nullptr);
    storage.SetInt64(L"SendIntervalSec", 1);
    storage.SetString(L"UsageStatisticsCfgPath", L"\\Bench\\AccumulatorSwitch");
    settings.AddChild(storage);
    const DXNodePtr snapshots = DXNodePtr::Create(L"ConfigSnapshots", nullptr);
    snapshots.AddChild(EntrySettings());
    settings.AddChild(snapshots);
    const HRESULT hr = m_maintainer->Configure(settings.Get());
    if (FAILED(hr)) std::printf("Configure failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    WaitForFirstPass();
  }
  ~HostedMaintainer() {
    m_shutdown->Shutdown();
    m_processor.Reset();
    m_shutdown.Reset();
    m_maintainer.Reset();
    CLRevokeNamedInstance(L"ConfigServer.Proxy");
    CLRevokeNamedInstance(L"Core.ServiceClient");
    ::FreeLibrary(m_library);
  }

  double Notify(size_t user) {
    const DXNodePtr notification = DXNodePtr::Create(nullptr, L"ConfigModificationNotification");
    notification.SetString(L"ModifiedPath", L"\\Bench\\Users\\user" + std::to_wstring(user));
    notification.SetInt64(L"ModifyMask", 4);
    notification.SetString(L"SubjectDisplayName", L"CORP\\eve");
    DXNodePtr content = User(user);
    content.SetString(L"Role", L"Auditor");
    notification.AddChild(content);
    const auto start = Clock::now();
    m_processor->ProcessUsageActivity(notification.Get());
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  }

 private:
  void Switch(const wchar_t* path, bool enabled) {
    const DXNodePtr node = DXNodePtr::Create(path, nullptr);
    node.SetBool(L"Enabled", enabled);
    Write(m_server.Get(), node);
  }
  // The first pass runs right after Configure; its status write ends it.
  void WaitForFirstPass() {
    const DXNodePtr filter = DXNodePtr::Create(nullptr, L"FilterByPath");
    filter.SetString(L"NodePath", std::wstring(kStatusRoot) + L"\\" + kEntryName);
    filter.SetInt64(L"MaxDepth", 0);
    for (;;) {
      IDXNode* result = nullptr;
      uint32_t count = 0;
      m_server->ReadNodes(filter.Get(), 0, &result, 1, &count);
      const DXNodePtr status(result, DXNodePtr::Handle::Adopt);
      if (status && !status.GetString(L"LastSnapshotTime", L"").empty()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  CompPtr<IDXConfigServer> m_server;
  CompPtr<IDXServiceClient> m_client;
  CompPtr<IDXRequestProcessor> m_service;
  HMODULE m_library = nullptr;
  CompPtr<IConfigurableComponent> m_maintainer;
  CompPtr<IUsageActivityProcessor> m_processor;
  CompPtr<IShutdownableComponent> m_shutdown;
};

void NotificationLatency(size_t users) {
  HostedMaintainer maintainer(users);
  for (size_t index = 0; index < 100; ++index) maintainer.Notify(index % users);  // warm-up
  std::vector<double> samples;
  for (size_t index = 0; index < 2000; ++index) samples.push_back(maintainer.Notify((index * 7919) % users));
  std::printf(
      "ProcessUsageActivity, %zu users side by side (%zu tracked nodes): p50 %.1f us, p90 %.1f us, p99 %.1f us "
      "(2,000 notifications to users spread over all)\n",
      users, users * 3, Percentile(samples, 0.5), Percentile(samples, 0.9), Percentile(samples, 0.99));
  // The same notifications to 50 users in turn: what the spread above costs
  // in cache misses alone, with no other difference.
  std::vector<double> warm;
  for (size_t index = 0; index < 2000; ++index) warm.push_back(maintainer.Notify(index % 50));
  std::printf("  the same to 50 users in turn (warm caches):           p50 %.1f us, p90 %.1f us, p99 %.1f us\n",
              Percentile(warm, 0.5), Percentile(warm, 0.9), Percentile(warm, 0.99));
}

}  // namespace

int main() {
  LogManager::Instance().IsEnabled(1);  // reads the settings
  std::printf("Log MaxSeverity: %u (1 CRIT .. 7 DBG3; GS_Logger_MaxSeverity sets it, for the module too)\n",
              LogManager::Instance().MaxSeverity());
  // Alternating sizes, each measured on a heap the other already warmed.
  for (int round = 0; round < 2; ++round) {
    NotificationLatency(1'000);
    NotificationLatency(100'000);
  }
  SnapshotPass(10000);
  SnapshotPass(100000);
  return 0;
}

// Soak run of the snapshot maintainer: N notifications (default 10^6)
// through ProcessUsageActivity of Kestrova.dll, one after the other at full
// speed, with ComponentsLib.dll's reference configuration server and a
// usage-statistics service that accepts every request at once. Every N/10
// notifications it prints the rate of that block and the process's memory,
// handle and thread counts, then says whether they stayed flat after the
// warm-up (the first two samples).
// A program, not a test: scripts/bench-soak.sh builds and runs it.
//
//   SoakBenchmark.exe [N]
#include "logging/LogManager.h"
#include "module/CompPtr.h"
#include "node/DXNodePtr.h"

#include <Kestrova/ComponentInterfaces.h>
#include <Kestrova/ComponentsLib.h>

#include <psapi.h>
#include <tlhelp32.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr wchar_t kUsersPath[] = L"\\Soak\\Users";
constexpr wchar_t kAccumulatorSwitch[] = L"\\Soak\\AccumulatorSwitch";
constexpr wchar_t kEntryName[] = L"{8C2D4E6F-1A3B-4C5D-9E7F-0A1B2C3D4E5F}";
// Modifications cycle through this many tracked users: the snapshot keeps
// its size, so whatever grows is not the data the module is meant to keep.
constexpr size_t kUsers = 1000;
// Frames the service holds are dropped this often: they are the harness's,
// not the module's, memory.
constexpr uint64_t kClearEvery = 10000;

struct Sample {
  uint64_t notifications = 0;
  double seconds = 0;         // since the start of the run
  double blockRate = 0;       // notifications/s within the block
  uint64_t privateUsage = 0;  // GetProcessMemoryInfo PrivateUsage
  uint64_t commit = 0;        // PagefileUsage, the commit charge
  uint64_t workingSet = 0;
  DWORD handles = 0;          // GetProcessHandleCount (Wine answers 0)
  uintptr_t handleProbe = 0;  // value of a new handle: the lowest free slot of the table
  DWORD threads = 0;
  uint64_t delivered = 0;  // requests the service accepted
};

DWORD ThreadCount() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  DWORD count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

// A handle made and closed at once: handle tables hand out their lowest free
// slot, so its value climbs when handles leak. Wine does not count a
// process's handles (GetProcessHandleCount gives 0); this works there too.
uintptr_t HandleProbe() {
  const HANDLE probe = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const uintptr_t value = reinterpret_cast<uintptr_t>(probe);
  ::CloseHandle(probe);
  return value;
}

double MiB(uint64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

class Soak {
 public:
  Soak() {
    CLCreateConfigServer(nullptr, 0, m_server.Put());
    CLCreateServiceClient(m_client.Put());
    CLCreateUsageStatisticsService(m_service.Put());
    CLServiceClientRegisterService(m_client.Get(), L"Service.UsageStatistics", m_service.Get());
    CLRegisterNamedInstance(L"ConfigServer.Proxy", m_server.Get());
    CLRegisterNamedInstance(L"Core.ServiceClient", m_client.Get());

    const DXNodePtr users = DXNodePtr::Create(kUsersPath, L"UserList");
    for (size_t index = 0; index < kUsers; ++index) users.AddChild(User(index, 0));
    Write(users);
    Switch(L"\\Veltrano\\UsageStatisticsSettings");
    Switch(kAccumulatorSwitch);

    m_library = ::LoadLibraryW(L"Kestrova.dll");
    const auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(::GetProcAddress(m_library, "GetComponentsModuleObject")));
    if (getModule == nullptr || FAILED(getModule(reinterpret_cast<void**>(&m_module)))) Fail("no module object");
    if (FAILED(m_module->CreateInstance(CLSID_ConfigSnapshotsMaintainer, IID_IConfigurableComponent,
                                        m_maintainer.PutVoid())) ||
        FAILED(m_maintainer.As(m_processor)) || FAILED(m_maintainer.As(m_shutdown))) {
      Fail("no maintainer");
    }
    if (const HRESULT hr = m_maintainer->Configure(Settings().Get()); FAILED(hr)) Fail("Configure failed", hr);
  }

  ~Soak() {
    m_processor.Reset();
    m_shutdown.Reset();
    m_maintainer.Reset();
    uint32_t inUse = 0;
    m_module->IsModuleInUse(&inUse);
    if (inUse != 0) std::printf("warning: Kestrova.dll is still in use (%u) after the release\n", inUse);
    CLRevokeNamedInstance(L"ConfigServer.Proxy");
    CLRevokeNamedInstance(L"Core.ServiceClient");
    CLServiceClientRevokeService(m_client.Get(), L"Service.UsageStatistics");
  }

  void Notify(uint64_t index) {
    const DXNodePtr notification = DXNodePtr::Create(nullptr, L"ConfigModificationNotification");
    const size_t user = static_cast<size_t>(index % kUsers);
    notification.SetString(L"ModifiedPath", std::wstring(kUsersPath) + L"\\user" + std::to_wstring(user));
    notification.SetInt64(L"ModifyMask", 4);
    notification.SetString(L"SubjectDisplayName", L"CORP\\soak");
    notification.AddChild(User(user, index));
    if (const HRESULT hr = m_processor->ProcessUsageActivity(notification.Get()); FAILED(hr)) {
      Fail("ProcessUsageActivity failed", hr);
    }
    if ((index + 1) % kClearEvery == 0) ClearReceived();
  }

  uint64_t Delivered() const {
    uint32_t calls = 0;
    CLGetCallCount(m_service.Get(), CLOp_ServiceProcessRequest, &calls);
    return calls;
  }

  // Waits until the service has every frame, so the shutdown writes no file.
  bool WaitDelivered(uint64_t frames, std::chrono::seconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (Delivered() < frames) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }

  void Shutdown() {
    if (const HRESULT hr = m_shutdown->Shutdown(); FAILED(hr)) Fail("Shutdown failed", hr);
  }

  void ClearReceived() { CLUsageStatisticsClearFrames(m_service.Get()); }

 private:
  [[noreturn]] static void Fail(const char* what, HRESULT hr = S_OK) {
    std::printf("soak: %s (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    std::fflush(stdout);
    std::exit(1);
  }

  static DXNodePtr User(size_t user, uint64_t seq) {
    const DXNodePtr node = DXNodePtr::Create((L"user" + std::to_wstring(user)).c_str(), L"User");
    node.SetString(L"Role", seq % 2 == 0 ? L"User" : L"Admin");
    node.SetString(L"Seq", std::to_wstring(seq));
    return node;
  }

  static DXNodePtr Item(const wchar_t* name, const wchar_t* source) {
    const DXNodePtr item = DXNodePtr::Create(nullptr, L"UsageActivityItem");
    item.SetString(L"NameSource", name);
    item.SetString(L"ValueSource", source);
    return item;
  }

  static DXNodePtr Settings() {
    const DXNodePtr settings = DXNodePtr::Create(L"Maintainer", nullptr);
    settings.SetString(L"SnapshotStatusesCfgPath", L"\\Soak\\Statuses");
    settings.SetInt64(L"SinkIntervalSec", 1);
    settings.SetInt64(L"SendSnapshotsIntervalHours", 24);
    const DXNodePtr storage = DXNodePtr::Create(L"TransientStorage", nullptr);
    storage.SetInt64(L"SendIntervalSec", 1);
    storage.SetString(L"UsageStatisticsCfgPath", kAccumulatorSwitch);
    settings.AddChild(storage);
    const DXNodePtr snapshots = DXNodePtr::Create(L"ConfigSnapshots", nullptr);
    const DXNodePtr entry = DXNodePtr::Create(kEntryName, L"ConfigSnapshotEntry");
    entry.SetString(L"ConfigPath", std::wstring(kUsersPath) + L"\\*");
    entry.SetInt64(L"SendIntervalHours", 24);
    entry.SetString(L"NameSource", L"<name>");
    entry.AddChild(Item(L"Role", L"@Role"));
    entry.AddChild(Item(L"Seq", L"@Seq"));
    snapshots.AddChild(entry);
    settings.AddChild(snapshots);
    return settings;
  }

  void Write(const DXNodePtr& node) const {
    IDXNode* handles[] = {node.Get()};
    if (FAILED(m_server->WriteNodes(nullptr, 0, handles, 1))) Fail("store write failed");
  }
  void Switch(const wchar_t* path) const {
    const DXNodePtr node = DXNodePtr::Create(path, nullptr);
    node.SetBool(L"Enabled", true);
    Write(node);
  }

  CompPtr<IDXConfigServer> m_server;
  CompPtr<IDXServiceClient> m_client;
  CompPtr<IDXRequestProcessor> m_service;
  HMODULE m_library = nullptr;
  IComponentsModule* m_module = nullptr;
  CompPtr<IConfigurableComponent> m_maintainer;
  CompPtr<IUsageActivityProcessor> m_processor;
  CompPtr<IShutdownableComponent> m_shutdown;
};

Sample TakeSample(uint64_t notifications, Clock::time_point start, Clock::time_point blockStart, uint64_t block,
                  uint64_t delivered) {
  Sample sample;
  const Clock::time_point now = Clock::now();
  sample.notifications = notifications;
  sample.seconds = std::chrono::duration<double>(now - start).count();
  sample.blockRate = static_cast<double>(block) / std::chrono::duration<double>(now - blockStart).count();
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof(memory);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
  sample.privateUsage = memory.PrivateUsage;
  sample.commit = memory.PagefileUsage;
  sample.workingSet = memory.WorkingSetSize;
  ::GetProcessHandleCount(::GetCurrentProcess(), &sample.handles);
  sample.handleProbe = HandleProbe();
  sample.threads = ThreadCount();
  sample.delivered = delivered;
  return sample;
}

void PrintSample(const Sample& s) {
  std::printf("| %9llu | %7.1f | %8.0f | %6.1f | %7.1f | %7.1f | %7lu | %#7llx | %7lu | %9llu | %8llu |\n",
              static_cast<unsigned long long>(s.notifications), s.seconds, s.blockRate, MiB(s.privateUsage),
              MiB(s.commit), MiB(s.workingSet), static_cast<unsigned long>(s.handles),
              static_cast<unsigned long long>(s.handleProbe), static_cast<unsigned long>(s.threads),
              static_cast<unsigned long long>(s.delivered),
              static_cast<unsigned long long>(s.notifications - std::min(s.notifications, s.delivered)));
  std::fflush(stdout);
}

// Spread (max - min) and drift (last - first) of one figure over the samples after the warm-up.
template <typename Field>
void Verdict(const std::vector<Sample>& samples, const char* name, Field field, double tolerance, const char* unit,
             double scale, bool& flat) {
  double low = 1e300, high = -1e300;
  for (const Sample& s : samples) {
    low = std::min(low, static_cast<double>(field(s)));
    high = std::max(high, static_cast<double>(field(s)));
  }
  const double drift = static_cast<double>(field(samples.back())) - static_cast<double>(field(samples.front()));
  const bool ok = high - low <= tolerance;
  flat = flat && ok;
  std::printf("  %-22s spread %.1f %s, drift %+.1f %s: %s (tolerance %.1f %s)\n", name, (high - low) / scale, unit,
              drift / scale, unit, ok ? "flat" : "GROWS", tolerance / scale, unit);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  if (total < 10) {
    std::printf("usage: SoakBenchmark.exe [N >= 10]\n");
    return 2;
  }
  const uint64_t every = total / 10;
  LogManager::Instance().IsEnabled(1);  // reads the settings
  std::printf(
      "Soak: %llu notifications through ProcessUsageActivity of Kestrova.dll, %zu tracked users, "
      "a service that accepts at once.\nLog MaxSeverity: %u (1 CRIT .. 7 DBG3; GS_Logger_MaxSeverity sets "
      "it, for the module too)\n",
      static_cast<unsigned long long>(total), kUsers, LogManager::Instance().MaxSeverity());

  std::vector<Sample> samples;
  {
    Soak soak;
    // The first snapshot pass of the tracked users comes first.
    soak.WaitDelivered(kUsers, 60s);
    soak.ClearReceived();
    const uint64_t before = soak.Delivered();
    std::printf(
        "\n| notifications | s | block notifications/s | PrivateUsage MiB | commit MiB | working set MiB | "
        "Linux RSS MiB | handles | threads | delivered |\n|---|---|---|---|---|---|---|---|---|---|\n");
    samples.push_back(TakeSample(0, Clock::now(), Clock::now() - 1s, 0, 0));
    PrintSample(samples.back());
    const Clock::time_point start = Clock::now();
    Clock::time_point blockStart = start;
    for (uint64_t index = 0; index < total; ++index) {
      soak.Notify(index);
      if ((index + 1) % every == 0) {
        samples.push_back(TakeSample(index + 1, start, blockStart, every, soak.Delivered() - before));
        PrintSample(samples.back());
        blockStart = Clock::now();
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool all = soak.WaitDelivered(before + total, 120s);
    const double endToEnd = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "\n%llu notifications in %.1f s: %.0f notifications/s through ProcessUsageActivity; all %s "
        "frames delivered after %.1f s (%.0f frames/s end to end)\n",
        static_cast<unsigned long long>(total), seconds, static_cast<double>(total) / seconds, all ? "the" : "NOT the",
        endToEnd, static_cast<double>(total) / endToEnd);
    soak.Shutdown();
  }
  std::printf("after the release: ComponentsLib objects alive %u\n", CLGetLiveObjectCount());

  // Flat after the warm-up: samples from 2 x N/10 on.
  const std::vector<Sample> steady(samples.begin() + 2, samples.end());
  bool flat = true;
  std::printf("\nAfter the warm-up (%llu notifications on):\n", static_cast<unsigned long long>(2 * every));
  Verdict(
      steady, "commit (PagefileUsage)", [](const Sample& s) { return s.commit; }, 4.0 * 1048576, "MiB", 1048576, flat);
  Verdict(
      steady, "working set", [](const Sample& s) { return s.workingSet; }, 4.0 * 1048576, "MiB", 1048576, flat);
  Verdict(
      steady, "handles", [](const Sample& s) { return s.handles; }, 2, "", 1, flat);
  Verdict(
      steady, "new handle value", [](const Sample& s) { return s.handleProbe; }, 8, "", 1, flat);
  Verdict(
      steady, "threads", [](const Sample& s) { return s.threads; }, 0, "", 1, flat);
  std::printf("Verdict: %s\n", flat ? "flat after the warm-up" : "GROWTH after the warm-up");
  return flat ? 0 : 1;
}

// Soak run of the snapshot maintainer: N notifications (default 10^6)
// through ProcessUsageActivity of Kestrova.dll, one after the other at full
// speed, with ComponentsLib.dll's reference configuration server and a
// usage-statistics service that accepts every request at once. Every N/10
// notifications it prints the rate of that block and the process's memory,
// handle and thread counts, then says whether they stayed flat after the
// warm-up (the first two samples).
// A program, not a test: scripts/bench-soak.sh builds and runs it.
//
//   SoakBenchmark.exe [N] [--under-load] [--paced]
//
// Each sample is taken once the sender has delivered every frame of the
// block (the wait is shown and not counted in the rate), so frames still
// queued do not look like growth; --under-load samples at once instead.
// The queue has no bound by default, and at full speed the producer runs
// ahead of the sender by up to a few seconds of frames; the heap keeps the
// high-water mark of that backlog. --paced waits for the sender every 10^4
// notifications, so the backlog stays small and memory shows what the
// module keeps for good.
#include "logging/LogManager.h"
#include "module/CompPtr.h"
#include "node/DXNodePtr.h"
#include "support/ProcessThreads.h"
#include "support/StoreWrites.h"

#include <Kestrova/ComponentInterfaces.h>
#include <Kestrova/ComponentsLib.h>

#include <psapi.h>
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
constexpr uint64_t kPacedEvery = 10000;

struct Sample {
  uint64_t notifications = 0;
  double blockRate = 0;       // notifications/s within the block, time in the calls only
  double catchUpMs = 0;       // waiting for the sender after the block
  uint64_t behind = 0;        // most frames not yet delivered during the block (looked at every 1000)
  uint64_t delivered = 0;     // requests the service accepted
  uint64_t privateUsage = 0;  // GetProcessMemoryInfo PrivateUsage (Wine answers 0)
  uint64_t commit = 0;        // PagefileUsage, the commit charge
  uint64_t workingSet = 0;
  DWORD handles = 0;          // GetProcessHandleCount (Wine answers 0)
  uintptr_t handleProbe = 0;  // value of a new handle: the lowest free slot of the table
  DWORD threads = 0;
};

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
    if (FAILED(KestrovaTest::WriteNode(m_server.Get(), node))) Fail("store write failed");
  }
  void Switch(const wchar_t* path) const {
    if (FAILED(KestrovaTest::WriteSwitch(m_server.Get(), path, true))) Fail("store write failed");
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

Sample TakeSample(uint64_t notifications, double blockRate, double catchUpMs, uint64_t behind, uint64_t delivered) {
  Sample sample;
  sample.notifications = notifications;
  sample.blockRate = blockRate;
  sample.catchUpMs = catchUpMs;
  sample.behind = behind;
  sample.delivered = delivered;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof(memory);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
  sample.privateUsage = memory.PrivateUsage;
  sample.commit = memory.PagefileUsage;
  sample.workingSet = memory.WorkingSetSize;
  ::GetProcessHandleCount(::GetCurrentProcess(), &sample.handles);
  sample.handleProbe = HandleProbe();
  sample.threads = KestrovaTest::ProcessThreadCount();
  return sample;
}

void PrintSample(const Sample& s) {
  std::printf("| %9llu | %8.0f | %7.0f | %6.1f | %7.1f | %7.1f | %5lu | %#7llx | %3lu | %8llu |\n",
              static_cast<unsigned long long>(s.notifications), s.blockRate, s.catchUpMs, MiB(s.privateUsage),
              MiB(s.commit), MiB(s.workingSet), static_cast<unsigned long>(s.handles),
              static_cast<unsigned long long>(s.handleProbe), static_cast<unsigned long>(s.threads),
              static_cast<unsigned long long>(s.behind));
  std::fflush(stdout);
}

// Spread (max - min) and drift (last - first) of one figure over the samples after the warm-up.
template <typename Field>
void Verdict(const std::vector<Sample>& samples, const char* name, Field field, double tolerance, const char* unit,
             double scale, bool& flat, bool judged = true) {
  double low = 1e300, high = -1e300;
  for (const Sample& s : samples) {
    low = std::min(low, static_cast<double>(field(s)));
    high = std::max(high, static_cast<double>(field(s)));
  }
  const double drift = static_cast<double>(field(samples.back())) - static_cast<double>(field(samples.front()));
  const bool ok = high - low <= tolerance;
  if (judged) flat = flat && ok;
  const char* state = ok ? "flat" : judged ? "GROWS" : "rises with the backlog (judged below)";
  std::printf("  %-24s spread %.1f %s, drift %+.1f %s: %s (tolerance %.1f %s)\n", name, (high - low) / scale, unit,
              drift / scale, unit, state, tolerance / scale, unit);
}

// Memory that rose in a block whose backlog set no new high-water mark is
// growth the queue does not explain.
void MemoryVerdict(const std::vector<Sample>& samples, size_t warmUp, double tolerance, bool& flat) {
  uint64_t highWater = 0;
  for (size_t index = 0; index <= warmUp; ++index) highWater = std::max(highWater, samples[index].behind);
  double unexplained = 0;
  for (size_t index = warmUp + 1; index < samples.size(); ++index) {
    const double rise = static_cast<double>(samples[index].commit) - static_cast<double>(samples[index - 1].commit);
    if (samples[index].behind > highWater) {
      highWater = samples[index].behind;
    } else if (rise > 0) {
      unexplained += rise;
    }
  }
  const bool ok = unexplained <= tolerance;
  flat = flat && ok;
  std::printf("  %-24s %.1f MiB in blocks without a new queue high-water: %s (tolerance %.1f MiB)\n",
              "commit, unexplained rise", MiB(static_cast<uint64_t>(unexplained)), ok ? "flat" : "GROWS",
              MiB(static_cast<uint64_t>(tolerance)));
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t total = 1000000;
  bool settled = true;
  bool paced = false;
  for (int argument = 1; argument < argc; ++argument) {
    if (std::string(argv[argument]) == "--under-load") {
      settled = false;
    } else if (std::string(argv[argument]) == "--paced") {
      paced = true;
    } else {
      total = std::strtoull(argv[argument], nullptr, 10);
    }
  }
  if (total < 10) {
    std::printf("usage: SoakBenchmark.exe [N >= 10] [--under-load] [--paced]\n");
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
        "\n| notifications | block notifications/s | catch-up ms | PrivateUsage MiB | commit MiB | working set MiB | "
        "handles | new handle value | threads | most frames queued |\n"
        "|---|---|---|---|---|---|---|---|---|---|\n");
    samples.push_back(TakeSample(0, 0, 0, 0, 0));
    PrintSample(samples.back());
    double callSeconds = 0;
    for (uint64_t block = 0; block < 10; ++block) {
      const Clock::time_point blockStart = Clock::now();
      uint64_t peak = 0;
      Clock::duration pacedWait{};
      for (uint64_t index = block * every; index < (block + 1) * every; ++index) {
        soak.Notify(index);
        if (index % 1000 == 999) peak = std::max(peak, index + 1 - std::min(index + 1, soak.Delivered() - before));
        if (paced && index % kPacedEvery == kPacedEvery - 1) {
          const Clock::time_point waitStart = Clock::now();
          soak.WaitDelivered(before + index + 1, 120s);
          pacedWait += Clock::now() - waitStart;
        }
      }
      const double blockSeconds = std::chrono::duration<double>(Clock::now() - blockStart - pacedWait).count();
      callSeconds += blockSeconds;
      const uint64_t produced = (block + 1) * every;
      const uint64_t behind = produced - std::min(produced, soak.Delivered() - before);
      // Sampled once the sender has caught up, unless asked otherwise: the
      // frames still queued are memory that comes back, not growth.
      const Clock::time_point catchUpStart = Clock::now();
      if (settled && !soak.WaitDelivered(before + produced, 120s)) std::printf("the sender did not catch up\n");
      const double catchUpMs = std::chrono::duration<double, std::milli>(Clock::now() - catchUpStart).count();
      samples.push_back(TakeSample(produced, static_cast<double>(every) / blockSeconds, catchUpMs,
                                   std::max(peak, behind), soak.Delivered() - before));
      PrintSample(samples.back());
    }
    const uint64_t produced = 10 * every;
    const bool all = soak.WaitDelivered(before + produced, 120s);
    std::printf(
        "\n%llu notifications: %.0f notifications/s through ProcessUsageActivity (time in the calls only); "
        "%s frames delivered\n",
        static_cast<unsigned long long>(produced), static_cast<double>(produced) / callSeconds,
        all ? "all" : "NOT all");
    soak.Shutdown();
  }
  std::printf("after the release: ComponentsLib objects alive %u\n", CLGetLiveObjectCount());

  // Flat after the warm-up: samples from 2 x N/10 on.
  const std::vector<Sample> steady(samples.begin() + 2, samples.end());
  bool flat = true;
  std::printf("\nAfter the warm-up (%llu notifications on):\n", static_cast<unsigned long long>(2 * every));
  // Without --paced the backlog's high-water moves memory; MemoryVerdict judges it.
  Verdict(
      steady, "commit (PagefileUsage)", [](const Sample& s) { return s.commit; }, 4.0 * 1048576, "MiB", 1048576, flat,
      paced);
  Verdict(
      steady, "working set", [](const Sample& s) { return s.workingSet; }, 4.0 * 1048576, "MiB", 1048576, flat, paced);
  if (!paced) MemoryVerdict(samples, 2, 4.0 * 1048576, flat);
  Verdict(
      steady, "handles", [](const Sample& s) { return s.handles; }, 2, "", 1, flat);
  Verdict(
      steady, "new handle value", [](const Sample& s) { return s.handleProbe; }, 8, "", 1, flat);
  // One thread of the platform's comes and goes.
  Verdict(
      steady, "threads", [](const Sample& s) { return s.threads; }, 1, "", 1, flat);
  std::printf("Verdict: %s\n", flat ? "flat after the warm-up" : "GROWTH after the warm-up");
  return flat ? 0 : 1;
}

// The snapshot maintainer under load, through Kestrova.dll with the
// reference services of ComponentsLib.dll: eight host threads call
// ProcessUsageActivity as fast as they can while a snapshot pass runs every
// second, both switches flip and the service refuses every third request;
// then Shutdown races the threads, and a second maintainer delivers what
// the first left in the transient storage file.
//
// Passes when nothing hangs (a watchdog ends the process otherwise), every
// frame accepted while both switches were surely on arrives exactly once,
// frames of calls near a flip arrive at most once, nothing arrives that no
// accepted call produced, the log holds no unexpected error, and the module
// and ComponentsLib.dll are back to the objects they had at the start.
#include "StressScenario.h"
#include "SwitchFlipper.h"

#include "node/DXNodePtr.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/LoadedModule.h"
#include "support/StoreWrites.h"

#include <Kestrova/ComponentInterfaces.h>
#include <Kestrova/ComponentsLib.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace KestrovaStress;
using KestrovaTest::LoadedLibrary;
using RuntimeTest::TempDirectory;
using namespace std::chrono_literals;

constexpr HRESULT kInvalidData = HRESULT(0x8007000D);

constexpr int kHostThreads = 8;
constexpr auto kLoadTime = 15s;    // full speed, switches flipping
constexpr auto kFlipPeriod = 10s;  // each switch off once per period
constexpr auto kOffTime = 500ms;
constexpr auto kTricklePause = 250ms;  // between two calls of a thread after the load
constexpr int kMaxCatchUpSeconds = 40;
constexpr uint64_t kQuietRequests = 150;  // requests per second once the backlog is sent
constexpr auto kAfterShutdown = 300ms;    // calls into the shut-down maintainer
constexpr auto kWatchdog = 200s;          // the whole scenario
constexpr auto kStall = 15s;              // no call returning for this long: a hang

struct CallRecord {
  int64_t seq;
  Clock::time_point start;
  Clock::time_point end;
  HRESULT hr;
};

enum class Phase { Load, Trickle, Stopping };

// Ends the process when the scenario takes too long or the host threads stop
// making progress: a hang must fail the test, not stall the test run.
class Watchdog {
 public:
  explicit Watchdog(const std::atomic<uint64_t>& progress) : m_progress(progress) {
    m_thread = std::thread([this] { Watch(); });
  }
  ~Watchdog() {
    m_done = true;
    m_thread.join();
  }
  void Stage(const char* name) { m_stage = name; }
  // The host threads are not running: no progress expected.
  void Idle(bool idle) { m_idle = idle; }

 private:
  void Watch() {
    const auto deadline = Clock::now() + kWatchdog;
    uint64_t seen = m_progress.load();
    auto lastChange = Clock::now();
    while (!m_done) {
      std::this_thread::sleep_for(100ms);
      const uint64_t now = m_progress.load();
      if (now != seen || m_idle) {
        seen = now;
        lastChange = Clock::now();
      }
      const char* why = Clock::now() > deadline              ? "the scenario ran out of time"
                        : Clock::now() - lastChange > kStall ? "no call returned for 15 s"
                                                             : nullptr;
      if (why != nullptr) {
        std::fprintf(stderr, "HANG: %s during '%s' (%llu calls returned)\n", why, m_stage.load(),
                     static_cast<unsigned long long>(now));
        std::fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
      }
    }
  }

  const std::atomic<uint64_t>& m_progress;
  std::atomic<const char*> m_stage{"start"};
  std::atomic<bool> m_idle{true};
  std::atomic<bool> m_done{false};
  std::thread m_thread;
};

TEST(MaintainerStress, EightHostThreadsFlippingSwitchesAndAFailingService) {
  const ModuleLog log;
  const TempDirectory temp;
  const std::wstring storagePath = temp / L"pending\\stress.pending";
  const uint32_t liveAtStart = CLGetLiveObjectCount();
  std::atomic<uint64_t> returned{0};
  Watchdog watchdog(returned);

  {
    const Services services;
    LoadedLibrary library(L"Kestrova.dll");
    ASSERT_NE(library.Handle(), nullptr);
    IComponentsModule* module = nullptr;
    ASSERT_EQ(
        library.Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject")(reinterpret_cast<void**>(&module)),
        S_OK);

    WriteItems(services, kHostThreads);
    SwitchFlipper flipper(services.Server(), kProductSwitch, kAccumulatorSwitch);
    flipper.Write(0, true);
    flipper.Write(1, true);

    // ---- Load: snapshot passes every second, full speed, flips.
    watchdog.Stage("Configure");
    auto maintainer = std::make_unique<Maintainer>(module);
    {
      // A snapshot pass every second instead of every hour.
      const RuntimeTest::ScopedEnvironmentVariable period(L"GS_UsageStatistics_TestSnapshotsIntervalSec", L"1");
      ASSERT_EQ(maintainer->configurable->Configure(Settings(storagePath).Get()), S_OK);
    }
    const auto loadStart = Clock::now();

    std::atomic<Phase> phase{Phase::Load};
    std::atomic<int64_t> nextSeq{0};
    std::vector<std::vector<CallRecord>> records(kHostThreads);
    std::vector<std::thread> hosts;
    CompPtr<IUsageActivityProcessor> processor = maintainer->processor;
    watchdog.Idle(false);
    watchdog.Stage("load");
    for (int thread = 0; thread < kHostThreads; ++thread) {
      hosts.emplace_back([&, thread] {
        std::vector<CallRecord>& mine = records[thread];
        mine.reserve(200000);
        while (phase.load() != Phase::Stopping) {
          const int64_t seq = ++nextSeq;
          const DXNodePtr notification = Notification(thread, seq);
          const auto start = Clock::now();
          const HRESULT hr = processor->ProcessUsageActivity(notification.Get());
          mine.push_back({seq, start, Clock::now(), hr});
          ++returned;
          if (phase.load() == Phase::Trickle) std::this_thread::sleep_for(kTricklePause);
        }
      });
    }
    flipper.Start(kFlipPeriod, kOffTime);
    std::this_thread::sleep_for(kLoadTime);
    flipper.Stop();

    // ---- Trickle, then Shutdown while the threads still call.
    watchdog.Stage("sender catching up");
    phase = Phase::Trickle;
    // The sender catches up with the backlog of the load (retrying every third
    // request); Shutdown then writes a file of a few dozen frames, not of
    // thousands at several milliseconds of data protection per attribute.
    uint64_t requests = services.Failing().Calls();
    for (int quiet = 0, waited = 0; quiet < 2 && waited < kMaxCatchUpSeconds; ++waited) {
      std::this_thread::sleep_for(1s);
      const uint64_t now = services.Failing().Calls();
      quiet = now - requests < kQuietRequests ? quiet + 1 : 0;
      requests = now;
    }
    watchdog.Stage("Shutdown racing the host threads");
    const auto shutdownStart = Clock::now();
    EXPECT_EQ(maintainer->shutdown->Shutdown(), S_OK);
    const auto shutdownEnd = Clock::now();
    std::this_thread::sleep_for(kAfterShutdown);
    watchdog.Stage("host threads ending");
    phase = Phase::Stopping;
    for (std::thread& host : hosts) host.join();
    watchdog.Idle(true);
    watchdog.Stage("release");
    maintainer.reset();
    // The threads' copy is the last reference: releasing it joins the snapshot worker.
    processor.Reset();
    const uint32_t deliveredDuringRun = services.FrameCount();
    const bool fileWritten = ::GetFileAttributesW(storagePath.c_str()) != INVALID_FILE_ATTRIBUTES;

    // ---- Drain: a new maintainer with a working service sends what the file holds.
    watchdog.Stage("drain");
    const uint64_t requestsDuringRun = services.Failing().Calls();
    const uint64_t refusedDuringRun = services.Failing().Refused();
    services.Failing().SetFailing(false);
    {
      Maintainer drain(module);
      ASSERT_EQ(drain.configurable->Configure(Settings(storagePath).Get()), S_OK);
      uint32_t frames = services.FrameCount();
      for (auto quietSince = Clock::now(); Clock::now() - quietSince < 2500ms;) {
        std::this_thread::sleep_for(100ms);
        if (const uint32_t now = services.FrameCount(); now != frames) {
          frames = now;
          quietSince = Clock::now();
        }
      }
      EXPECT_EQ(drain.shutdown->Shutdown(), S_OK);
    }
    EXPECT_EQ(::GetFileAttributesW(storagePath.c_str()), INVALID_FILE_ATTRIBUTES) << "the drain left a file";
    uint32_t inUse = 1;
    ASSERT_EQ(module->IsModuleInUse(&inUse), S_OK);
    EXPECT_EQ(inUse, 0u) << "a component of the module is still alive";

    // ---- Accounting.
    watchdog.Stage("accounting");
    std::map<int64_t, int> delivered;  // seq -> times received
    uint32_t snapshotFrames = 0, drained = 0, retriedFrames = 0;
    const uint32_t total = services.FrameCount();
    for (uint32_t index = 0; index < total; ++index) {
      const DXNodePtr frame = services.Frame(index);
      const std::wstring changeType = ItemValue(frame, L"ChangeType");
      if (changeType == L"Snapshot") {
        ++snapshotFrames;
        continue;
      }
      EXPECT_EQ(changeType, L"Modified");
      ++delivered[std::stoll(ItemValue(frame, L"Seq"))];
      if (index >= deliveredDuringRun) ++drained;
      int64_t failures = 0;
      if (frame.TryGetInt64(L"FailureCounter", failures) && failures > 0) ++retriedFrames;
    }

    uint64_t accepted = 0, certain = 0, nearFlip = 0, nearFlipDelivered = 0, refused = 0, calls = 0;
    uint64_t missing = 0, duplicated = 0, unexpectedRefusals = 0, fromRefused = 0;
    std::map<int64_t, bool> issued;
    for (const auto& mine : records) {
      for (const CallRecord& call : mine) {
        ++calls;
        issued[call.seq] = SUCCEEDED(call.hr);
        const int times = delivered.count(call.seq) ? delivered[call.seq] : 0;
        if (times > 1) ++duplicated;
        if (FAILED(call.hr)) {
          ++refused;
          // Only a maintainer that is shutting down or shut down refuses: its entries are gone.
          if (call.hr != kInvalidData || call.end < shutdownStart) ++unexpectedRefusals;
          if (times != 0) ++fromRefused;
          continue;
        }
        ++accepted;
        if (flipper.MayHaveBeenOff(call.start, call.end)) {
          ++nearFlip;
          if (times != 0) ++nearFlipDelivered;
        } else {
          ++certain;
          if (times == 0) ++missing;
        }
      }
    }
    uint64_t invented = 0;
    for (const auto& [seq, times] : delivered) {
      if (!issued.count(seq)) ++invented;
    }
    const uint64_t deliveredUnique = delivered.size();
    const uint64_t switchLosses = nearFlip - nearFlipDelivered;
    const auto seconds = std::chrono::duration<double>(shutdownStart - loadStart).count();

    std::printf(
        "stress: %d host threads, %.1f s of calls before Shutdown (which took %.1f ms), %zu switch flips, "
        "%llu requests to the service of which %llu refused\n",
        kHostThreads, seconds, std::chrono::duration<double, std::milli>(shutdownEnd - shutdownStart).count(),
        flipper.Flips(), static_cast<unsigned long long>(requestsDuringRun),
        static_cast<unsigned long long>(refusedDuringRun));
    std::printf("notifications: %llu (%.0f/s); accepted %llu, refused %llu (after Shutdown)\n",
                static_cast<unsigned long long>(calls), static_cast<double>(calls) / seconds,
                static_cast<unsigned long long>(accepted), static_cast<unsigned long long>(refused));
    std::printf(
        "accepted = delivered during the run + delivered from the storage file + lost to a switch:\n"
        "  %llu = %llu + %u + %llu  (accepted near a flip: %llu, of which delivered %llu)\n",
        static_cast<unsigned long long>(accepted), static_cast<unsigned long long>(deliveredUnique - drained), drained,
        static_cast<unsigned long long>(switchLosses), static_cast<unsigned long long>(nearFlip),
        static_cast<unsigned long long>(nearFlipDelivered));
    std::printf(
        "frames delivered after failed attempts: %u; snapshot frames: %u; storage file written at "
        "Shutdown: %s\n",
        retriedFrames, snapshotFrames, fileWritten ? "yes" : "no");
    std::fflush(stdout);

    EXPECT_EQ(missing, 0u) << "frames accepted while both switches were on never arrived";
    EXPECT_EQ(duplicated, 0u) << "frames arrived more than once";
    EXPECT_EQ(invented, 0u) << "frames arrived that no call produced";
    EXPECT_EQ(fromRefused, 0u) << "a refused call's frame arrived";
    EXPECT_EQ(unexpectedRefusals, 0u) << "calls failed before Shutdown or with another error";
    EXPECT_EQ(accepted, deliveredUnique + switchLosses);
    EXPECT_GT(certain, 0u);
    EXPECT_GT(retriedFrames, 0u) << "the service's refusals were never retried";
    // A pass a second over 15 s of load, less the passes of the off windows and slow passes under load.
    EXPECT_GE(snapshotFrames, 3u * kHostThreads) << "snapshot passes during the load";
    EXPECT_EQ(refusedDuringRun, requestsDuringRun / 3);
  }

  // Everything released: no object of ComponentsLib is left.
  EXPECT_EQ(CLGetLiveObjectCount(), liveAtStart) << "objects of ComponentsLib leaked";

  const std::wstring text = log.Text();
  size_t errors = 0;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find(L'\n', begin);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(begin, end - begin);
    begin = end + 1;
    if (line.find(L" ERR ") == std::wstring::npos && line.find(L"\tERR\t") == std::wstring::npos) continue;
    if (line.find(L"ProcessUsageActivity failed: 0x8007000D") != std::wstring::npos) continue;
    if (++errors <= 5) ADD_FAILURE() << "unexpected error in the log: " << std::string(line.begin(), line.end());
  }
  EXPECT_EQ(errors, 0u);
}

}  // namespace

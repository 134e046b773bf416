// A host that reconfigures the maintainer under traffic, or cycles it through
// Configure, traffic and Shutdown, through Kestrova.dll with the reference
// services of ComponentsLib.dll. Every notification the maintainer accepted
// carries a sequence number into its frame: each must reach the service
// exactly once, every Configure and Shutdown must come back within a bound
// that does not grow with the backlog, and the module and ComponentsLib.dll
// must end with the objects they started with.
#include "StressScenario.h"
#include "SwitchFlipper.h"

#include "node/DXNodePtr.h"
#include "runtime/RuntimeTestSupport.h"
#include "support/LoadedModule.h"

#include <Kestrova/ComponentInterfaces.h>
#include <Kestrova/ComponentsLib.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace KestrovaStress;
using KestrovaTest::LoadedLibrary;
using RuntimeTest::TempDirectory;
using namespace std::chrono_literals;
using Milliseconds = std::chrono::duration<double, std::milli>;

constexpr int kHostThreads = 4;
constexpr int kCycles = 15;

// Host threads that report modifications of their own items, each with the
// next sequence number, pausing between calls; what every call returned.
class HostThreads {
 public:
  HostThreads(IUsageActivityProcessor* processor, std::chrono::milliseconds pause)
      : m_processor(processor), m_pause(pause) {}
  ~HostThreads() { Stop(); }

  void Start() {
    m_running = true;
    for (int thread = 0; thread < kHostThreads; ++thread) {
      m_threads.emplace_back([this, thread] {
        while (m_running.load()) {
          const int64_t seq = ++m_nextSeq;
          const HRESULT hr = m_processor->ProcessUsageActivity(Notification(thread, seq).Get());
          {
            const std::lock_guard lock(m_lock);
            m_results[seq] = hr;
          }
          std::this_thread::sleep_for(m_pause);
        }
      });
    }
  }
  void Stop() {
    m_running = false;
    for (std::thread& thread : m_threads) thread.join();
    m_threads.clear();
  }
  std::map<int64_t, HRESULT> Results() const {
    const std::lock_guard lock(m_lock);
    return m_results;
  }
  uint64_t Accepted() const {
    const std::lock_guard lock(m_lock);
    return static_cast<uint64_t>(
        std::count_if(m_results.begin(), m_results.end(), [](const auto& call) { return SUCCEEDED(call.second); }));
  }

 private:
  IUsageActivityProcessor* m_processor;
  std::chrono::milliseconds m_pause;
  std::atomic<bool> m_running{false};
  std::atomic<int64_t> m_nextSeq{0};
  mutable std::mutex m_lock;
  std::map<int64_t, HRESULT> m_results;
  std::vector<std::thread> m_threads;
};

// The module and the reference services of one scenario.
class ReconfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(m_library.Handle(), nullptr);
    ASSERT_EQ(m_library.Export<PFN_GetComponentsModuleObject>("GetComponentsModuleObject")(
                  reinterpret_cast<void**>(&m_module)),
              S_OK);
    m_services->Failing().SetFailing(false);
    WriteItems(*m_services, kHostThreads);
    SwitchFlipper switches(m_services->Server(), kProductSwitch, kAccumulatorSwitch);
    switches.Write(0, true);
    switches.Write(1, true);
  }

  void TearDown() override {
    uint32_t inUse = 1;
    ASSERT_EQ(m_module->IsModuleInUse(&inUse), S_OK);
    EXPECT_EQ(inUse, 0u) << "a component or thread of the module is still alive";
    m_services.reset();
    EXPECT_EQ(CLGetLiveObjectCount(), m_liveAtStart) << "objects of ComponentsLib.dll left behind";
  }

  // Waits until the service has as many modification frames as expected and
  // then nothing more arrives for two send cycles (snapshot frames of the
  // last pass included), or until its count has not moved for a while.
  void WaitForDelivery(uint64_t expected) const {
    uint32_t frames = m_services->FrameCount();
    for (auto still = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - still < 10s;) {
      const auto quiet = std::chrono::steady_clock::now() - still;
      if (quiet > 2500ms && ModificationFrames() >= expected) return;
      std::this_thread::sleep_for(100ms);
      if (const uint32_t now = m_services->FrameCount(); now != frames) {
        frames = now;
        still = std::chrono::steady_clock::now();
      }
    }
  }

  uint64_t ModificationFrames() const {
    uint64_t count = 0;
    const uint32_t total = m_services->FrameCount();
    for (uint32_t index = 0; index < total; ++index) {
      count += ItemValue(m_services->Frame(index), L"ChangeType") != L"Snapshot";
    }
    return count;
  }

  // Every accepted call delivered once, nothing else delivered.
  void ExpectEachAcceptedFrameOnce(const std::map<int64_t, HRESULT>& results) const {
    std::map<int64_t, int> delivered;
    const uint32_t total = m_services->FrameCount();
    for (uint32_t index = 0; index < total; ++index) {
      const DXNodePtr frame = m_services->Frame(index);
      if (ItemValue(frame, L"ChangeType") == L"Snapshot") continue;
      ++delivered[std::stoll(ItemValue(frame, L"Seq"))];
    }
    uint64_t accepted = 0, missing = 0, duplicated = 0, invented = 0, refused = 0;
    for (const auto& [seq, hr] : results) {
      const int times = delivered.count(seq) != 0 ? delivered[seq] : 0;
      if (FAILED(hr)) {
        ++refused;
        if (times != 0) ++invented;
        continue;
      }
      ++accepted;
      if (times == 0) ++missing;
      if (times > 1) ++duplicated;
    }
    for (const auto& [seq, times] : delivered) invented += results.count(seq) == 0;
    std::printf("%llu calls: %llu accepted, %llu refused; %llu missing, %llu duplicated, %llu invented\n",
                static_cast<unsigned long long>(results.size()), static_cast<unsigned long long>(accepted),
                static_cast<unsigned long long>(refused), static_cast<unsigned long long>(missing),
                static_cast<unsigned long long>(duplicated), static_cast<unsigned long long>(invented));
    EXPECT_GT(accepted, 0u);
    EXPECT_EQ(refused, 0u) << "every call came while entries were configured";
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(duplicated, 0u);
    EXPECT_EQ(invented, 0u);
  }

  const ModuleLog m_log;
  const uint32_t m_liveAtStart = CLGetLiveObjectCount();
  std::unique_ptr<Services> m_services = std::make_unique<Services>();
  LoadedLibrary m_library{L"Kestrova.dll"};
  IComponentsModule* m_module = nullptr;
  TempDirectory m_temp;
  const std::wstring m_storagePath = m_temp / L"pending\\reconfigure.pending";
};

TEST_F(ReconfigurationTest, FifteenReconfigurationsWhileFourHostThreadsReport) {
  auto maintainer = std::make_unique<Maintainer>(m_module);
  ASSERT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK);
  HostThreads hosts(maintainer->processor.Get(), 1ms);
  hosts.Start();
  Milliseconds slowest{0};
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK) << cycle;
    slowest = std::max<Milliseconds>(slowest, std::chrono::steady_clock::now() - start);
  }
  // Reconfigured three times a second interval: each new sender keeps the
  // old one's cadence, so sending never waited for the reconfigurations to end.
  const uint64_t deliveredMeanwhile = ModificationFrames();
  hosts.Stop();
  const std::map<int64_t, HRESULT> results = hosts.Results();
  WaitForDelivery(hosts.Accepted());
  EXPECT_EQ(maintainer->shutdown->Shutdown(), S_OK);
  maintainer.reset();
  std::printf("slowest of %d reconfigurations under traffic: %.1f ms; %llu frames delivered meanwhile\n", kCycles,
              slowest.count(), static_cast<unsigned long long>(deliveredMeanwhile));
  EXPECT_LT(slowest, 2000ms);
  EXPECT_GT(deliveredMeanwhile, 0u);
  ExpectEachAcceptedFrameOnce(results);
}

TEST_F(ReconfigurationTest, FifteenCyclesOfConfigureTrafficAndShutdown) {
  auto maintainer = std::make_unique<Maintainer>(m_module);
  Milliseconds slowestConfigure{0}, slowestShutdown{0};
  std::map<int64_t, HRESULT> results;
  // Few frames a cycle: each Shutdown writes what the sender has not sent,
  // at several milliseconds of data protection per value under Wine.
  HostThreads hosts(maintainer->processor.Get(), 60ms);
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK) << cycle;
    slowestConfigure = std::max<Milliseconds>(slowestConfigure, std::chrono::steady_clock::now() - start);
    hosts.Start();
    std::this_thread::sleep_for(200ms);
    hosts.Stop();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(maintainer->shutdown->Shutdown(), S_OK) << cycle;
    slowestShutdown = std::max<Milliseconds>(slowestShutdown, std::chrono::steady_clock::now() - start);
  }
  results = hosts.Results();
  // The last cycle's frames wait in the file: one more Configure sends them.
  ASSERT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK);
  WaitForDelivery(hosts.Accepted());
  EXPECT_EQ(maintainer->shutdown->Shutdown(), S_OK);
  const auto releaseStart = std::chrono::steady_clock::now();
  maintainer.reset();
  const Milliseconds release = std::chrono::steady_clock::now() - releaseStart;
  std::printf("%d cycles: slowest Configure %.1f ms, slowest Shutdown %.1f ms, release %.1f ms\n", kCycles,
              slowestConfigure.count(), slowestShutdown.count(), release.count());
  EXPECT_LT(slowestConfigure, 5000ms);
  EXPECT_LT(slowestShutdown, 5000ms);
  EXPECT_LT(release, 1000ms) << "a release after Shutdown has nothing left to write";
  EXPECT_EQ(::GetFileAttributesW(m_storagePath.c_str()), INVALID_FILE_ATTRIBUTES);
  ExpectEachAcceptedFrameOnce(results);
}

// 10^4 frames wait for a service that refuses them all: the reconfiguration
// takes them over in memory, without a trip through the file.
TEST_F(ReconfigurationTest, ReconfigurationWithTenThousandFramesQueuedIsFast) {
  auto maintainer = std::make_unique<Maintainer>(m_module);
  ASSERT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK);
  m_services->RefuseAll(true);
  std::map<int64_t, HRESULT> results;
  for (int64_t seq = 1; seq <= 10000; ++seq) {
    results[seq] = maintainer->processor->ProcessUsageActivity(Notification(static_cast<int>(seq % kHostThreads), seq).Get());
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK);
  const Milliseconds took = std::chrono::steady_clock::now() - start;
  std::printf("Configure with 10^4 frames queued: %.1f ms\n", took.count());
  EXPECT_LT(took, 1000ms);
  EXPECT_EQ(::GetFileAttributesW(m_storagePath.c_str()), INVALID_FILE_ATTRIBUTES) << "no trip through the file";
  m_services->RefuseAll(false);
  WaitForDelivery(10000);
  EXPECT_EQ(maintainer->shutdown->Shutdown(), S_OK);
  maintainer.reset();
  ExpectEachAcceptedFrameOnce(results);
}

// A Shutdown whose store failed (a directory stands at the file's name)
// keeps its frames: the next Configure takes them over, in clear, and
// delivers each once.
TEST_F(ReconfigurationTest, FramesOfAFailedStoreSurviveTheNextConfigure) {
  auto maintainer = std::make_unique<Maintainer>(m_module);
  ASSERT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK);
  m_services->RefuseAll(true);
  std::map<int64_t, HRESULT> results;
  for (int64_t seq = 1; seq <= 20; ++seq) {
    results[seq] = maintainer->processor->ProcessUsageActivity(Notification(static_cast<int>(seq % kHostThreads), seq).Get());
  }
  ::CreateDirectoryW((m_temp / L"pending").c_str(), nullptr);
  ASSERT_TRUE(::CreateDirectoryW(m_storagePath.c_str(), nullptr));
  EXPECT_EQ(maintainer->shutdown->Shutdown(), S_OK);
  ASSERT_TRUE(::RemoveDirectoryW(m_storagePath.c_str()));
  m_services->RefuseAll(false);
  ASSERT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK);
  WaitForDelivery(20);
  EXPECT_EQ(maintainer->shutdown->Shutdown(), S_OK);
  maintainer.reset();
  // The sequence numbers read back as numbers: the values went out in clear.
  ExpectEachAcceptedFrameOnce(results);
}

// The old sender may be inside a slow request when the host reconfigures:
// only Configure waits for it, never the host's notifications.
TEST_F(ReconfigurationTest, ASlowRequestInFlightDelaysNoNotification) {
  auto maintainer = std::make_unique<Maintainer>(m_module);
  ASSERT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK);
  m_services->DelayEachRequest(3000);
  std::map<int64_t, HRESULT> results;
  results[1] = maintainer->processor->ProcessUsageActivity(Notification(0, 1).Get());
  std::this_thread::sleep_for(1500ms);  // the sender is inside the request now
  std::thread reconfigure([&] { EXPECT_EQ(maintainer->configurable->Configure(Settings(m_storagePath).Get()), S_OK); });
  std::this_thread::sleep_for(200ms);
  const auto start = std::chrono::steady_clock::now();
  results[2] = maintainer->processor->ProcessUsageActivity(Notification(1, 2).Get());
  const Milliseconds took = std::chrono::steady_clock::now() - start;
  reconfigure.join();
  std::printf("a notification during the reconfiguration took %.1f ms\n", took.count());
  EXPECT_LT(took, 1000ms);
  m_services->DelayEachRequest(0);
  WaitForDelivery(2);
  EXPECT_EQ(maintainer->shutdown->Shutdown(), S_OK);
  maintainer.reset();
  ExpectEachAcceptedFrameOnce(results);
}

}  // namespace

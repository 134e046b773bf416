// Frame accumulator figures against the reference usage-statistics service:
// StoreFrame latency from four producers while every request takes 100 ms,
// delivery throughput to a service that answers at once, memory per queued
// frame, and the memory curve of a long failing run with "MaxQueuedFrames".
// A program, not a test: scripts/bench-delivery.sh builds and runs it.
#include "DeliveryServices.h"
#include "StoreLatency.h"

#include "Sources/Subsystems/UsageStatistics/Common/TransientUsageStatsAccumulator.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/ActivityFrame.h"
#include "logging/LogManager.h"

#include <Kestrova/ComponentsLib.h>

#include <psapi.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

using UsageStatistics::CTransientUsageStatsAccumulator;
using Clock = std::chrono::steady_clock;

// Committed memory of the process (Wine leaves PrivateUsage at 0; the
// pagefile usage is the same commit charge).
size_t CommittedBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PagefileUsage;
}

// A frame of the shape the rules produce: a named frame with three items.
DXNodePtr Frame(int64_t sequence) {
  DXNodePtr frame = UsageStatistics::MakeActivityFrame(L"alice");
  frame.SetInt64(L"Seq", sequence);
  frame.AddChild(UsageStatistics::MakeActivityItem(L"Role", L"Admin"));
  frame.AddChild(UsageStatistics::MakeActivityItem(L"ModifiedBy", L"CORP\\eve"));
  frame.AddChild(UsageStatistics::MakeActivityItem(L"ChangeType", L"Modified"));
  return frame;
}

// The accumulator every figure here measures: no transient storage file.
class Services : public DeliveryServices {
 public:
  std::unique_ptr<CTransientUsageStatsAccumulator> Accumulator(int64_t intervalSec, int64_t maxSendFailures,
                                                               int64_t maxQueuedFrames) const {
    const DXNodePtr settings = Settings(intervalSec, maxSendFailures);
    if (maxQueuedFrames != 0) settings.SetInt64(L"MaxQueuedFrames", maxQueuedFrames);
    return DeliveryServices::Accumulator(settings);
  }
};

void StoreLatencyWithSlowService(const Services& services) {
  services.Fault(CLFault_Always, S_OK, 100);
  auto accumulator = services.Accumulator(1, 3, 0);
  accumulator->StoreFrame(Frame(0));
  // Wait until the worker is inside a 100 ms request.
  while (services.Frames() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  const std::vector<double> all = StoreLatencies(*accumulator, kThreads, kPerThread, Frame);
  std::printf("StoreFrame, 4 producers x %d, service 100 ms per request: p50 %.2f us, p99 %.2f us, max %.1f us\n",
              kPerThread, Percentile(all, 0.5), Percentile(all, 0.99), Percentile(all, 1.0));
  services.Clear();
  accumulator.reset();
}

void DeliveryThroughput(const Services& services) {
  constexpr int kFrames = 5000;
  for (int round = 0; round < 3; ++round) {
    services.Clear();
    auto accumulator = services.Accumulator(1, 3, 0);
    for (int index = 0; index < kFrames; ++index) accumulator->StoreFrame(Frame(index));
    while (services.Frames() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto start = Clock::now();
    while (services.Frames() < static_cast<uint32_t>(kFrames))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("Delivery, %d frames in one cycle, round %d: %.0f frames/s\n", kFrames, round + 1,
                (kFrames - 1) / seconds);
  }
  services.Clear();
}

void MemoryPerQueuedFrame(const Services& services) {
  constexpr int kFrames = 100000;
  auto accumulator = services.Accumulator(3600, 3, 0);  // no cycle during the run
  // No warm-up here: memory freed by a warm-up round would be reused and hide
  // what the queued frames hold.
  const size_t before = CommittedBytes();
  for (int index = 0; index < kFrames; ++index) accumulator->StoreFrame(Frame(index));
  const size_t after = CommittedBytes();
  std::printf("Memory per queued frame (frame with 3 items), %d frames: %.0f bytes\n", kFrames,
              static_cast<double>(after - before) / kFrames);
  accumulator.reset();
}

void BoundedMemoryWhileFailing(const Services& services) {
  services.Fault(CLFault_Always, E_FAIL, 0);
  auto accumulator = services.Accumulator(1, 1000000, 2000);
  std::printf("MaxQueuedFrames 2000, service failing, 10^5 frames in 10 batches; committed memory after each batch:\n");
  for (int batch = 0; batch < 10; ++batch) {
    for (int index = 0; index < 10000; ++index) accumulator->StoreFrame(Frame(batch * 10000 + index));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    std::printf("  after %6d frames: %.1f MiB\n", (batch + 1) * 10000,
                static_cast<double>(CommittedBytes()) / 1048576.0);
  }
  services.Clear();
}

}  // namespace

int main() {
  LogManager::Instance().IsEnabled(1);  // reads the settings
  std::printf("Log MaxSeverity: %u (1 CRIT .. 7 DBG3; GS_Logger_MaxSeverity sets it)\n",
              LogManager::Instance().MaxSeverity());
  const Services services;
  StoreLatencyWithSlowService(services);
  DeliveryThroughput(services);
  MemoryPerQueuedFrame(services);
  BoundedMemoryWhileFailing(services);
  return 0;
}

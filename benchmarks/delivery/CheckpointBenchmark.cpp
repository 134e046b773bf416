// Figures of "CheckpointIntervalSec" against its anchor, the same run without
// checkpoints: Shutdown time with a backlog and a failing service,
// StoreFrame latency from four producers, and the sustained cost of
// checkpoints at 100 and 1,000 frames per second with the data-protection
// share of it. Rounds alternate off and on, after a warm-up round.
// A program, not a test: scripts/bench-checkpoint.sh builds and runs it.
//   CheckpointBenchmark [--backlog N] [--rounds N] [--backlog-rounds N] [--only latency|sustained|shutdown]
#include "DeliveryServices.h"
#include "StoreLatency.h"

#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientStorage.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientUsageStatsAccumulator.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/ActivityFrame.h"
#include "logging/LogManager.h"

#include <Kestrova/ComponentsLib.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using UsageStatistics::CTransientUsageStatsAccumulator;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Five values: the frame's "Name", "Seq" and "ChangeType", one item's "Name" and "Value".
DXNodePtr Frame(int64_t sequence) {
  DXNodePtr frame = UsageStatistics::MakeActivityFrame(L"alice");
  frame.SetInt64(L"Seq", sequence);
  frame.SetString(L"ChangeType", L"Modified");
  frame.AddChild(UsageStatistics::MakeActivityItem(L"Role", L"Admin"));
  return frame;
}

double ProcessCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

class Services : public DeliveryServices {
 public:
  void Fail(bool failing) const {
    if (failing) {
      Fault(CLFault_Always, E_FAIL, 0);
    } else {
      ClearFault();
    }
  }
  std::unique_ptr<CTransientUsageStatsAccumulator> Accumulator(const std::wstring& path, int64_t checkpointSec) const {
    const DXNodePtr settings = Settings(1, 1000000);
    settings.SetString(L"TransientStoragePath", path);
    if (checkpointSec != 0) settings.SetInt64(L"CheckpointIntervalSec", checkpointSec);
    return DeliveryServices::Accumulator(settings);
  }
};

// A folder of its own per round, removed afterwards.
class RoundFolder {
 public:
  explicit RoundFolder(int round) {
    m_path = fs::temp_directory_path() / "kestrova-checkpoint-bench" /
             (std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(round));
    fs::create_directories(m_path);
  }
  ~RoundFolder() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }
  std::wstring Pending() const { return (m_path / "frames.pending").wstring(); }
  // Frames in the checkpoint files, counted without decrypting anything.
  size_t CheckpointedFrames() const {
    size_t count = 0;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(m_path, ignored)) {
      if (entry.path().extension() != ".ckpt") continue;
      try {
        count += UsageStatistics::Detail::CTransientStorage::ReadEncrypted(entry.path().wstring()).size();
      } catch (...) {
        // Between its write and its move: counted at the next look.
      }
    }
    return count;
  }

 private:
  fs::path m_path;
};

int g_round = 0;

// Microseconds of one data-protection call on this machine, best of 3 x 200 calls.
double DataProtectionCallMicroseconds() {
  const DataEncryption::CNodeEncryptor encryptor = DataEncryption::CNodeEncryptor::EncryptAll();
  double best = 1e30;
  for (int round = 0; round < 3; ++round) {
    std::vector<DXNodePtr> nodes;
    for (int i = 0; i < 200; ++i) {
      DXNodePtr node = DXNodePtr::Create(L"n", nullptr);
      node.SetString(L"Value", L"Admin");
      nodes.push_back(node);
    }
    std::vector<IDXNode*> handles;
    for (const DXNodePtr& node : nodes) handles.push_back(node.Get());
    const auto start = Clock::now();
    encryptor.EncryptNodes(handles.data(), static_cast<uint32_t>(handles.size()), 0,
                           DataEncryption::CNodeEncryptor::kModeInPlace, nullptr, nullptr, nullptr);
    best = std::min(best, Seconds(Clock::now() - start) * 1e6 / 200);
  }
  return best;
}

// Shutdown with backlog frames queued and a failing service; with
// checkpoints, after the backlog was checkpointed.
void ShutdownWithBacklog(const Services& services, int backlog, int rounds) {
  services.Fail(true);
  std::printf("Shutdown with %d queued frames (5 values each), service failing:\n", backlog);
  double best[2] = {1e30, 1e30};
  for (int round = 0; round < rounds * 2; ++round) {
    const bool on = round % 2 == 1;
    const RoundFolder folder(++g_round);
    auto accumulator = services.Accumulator(folder.Pending(), on ? 1 : 0);
    for (int index = 0; index < backlog; ++index) accumulator->StoreFrame(Frame(index));
    double checkpointSeconds = 0;
    if (on) {
      // Until the whole backlog is in the checkpoints (a merge's inputs and
      // result may both be counted for a moment: at least, not exactly).
      const auto start = Clock::now();
      while (folder.CheckpointedFrames() < static_cast<size_t>(backlog)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      }
      checkpointSeconds = Seconds(Clock::now() - start);
    }
    const auto start = Clock::now();
    accumulator->Stop();
    const double seconds = Seconds(Clock::now() - start);
    accumulator.reset();
    best[on] = std::min(best[on], seconds);
    std::printf(
        "  round %d, checkpoints %-3s Stop %8.3f s%s\n", round / 2 + 1, on ? "on" : "off", seconds,
        on ? (" (backlog checkpointed within " + std::to_string(static_cast<int>(checkpointSeconds)) + " s)").c_str()
           : "");
  }
  std::printf("  best: off %.3f s, on %.3f s\n", best[0], best[1]);
  services.Fail(false);
}

// StoreFrame latency from four producers while the worker checkpoints (on) or
// only fails to send (off). Each round ends with a hand-over, which writes
// nothing, so that no round pays for the previous one's stop.
void StoreLatency(const Services& services, int rounds) {
  services.Fail(true);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  std::printf("StoreFrame, %d producers x %d frames, service failing, checkpoints every second:\n", kThreads,
              kPerThread);
  double best50[2] = {1e30, 1e30}, best99[2] = {1e30, 1e30};
  for (int round = 0; round < rounds * 2 + 2; ++round) {
    const bool on = round % 2 == 1;
    const bool warmUp = round < 2;
    const RoundFolder folder(++g_round);
    auto accumulator = services.Accumulator(folder.Pending(), on ? 1 : 0);
    // About 2,000 frames per second in all: the worker's checkpoints run meanwhile.
    const std::vector<double> all =
        StoreLatencies(*accumulator, kThreads, kPerThread, Frame, std::chrono::microseconds(2000));
    accumulator->TakeUndelivered();
    accumulator.reset();
    const double p50 = Percentile(all, 0.5), p99 = Percentile(all, 0.99);
    if (!warmUp) {
      best50[on] = std::min(best50[on], p50);
      best99[on] = std::min(best99[on], p99);
    }
    std::printf("  %s checkpoints %-3s p50 %6.2f us  p99 %7.2f us  max %8.1f us\n", warmUp ? "warm-up" : "round  ",
                on ? "on" : "off", p50, p99, Percentile(all, 1.0));
  }
  std::printf("  best: off p50 %.2f / p99 %.2f us, on p50 %.2f / p99 %.2f us\n", best50[0], best99[0], best50[1],
              best99[1]);
  services.Fail(false);
}

// The process's CPU time over a steady load, off and on in turn.
void SustainedCost(const Services& services, int rate, bool failing, int rounds, double protectMicroseconds) {
  services.Fail(failing);
  constexpr int kSeconds = 6;
  std::printf("Sustained load, %d frames/s for %d s, service %s:\n", rate, kSeconds, failing ? "failing" : "working");
  double best[2] = {1e30, 1e30};
  for (int round = 0; round < rounds * 2; ++round) {
    const bool on = round % 2 == 1;
    const RoundFolder folder(++g_round);
    auto accumulator = services.Accumulator(folder.Pending(), on ? 1 : 0);
    const double cpuBefore = ProcessCpuSeconds();
    const auto start = Clock::now();
    int64_t sequence = 0;
    for (int tick = 0; tick < kSeconds * 100; ++tick) {
      for (int i = 0; i < rate / 100; ++i) accumulator->StoreFrame(Frame(sequence++));
      std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
    }
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    const double wall = Seconds(Clock::now() - start);
    const size_t onDisk = folder.CheckpointedFrames();
    accumulator->TakeUndelivered();
    accumulator.reset();
    best[on] = std::min(best[on], cpu / wall);
    std::printf(
        "  round %d, checkpoints %-3s CPU %.2f cores, %zu of %lld frames in checkpoints at the end, %u delivered\n",
        round / 2 + 1, on ? "on" : "off", cpu / wall, onDisk, static_cast<long long>(sequence), services.Frames());
    services.ClearFrames();
  }
  const double extra = std::max(0.0, best[1] - best[0]);
  // Each frame checkpointed costs five data-protection calls; a working
  // service takes frames before their first checkpoint, so few are.
  std::printf("  best: off %.2f, on %.2f cores: checkpoints cost %.2f of one core", best[0], best[1], extra);
  if (failing) {
    const double protectShare = rate * 5 * protectMicroseconds / 1e6;
    std::printf("; data protection of %d values/s at %.0f us each: %.2f of one core", rate * 5, protectMicroseconds,
                protectShare);
  }
  std::printf("\n");
  services.Fail(false);
  services.Clear();
}

}  // namespace

int main(int argc, char** argv) {
  int backlog = 10000;
  int rounds = 2;
  int backlogRounds = 1;
  std::string only;  // "latency", "sustained" or "shutdown": that part alone
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--backlog") backlog = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--backlog-rounds") backlogRounds = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--only") only = argv[i + 1];
  }
  LogManager::Instance().IsEnabled(1);  // reads the settings
  std::printf("Log MaxSeverity: %u (1 CRIT .. 7 DBG3; GS_Logger_MaxSeverity sets it)\n",
              LogManager::Instance().MaxSeverity());
  const Services services;
  const double protect = DataProtectionCallMicroseconds();
  std::printf("One data-protection call: %.0f us (best of 3 x 200)\n", protect);
  if (only.empty() || only == "latency") StoreLatency(services, rounds);
  if (only.empty() || only == "sustained") {
    SustainedCost(services, 100, false, rounds, protect);
    SustainedCost(services, 1000, false, rounds, protect);
    SustainedCost(services, 100, true, rounds, protect);
    SustainedCost(services, 1000, true, rounds, protect);
  }
  if (only.empty() || only == "shutdown") ShutdownWithBacklog(services, backlog, backlogRounds);
  return 0;
}

// Measures how quickly a switch follows the configuration server and how
// precisely the periodic worker keeps its period:
//  - current content: from a subscription's activation to the flag;
//  - ordinary modifications: from a write to the flag, through a sink
//    publishing every 10 ms and through the toggle itself (1 s publisher);
//  - CAsyncAction with a 10 ms period: start of each run minus (end of the
//    previous run + period).
// Arguments: [writes] [toggle writes] [runs] (default 1000 20 1000).
#include "Sources/Common/Helpers/AsyncAction.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/CfgSubscriptionsHelpers.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "Sources/Subsystems/UsageStatistics/Common/UsageStatisticsSwitch.h"
#include "Sources/Subsystems/UsageStatistics/Common/UsageStatisticsToggler.h"
#include "logging/LogManager.h"
#include "logging/LogSeverity.h"
#include "node/ConfigServerAccess.h"

#include <Kestrova/ComponentsLib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr wchar_t kSwitch[] = L"\\Veltrano\\UsageStatisticsSettings";

double Microseconds(Clock::duration span) { return std::chrono::duration<double, std::micro>(span).count(); }

void Report(const char* what, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))];
  };
  std::printf("%-58s n=%-5zu p50 %10.1f us   p99 %10.1f us   max %10.1f us\n", what, samples.size(), at(0.50), at(0.99),
              samples.back());
}

void WriteSwitch(IDXConfigServer* server, bool enabled) {
  const DXNodePtr node = DXNodePtr::Create(kSwitch, nullptr);
  node.SetBool(L"Enabled", enabled);
  WriteConfigNode(server, node);
}

// Spins (yielding) until flag holds value; false after 10 s.
bool WaitForFlag(const std::function<bool()>& flag, bool value) {
  const auto deadline = Clock::now() + 10s;
  while (flag() != value) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

void CurrentContent(IDXConfigServer* server, const CompPtr<IDXConfigSubscriptionProxy>& proxy, int writes) {
  std::atomic<bool> flag{false};
  auto handlers = UsageStatistics::Detail::MakeSwitchHandlers(kSwitch, [&](bool value) { flag = value; });
  const auto sink =
      CfgSubscriptionsHelpers::CConfigSubscriptionsSink::Create(uint64_t{1}, handlers.onModifications, handlers.onNode);
  std::vector<double> samples;
  for (int i = 0; i < writes; ++i) {
    const bool value = i % 2 == 0;
    WriteSwitch(server, value);
    const auto subscription = CfgSubscriptionsHelpers::SubscribeToConfig(proxy, sink, kSwitch, 0, 4, 3, true);
    const Clock::time_point start = Clock::now();
    subscription->Activate();
    if (!WaitForFlag([&] { return flag.load(); }, value)) std::printf("  (current content %d not seen)\n", i);
    samples.push_back(Microseconds(Clock::now() - start));
    CfgSubscriptionsHelpers::RemoveSubscription(proxy, subscription);
  }
  CfgSubscriptionsHelpers::CloseSink(sink.Get());
  Report("current content: activation -> flag", samples);
}

void Modifications(IDXConfigServer* server, const CompPtr<IDXConfigSubscriptionProxy>& proxy, int writes) {
  std::atomic<bool> flag{true};
  WriteSwitch(server, true);
  auto handlers = UsageStatistics::Detail::MakeSwitchHandlers(kSwitch, [&](bool value) { flag = value; });
  const auto sink = CfgSubscriptionsHelpers::CConfigSubscriptionsSink::Create(
      std::chrono::milliseconds(10), handlers.onModifications, handlers.onNode);
  const auto subscription = CfgSubscriptionsHelpers::SubscribeToConfig(proxy, sink, kSwitch, 0, 4, 3, false);
  CLConfigServerWaitIdle(server, 5000);
  std::vector<double> samples;
  for (int i = 0; i < writes; ++i) {
    const bool value = i % 2 != 0;
    const Clock::time_point start = Clock::now();
    WriteSwitch(server, value);
    if (!WaitForFlag([&] { return flag.load(); }, value)) std::printf("  (modification %d not seen)\n", i);
    samples.push_back(Microseconds(Clock::now() - start));
  }
  CfgSubscriptionsHelpers::RemoveSubscription(proxy, subscription);
  CfgSubscriptionsHelpers::CloseSink(sink.Get());
  Report("modification: write -> flag (sink publishing every 10 ms)", samples);
}

void Toggler(IDXConfigServer* server, int writes) {
  WriteSwitch(server, true);
  const auto toggler = UsageStatistics::Detail::CUsageStatisticsToggler::Create();
  CLConfigServerWaitIdle(server, 5000);
  std::vector<double> samples;
  for (int i = 0; i < writes; ++i) {
    const bool value = i % 2 != 0;
    // Writes at random points of the publisher's second.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::rand() % 1000));
    const Clock::time_point start = Clock::now();
    WriteSwitch(server, value);
    if (!WaitForFlag([&] { return toggler->IsEnabled(); }, value)) std::printf("  (toggle write %d not seen)\n", i);
    samples.push_back(Microseconds(Clock::now() - start));
  }
  toggler->Stop();
  Report("modification: write -> toggle's flag (1 s publisher)", samples);
}

void AsyncActionTiming(int runs) {
  constexpr auto kPeriod = 10ms;
  std::mutex lock;
  std::vector<Clock::time_point> starts, ends;
  std::atomic<bool> done{false};
  {
    CAsyncAction<> action(kPeriod, 0ms, [&] {
      const Clock::time_point start = Clock::now();
      std::lock_guard guard(lock);
      if (static_cast<int>(starts.size()) > runs) {
        done = true;
        return;
      }
      starts.push_back(start);
      ends.push_back(Clock::now());
    });
    while (!done) std::this_thread::sleep_for(20ms);
  }
  std::vector<double> errors;
  for (size_t i = 1; i < starts.size(); ++i) errors.push_back(Microseconds(starts[i] - (ends[i - 1] + kPeriod)));
  Report("CAsyncAction 10 ms period: start - (previous end + period)", errors);
}

}  // namespace

int main(int argc, char** argv) {
  const int writes = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int toggleWrites = argc > 2 ? std::atoi(argv[2]) : 20;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 1000;
  std::printf("log severity: %ls (MaxSeverity %u)\n", SeverityName(LogManager::Instance().MaxSeverity()),
              LogManager::Instance().MaxSeverity());

  CompPtr<IDXConfigServer> server;
  if (FAILED(CLCreateConfigServer(nullptr, 0, server.Put()))) return 1;
  CLRegisterNamedInstance(Kestrova::HostNames::ConfigServerProxy, server.Get());
  CompPtr<IDXConfigSubscriptionProxy> proxy;
  server.As(proxy);
  try {
    CurrentContent(server.Get(), proxy, writes);
    Modifications(server.Get(), proxy, writes);
    if (toggleWrites > 0) Toggler(server.Get(), toggleWrites);
    AsyncActionTiming(runs);
  } catch (const HRES& failure) {
    std::printf("failed: 0x%08lX\n", static_cast<unsigned long>(failure.Code()));
  }
  proxy.Reset();
  CLRevokeNamedInstance(Kestrova::HostNames::ConfigServerProxy);
  server.Reset();
  return 0;
}

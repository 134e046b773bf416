// The snapshot maintainer: turns configuration modifications and periodic
// snapshots into usage activity frames and hands them to the accumulator.
#pragma once

#include "ConfigSnapshotEntry.h"

#include "Sources/Common/Helpers/AsyncAction.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientUsageStatsAccumulator.h"
#include "Sources/Subsystems/UsageStatistics/Common/UsageStatisticsToggler.h"
#include "module/ComponentRoot.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace UsageStatistics {

class CConfigSnapshotsMaintainer : public CComponentRoot,
                                   public IConfigurableComponent,
                                   public IShutdownableComponent,
                                   public IUsageActivityProcessor {
 public:
  using Interfaces = ComponentInterfaceList<IConfigurableComponent, IShutdownableComponent, IUsageActivityProcessor>;
  static constexpr const char kComponentTag[] =
      "CComponentObject<class UsageStatistics::CConfigSnapshotsMaintainer>::CComponentObject";

  // Longest snapshot period whose nanoseconds fit a signed 64-bit count.
  static constexpr int64_t kMaxSnapshotIntervalHours = 2562047;

  // The wait between two snapshot passes for "SendSnapshotsIntervalHours"
  // hours, 0 for none: the hours, one second, and a thousandth of the hours.
  // A pass's "now" is read at its start, the wait runs from its end, and an
  // entry is due only when strictly more whole seconds than its interval have
  // passed: without the second an entry whose interval equals the period
  // would be found a second short and snapshot every other pass. The wait
  // runs on the steady clock and the due test on the system clock, which the
  // platform's time service slews: the thousandth (3.6 s an hour, 86.4 s a
  // day) absorbs a difference of rate of up to 0.09 % between them.
  static std::chrono::nanoseconds PassPeriod(int64_t intervalHours) noexcept;
  // Path elements of the modified node plus levels of content below it: the
  // configuration store holds nothing deeper, and the entries copy what they
  // are given into their snapshots.
  static constexpr uint32_t kMaxModificationDepth = 256;

  // IConfigurableComponent
  HRESULT Configure(IDXNode* settings) override;
  // IShutdownableComponent
  HRESULT Shutdown() override;
  // IUsageActivityProcessor
  HRESULT ProcessUsageActivity(IDXNode* notification) override;
  HRESULT ProcessorReserved() override { return S_OK; }

  // Joins the snapshot worker before any member it uses goes away.
  void FinalRelease();

 private:
  using SnapshotAction = CAsyncAction<std::function<void()>>;

  void ConfigureSteps(const DXNodePtr& settings);
  // A new accumulator takes over the frames of the one it replaces, under the lock.
  void ReplaceAccumulator(std::unique_ptr<CTransientUsageStatsAccumulator> accumulator);
  void AddEntries(const DXNodePtr& snapshots, const std::wstring& statusRootPath,
                  const CompPtr<IDXConfigServerComponent>& server);
  bool StatisticsEnabled() const noexcept;
  // Under the lock. Each frame is handed over once; a failure raises.
  void StoreFrames(const ActivityFrameList& frames);
  void SnapshotPass() noexcept;
  // Under the lock: each due entry's snapshot frames to the accumulator.
  void SnapshotEntries(std::chrono::system_clock::time_point now);

  // Serialises Configure and Shutdown with each other (a host may call them
  // on any thread); taken before m_lock, never by notifications or passes.
  std::recursive_mutex m_lifecycleLock;
  std::recursive_mutex m_lock;
  std::wstring m_statusRootPath;
  // Replaced under m_lock only: every user of it holds that lock.
  std::unique_ptr<CTransientUsageStatsAccumulator> m_accumulator;
  // Read without a lock by notifications and passes: a reader keeps the
  // toggle it loaded alive while a reconfiguration replaces it.
  std::atomic<std::shared_ptr<Detail::CUsageStatisticsToggler>> m_toggle;
  std::unique_ptr<SnapshotAction> m_snapshotAction;
  std::unordered_map<std::wstring, std::unique_ptr<CConfigSnapshotEntry>> m_entries;
};

}  // namespace UsageStatistics

// The snapshot maintainer: turns configuration modifications and periodic
// snapshots into usage activity frames and hands them to the accumulator.
#pragma once

#include "ConfigSnapshotEntry.h"

#include "Sources/Common/Helpers/AsyncAction.h"
#include "Sources/Subsystems/UsageStatistics/Common/TransientUsageStatsAccumulator.h"
#include "Sources/Subsystems/UsageStatistics/Common/UsageStatisticsToggler.h"
#include "module/ComponentRoot.h"

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
  void AddEntries(const DXNodePtr& snapshots, const CompPtr<IDXConfigServerComponent>& server);
  bool StatisticsEnabled() const noexcept;
  void StoreFrames(const ActivityFrameList& frames);
  void SnapshotPass();

  std::recursive_mutex m_lock;
  std::wstring m_statusRootPath;
  std::unique_ptr<CTransientUsageStatsAccumulator> m_accumulator;
  std::shared_ptr<Detail::CUsageStatisticsToggler> m_toggle;
  std::unique_ptr<SnapshotAction> m_snapshotAction;
  std::unordered_map<std::wstring, std::unique_ptr<CConfigSnapshotEntry>> m_entries;
};

}  // namespace UsageStatistics

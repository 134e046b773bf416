// The snapshot maintainer: turns configuration modifications and periodic
// snapshots into usage activity frames and hands them to the accumulator.
#pragma once

#include "module/ComponentRoot.h"

namespace UsageStatistics {

class CConfigSnapshotsMaintainer : public CComponentRoot,
                                   public IConfigurableComponent,
                                   public IShutdownableComponent,
                                   public IUsageActivityProcessor {
 public:
  using Interfaces = ComponentInterfaceList<IConfigurableComponent, IShutdownableComponent, IUsageActivityProcessor>;
  static constexpr const char kComponentTag[] =
      "CComponentObject<class UsageStatistics::CConfigSnapshotsMaintainer>::CComponentObject";

  // IConfigurableComponent
  HRESULT Configure(IDXNode* settings) override;
  // IShutdownableComponent
  HRESULT Shutdown() override;
  // IUsageActivityProcessor
  HRESULT ProcessUsageActivity(IDXNode* notification) override;
  HRESULT ProcessorReserved() override { return S_OK; }
};

}  // namespace UsageStatistics

// The reference configuration server (with the accumulator's switch on) and
// usage-statistics service of ComponentsLib.dll, for the delivery benchmarks.
#pragma once

#include "Sources/Subsystems/UsageStatistics/Common/TransientUsageStatsAccumulator.h"

#include <Kestrova/ComponentsLib.h>

#include <cstdint>
#include <memory>

class DeliveryServices {
 public:
  static constexpr wchar_t kSwitchPath[] = L"\\Veltrano\\Statistics\\Accumulator";

  DeliveryServices() {
    CLCreateConfigServer(nullptr, 0, m_server.Put());
    CLRegisterNamedInstance(L"ConfigServer.Proxy", m_server.Get());
    CLCreateUsageStatisticsService(m_service.Put());
    const DXNodePtr node = DXNodePtr::Create(kSwitchPath, nullptr);
    node.SetBool(L"Enabled", true);
    IDXNode* handles[] = {node.Get()};
    m_server->WriteNodes(nullptr, 0, handles, 1);
  }
  ~DeliveryServices() { CLRevokeNamedInstance(L"ConfigServer.Proxy"); }
  DeliveryServices(const DeliveryServices&) = delete;
  DeliveryServices& operator=(const DeliveryServices&) = delete;

  // Every request waits delayMs, then fails with result (a success code: a pure delay).
  void Fault(CLFaultMode mode, HRESULT result, uint32_t delayMs) const {
    const CLFault fault{mode, 0, result, delayMs};
    CLSetFault(m_service.Get(), CLOp_ServiceProcessRequest, &fault);
  }
  void ClearFault() const { CLSetFault(m_service.Get(), CLOp_ServiceProcessRequest, nullptr); }
  uint32_t Frames() const {
    uint32_t count = 0;
    CLUsageStatisticsGetFrameCount(m_service.Get(), &count);
    return count;
  }
  void ClearFrames() const { CLUsageStatisticsClearFrames(m_service.Get()); }
  // The frames received and every fault.
  void Clear() const {
    ClearFrames();
    CLClearFaults(m_service.Get());
  }

  // A "TransientStorage" settings node with the switch; the caller adds the rest.
  static DXNodePtr Settings(int64_t sendIntervalSec, int64_t maxSendFailures) {
    const DXNodePtr settings = DXNodePtr::Create(L"TransientStorage", nullptr);
    settings.SetInt64(L"SendIntervalSec", sendIntervalSec);
    settings.SetInt64(L"MaxSendFailures", maxSendFailures);
    settings.SetString(L"UsageStatisticsCfgPath", kSwitchPath);
    return settings;
  }
  std::unique_ptr<UsageStatistics::CTransientUsageStatsAccumulator> Accumulator(const DXNodePtr& settings) const {
    return std::make_unique<UsageStatistics::CTransientUsageStatsAccumulator>(m_service, settings);
  }

 private:
  CompPtr<IDXConfigServer> m_server;
  CompPtr<IDXRequestProcessor> m_service;
};

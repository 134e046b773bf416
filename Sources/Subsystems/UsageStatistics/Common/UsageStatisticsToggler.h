// The product-wide on/off switch of usage statistics: mirrors "Enabled" of
// "\Veltrano\UsageStatisticsSettings" in the configuration server.
#pragma once

#include "module/CompPtr.h"

#include <Kestrova/HostServices.h>

#include <atomic>
#include <memory>
#include <string>

namespace UsageStatistics::Detail {

class CUsageStatisticsToggler : public std::enable_shared_from_this<CUsageStatisticsToggler> {
 public:
  static constexpr wchar_t kSwitchPath[] = L"\\Veltrano\\UsageStatisticsSettings";

  // Makes the toggle and starts it; failures of Start propagate as HRX.
  static std::shared_ptr<CUsageStatisticsToggler> Create();

  CUsageStatisticsToggler() = default;
  ~CUsageStatisticsToggler();
  CUsageStatisticsToggler(const CUsageStatisticsToggler&) = delete;
  CUsageStatisticsToggler& operator=(const CUsageStatisticsToggler&) = delete;

  // Reads the switch once (so it holds before the first notification), then
  // subscribes to it. Must be owned by a shared pointer when called.
  void Start();
  // True until the configuration says otherwise.
  bool IsEnabled() const noexcept { return m_enabled.load(std::memory_order_acquire); }
  // Removes the subscription; afterwards no notification changes the flag.
  // Never raises.
  void Stop() noexcept;

 private:
  void SetEnabled(bool enabled) noexcept;

  std::atomic<bool> m_enabled{true};
  CompPtr<IConfigModifyCallback> m_sink;
  const std::wstring m_path{kSwitchPath};
  CompPtr<IDXConfigSubscriptionProxy> m_configServer;
  CompPtr<IDXModifySubscription> m_subscription;
};

}  // namespace UsageStatistics::Detail

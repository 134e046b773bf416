#include "UsageStatisticsToggler.h"

#include "UsageStatisticsSwitch.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/CfgSubscriptionsHelpers.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "logging/LogStatement.h"
#include "module/HostInstance.h"
#include "node/ConfigServerAccess.h"

namespace UsageStatistics::Detail {

// ---- The switch node, shared with the frame accumulator --------------------

bool SwitchNodeEnabled(const DXNodePtr& node) { return node ? node.GetBool(L"Enabled", false) : false; }

std::optional<bool> ReadSwitchNode(const std::wstring& path) {
  try {
    const CompPtr<IDXConfigSubscriptionProxy> proxy =
        GetNamedInstance<IDXConfigSubscriptionProxy>(Kestrova::HostNames::ConfigServerProxy);
    const CompPtr<IDXConfigServer> server = CfgSubscriptionsHelpers::GetConfigServer(proxy.Get());
    const DXNodePtr node = ReadConfigNode(server.Get(), path, false);
    if (!node) return std::nullopt;
    return SwitchNodeEnabled(node);
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_WARN(L"Reading usage statistics switch " << path << L" failed due to " << failure);
  }
  return std::nullopt;
}

SwitchHandlers MakeSwitchHandlers(std::wstring path, std::function<void(bool)> setEnabled) {
  SwitchHandlers handlers;
  handlers.onModifications = [path, setEnabled](const GUID&,
                                                std::vector<NodeModifyUtils::TNodeModification>&& records) {
    for (const NodeModifyUtils::TNodeModification& record : records) {
      if (record.path == path) setEnabled(SwitchNodeEnabled(record.node));
    }
  };
  handlers.onNode = [path = std::move(path), setEnabled = std::move(setEnabled)](
                        const GUID&, const std::wstring& nodePath, const DXNodePtr& node) {
    if (nodePath == path) setEnabled(SwitchNodeEnabled(node));
  };
  return handlers;
}

void SetSwitchFlag(std::atomic<bool>& flag, bool value) noexcept {
  bool expected = !value;
  if (!flag.compare_exchange_strong(expected, value, std::memory_order_acq_rel)) return;
  KLOG_DBG(L"Usage statistics tracking set to " << (value ? L"true" : L"false"));
}

// ---- The product-wide toggle -----------------------------------------------

std::shared_ptr<CUsageStatisticsToggler> CUsageStatisticsToggler::Create() {
  auto toggler = std::make_shared<CUsageStatisticsToggler>();
  toggler->Start();
  return toggler;
}

CUsageStatisticsToggler::~CUsageStatisticsToggler() { Stop(); }

void CUsageStatisticsToggler::Start() {
  // The first frames are made before the server's current-content
  // notification can arrive: know the switch from the start.
  if (const std::optional<bool> enabled = ReadSwitchNode(m_path)) SetEnabled(*enabled);

  const std::weak_ptr<CUsageStatisticsToggler> self = weak_from_this();
  SwitchHandlers handlers = MakeSwitchHandlers(m_path, [self](bool enabled) {
    if (const std::shared_ptr<CUsageStatisticsToggler> toggler = self.lock()) toggler->SetEnabled(enabled);
  });
  m_sink = CfgSubscriptionsHelpers::CConfigSubscriptionsSink::Create(1, std::move(handlers.onModifications),
                                                                     std::move(handlers.onNode));
  m_configServer = GetNamedInstance<IDXConfigSubscriptionProxy>(Kestrova::HostNames::ConfigServerProxy);
  m_subscription = CfgSubscriptionsHelpers::SubscribeToConfig(
      m_configServer, m_sink, m_path, CfgSubscriptionsHelpers::kSwitchMaxDepth,
      CfgSubscriptionsHelpers::kSwitchChangesMask, CfgSubscriptionsHelpers::kSwitchSubscribeOptions, false);
}

void CUsageStatisticsToggler::Stop() noexcept {
  try {
    if (m_subscription) {
      CfgSubscriptionsHelpers::RemoveSubscription(m_configServer, m_subscription);
      m_subscription = nullptr;
    }
    // The server may still hold the sink (a failed removal): make sure no
    // handler runs once Stop has returned.
    if (m_sink) CfgSubscriptionsHelpers::CloseSink(m_sink.Get());
    m_sink = nullptr;
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_ERR(L"UsageStatistics::Detail::CUsageStatisticsToggler::Stop" << L" failed: " << failure);
  }
}

void CUsageStatisticsToggler::SetEnabled(bool enabled) noexcept { SetSwitchFlag(m_enabled, enabled); }

}  // namespace UsageStatistics::Detail

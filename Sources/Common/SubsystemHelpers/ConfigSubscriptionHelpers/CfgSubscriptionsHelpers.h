// Registration and removal of configuration subscriptions through the
// "ConfigServer.Proxy" instance, and the way from the proxy to the server.
#pragma once

#include "module/CompPtr.h"

#include <Kestrova/HostServices.h>

#include <cstdint>
#include <string>

namespace CfgSubscriptionsHelpers {

// What every on/off switch of the module subscribes with: the node alone,
// modifications (which include creation), current content and record
// content delivered.
inline constexpr int64_t kSwitchMaxDepth = 0, kSwitchChangesMask = 4, kSwitchSubscribeOptions = 3;

// Registers sink for changes of path and, unless deferActivation, activates
// delivery. Failures raise HRX; a registration whose activation fails is
// removed again before the failure is raised, so nothing stays behind.
CompPtr<IDXModifySubscription> SubscribeToConfig(const CompPtr<IDXConfigSubscriptionProxy>& proxy,
                                                 const CompPtr<IConfigModifyCallback>& sink, const std::wstring& path,
                                                 int64_t maxDepth, int64_t changesMask, int64_t subscribeOptions,
                                                 bool deferActivation);

// Removes the subscription; never raises. A failure (a null subscription
// included) is logged at WARN with the subscription's id.
void RemoveSubscription(const CompPtr<IDXConfigSubscriptionProxy>& proxy,
                        const CompPtr<IDXModifySubscription>& subscription) noexcept;

// The config server component behind the proxy, which may be held under
// either of its interface ids. Failures raise HRX.
CompPtr<IDXConfigServerComponent> GetConfigServerComponent(IComponentObject* proxy);

// The server interface (IID_IDXConfigServer) behind the proxy, asked anew.
CompPtr<IDXConfigServer> GetConfigServer(IComponentObject* proxy);

}  // namespace CfgSubscriptionsHelpers

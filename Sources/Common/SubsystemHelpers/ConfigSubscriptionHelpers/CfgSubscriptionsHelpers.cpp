#include "CfgSubscriptionsHelpers.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/LogStatement.h"
#include "node/ConfigServerAccess.h"
#include "node/ValueFormats.h"

namespace CfgSubscriptionsHelpers {

CompPtr<IDXModifySubscription> SubscribeToConfig(const CompPtr<IDXConfigSubscriptionProxy>& proxy,
                                                 const CompPtr<IConfigModifyCallback>& sink, const std::wstring& path,
                                                 int64_t maxDepth, int64_t changesMask, int64_t subscribeOptions,
                                                 bool deferActivation) {
  if (!proxy) ThrowHr(E_POINTER);
  const DXNodePtr filter = MakeFilterByPath(path, false, maxDepth);
  const DXNodePtr settings = DXNodePtr::Create(L"SubscribeConfig", nullptr);
  settings.SetInt64(L"ChangesMask", changesMask);
  settings.SetInt64(L"SubscribeOptions", subscribeOptions);

  CompPtr<IDXModifySubscription> subscription;
  HRX hr = proxy->Subscribe(filter.Get(), settings.Get(), sink.Get(), subscription.Put());
  if (!subscription) ThrowHr(E_POINTER);
  if (!deferActivation) {
    const HRES activated = subscription->Activate();
    if (activated.Failed()) {
      // The registration holds the sink and nobody else could remove it:
      // take it back before raising.
      RemoveSubscription(proxy, subscription);
      ThrowIfFailed(activated);
    }
  }
  return subscription;
}

void RemoveSubscription(const CompPtr<IDXConfigSubscriptionProxy>& proxy,
                        const CompPtr<IDXModifySubscription>& subscription) noexcept {
  GUID id{};
  HRES failure;
  try {
    if (!subscription) ThrowHr(E_POINTER);
    // The id only names the subscription in the log: a failed read must not
    // leave it registered.
    failure = subscription->GetId(&id);
    if (!proxy) ThrowHr(E_POINTER);
    const HRES removed = proxy->RemoveSubscription(subscription.Get());
    if (removed.Failed()) failure = removed;
  } catch (...) {
    failure = CurrentFailure();
  }
  if (failure.Failed()) {
    KLOG_WARN(L"Config server subscription with id " << ValueFormats::GuidToString(id, ValueFormats::GuidForm::Braced)
                                                     << L" remove failed due to " << failure);
  }
}

CompPtr<IDXConfigServerComponent> GetConfigServerComponent(IComponentObject* proxy) {
  if (proxy == nullptr) ThrowHr(E_POINTER);
  CompPtr<IDXConfigServerProxy> serverProxy;
  HRX hr = proxy->QueryInterface(IID_IDXConfigServerProxy, serverProxy.PutVoid());
  if (!serverProxy) ThrowHr(E_POINTER);
  CompPtr<IDXConfigServerComponent> component;
  hr = serverProxy->GetConfigServerComponent(component.Put());
  if (!component) ThrowHr(E_POINTER);
  return component;
}

CompPtr<IDXConfigServer> GetConfigServer(IComponentObject* proxy) {
  const CompPtr<IDXConfigServerComponent> component = GetConfigServerComponent(proxy);
  CompPtr<IDXConfigServer> server;
  HRX hr = component->GetConfigServerInterface(IID_IDXConfigServer, server.PutVoid());
  if (!server) ThrowHr(E_POINTER);
  return server;
}

}  // namespace CfgSubscriptionsHelpers

#include "ModifySubscription.h"

#include "ConfigServerCore.h"

namespace ComponentsLib {

ModifySubscription::ModifySubscription(const GUID& id, SubscriptionTerms terms, CompPtr<IConfigModifyCallback> callback,
                                       std::weak_ptr<ConfigServerCore> server)
    : m_id(id), m_terms(std::move(terms)), m_server(std::move(server)), m_callback(std::move(callback)) {}

HRESULT ModifySubscription::Activate() {
  const auto server = m_server.lock();
  if (!server) return CL_E_SHUT_DOWN;
  return server->Activate(*this);
}

HRESULT ModifySubscription::Deactivate() {
  SetActive(false);
  return S_OK;
}

HRESULT ModifySubscription::GetId(GUID* id) {
  if (id == nullptr) return E_POINTER;
  if (const auto server = m_server.lock()) {
    if (const HRESULT hr = server->Faults().OnCall(CLOp_SubscriptionGetId); FAILED(hr)) return hr;
  }
  *id = m_id;
  return S_OK;
}

void ModifySubscription::Deliver(int currentContent, IDXNodeModifyEnum* records) {
  if (!IsActive() || !m_gate.Enter()) return;
  struct Leave {
    DeliveryGate& gate;
    ~Leave() { gate.Leave(); }
  } leave{m_gate};
  CompPtr<IConfigModifyCallback> callback;
  {
    std::lock_guard lock(m_callbackLock);
    callback = m_callback;
  }
  // The subscriber's result is its own business; the server goes on.
  if (callback) callback->OnTriggered(this, currentContent, records);
}

void ModifySubscription::Revoke(bool wait) {
  m_gate.Close(wait);
  SetActive(false);
  CompPtr<IConfigModifyCallback> released;
  {
    std::lock_guard lock(m_callbackLock);
    released = std::move(m_callback);
  }
}

void* ModifySubscription::LookupMore(const GUID& iid) {
  return SameGuid(iid, kImplementationIid) ? this : nullptr;
}

}  // namespace ComponentsLib

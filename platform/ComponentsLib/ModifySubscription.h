// ModifySubscription: one registration at the configuration server, handed
// to the subscriber as IDXModifySubscription.
#pragma once

#include "HostObject.h"
#include "NotificationDispatcher.h"

#include "module/CompPtr.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ComponentsLib {

class ConfigServerCore;

struct SubscriptionTerms {
  std::wstring path;
  std::vector<std::wstring> elements;
  uint32_t maxDepth = 0;
  uint64_t changesMask = 0;
  uint64_t options = 0;
};

class ModifySubscription final : public HostObject<IDXModifySubscription> {
 public:
  // {6E2B8D51-0F3C-4A7E-B2D9-8C41F5A0E367}
  static constexpr GUID kImplementationIid{
      0x6E2B8D51, 0x0F3C, 0x4A7E, {0xB2, 0xD9, 0x8C, 0x41, 0xF5, 0xA0, 0xE3, 0x67}};

  ModifySubscription(const GUID& id, SubscriptionTerms terms, CompPtr<IConfigModifyCallback> callback,
                     std::weak_ptr<ConfigServerCore> server);

  HRESULT Activate() override;
  HRESULT Deactivate() override;
  HRESULT GetId(GUID* id) override;

  const GUID& Id() const noexcept { return m_id; }
  const SubscriptionTerms& Terms() const noexcept { return m_terms; }
  bool IsActive() const noexcept { return m_active.load(std::memory_order_acquire); }
  // Returns the previous state.
  bool SetActive(bool active) noexcept { return m_active.exchange(active, std::memory_order_acq_rel); }
  bool IsRevoked() { return m_gate.IsClosed(); }

  // Calls the subscriber unless the subscription is inactive or revoked.
  void Deliver(int currentContent, IDXNodeModifyEnum* records);
  // After it returns no delivery starts; with wait, none is running either.
  void Revoke(bool wait);

 protected:
  void* LookupMore(const GUID& iid) override;

 private:
  const GUID m_id;
  const SubscriptionTerms m_terms;
  const std::weak_ptr<ConfigServerCore> m_server;
  std::atomic<bool> m_active{false};
  DeliveryGate m_gate;
  std::mutex m_callbackLock;
  CompPtr<IConfigModifyCallback> m_callback;
};

}  // namespace ComponentsLib

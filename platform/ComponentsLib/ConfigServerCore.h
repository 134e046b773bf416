// ConfigServerCore: the reference configuration server's state shared by
// the server object and its subscriptions: the store with its lock, the
// registered subscriptions, the notification thread and the host's report.
//
// Locks, in the order they may be taken: store lock, registry lock, then
// the dispatcher's queue lock. No callback runs under any of them.
#pragma once

#include "ConfigStore.h"
#include "FaultInjector.h"
#include "ModifySubscription.h"
#include "NotificationDispatcher.h"

#include <Kestrova/ComponentsLib.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace ComponentsLib {

class ConfigServerCore : public std::enable_shared_from_this<ConfigServerCore> {
 public:
  // Loads storeFile when it exists (raises on a malformed file).
  ConfigServerCore(std::wstring storeFile, uint32_t flags);
  ~ConfigServerCore();

  FaultInjector& Faults() noexcept { return m_faults; }

  HRESULT Read(IDXNode* filter, uint32_t flags, IDXNode** nodes, uint32_t capacity, uint32_t* count);
  HRESULT Write(IComponentObject* context, uint32_t flags, IDXNode* const* nodes, uint32_t count);
  HRESULT Delete(IComponentObject* context, uint32_t flags, IDXNode* const* filters, uint32_t count);
  HRESULT Flush(uint32_t flags);
  HRESULT SaveTo(const wchar_t* path);

  HRESULT Subscribe(IDXNode* filter, IDXNode* settings, IConfigModifyCallback* callback,
                    IDXModifySubscription** subscription);
  HRESULT Remove(IDXModifySubscription* subscription);
  HRESULT Activate(ModifySubscription& subscription);
  uint32_t SubscriptionCount();

  HRESULT SetReport(CLModificationReport report, void* context);
  HRESULT WaitIdle(uint32_t timeoutMs);

  // Stops notifications and drops every subscription; later calls fail
  // with CL_E_SHUT_DOWN.
  void Shutdown();

 private:
  // Under the exclusive store lock: queues the notifications of one change.
  void Publish(const std::vector<StoreModification>& modifications, IComponentObject* context);
  void DeliverReport(const std::vector<StoreModification>& modifications, IComponentObject* context);
  // Saves under a lock of the store held by the caller.
  void Save(const std::wstring& path);
  HRESULT AfterChange(const std::vector<StoreModification>& modifications);

  const std::wstring m_storeFile;
  const uint32_t m_flags;
  std::atomic<bool> m_shutDown{false};
  FaultInjector m_faults;

  std::shared_mutex m_storeLock;
  ConfigStore m_store;
  std::mutex m_saveLock;

  std::mutex m_registryLock;
  std::vector<CompPtr<ModifySubscription>> m_subscriptions;

  std::mutex m_reportLock;
  std::condition_variable m_reportDrained;
  CLModificationReport m_report = nullptr;
  void* m_reportContext = nullptr;
  uint32_t m_reportsInFlight = 0;

  // Last member: stopped before anything its jobs use goes away.
  NotificationDispatcher m_dispatcher;
};

}  // namespace ComponentsLib

// CComponentObject<T>: turns an implementation class into a reference
// counted component that keeps the module in use while it lives.
#pragma once

#include "ComponentRoot.h"
#include "ComponentsModule.h"
#include "Guids.h"

#include "Sources/Common/Components/DbgAliveObjectsTracker.h"
#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/Common/Lifetime/ModuleUsage.h"

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

// T derives from CComponentRoot and from each interface of T::Interfaces (a
// ComponentInterfaceList), and names its tag in T::kComponentTag.
template <typename T>
class CComponentObject final : public T {
 public:
  template <typename... Args>
  explicit CComponentObject(Args&&... args) : T(std::forward<Args>(args)...) {
    DbgAliveObjectsTracker::Instance().Register(this, T::kComponentTag);
    CComponentsModule::Instance().LockModule();
  }

  // The module stays in use until Release has destroyed the whole object,
  // implementation included: see Release.
  ~CComponentObject() override { DbgAliveObjectsTracker::Instance().Unregister(this); }

  uint32_t AddRef() override { return m_references.fetch_add(1, std::memory_order_relaxed) + 1; }

  uint32_t Release() override {
    const uint32_t remaining = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining != 0) return remaining;
    // Released from a host's own detach at process exit, after the module's:
    // the object is left as it is. Its teardown would take locks that killed
    // threads may hold, call the host's services and write files under the
    // loader lock; the process is ending anyway.
    if (ModuleUsage::ProcessExiting()) return 0;
    this->FinalRelease();
    delete this;
    // The very last step: a host that unloads the module as soon as the
    // count reads 0 finds no destructor of this object still running.
    ModuleUsage::Unlock();
    return 0;
  }

  HRESULT QueryInterface(const GUID& iid, void** out) override {
    const HRESULT hr = InternalQueryInterface(HostGuidAddress(iid), out);
    if (SUCCEEDED(hr)) AddRef();
    return hr;
  }

  // The lookup without AddRef: E_INVALIDARG for null arguments, E_NOINTERFACE
  // for an id not in the table; *out is written only on success.
  HRESULT InternalQueryInterface(const GUID* iid, void** out) {
    if (iid == nullptr || out == nullptr) return E_INVALIDARG;
    void* found = FindInterface(*iid, typename T::Interfaces{});
    if (found == nullptr) return E_NOINTERFACE;
    *out = found;
    return S_OK;
  }

  // The creator registered for a creatable class: the reference taken at
  // construction becomes the caller's. Nothing is thrown to the host.
  static HRESULT Create(const GUID& iid, void** out) noexcept {
    CComponentObject* object = nullptr;
    try {
      object = Allocate();
    } catch (...) {
      return CurrentFailure().Code();
    }
    if (object == nullptr) return E_OUTOFMEMORY;
    if (const HRESULT hr = object->PostConstruct(); FAILED(hr)) {
      object->Release();
      return hr;
    }
    const HRESULT hr = object->InternalQueryInterface(HostGuidAddress(iid), out);
    if (FAILED(hr)) object->Release();
    return hr;
  }

  // Constructs an object in zero-filled storage; null when out of memory.
  template <typename... Args>
  static CComponentObject* Allocate(Args&&... args) {
    void* storage = ::operator new(sizeof(CComponentObject), std::nothrow);
    if (storage == nullptr) return nullptr;
    std::memset(storage, 0, sizeof(CComponentObject));
    try {
      return ::new (storage) CComponentObject(std::forward<Args>(args)...);
    } catch (...) {
      ::operator delete(storage);
      throw;
    }
  }

  uint32_t ReferenceCount() const noexcept { return m_references.load(std::memory_order_relaxed); }

 private:
  template <typename... Interfaces>
  void* FindInterface(const GUID& iid, ComponentInterfaceList<Interfaces...>) {
    if (SameGuid(iid, IID_IComponentObject)) return this->Primary();
    void* found = nullptr;
    // Left to right: the first matching id in table order wins.
    ((found == nullptr && SameGuid(iid, Interfaces::Iid) ? (found = static_cast<Interfaces*>(this)) : nullptr), ...);
    return found;
  }

  std::atomic<uint32_t> m_references{1};
};

// HostObject<Interfaces...>: the reference counting and interface lookup
// shared by every object of this library. The first interface is the
// primary one (what IID_IComponentObject answers).
#pragma once

#include "Failure.h"
#include "LiveObjects.h"

#include <Kestrova/HostServices.h>

#include <atomic>
#include <cstring>

namespace ComponentsLib {

inline bool SameGuid(const GUID& a, const GUID& b) noexcept { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// An id reference that came from another module may be a null pointer in
// disguise; the empty asm keeps the compiler from assuming it is not.
inline const GUID* GuidAddress(const GUID& id) noexcept {
  const GUID* address = &id;
  asm volatile("" : "+r"(address));
  return address;
}

template <typename Primary, typename... Others>
class HostObject : public Primary, public Others... {
 public:
  HostObject(const HostObject&) = delete;
  HostObject& operator=(const HostObject&) = delete;

  uint32_t AddRef() final { return m_references.fetch_add(1, std::memory_order_relaxed) + 1; }

  uint32_t Release() final {
    const uint32_t remaining = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) delete this;
    return remaining;
  }

  HRESULT QueryInterface(const GUID& iid, void** out) final {
    const GUID* id = GuidAddress(iid);
    if (id == nullptr || out == nullptr) return E_INVALIDARG;
    void* found = Lookup(*id);
    if (found == nullptr) return E_NOINTERFACE;
    AddRef();
    *out = found;
    return S_OK;
  }

  // For tests of this library's own objects.
  uint32_t ReferenceCount() const noexcept { return m_references.load(std::memory_order_relaxed); }

 protected:
  HostObject() noexcept { LiveObjects::Added(); }
  virtual ~HostObject() { LiveObjects::Removed(); }

  // Ids answered besides the interfaces of the class list (base interfaces,
  // the implementation's private id).
  virtual void* LookupMore(const GUID& /*iid*/) { return nullptr; }

  IComponentObject* PrimaryInterface() noexcept { return static_cast<Primary*>(this); }

 private:
  void* Lookup(const GUID& iid) {
    if (SameGuid(iid, IID_IComponentObject)) return PrimaryInterface();
    if (SameGuid(iid, Primary::Iid)) return static_cast<Primary*>(this);
    void* found = nullptr;
    ((found == nullptr && SameGuid(iid, Others::Iid) ? (found = static_cast<Others*>(this)) : nullptr), ...);
    return found != nullptr ? found : LookupMore(iid);
  }

  std::atomic<uint32_t> m_references{1};
};

}  // namespace ComponentsLib

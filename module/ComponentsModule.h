// The module object: one per process, never destroyed by reference counting.
// It keeps the class registry and the count of module users.
#pragma once

#include "ComponentRoot.h"
#include "Guids.h"

#include "Sources/Common/Helpers/CriticalSection.h"
#include "Sources/Common/Lifetime/NoDestroy.h"
#include "Sources/Common/Lifetime/ModuleUsage.h"

#include <atomic>
#include <map>

class CComponentsModule final : public CComponentRoot, public IComponentsModule {
 public:
  using Creator = HRESULT (*)(const GUID& iid, void** out);

  // The process-wide instance, created on first use by whichever thread
  // needs it first.
  static CComponentsModule& Instance();

  // An id that is already registered keeps its first creator.
  void RegisterClass(const GUID& clsid, Creator creator);
  void UnregisterClass(const GUID& clsid);

  // Live components and running module threads.
  uint32_t UserCount() const noexcept { return ModuleUsage::Count(); }

  // IComponentObject (shared by both interfaces). The module object is not
  // reference counted: AddRef and Release return 0xFFFFFFFF.
  uint32_t AddRef() override { return 0xFFFFFFFFu; }
  uint32_t Release() override { return 0xFFFFFFFFu; }
  HRESULT QueryInterface(const GUID& iid, void** out) override;

  // IComponentsModule
  HRESULT ModuleReserved() override { return S_OK; }
  HRESULT DumpAliveObjects() override;
  uint32_t LockModule() override { return ModuleUsage::Lock(); }
  uint32_t UnlockModule() override { return ModuleUsage::Unlock(); }
  HRESULT IsModuleInUse(uint32_t* inUse) override;
  HRESULT CreateInstance(const GUID& clsid, const GUID& iid, void** out) override;

 private:
  template <typename>
  friend class NoDestroy;
  CComponentsModule() = default;
  ~CComponentsModule() override = default;

  CriticalSection m_registryLock;
  std::map<GUID, Creator, GuidBytewiseLess> m_registry;
};

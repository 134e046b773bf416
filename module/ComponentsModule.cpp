#include "ComponentsModule.h"
#include "Sources/Common/Lifetime/NoDestroy.h"

#include "Sources/Common/Components/DbgAliveObjectsTracker.h"

#include <mutex>

namespace {
std::atomic<CComponentsModule*> g_publishedModule{nullptr};

std::mutex& ModuleCreationLock() {
  static NoDestroy<std::mutex> lock;
  return lock.Get();
}
}  // namespace

CComponentsModule& CComponentsModule::Instance() {
  CComponentsModule* module = g_publishedModule.load(std::memory_order_acquire);
  if (module != nullptr) return *module;
  std::lock_guard guard(ModuleCreationLock());
  module = g_publishedModule.load(std::memory_order_relaxed);
  if (module == nullptr) {
    // The tracker first: it is then obtained during static initialisation
    // (the registrars create the module) and outlives the module object.
    DbgAliveObjectsTracker::Instance();
    // Never destroyed: a host that releases late still finds it.
    static NoDestroy<CComponentsModule> instance;
    module = &instance.Get();
    g_publishedModule.store(module, std::memory_order_release);
  }
  return *module;
}

void CComponentsModule::RegisterClass(const GUID& clsid, Creator creator) {
  std::lock_guard guard(m_registryLock);
  m_registry.try_emplace(clsid, creator);
}

void CComponentsModule::UnregisterClass(const GUID& clsid) {
  std::lock_guard guard(m_registryLock);
  m_registry.erase(clsid);
}

HRESULT CComponentsModule::QueryInterface(const GUID& iid, void** out) {
  if (HostGuidAddress(iid) == nullptr || out == nullptr) return E_INVALIDARG;
  if (SameGuid(iid, IID_IComponentObject)) {
    *out = Primary();
  } else if (SameGuid(iid, IID_IComponentsModule)) {
    *out = static_cast<IComponentsModule*>(this);
  } else {
    return E_NOINTERFACE;
  }
  return S_OK;
}

HRESULT CComponentsModule::DumpAliveObjects() {
  DbgAliveObjectsTracker::Instance().Dump();
  return S_OK;
}

HRESULT CComponentsModule::IsModuleInUse(uint32_t* inUse) {
  if (inUse == nullptr) return E_POINTER;
  *inUse = ModuleUsage::Count() != 0 ? 1 : 0;
  return S_OK;
}

HRESULT CComponentsModule::CreateInstance(const GUID& clsid, const GUID& iid, void** out) {
  if (HostGuidAddress(clsid) == nullptr) return E_INVALIDARG;
  Creator creator = nullptr;
  {
    std::lock_guard guard(m_registryLock);
    const auto found = m_registry.find(clsid);
    if (found != m_registry.end()) creator = found->second;
  }
  if (creator == nullptr) return REGDB_E_CLASSNOTREG;
  return creator(iid, out);
}

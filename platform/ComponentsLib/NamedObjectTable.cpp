#include "NamedObjectTable.h"

#include "Failure.h"
#include "HostObject.h"

#include <Kestrova/ComponentsLib.h>

namespace ComponentsLib {

HRESULT NamedObjectTable::Register(const wchar_t* name, IComponentObject* object) {
  if (name == nullptr || *name == L'\0' || object == nullptr) return E_INVALIDARG;
  return Guarded([&] {
    std::lock_guard lock(m_lock);
    const bool inserted = m_objects.try_emplace(name, CompPtr<IComponentObject>(object)).second;
    return inserted ? S_OK : CL_E_ALREADY_EXISTS;
  });
}

HRESULT NamedObjectTable::Revoke(const wchar_t* name) {
  if (name == nullptr) return E_INVALIDARG;
  CompPtr<IComponentObject> released;  // released after the lock
  return Guarded([&] {
    std::lock_guard lock(m_lock);
    const auto found = m_objects.find(name);
    if (found == m_objects.end()) return CL_E_NOT_FOUND;
    released = std::move(found->second);
    m_objects.erase(found);
    return S_OK;
  });
}

void NamedObjectTable::RevokeAll() {
  std::map<std::wstring, CompPtr<IComponentObject>> released;
  std::lock_guard lock(m_lock);
  released.swap(m_objects);
}

HRESULT NamedObjectTable::Get(const wchar_t* name, const GUID& iid, void** out) {
  if (name == nullptr || GuidAddress(iid) == nullptr || out == nullptr) return E_INVALIDARG;
  return Guarded([&] {
    CompPtr<IComponentObject> object;
    {
      std::lock_guard lock(m_lock);
      const auto found = m_objects.find(name);
      if (found == m_objects.end()) return CL_E_NOT_FOUND;
      object = found->second;
    }
    return object->QueryInterface(iid, out);
  });
}

}  // namespace ComponentsLib

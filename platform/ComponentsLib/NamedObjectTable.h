// NamedObjectTable: objects registered under exact, case-sensitive names;
// each registration keeps one reference. Thread-safe.
#pragma once

#include "module/CompPtr.h"

#include <map>
#include <mutex>
#include <string>

namespace ComponentsLib {

class NamedObjectTable {
 public:
  // E_INVALIDARG for a null or empty name or a null object;
  // CL_E_ALREADY_EXISTS when the name is taken.
  HRESULT Register(const wchar_t* name, IComponentObject* object);
  // CL_E_NOT_FOUND for an unknown name.
  HRESULT Revoke(const wchar_t* name);
  void RevokeAll();
  // QueryInterface on the object registered under name, outside the lock.
  HRESULT Get(const wchar_t* name, const GUID& iid, void** out);

 private:
  std::mutex m_lock;
  std::map<std::wstring, CompPtr<IComponentObject>> m_objects;
};

}  // namespace ComponentsLib

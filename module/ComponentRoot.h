// Base of every component implementation class: the primary interface
// (the root slots plus the destroy slot) and the hooks CComponentObject calls.
#pragma once

#include <Kestrova/ComponentInterfaces.h>

class CComponentRoot : public IComponentObject {
 public:
  CComponentRoot() = default;
  CComponentRoot(const CComponentRoot&) = delete;
  CComponentRoot& operator=(const CComponentRoot&) = delete;
  virtual ~CComponentRoot() = default;  // the destroy slot

  // Runs once the object is constructed, before the creator hands it out.
  HRESULT PostConstruct() { return S_OK; }
  // Runs in the last Release, just before the object deletes itself.
  void FinalRelease() {}

  // The primary interface pointer: what IID_IComponentObject answers.
  IComponentObject* Primary() noexcept { return this; }
};

// The interfaces a component answers after IID_IComponentObject, in lookup order.
template <typename... Interfaces>
struct ComponentInterfaceList {};

// A static object that keeps one creatable class registered with the
// module object for as long as it lives.
#pragma once

#include "ComponentsModule.h"

class CComponentClassRegistrar {
 public:
  CComponentClassRegistrar(const GUID& clsid, CComponentsModule::Creator creator) : m_clsid(clsid) {
    CComponentsModule::Instance().RegisterClass(m_clsid, creator);
  }
  ~CComponentClassRegistrar() { Unregister(); }

  // Removes the class; later calls do nothing.
  void Unregister() noexcept {
    if (!m_registered) return;
    m_registered = false;
    CComponentsModule::Instance().UnregisterClass(m_clsid);
  }

  CComponentClassRegistrar(const CComponentClassRegistrar&) = delete;
  CComponentClassRegistrar& operator=(const CComponentClassRegistrar&) = delete;

 private:
  GUID m_clsid;
  bool m_registered = true;
};

// Kestrova.dll as a service process holds it: loaded from the host's folder
// with LoadLibraryW, its module object from GetComponentsModuleObject, and
// the snapshot maintainer created by class id with the three interfaces a
// host calls.
#pragma once

#include "module/CompPtr.h"

#include <Kestrova/ComponentInterfaces.h>

#include <windows.h>

#include <cstdint>

namespace KestrovaHost {

class MaintainerHost {
 public:
  // Raises ToolError (kExitFailure) when the module cannot be loaded or the
  // maintainer cannot be created.
  MaintainerHost();
  // Releases the maintainer if still held, then unloads the module.
  ~MaintainerHost();
  MaintainerHost(const MaintainerHost&) = delete;
  MaintainerHost& operator=(const MaintainerHost&) = delete;

  HRESULT Configure(IDXNode* settings) const { return m_configurable->Configure(settings); }
  HRESULT ProcessUsageActivity(IDXNode* notification) const { return m_processor->ProcessUsageActivity(notification); }
  HRESULT Shutdown() const { return m_shutdownable->Shutdown(); }

  // Drops the host's references: the maintainer's last release joins its threads.
  void ReleaseMaintainer() noexcept;
  // The module's own answer; a failing call counts as in use.
  uint32_t ModuleInUse() const noexcept;

 private:
  HMODULE m_library = nullptr;
  IComponentsModule* m_module = nullptr;  // not reference counted
  CompPtr<IConfigurableComponent> m_configurable;
  CompPtr<IShutdownableComponent> m_shutdownable;
  CompPtr<IUsageActivityProcessor> m_processor;
};

}  // namespace KestrovaHost

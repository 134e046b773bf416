// The module's export, its creatable classes and its entry routine.
#include "ComponentClassRegistrar.h"
#include "ComponentObject.h"
#include "ModuleLogger.h"

#include "Sources/Common/ErrorHandling/ErrorMessageModules.h"
#include "Sources/Common/Lifetime/ModuleUsage.h"
#include "Sources/Common/Lifetime/NoDestroy.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/ConfigSnapshotsMaintainer.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/UsageActivityItemsResolver.h"
#include "logging/LogManager.h"

#include <windows.h>

namespace {
// Built at load in this order: the logger and the process-wide objects it
// creates come before the class registrations. None is ever destroyed by
// the C runtime; the unload undoes them explicitly (see DllMain).
NoDestroy<CModuleLogger> g_moduleLogger;
NoDestroy<CComponentClassRegistrar> g_maintainerClass{
    CLSID_ConfigSnapshotsMaintainer, &CComponentObject<UsageStatistics::CConfigSnapshotsMaintainer>::Create};
NoDestroy<CComponentClassRegistrar> g_resolverClass{
    CLSID_UsageActivityItemsResolver, &CComponentObject<UsageStatistics::CUsageActivityItemsResolver>::Create};

// FreeLibrary of the last reference: no module code runs on any thread (each
// module thread holds a reference), so the unload may take locks and wait.
void Unload() noexcept {
  g_resolverClass.Get().Unregister();
  g_maintainerClass.Get().Unregister();
  g_moduleLogger.Get().Close();
  LogManager::Instance().Close(true);
  ErrorMessageModules::FreeProcessModules();
}
}  // namespace

extern "C" HRESULT GetComponentsModuleObject(void** out) {
  if (out == nullptr) return E_INVALIDARG;
  return CComponentsModule::Instance().QueryInterface(IID_IComponentsModule, out);
}

// At process exit (reserved not null) the other threads are gone, possibly
// inside a lock of the module, and the loader lock is held: nothing is
// cleaned up, as the platform's rules for DllMain ask. Logging stops and a
// component released later (from a host's own detach) is left undestroyed,
// so that nothing waits for a lock a killed thread held.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason != DLL_PROCESS_DETACH) return TRUE;
  if (reserved != nullptr) {
    ModuleUsage::MarkProcessExiting();
    LogManager::Instance().Close(false);
  } else {
    Unload();
  }
  return TRUE;
}

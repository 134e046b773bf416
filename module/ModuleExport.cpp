// The module's export and its creatable classes.
#include "ComponentClassRegistrar.h"
#include "ComponentObject.h"
#include "ModuleLogger.h"

#include "Sources/Subsystems/UsageStatistics/Kestrova/ConfigSnapshotsMaintainer.h"
#include "Sources/Subsystems/UsageStatistics/Kestrova/UsageActivityItemsResolver.h"

namespace {
// First of the module's statics: the logger and the process-wide objects it
// creates outlive the class registrations below.
const CModuleLogger g_moduleLogger;

// Constructed in this order at load and destroyed in reverse at unload; the
// module object, created by the first of them, outlives both.
const CComponentClassRegistrar g_maintainerClass{
    CLSID_ConfigSnapshotsMaintainer, &CComponentObject<UsageStatistics::CConfigSnapshotsMaintainer>::Create};
const CComponentClassRegistrar g_resolverClass{
    CLSID_UsageActivityItemsResolver, &CComponentObject<UsageStatistics::CUsageActivityItemsResolver>::Create};
}  // namespace

extern "C" HRESULT GetComponentsModuleObject(void** out) {
  if (out == nullptr) return E_INVALIDARG;
  return CComponentsModule::Instance().QueryInterface(IID_IComponentsModule, out);
}

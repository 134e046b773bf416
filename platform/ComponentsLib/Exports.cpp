// The DLL's exported functions: thin shells over the library's classes.
#include "ConfigServer.h"
#include "NamedObjectTable.h"
#include "ServiceClient.h"
#include "UsageStatisticsService.h"

#include <Kestrova/ComponentsLib.h>

using namespace ComponentsLib;

namespace {

// The process's named instances. Never destroyed: releasing host objects
// while the loader unloads this library could join threads under the
// loader lock; hosts revoke what they registered.
NamedObjectTable& NamedInstances() {
  static NamedObjectTable* table = new NamedObjectTable();
  return *table;
}

// This library's implementation behind an interface pointer, or null when
// the object is not one of ours of that class.
template <typename T>
CompPtr<T> Implementation(IComponentObject* object) {
  CompPtr<T> found;
  if (object != nullptr) object->QueryInterface(T::kImplementationIid, found.PutVoid());
  return found;
}

CompPtr<IFaultTarget> FaultTarget(IComponentObject* object) {
  CompPtr<IFaultTarget> found;
  if (object != nullptr) object->QueryInterface(IFaultTarget::Iid, found.PutVoid());
  return found;
}

}  // namespace

extern "C" {

CL_API HRESULT CLGetNamedInstance(const wchar_t* name, uint64_t reserved, const GUID& iid, void** out) {
  if (reserved != 0) return E_INVALIDARG;
  return NamedInstances().Get(name, iid, out);
}

CL_API HRESULT CLRegisterNamedInstance(const wchar_t* name, IComponentObject* instance) {
  return NamedInstances().Register(name, instance);
}

CL_API HRESULT CLRevokeNamedInstance(const wchar_t* name) { return NamedInstances().Revoke(name); }

CL_API HRESULT CLRevokeAllNamedInstances() {
  NamedInstances().RevokeAll();
  return S_OK;
}

CL_API uint32_t CLGetLiveObjectCount() { return LiveObjects::Count(); }

CL_API HRESULT CLCreateConfigServer(const wchar_t* storeFile, uint32_t flags, IDXConfigServer** server) {
  if (server == nullptr) return E_POINTER;
  *server = nullptr;
  if ((flags & ~(CL_CONFIG_SERVER_SAVE_ON_CHANGE | CL_CONFIG_SERVER_REQUIRE_FILE)) != 0) return E_INVALIDARG;
  return Guarded([&] {
    auto core = std::make_shared<ConfigServerCore>(storeFile != nullptr ? storeFile : L"", flags);
    *server = new ConfigServer(std::move(core));
    return S_OK;
  });
}

CL_API HRESULT CLConfigServerSaveTo(IComponentObject* server, const wchar_t* path) {
  const auto ours = Implementation<ConfigServer>(server);
  return ours ? ours->Core().SaveTo(path) : E_INVALIDARG;
}

CL_API HRESULT CLConfigServerSetModificationReport(IComponentObject* server, CLModificationReport report,
                                                   void* context) {
  const auto ours = Implementation<ConfigServer>(server);
  return ours ? ours->Core().SetReport(report, context) : E_INVALIDARG;
}

CL_API HRESULT CLConfigServerWaitIdle(IComponentObject* server, uint32_t timeoutMs) {
  const auto ours = Implementation<ConfigServer>(server);
  return ours ? ours->Core().WaitIdle(timeoutMs) : E_INVALIDARG;
}

CL_API HRESULT CLConfigServerGetSubscriptionCount(IComponentObject* server, uint32_t* count) {
  if (count == nullptr) return E_POINTER;
  const auto ours = Implementation<ConfigServer>(server);
  if (!ours) return E_INVALIDARG;
  *count = ours->Core().SubscriptionCount();
  return S_OK;
}

CL_API HRESULT CLCreateServiceClient(IDXServiceClient** client) {
  if (client == nullptr) return E_POINTER;
  *client = nullptr;
  return Guarded([&] {
    *client = new ServiceClient();
    return S_OK;
  });
}

CL_API HRESULT CLServiceClientRegisterService(IComponentObject* client, const wchar_t* name,
                                              IComponentObject* service) {
  const auto ours = Implementation<ServiceClient>(client);
  return ours ? ours->Services().Register(name, service) : E_INVALIDARG;
}

CL_API HRESULT CLServiceClientRevokeService(IComponentObject* client, const wchar_t* name) {
  const auto ours = Implementation<ServiceClient>(client);
  return ours ? ours->Services().Revoke(name) : E_INVALIDARG;
}

CL_API HRESULT CLCreateUsageStatisticsService(IDXRequestProcessor** service) {
  if (service == nullptr) return E_POINTER;
  *service = nullptr;
  return Guarded([&] {
    *service = new UsageStatisticsService();
    return S_OK;
  });
}

CL_API HRESULT CLUsageStatisticsGetFrameCount(IComponentObject* service, uint32_t* count) {
  if (count == nullptr) return E_POINTER;
  const auto ours = Implementation<UsageStatisticsService>(service);
  if (!ours) return E_INVALIDARG;
  *count = ours->FrameCount();
  return S_OK;
}

CL_API HRESULT CLUsageStatisticsGetFrame(IComponentObject* service, uint32_t index, IDXNode** frame) {
  const auto ours = Implementation<UsageStatisticsService>(service);
  return ours ? ours->GetFrame(index, frame) : E_INVALIDARG;
}

CL_API HRESULT CLUsageStatisticsClearFrames(IComponentObject* service) {
  const auto ours = Implementation<UsageStatisticsService>(service);
  if (!ours) return E_INVALIDARG;
  ours->ClearFrames();
  return S_OK;
}

CL_API HRESULT CLUsageStatisticsWaitForFrames(IComponentObject* service, uint32_t count, uint32_t timeoutMs) {
  const auto ours = Implementation<UsageStatisticsService>(service);
  return ours ? ours->WaitForFrames(count, timeoutMs) : E_INVALIDARG;
}

CL_API HRESULT CLUsageStatisticsAppendToFile(IComponentObject* service, const wchar_t* path, uint32_t* appended) {
  const auto ours = Implementation<UsageStatisticsService>(service);
  if (!ours) return E_INVALIDARG;
  if (path == nullptr) return E_INVALIDARG;
  return ours->AppendToFile(path, appended);
}

CL_API HRESULT CLSetFault(IComponentObject* target, CLOperation operation, const CLFault* fault) {
  const auto ours = FaultTarget(target);
  return ours ? ours->Faults().Set(operation, fault) : E_INVALIDARG;
}

CL_API HRESULT CLClearFaults(IComponentObject* target) {
  const auto ours = FaultTarget(target);
  if (!ours) return E_INVALIDARG;
  ours->Faults().Clear();
  return S_OK;
}

CL_API HRESULT CLGetCallCount(IComponentObject* target, CLOperation operation, uint32_t* count) {
  const auto ours = FaultTarget(target);
  return ours ? ours->Faults().CallCount(operation, count) : E_INVALIDARG;
}

}  // extern "C"

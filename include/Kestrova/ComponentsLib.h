// ComponentsLib.dll: the host library that component modules load beside
// them. It hands out named instances (CLGetNamedInstance) and carries the
// reference host services: a configuration server, a service client and a
// usage-statistics service, with fault injection for tests.
//
// Results are HRESULTs. Interface pointers returned through out parameters
// carry one reference for the caller; node handles passed in stay the
// caller's. Every function may be called from any thread.
#pragma once

#include <Kestrova/HostServices.h>

#include <cstdint>

#if defined(COMPONENTSLIB_BUILDING_DLL)
#define CL_API __declspec(dllexport)
#else
#define CL_API __declspec(dllimport)
#endif

// Result codes of the library besides the usual E_POINTER / E_INVALIDARG.
#define CL_E_NOT_FOUND ((HRESULT)0x80070490L)          // no such name, node or frame
#define CL_E_ALREADY_EXISTS ((HRESULT)0x800700B7L)     // a name that is already registered
#define CL_E_INVALID_DATA ((HRESULT)0x8007000DL)       // a request node of the wrong shape
#define CL_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)  // more results than capacity; count holds the need
#define CL_E_TIMEOUT ((HRESULT)0x800705B4L)            // a wait ran out of time
#define CL_E_SHUT_DOWN ((HRESULT)0x8007045BL)          // the owning server no longer exists

extern "C" {

// ---- Named instances ------------------------------------------------------

// The instance registered under name (exact, case-sensitive), asked for iid.
// reserved must be 0. Unknown name: CL_E_NOT_FOUND.
CL_API HRESULT CLGetNamedInstance(const wchar_t* name, uint64_t reserved, const GUID& iid, void** out);
using PFN_CLGetNamedInstance = HRESULT (*)(const wchar_t* name, uint64_t reserved, const GUID& iid, void** out);

// Registers instance under name and keeps a reference to it. A name that is
// already registered: CL_E_ALREADY_EXISTS.
CL_API HRESULT CLRegisterNamedInstance(const wchar_t* name, IComponentObject* instance);
// Drops the registration and its reference. Unknown name: CL_E_NOT_FOUND.
CL_API HRESULT CLRevokeNamedInstance(const wchar_t* name);
// Drops every registration.
CL_API HRESULT CLRevokeAllNamedInstances();

// Objects of this library alive now (all kinds). 0 means it may be unloaded.
CL_API uint32_t CLGetLiveObjectCount();

// ---- Reference configuration server ---------------------------------------

// flags of CLCreateConfigServer.
#define CL_CONFIG_SERVER_SAVE_ON_CHANGE 0x1u  // save the store file after every applied change
#define CL_CONFIG_SERVER_REQUIRE_FILE 0x2u    // a missing store file fails creation

// A new server. storeFile (may be null) is a node text file: loaded when it
// exists, and where Flush and CL_CONFIG_SERVER_SAVE_ON_CHANGE save. The
// server answers IDXConfigServer, IDXConfigServerComponent,
// IDXConfigServerProxy and IDXConfigSubscriptionProxy, so a host can
// register it as "ConfigServer.Proxy" as it is.
CL_API HRESULT CLCreateConfigServer(const wchar_t* storeFile, uint32_t flags, IDXConfigServer** server);

// Saves the whole store to path (null: the server's own store file).
CL_API HRESULT CLConfigServerSaveTo(IComponentObject* server, const wchar_t* path);

// One applied modification, as reported to the host.
struct CLConfigModification {
  const wchar_t* path;            // full backslash path of the node
  uint64_t changesMask;           // Kestrova::ConfigChanges bits
  IDXNode* content;               // the node's new content (no children); null for removals
  IComponentObject* writerContext;  // the context the writer passed; may be null
};
// Called on the server's notification thread, once per applied write or
// delete call, with its modifications in order. Pointers are valid during
// the call only.
using CLModificationReport = void (*)(void* context, const CLConfigModification* modifications, uint32_t count);

// Sets (or with a null report, clears) the host's modification report.
// Once it returns, the previous report is not called again.
CL_API HRESULT CLConfigServerSetModificationReport(IComponentObject* server, CLModificationReport report,
                                                   void* context);

// Waits until every notification queued so far has been delivered.
CL_API HRESULT CLConfigServerWaitIdle(IComponentObject* server, uint32_t timeoutMs);

// Registered subscriptions (active or not).
CL_API HRESULT CLConfigServerGetSubscriptionCount(IComponentObject* server, uint32_t* count);

// ---- Service client and usage-statistics service --------------------------

CL_API HRESULT CLCreateServiceClient(IDXServiceClient** client);
// Registers service under name in the client (CL_E_ALREADY_EXISTS when taken).
CL_API HRESULT CLServiceClientRegisterService(IComponentObject* client, const wchar_t* name,
                                              IComponentObject* service);
CL_API HRESULT CLServiceClientRevokeService(IComponentObject* client, const wchar_t* name);

// A new usage-statistics service: accepts "StoreRequest" nodes and keeps a
// copy of each received frame, in order of arrival.
CL_API HRESULT CLCreateUsageStatisticsService(IDXRequestProcessor** service);
CL_API HRESULT CLUsageStatisticsGetFrameCount(IComponentObject* service, uint32_t* count);
// A copy of the frame received index-th (from 0); CL_E_NOT_FOUND past the end.
CL_API HRESULT CLUsageStatisticsGetFrame(IComponentObject* service, uint32_t index, IDXNode** frame);
CL_API HRESULT CLUsageStatisticsClearFrames(IComponentObject* service);
// Waits until at least count frames have been received.
CL_API HRESULT CLUsageStatisticsWaitForFrames(IComponentObject* service, uint32_t count, uint32_t timeoutMs);
// Appends the frames received since the previous append (or the last clear)
// to the node text file at path, keeping the nodes already in it.
// appended (may be null) receives how many were added.
CL_API HRESULT CLUsageStatisticsAppendToFile(IComponentObject* service, const wchar_t* path, uint32_t* appended);

// ---- Fault injection ------------------------------------------------------

// Operations that can be made to fail or wait.
enum CLOperation : uint32_t {
  CLOp_ConfigRead = 1,              // IDXConfigServer::ReadNodes
  CLOp_ConfigWrite = 2,             // IDXConfigServer::WriteNodes
  CLOp_ConfigDelete = 3,            // IDXConfigServer::DeleteNodes
  CLOp_ConfigFlush = 4,             // IDXConfigServer::Flush
  CLOp_ConfigGetInterface = 5,      // IDXConfigServerComponent::GetConfigServerInterface
  CLOp_ConfigGetComponent = 6,      // IDXConfigServerProxy::GetConfigServerComponent
  CLOp_ConfigSubscribe = 7,         // IDXConfigSubscriptionProxy::Subscribe
  CLOp_ConfigRemoveSubscription = 8,  // IDXConfigSubscriptionProxy::RemoveSubscription
  CLOp_SubscriptionActivate = 9,    // IDXModifySubscription::Activate of the server's subscriptions
  CLOp_SubscriptionGetId = 10,      // IDXModifySubscription::GetId of the server's subscriptions
  CLOp_ServiceGetService = 11,      // IDXServiceClient::GetService
  CLOp_ServiceProcessRequest = 12,  // IDXRequestProcessor::ProcessRequest of the usage-statistics service
};

enum CLFaultMode : uint32_t {
  CLFault_Off = 0,         // calls proceed
  CLFault_Always = 1,      // every call fires
  CLFault_NextCalls = 2,   // the next count calls fire, then the fault is off
  CLFault_AfterCalls = 3,  // count calls proceed, every later call fires
};

// A firing call waits delayMs, then fails with result, or proceeds normally
// when result is a success code (a pure delay).
struct CLFault {
  CLFaultMode mode;
  uint32_t count;
  HRESULT result;
  uint32_t delayMs;
};

// target: a configuration server (config and subscription operations), a
// service client or a usage-statistics service of this library. A null
// fault switches the operation's fault off.
CL_API HRESULT CLSetFault(IComponentObject* target, CLOperation operation, const CLFault* fault);
CL_API HRESULT CLClearFaults(IComponentObject* target);
// Calls of the operation on target so far (fired or not).
CL_API HRESULT CLGetCallCount(IComponentObject* target, CLOperation operation, uint32_t* count);

}  // extern "C"

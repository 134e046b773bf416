// The host services a component module reaches through ComponentsLib: the
// service client, request processors, the configuration server with its
// subscriptions, and the callback the server notifies.
//
// Every interface begins with the three root slots of IComponentObject
// (0 AddRef, 1 Release, 2 QueryInterface); the members below follow in slot
// order from slot 3 on. Conventions shared by all of them:
// - node handles passed in stay the caller's; node handles and interface
//   pointers returned through out parameters belong to the caller (one
//   handle to close, one reference to release);
// - out parameters are written only on success, except where a member says
//   it nulls them first.
#pragma once

#include <Kestrova/ComponentInterfaces.h>

#include <cstdint>

struct IDXNode;

namespace Kestrova::Ids {
// {C2B9C593-BF5E-42F8-8129-2BFD7D900E53}
inline constexpr GUID DXServiceClient{0xC2B9C593, 0xBF5E, 0x42F8, {0x81, 0x29, 0x2B, 0xFD, 0x7D, 0x90, 0x0E, 0x53}};
// {A3A15500-301B-4D78-B415-14E2A67399F3}
inline constexpr GUID DXRequestProcessor{0xA3A15500, 0x301B, 0x4D78, {0xB4, 0x15, 0x14, 0xE2, 0xA6, 0x73, 0x99, 0xF3}};
// {A85AE290-89EE-46E0-9395-3AAB22F29105}
inline constexpr GUID DXConfigServerProxy{0xA85AE290, 0x89EE, 0x46E0, {0x93, 0x95, 0x3A, 0xAB, 0x22, 0xF2, 0x91, 0x05}};
// {5C80C5CD-001B-418A-BDED-791477450FEF}
inline constexpr GUID DXConfigServerComponent{0x5C80C5CD, 0x001B, 0x418A, {0xBD, 0xED, 0x79, 0x14, 0x77, 0x45, 0x0F, 0xEF}};
// {8EF91B5E-1B76-4811-8A4F-DFA0328AD473}
inline constexpr GUID DXConfigServer{0x8EF91B5E, 0x1B76, 0x4811, {0x8A, 0x4F, 0xDF, 0xA0, 0x32, 0x8A, 0xD4, 0x73}};
// {B3BE9604-1352-4DAB-B413-D37764C0CE97}
inline constexpr GUID DXConfigSubscriptionProxy{0xB3BE9604, 0x1352, 0x4DAB, {0xB4, 0x13, 0xD3, 0x77, 0x64, 0xC0, 0xCE, 0x97}};
// {74833D32-5C10-4AF2-A5B0-A20DBCA5247E}
inline constexpr GUID DXModifySubscription{0x74833D32, 0x5C10, 0x4AF2, {0xA5, 0xB0, 0xA2, 0x0D, 0xBC, 0xA5, 0x24, 0x7E}};
// {9AC89845-4E5B-41E1-B197-5FE696484441}
inline constexpr GUID DXNodeModifyEnum{0x9AC89845, 0x4E5B, 0x41E1, {0xB1, 0x97, 0x5F, 0xE6, 0x96, 0x48, 0x44, 0x41}};
// {458BCD82-CB05-4F2C-981C-2868EF1E4C08}
inline constexpr GUID DXNodeEnum{0x458BCD82, 0xCB05, 0x4F2C, {0x98, 0x1C, 0x28, 0x68, 0xEF, 0x1E, 0x4C, 0x08}};
}  // namespace Kestrova::Ids

inline constexpr const GUID& IID_IDXServiceClient = Kestrova::Ids::DXServiceClient;
inline constexpr const GUID& IID_IDXRequestProcessor = Kestrova::Ids::DXRequestProcessor;
inline constexpr const GUID& IID_IDXConfigServerProxy = Kestrova::Ids::DXConfigServerProxy;
inline constexpr const GUID& IID_IDXConfigServerComponent = Kestrova::Ids::DXConfigServerComponent;
inline constexpr const GUID& IID_IDXConfigServer = Kestrova::Ids::DXConfigServer;
inline constexpr const GUID& IID_IDXConfigSubscriptionProxy = Kestrova::Ids::DXConfigSubscriptionProxy;
inline constexpr const GUID& IID_IDXModifySubscription = Kestrova::Ids::DXModifySubscription;
inline constexpr const GUID& IID_IDXNodeModifyEnum = Kestrova::Ids::DXNodeModifyEnum;
inline constexpr const GUID& IID_IDXNodeEnum = Kestrova::Ids::DXNodeEnum;

// Named instances and services the module asks for.
namespace Kestrova::HostNames {
inline constexpr const wchar_t* ServiceClient = L"Core.ServiceClient";
inline constexpr const wchar_t* ConfigServerProxy = L"ConfigServer.Proxy";
inline constexpr const wchar_t* UsageStatisticsService = L"Service.UsageStatistics";
}  // namespace Kestrova::HostNames

// Change kinds: the bits of "ChangesMask" in subscription settings and in
// modification records.
namespace Kestrova::ConfigChanges {
inline constexpr uint64_t Removed = 1;
inline constexpr uint64_t Added = 2;
inline constexpr uint64_t Modified = 4;
inline constexpr uint64_t All = Removed | Added | Modified;
}  // namespace Kestrova::ConfigChanges

// Bits of "SubscribeOptions" in subscription settings.
namespace Kestrova::SubscribeOptions {
// Activation delivers the subscribed node's current content at once.
inline constexpr uint64_t SendCurrentContent = 1;
// Modification records carry the modified node's new content as child 0.
inline constexpr uint64_t IncludeContent = 2;
inline constexpr uint64_t All = SendCurrentContent | IncludeContent;
}  // namespace Kestrova::SubscribeOptions

// The host's service client, the instance named "Core.ServiceClient".
struct IDXServiceClient : IComponentObject {
  static constexpr const GUID& Iid = IID_IDXServiceClient;

  // Slot 3. The service registered under name, asked for iid; reserved is 0.
  virtual HRESULT GetService(const wchar_t* name, uint64_t reserved, const GUID& iid, void** out) = 0;

 protected:
  ~IDXServiceClient() = default;
};

// A service that answers request nodes.
struct IDXRequestProcessor : IComponentObject {
  static constexpr const GUID& Iid = IID_IDXRequestProcessor;

  // Slot 3. result may be null; otherwise *result is nulled first and, on
  // success, may receive a result node.
  virtual HRESULT ProcessRequest(IDXNode* request, IDXNode** result) = 0;

 protected:
  ~IDXRequestProcessor() = default;
};

// The configuration server as a component: hands out its interfaces.
struct IDXConfigServerComponent : IComponentObject {
  static constexpr const GUID& Iid = IID_IDXConfigServerComponent;

  // Slot 3. The server's interface iid (IID_IDXConfigServer), with a reference.
  virtual HRESULT GetConfigServerInterface(const GUID& iid, void** out) = 0;

 protected:
  ~IDXConfigServerComponent() = default;
};

// The configuration store's read and write operations. Slot 3 is the
// component's own, so a server interface also serves as its component.
//
// Written nodes are named by their full backslash path ("\A\B"); filters are
// "FilterByPath" nodes with "NodePath" (text), "IsParent" (boolean) and
// "MaxDepth" (64-bit integer). context is an optional object of the writer,
// passed on to the host's modification report; flags are reserved (0).
struct IDXConfigServer : IDXConfigServerComponent {
  static constexpr const GUID& Iid = IID_IDXConfigServer;

  // Slot 4. Removes the nodes the filters name (with "IsParent" true: their
  // children). Absent nodes are skipped.
  virtual HRESULT DeleteNodes(IComponentObject* context, uint32_t flags, IDXNode* const* filters, uint32_t count) = 0;
  // Slot 5. Merges the nodes into the store.
  virtual HRESULT WriteNodes(IComponentObject* context, uint32_t flags, IDXNode* const* nodes, uint32_t count) = 0;
  // Slot 6. Saves the store to its node text file, if it has one.
  virtual HRESULT Flush(uint32_t flags) = 0;
  // Slot 7. Parentless copies of what the filter selects, at most capacity of
  // them; *count 0 when nothing matches.
  virtual HRESULT ReadNodes(IDXNode* filter, uint32_t flags, IDXNode** nodes, uint32_t capacity, uint32_t* count) = 0;

 protected:
  ~IDXConfigServer() = default;
};

// The "ConfigServer.Proxy" instance's way to the server component.
struct IDXConfigServerProxy : IComponentObject {
  static constexpr const GUID& Iid = IID_IDXConfigServerProxy;

  // Slot 3.
  virtual HRESULT GetConfigServerComponent(IDXConfigServerComponent** out) = 0;

 protected:
  ~IDXConfigServerProxy() = default;
};

struct IDXModifySubscription;
struct IDXNodeModifyEnum;

// Implemented by whoever subscribes; called by the server on its own thread.
struct IConfigModifyCallback : IComponentObject {
  static constexpr const GUID& Iid = IID_IConfigModifyCallback;

  // Slot 3. currentContent non-zero: exactly one record with the subscribed
  // node's current content. The arguments stay valid during the call only
  // unless the callee adds its own references.
  virtual HRESULT OnTriggered(IDXModifySubscription* subscription, int currentContent,
                              IDXNodeModifyEnum* modifications) = 0;

 protected:
  ~IConfigModifyCallback() = default;
};

// One registration made through the subscription proxy.
struct IDXModifySubscription : IComponentObject {
  static constexpr const GUID& Iid = IID_IDXModifySubscription;

  // Slot 3. Starts delivery (and, when asked for, the current content).
  virtual HRESULT Activate() = 0;
  // Slot 4. Pauses delivery; modifications made meanwhile are not kept.
  virtual HRESULT Deactivate() = 0;
  // Slot 5.
  virtual HRESULT GetId(GUID* id) = 0;

 protected:
  ~IDXModifySubscription() = default;
};

// The subscription side of "ConfigServer.Proxy".
struct IDXConfigSubscriptionProxy : IComponentObject {
  static constexpr const GUID& Iid = IID_IDXConfigSubscriptionProxy;

  // Slot 3. filter: a "FilterByPath" node; settings: a "SubscribeConfig"
  // node with "ChangesMask" and "SubscribeOptions" (64-bit integers).
  // Delivery starts with IDXModifySubscription::Activate.
  virtual HRESULT Subscribe(IDXNode* filter, IDXNode* settings, IConfigModifyCallback* callback,
                            IDXModifySubscription** subscription) = 0;
  // Slot 4. Once it returns, the callback is not called for it again.
  virtual HRESULT RemoveSubscription(IDXModifySubscription* subscription) = 0;

 protected:
  ~IDXConfigSubscriptionProxy() = default;
};

struct IDXNodeEnum;

// The records of one notification.
struct IDXNodeModifyEnum : IComponentObject {
  static constexpr const GUID& Iid = IID_IDXNodeModifyEnum;

  // Slot 3. A new enumerator over the records, at their start.
  virtual HRESULT GetNodeEnumerator(IDXNodeEnum** enumerator) = 0;

 protected:
  ~IDXNodeModifyEnum() = default;
};

// A cursor over nodes.
struct IDXNodeEnum : IComponentObject {
  static constexpr const GUID& Iid = IID_IDXNodeEnum;

  // Slot 3. Back to the first node.
  virtual HRESULT Restart() = 0;
  // Slot 4. S_OK with the next node, S_FALSE (and a null node) past the end.
  virtual HRESULT Next(IDXNode** node) = 0;

 protected:
  ~IDXNodeEnum() = default;
};

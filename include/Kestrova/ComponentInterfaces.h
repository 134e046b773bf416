// Component interfaces and ids of the Kestrova module, as a host sees them.
//
// Every interface starts with the three root slots in this order:
// 0 AddRef, 1 Release, 2 QueryInterface. Note that AddRef comes first.
#pragma once

#include <windows.h>

#include <cstdint>

struct IDXNode;

namespace Kestrova::Ids {
// {51C3FBA2-85FE-436B-A0FF-1C61A5C0C585}
inline constexpr GUID ComponentObject{0x51C3FBA2, 0x85FE, 0x436B, {0xA0, 0xFF, 0x1C, 0x61, 0xA5, 0xC0, 0xC5, 0x85}};
// {989524A9-625D-48C8-AB03-7C084EB5265D}
inline constexpr GUID ComponentsModule{0x989524A9, 0x625D, 0x48C8, {0xAB, 0x03, 0x7C, 0x08, 0x4E, 0xB5, 0x26, 0x5D}};
// {D124A97F-403D-4881-A42D-4DA3E053A8BB}
inline constexpr GUID ConfigSnapshotsMaintainer{0xD124A97F, 0x403D, 0x4881, {0xA4, 0x2D, 0x4D, 0xA3, 0xE0, 0x53, 0xA8, 0xBB}};
// {602CBEB3-1C21-40CE-91D9-85B8D927F66E}
inline constexpr GUID UsageActivityItemsResolverClass{0x602CBEB3, 0x1C21, 0x40CE, {0x91, 0xD9, 0x85, 0xB8, 0xD9, 0x27, 0xF6, 0x6E}};
// {9FD0681A-A35D-48EF-A226-DE3846E19D38}
inline constexpr GUID ConfigurableComponent{0x9FD0681A, 0xA35D, 0x48EF, {0xA2, 0x26, 0xDE, 0x38, 0x46, 0xE1, 0x9D, 0x38}};
// {45622F80-2F68-4571-BCBC-70651601771B}
inline constexpr GUID ShutdownableComponent{0x45622F80, 0x2F68, 0x4571, {0xBC, 0xBC, 0x70, 0x65, 0x16, 0x01, 0x77, 0x1B}};
// {2F6B388B-7443-41AD-AFA8-4782D6179CD9}
inline constexpr GUID UsageActivityProcessor{0x2F6B388B, 0x7443, 0x41AD, {0xAF, 0xA8, 0x47, 0x82, 0xD6, 0x17, 0x9C, 0xD9}};
// {AC0562A9-80D0-42FB-A587-55AF3826430F}
inline constexpr GUID UsageActivityItemsResolver{0xAC0562A9, 0x80D0, 0x42FB, {0xA5, 0x87, 0x55, 0xAF, 0x38, 0x26, 0x43, 0x0F}};
// {C58F7C8C-47FB-490D-AC0F-A6ED5C96ADC8}
inline constexpr GUID ConfigModifyCallback{0xC58F7C8C, 0x47FB, 0x490D, {0xAC, 0x0F, 0xA6, 0xED, 0x5C, 0x96, 0xAD, 0xC8}};
}  // namespace Kestrova::Ids

inline constexpr const GUID& IID_IComponentObject = Kestrova::Ids::ComponentObject;
inline constexpr const GUID& IID_IComponentsModule = Kestrova::Ids::ComponentsModule;
inline constexpr const GUID& CLSID_ConfigSnapshotsMaintainer = Kestrova::Ids::ConfigSnapshotsMaintainer;
inline constexpr const GUID& CLSID_UsageActivityItemsResolver = Kestrova::Ids::UsageActivityItemsResolverClass;
inline constexpr const GUID& IID_IConfigurableComponent = Kestrova::Ids::ConfigurableComponent;
inline constexpr const GUID& IID_IShutdownableComponent = Kestrova::Ids::ShutdownableComponent;
inline constexpr const GUID& IID_IUsageActivityProcessor = Kestrova::Ids::UsageActivityProcessor;
inline constexpr const GUID& IID_IUsageActivityItemsResolver = Kestrova::Ids::UsageActivityItemsResolver;
inline constexpr const GUID& IID_IConfigModifyCallback = Kestrova::Ids::ConfigModifyCallback;

// Root of every component and host interface. A component's primary
// interface adds its destructor at slot 3; that slot is internal to the
// object that implements it and never called across a module boundary.
struct IComponentObject {
  static constexpr const GUID& Iid = IID_IComponentObject;

  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
  virtual HRESULT QueryInterface(const GUID& iid, void** out) = 0;

 protected:
  ~IComponentObject() = default;
};

// The module object's interface, handed out by GetComponentsModuleObject.
struct IComponentsModule : IComponentObject {
  static constexpr const GUID& Iid = IID_IComponentsModule;

  virtual HRESULT ModuleReserved() = 0;  // returns S_OK; keeps the later slots in place
  virtual HRESULT DumpAliveObjects() = 0;
  virtual uint32_t LockModule() = 0;
  virtual uint32_t UnlockModule() = 0;
  virtual HRESULT IsModuleInUse(uint32_t* inUse) = 0;
  virtual HRESULT CreateInstance(const GUID& clsid, const GUID& iid, void** out) = 0;

 protected:
  ~IComponentsModule() = default;
};

struct IConfigurableComponent : IComponentObject {
  static constexpr const GUID& Iid = IID_IConfigurableComponent;
  virtual HRESULT Configure(IDXNode* settings) = 0;

 protected:
  ~IConfigurableComponent() = default;
};

struct IShutdownableComponent : IComponentObject {
  static constexpr const GUID& Iid = IID_IShutdownableComponent;
  virtual HRESULT Shutdown() = 0;

 protected:
  ~IShutdownableComponent() = default;
};

struct IUsageActivityProcessor : IComponentObject {
  static constexpr const GUID& Iid = IID_IUsageActivityProcessor;
  virtual HRESULT ProcessUsageActivity(IDXNode* notification) = 0;
  virtual HRESULT ProcessorReserved() = 0;  // returns S_OK; keeps the slot order

 protected:
  ~IUsageActivityProcessor() = default;
};

struct IUsageActivityItemsResolver : IComponentObject {
  static constexpr const GUID& Iid = IID_IUsageActivityItemsResolver;
  // The handle stays the caller's.
  virtual HRESULT Initialize(IDXNode* configuration) = 0;
  // The source handle stays the caller's; on success *container is a new
  // node that the caller closes.
  virtual HRESULT ResolveActivityItems(IDXNode* source, IDXNode** container) = 0;

 protected:
  ~IUsageActivityItemsResolver() = default;
};

extern "C" {
// The module's only export. Stores the module interface in *out without
// adding a reference: the module object is not reference counted.
HRESULT GetComponentsModuleObject(void** out);
using PFN_GetComponentsModuleObject = HRESULT (*)(void** out);
}

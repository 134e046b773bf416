// ServiceClient: the reference "Core.ServiceClient"; hands out the services
// the host registered in it by name.
#pragma once

#include "FaultInjector.h"
#include "HostObject.h"
#include "NamedObjectTable.h"

namespace ComponentsLib {

class ServiceClient final : public HostObject<IDXServiceClient, IFaultTarget> {
 public:
  // {D93A5F17-2C6E-4B80-8F14-A7E2C05B9D31}
  static constexpr GUID kImplementationIid{
      0xD93A5F17, 0x2C6E, 0x4B80, {0x8F, 0x14, 0xA7, 0xE2, 0xC0, 0x5B, 0x9D, 0x31}};

  HRESULT GetService(const wchar_t* name, uint64_t reserved, const GUID& iid, void** out) override;
  FaultInjector& Faults() override { return m_faults; }

  NamedObjectTable& Services() noexcept { return m_services; }

 protected:
  void* LookupMore(const GUID& iid) override { return SameGuid(iid, kImplementationIid) ? this : nullptr; }

 private:
  FaultInjector m_faults{CLOp_ServiceGetService};
  NamedObjectTable m_services;
};

}  // namespace ComponentsLib

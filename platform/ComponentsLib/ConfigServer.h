// ConfigServer: the reference configuration server object. One object
// answers all of the server's faces, so a host can register it as
// "ConfigServer.Proxy" as it is; the component it hands out is itself.
#pragma once

#include "ConfigServerCore.h"
#include "FaultInjector.h"
#include "HostObject.h"

#include <memory>

namespace ComponentsLib {

class ConfigServer final
    : public HostObject<IDXConfigServer, IDXConfigServerProxy, IDXConfigSubscriptionProxy, IFaultTarget> {
 public:
  // {0B7E4C2A-93D1-4F68-A5E0-3C9D2B71F846}
  static constexpr GUID kImplementationIid{
      0x0B7E4C2A, 0x93D1, 0x4F68, {0xA5, 0xE0, 0x3C, 0x9D, 0x2B, 0x71, 0xF8, 0x46}};

  explicit ConfigServer(std::shared_ptr<ConfigServerCore> core) : m_core(std::move(core)) {}
  ~ConfigServer() override { m_core->Shutdown(); }

  ConfigServerCore& Core() noexcept { return *m_core; }

  // IDXConfigServerComponent
  HRESULT GetConfigServerInterface(const GUID& iid, void** out) override;
  // IDXConfigServer
  HRESULT DeleteNodes(IComponentObject* context, uint32_t flags, IDXNode* const* filters, uint32_t count) override {
    return m_core->Delete(context, flags, filters, count);
  }
  HRESULT WriteNodes(IComponentObject* context, uint32_t flags, IDXNode* const* nodes, uint32_t count) override {
    return m_core->Write(context, flags, nodes, count);
  }
  HRESULT Flush(uint32_t flags) override { return m_core->Flush(flags); }
  HRESULT ReadNodes(IDXNode* filter, uint32_t flags, IDXNode** nodes, uint32_t capacity, uint32_t* count) override {
    return m_core->Read(filter, flags, nodes, capacity, count);
  }
  // IDXConfigServerProxy
  HRESULT GetConfigServerComponent(IDXConfigServerComponent** out) override;
  // IDXConfigSubscriptionProxy
  HRESULT Subscribe(IDXNode* filter, IDXNode* settings, IConfigModifyCallback* callback,
                    IDXModifySubscription** subscription) override {
    return m_core->Subscribe(filter, settings, callback, subscription);
  }
  HRESULT RemoveSubscription(IDXModifySubscription* subscription) override { return m_core->Remove(subscription); }
  // IFaultTarget
  FaultInjector& Faults() override { return m_core->Faults(); }

 protected:
  void* LookupMore(const GUID& iid) override;

 private:
  const std::shared_ptr<ConfigServerCore> m_core;
};

}  // namespace ComponentsLib

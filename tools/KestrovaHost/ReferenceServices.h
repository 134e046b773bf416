// The host services a service process offers the module, from ComponentsLib:
// the reference configuration server registered as "ConfigServer.Proxy", and
// a service client registered as "Core.ServiceClient" carrying a
// usage-statistics service as "Service.UsageStatistics".
#pragma once

#include "module/CompPtr.h"
#include "node/DXNodePtr.h"

#include <Kestrova/ComponentsLib.h>

#include <string>
#include <vector>

namespace KestrovaHost {

class ReferenceServices {
 public:
  // storeFile: the node text file the server loads (it must exist);
  // storeName names the store in messages. A store the server cannot load
  // raises ToolError with kExitUsage; other failures kExitFailure.
  ReferenceServices(const std::wstring& storeFile, const std::wstring& storeName);
  // Revokes what is still registered and releases the services.
  ~ReferenceServices();
  ReferenceServices(const ReferenceServices&) = delete;
  ReferenceServices& operator=(const ReferenceServices&) = delete;

  IDXConfigServer* ConfigServer() const noexcept { return m_server.Get(); }
  IDXRequestProcessor* UsageStatistics() const noexcept { return m_service.Get(); }

  // Every request of the usage-statistics service fails with E_FAIL.
  void MakeServiceFail();

  // Copies of the frames the service received, in order of arrival.
  std::vector<DXNodePtr> ReceivedFrames() const;
  // Saves the whole store (node text); raises ToolError (kExitFailure).
  void SaveStore(const std::wstring& path) const;
  // Drops the registrations; the module finds the services no more.
  void Revoke() noexcept;

 private:
  CompPtr<IDXConfigServer> m_server;
  CompPtr<IDXServiceClient> m_client;
  CompPtr<IDXRequestProcessor> m_service;
  bool m_serverRegistered = false;
  bool m_clientRegistered = false;
  bool m_serviceRegistered = false;
};

}  // namespace KestrovaHost

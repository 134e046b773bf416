#include "ReferenceServices.h"

#include "FailureText.h"
#include "ToolError.h"

namespace KestrovaHost {

using KestrovaTools::kExitFailure;
using KestrovaTools::ToolError;
namespace FailureText = KestrovaTools::FailureText;
namespace HostNames = Kestrova::HostNames;

namespace {

void Check(HRESULT hr, const wchar_t* call) {
  if (FAILED(hr)) throw ToolError(kExitFailure, std::wstring(call) + L" failed: " + FailureText::Describe(hr));
}

}  // namespace

ReferenceServices::ReferenceServices(const std::wstring& storeFile, const std::wstring& storeName) {
  // No CL_CONFIG_SERVER_SAVE_ON_CHANGE: the run's changes stay in memory.
  if (const HRESULT hr = ::CLCreateConfigServer(storeFile.c_str(), CL_CONFIG_SERVER_REQUIRE_FILE, m_server.Put());
      FAILED(hr)) {
    const bool badStore = hr == CL_E_INVALID_DATA || hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
                          hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) || hr == E_INVALIDARG;
    throw ToolError(badStore ? KestrovaTools::kExitUsage : kExitFailure,
                    L"the configuration server cannot load " + storeName + L": " + FailureText::Describe(hr));
  }
  try {
    Check(::CLCreateServiceClient(m_client.Put()), L"CLCreateServiceClient");
    Check(::CLCreateUsageStatisticsService(m_service.Put()), L"CLCreateUsageStatisticsService");
    Check(::CLRegisterNamedInstance(HostNames::ConfigServerProxy, m_server.Get()), L"CLRegisterNamedInstance");
    m_serverRegistered = true;
    Check(::CLServiceClientRegisterService(m_client.Get(), HostNames::UsageStatisticsService, m_service.Get()),
          L"CLServiceClientRegisterService");
    m_serviceRegistered = true;
    Check(::CLRegisterNamedInstance(HostNames::ServiceClient, m_client.Get()), L"CLRegisterNamedInstance");
    m_clientRegistered = true;
  } catch (...) {
    Revoke();
    throw;
  }
}

ReferenceServices::~ReferenceServices() { Revoke(); }

void ReferenceServices::Revoke() noexcept {
  if (m_clientRegistered) ::CLRevokeNamedInstance(HostNames::ServiceClient);
  if (m_serverRegistered) ::CLRevokeNamedInstance(HostNames::ConfigServerProxy);
  if (m_serviceRegistered) ::CLServiceClientRevokeService(m_client.Get(), HostNames::UsageStatisticsService);
  m_clientRegistered = m_serverRegistered = m_serviceRegistered = false;
}

void ReferenceServices::MakeServiceFail() {
  const CLFault fault{CLFault_Always, 0, E_FAIL, 0};
  Check(::CLSetFault(m_service.Get(), CLOp_ServiceProcessRequest, &fault), L"CLSetFault");
}

std::vector<DXNodePtr> ReferenceServices::ReceivedFrames() const {
  uint32_t count = 0;
  Check(::CLUsageStatisticsGetFrameCount(m_service.Get(), &count), L"CLUsageStatisticsGetFrameCount");
  std::vector<DXNodePtr> frames;
  frames.reserve(count);
  for (uint32_t index = 0; index < count; ++index) {
    DXNodePtr frame;
    Check(::CLUsageStatisticsGetFrame(m_service.Get(), index, frame.Out()), L"CLUsageStatisticsGetFrame");
    frames.push_back(std::move(frame));
  }
  return frames;
}

void ReferenceServices::SaveStore(const std::wstring& path) const {
  if (const HRESULT hr = ::CLConfigServerSaveTo(m_server.Get(), path.c_str()); FAILED(hr)) {
    throw ToolError(kExitFailure, L"cannot save the store to '" + path + L"': " + FailureText::Describe(hr));
  }
}

}  // namespace KestrovaHost

#include "ServiceClient.h"

namespace ComponentsLib {

HRESULT ServiceClient::GetService(const wchar_t* name, uint64_t reserved, const GUID& iid, void** out) {
  if (const HRESULT hr = m_faults.OnCall(CLOp_ServiceGetService); FAILED(hr)) return hr;
  if (reserved != 0) return E_INVALIDARG;
  return m_services.Get(name, iid, out);
}

}  // namespace ComponentsLib

#include "ConfigServer.h"

namespace ComponentsLib {

HRESULT ConfigServer::GetConfigServerInterface(const GUID& iid, void** out) {
  if (const HRESULT hr = m_core->Faults().OnCall(CLOp_ConfigGetInterface); FAILED(hr)) return hr;
  return QueryInterface(iid, out);
}

HRESULT ConfigServer::GetConfigServerComponent(IDXConfigServerComponent** out) {
  if (out == nullptr) return E_POINTER;
  if (const HRESULT hr = m_core->Faults().OnCall(CLOp_ConfigGetComponent); FAILED(hr)) return hr;
  AddRef();
  *out = static_cast<IDXConfigServer*>(this);
  return S_OK;
}

void* ConfigServer::LookupMore(const GUID& iid) {
  if (SameGuid(iid, IID_IDXConfigServerComponent)) {
    return static_cast<IDXConfigServerComponent*>(static_cast<IDXConfigServer*>(this));
  }
  if (SameGuid(iid, kImplementationIid)) return this;
  return nullptr;
}

}  // namespace ComponentsLib

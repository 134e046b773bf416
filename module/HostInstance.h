// Named instances of the component host: the services the module asks
// ComponentsLib for by name ("Core.ServiceClient", "ConfigServer.Proxy").
#pragma once

#include "CompPtr.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <Kestrova/ComponentsLib.h>

// The instance registered under name, asked for iid; a failure raises HRX
// with the host's HRESULT.
template <typename I>
CompPtr<I> GetNamedInstance(const wchar_t* name, const GUID& iid = I::Iid) {
  CompPtr<I> instance;
  HRX hr = CLGetNamedInstance(name, 0, iid, instance.PutVoid());
  return instance;
}

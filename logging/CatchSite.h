// The catch site of a component interface method or a host callback: nothing
// but an HRESULT leaves the module.
#pragma once

#include "LogStatement.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"

// Closes a try block: whatever was thrown (an HRX, out of memory, a system
// error, anything else) becomes an HRESULT through CurrentFailure, is logged
// at ERR as method + " failed: " + the error from this catch site, is
// published as the thread's error object and is returned.
//   try { ...; return S_OK; } KCATCH_RETURN(L"Namespace::CClass::Method")
#define KCATCH_RETURN(method)                               \
  catch (...) {                                             \
    const HRES caughtFailure_ = CurrentFailure();           \
    KLOG_ERR(method << L" failed: " << caughtFailure_);     \
    return PublishErrorInfo(caughtFailure_);                \
  }

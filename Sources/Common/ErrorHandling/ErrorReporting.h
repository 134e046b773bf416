// Hands failure descriptions to callers through the thread's COM error object.
#pragma once

#include "ErrorDescription.h"

#include <string>

// The failure of the exception being handled, inside a catch block of code
// that must not raise: an HRX as it is, out of memory as E_OUTOFMEMORY,
// anything else as E_UNEXPECTED.
HRES CurrentFailure() noexcept;

// For a failure: installs FormatError(DescribeError(result)) as the thread's
// error object under ErrorDescriptionGuid. Returns the code.
HRESULT PublishErrorInfo(const HRES& result);
// Publishes {hr, GetErrorText(hr) + suffix} and returns hr, for an HRX to take back.
HRESULT ReportError(HRESULT hr, const std::wstring& suffix);
// ReportError(hr, " (" + FormatError(cause, flags) + ")").
HRESULT ReportError(HRESULT hr, const HRES& cause, unsigned flags);

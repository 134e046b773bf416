// Hands failure descriptions to callers through the thread's COM error object.
#pragma once

#include "ErrorDescription.h"

#include <string>
#include <system_error>

// The failure of the exception being handled, inside a catch block of code
// that must not raise: an HRX (or HRES) as it is, out of memory as
// E_OUTOFMEMORY, a std::system_error as the HRESULT of its code, anything
// else as E_UNEXPECTED.
HRES CurrentFailure() noexcept;
// The HRESULT of a standard error code: a negative value as it is, a system
// category value as a Win32 error, the common generic (errno) values as their
// counterparts, anything else E_FAIL.
HRESULT HresultFromErrorCode(const std::error_code& code) noexcept;

// For a failure: installs FormatError(DescribeError(result)) as the thread's
// error object under ErrorDescriptionGuid. Returns the code.
HRESULT PublishErrorInfo(const HRES& result);
// Publishes {hr, GetErrorText(hr) + suffix} and returns hr, for an HRX to take back.
HRESULT ReportError(HRESULT hr, const std::wstring& suffix);
// ReportError(hr, " (" + FormatError(cause, flags) + ")").
HRESULT ReportError(HRESULT hr, const HRES& cause, unsigned flags);

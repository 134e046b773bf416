#include "ErrorReporting.h"

#include "ErrorText.h"

#include <oleauto.h>

#include <cerrno>
#include <new>
#include <system_error>

namespace {
// A failing step leaves the thread without an error object.
void InstallErrorObject(const ErrorDescription& description) {
  Microsoft::WRL::ComPtr<ICreateErrorInfo> creator;
  Microsoft::WRL::ComPtr<IErrorInfo> errorObject;
  HRESULT step = ::CreateErrorInfo(&creator);
  if (SUCCEEDED(step)) {
    BSTR text = ::SysAllocString(FormatError(description, 0).c_str());
    step = text != nullptr ? creator->SetDescription(text) : E_OUTOFMEMORY;
    ::SysFreeString(text);
  }
  if (SUCCEEDED(step)) step = creator->SetGUID(ErrorDescriptionGuid);
  if (SUCCEEDED(step)) step = creator.As(&errorObject);
  ::SetErrorInfo(0, SUCCEEDED(step) ? errorObject.Get() : nullptr);
}
}  // namespace

HRESULT PublishErrorInfo(const HRES& result) {
  if (!result.Failed()) return result.Code();
  try {
    InstallErrorObject(DescribeError(result));
  } catch (...) {
    ::SetErrorInfo(0, nullptr);
  }
  return result.Code();
}

HRESULT ReportError(HRESULT hr, const std::wstring& suffix) {
  if (hr >= 0) return hr;
  try {
    InstallErrorObject({hr, GetErrorText(hr) + suffix, std::wstring()});
  } catch (...) {
    ::SetErrorInfo(0, nullptr);
  }
  return hr;
}

HRESULT ReportError(HRESULT hr, const HRES& cause, unsigned flags) {
  std::wstring suffix;
  try {
    suffix = L" (" + FormatError(cause, flags) + L")";
  } catch (...) {
  }
  return ReportError(hr, suffix);
}

HRESULT HresultFromErrorCode(const std::error_code& code) noexcept {
  const int value = code.value();
  if (value < 0) return static_cast<HRESULT>(value);  // already an HRESULT
  if (value == 0) return E_FAIL;                      // a failure all the same
  if (code.category() == std::system_category()) return HrFromWin32(value);
  if (code.category() != std::generic_category()) return E_FAIL;
  switch (value) {
    case ENOMEM:
    case EAGAIN:  // no resources for a thread or a lock
      return E_OUTOFMEMORY;
    case EACCES:
    case EPERM:
      return E_ACCESSDENIED;
    case EINVAL:
      return E_INVALIDARG;
    case EBUSY:
      return HrFromWin32(ERROR_BUSY);
    case EDEADLK:
      return HrFromWin32(ERROR_POSSIBLE_DEADLOCK);
    case ENOENT:
      return HrFromWin32(ERROR_FILE_NOT_FOUND);
    default:
      return E_FAIL;
  }
}

HRES CurrentFailure() noexcept {
  try {
    throw;
  } catch (const HRES& failure) {
    return failure;
  } catch (const std::bad_alloc&) {
    return HRES(E_OUTOFMEMORY);
  } catch (const std::system_error& failure) {
    return HRES(HresultFromErrorCode(failure.code()));
  } catch (...) {
    return HRES(E_UNEXPECTED);
  }
}

#include "ErrorReporting.h"

#include "ErrorText.h"

#include <oleauto.h>

#include <new>

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

HRES CurrentFailure() noexcept {
  try {
    throw;
  } catch (const HRX& failure) {
    return failure;
  } catch (const std::bad_alloc&) {
    return HRES(E_OUTOFMEMORY);
  } catch (...) {
    return HRES(E_UNEXPECTED);
  }
}

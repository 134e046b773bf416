#include "HRES.h"

#include <oleauto.h>

#include <utility>

// The call-site capture counts frames: this file is built without inlining
// across these functions and without sibling calls (see CMakeLists.txt), so
// that every layer below is a real frame.
namespace {
// Frames between RtlCaptureStackBackTrace and the function that set the
// code: CaptureCallSites, the setter (SetCode / SetWin32Result) and the HRES
// constructor or assignment operator.
constexpr ULONG kOwnFrames = 3;
}  // namespace

HRESULT HrFromLastError() noexcept {
  const DWORD error = ::GetLastError();
  return error != 0 ? HrFromWin32(static_cast<LONG>(error)) : E_FAIL;
}

HRES::HRES(HRESULT hr) noexcept { SetCode(hr); }
HRES::HRES(BOOL succeeded) noexcept { SetWin32Result(succeeded != FALSE); }
HRES::HRES(bool succeeded) noexcept { SetWin32Result(succeeded); }
HRES::HRES(HRESULT hr, uint32_t extraSkip) noexcept : m_extraSkip(extraSkip) { SetCode(hr); }
HRES::HRES(bool succeeded, uint32_t extraSkip) noexcept : m_extraSkip(extraSkip) { SetWin32Result(succeeded); }

HRES& HRES::operator=(HRESULT hr) noexcept {
  SetCode(hr);
  return *this;
}

HRES& HRES::operator=(BOOL succeeded) noexcept {
  SetWin32Result(succeeded != FALSE);
  return *this;
}

HRES& HRES::operator=(bool succeeded) noexcept {
  SetWin32Result(succeeded);
  return *this;
}

[[gnu::noinline]] void HRES::SetCode(HRESULT hr) noexcept {
  const uint32_t extraSkip = std::exchange(m_extraSkip, 0);
  m_code = hr;
  m_errorObject.Reset();
  m_callSites = {};
  if (hr >= 0) return;
  CaptureCallSites(extraSkip);
  // Takes the thread's error object over: GetErrorInfo also clears it.
  IErrorInfo* errorObject = nullptr;
  if (::GetErrorInfo(0, &errorObject) == S_OK) m_errorObject.Attach(errorObject);
}

[[gnu::noinline]] void HRES::SetWin32Result(bool succeeded) noexcept {
  const uint32_t extraSkip = std::exchange(m_extraSkip, 0);
  // A FALSE result is a failure even when the platform left no last error.
  m_code = succeeded ? S_OK : HrFromLastError();
  m_errorObject.Reset();
  m_callSites = {};
  if (m_code >= 0) return;
  CaptureCallSites(extraSkip);
}

[[gnu::noinline]] void HRES::CaptureCallSites(uint32_t extraSkip) noexcept {
  void* frames[2] = {};
  const USHORT captured = ::RtlCaptureStackBackTrace(kOwnFrames + extraSkip, 2, frames, nullptr);
  for (USHORT i = 0; i < captured; ++i) m_callSites[i] = frames[i];
}

HRX::HRX(HRESULT hr, uint32_t extraSkip, NoThrow) noexcept : HRES(hr, extraSkip) {}

// Each HRX constructor is one more frame between the setter and HRES.
HRX::HRX(HRESULT hr) : HRES(hr, 1) { ThrowIfFailedValue(); }
HRX::HRX(BOOL succeeded) : HRES(succeeded != FALSE, 1) { ThrowIfFailedValue(); }
HRX::HRX(bool succeeded) : HRES(succeeded, 1) { ThrowIfFailedValue(); }
HRX::HRX(const HRES& result) : HRES(result) { ThrowIfFailedValue(); }

HRX& HRX::operator=(HRESULT hr) {
  SetCode(hr);
  ThrowIfFailedValue();
  return *this;
}

HRX& HRX::operator=(BOOL succeeded) {
  SetWin32Result(succeeded != FALSE);
  ThrowIfFailedValue();
  return *this;
}

HRX& HRX::operator=(bool succeeded) {
  SetWin32Result(succeeded);
  ThrowIfFailedValue();
  return *this;
}

HRX& HRX::operator=(const HRES& result) {
  HRES::operator=(result);
  ThrowIfFailedValue();
  return *this;
}

void HRX::ThrowIfFailedValue() const {
  if (Failed()) throw HRX(*this);
}

void ThrowHr(HRESULT hr) {
  // The private constructor and ThrowHr itself stand between HRES and the caller.
  throw HRX(hr < 0 ? hr : E_FAIL, 2, HRX::NoThrow{});
}

void ThrowIfFailed(const HRES& result) {
  if (result.Failed()) HRX{result};
}

// Result values: HRES carries an HRESULT with the thread's COM error object
// and the call sites that set it; HRX is the exception that throws it.
#pragma once

#include <oaidl.h>
#include <windows.h>
#include <wrl/client.h>

#include <array>
#include <cstdint>

// 0x80070000 | (error & 0xFFFF) for a positive Win32 error; 0 and negative
// values (already HRESULTs) come back unchanged.
constexpr HRESULT HrFromWin32(LONG error) noexcept {
  return error > 0 ? static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu)) : error;
}

// The calling thread's last error as an HRESULT, for a platform call that
// reported failure: E_FAIL (0x80004005) when the last error is 0, so that a
// failure is never taken for success.
HRESULT HrFromLastError() noexcept;

class HRX;
[[noreturn]] void ThrowHr(HRESULT hr);

class HRES {
 public:
  using CallSites = std::array<void*, 2>;

  HRES() noexcept = default;
  HRES(HRESULT hr) noexcept;      // NOLINT(google-explicit-constructor): results convert implicitly
  HRES(BOOL succeeded) noexcept;  // NOLINT: a Win32 BOOL; failure reads GetLastError()
  HRES(bool succeeded) noexcept;  // NOLINT
  // An unsigned literal is neither an HRESULT nor a BOOL: say which.
  HRES(unsigned int) = delete;
  HRES(unsigned long) = delete;

  HRES& operator=(HRESULT hr) noexcept;
  HRES& operator=(BOOL succeeded) noexcept;
  HRES& operator=(bool succeeded) noexcept;

  HRESULT Code() const noexcept { return m_code; }
  bool Failed() const noexcept { return m_code < 0; }
  bool Succeeded() const noexcept { return m_code >= 0; }
  // The error object taken over from the thread when the failure was set; may be null.
  IErrorInfo* ErrorObject() const noexcept { return m_errorObject.Get(); }
  // Return addresses in the function that set the failing code and in its caller.
  const CallSites& Sites() const noexcept { return m_callSites; }

 protected:
  // extraSkip: frames of constructor layers between the setter and this class.
  HRES(HRESULT hr, uint32_t extraSkip) noexcept;
  HRES(bool succeeded, uint32_t extraSkip) noexcept;

  void SetCode(HRESULT hr) noexcept;
  void SetWin32Result(bool succeeded) noexcept;

 private:
  void CaptureCallSites(uint32_t extraSkip) noexcept;

  HRESULT m_code = S_OK;
  Microsoft::WRL::ComPtr<IErrorInfo> m_errorObject;
  CallSites m_callSites{};
  // Frames of the constructor layers now running; used by the first setting
  // of the code only, since later assignments come straight from their caller.
  uint32_t m_extraSkip = 0;
};

// The module's only exception type. Constructing or assigning a failing
// value throws a copy of the object.
class HRX : public HRES {
 public:
  HRX() noexcept = default;
  HRX(const HRX&) noexcept = default;
  HRX& operator=(const HRX&) noexcept = default;

  HRX(HRESULT hr);          // NOLINT: throws when hr fails
  HRX(BOOL succeeded);      // NOLINT
  HRX(bool succeeded);      // NOLINT
  HRX(const HRES& result);  // NOLINT
  HRX(unsigned int) = delete;
  HRX(unsigned long) = delete;

  HRX& operator=(HRESULT hr);
  HRX& operator=(BOOL succeeded);
  HRX& operator=(bool succeeded);
  HRX& operator=(const HRES& result);

 private:
  friend void ThrowHr(HRESULT hr);
  struct NoThrow {};
  HRX(HRESULT hr, uint32_t extraSkip, NoThrow) noexcept;

  void ThrowIfFailedValue() const;
};

// Throws HRX with hr, or with E_FAIL when hr is a success code.
[[noreturn]] void ThrowHr(HRESULT hr);
void ThrowIfFailed(const HRES& result);
// The same for a bare HRESULT, as every store and platform call returns one:
// a success costs one comparison and makes no HRES. Inlined, so that the
// failure's call sites are the caller's, as ThrowHr records them.
[[gnu::always_inline]] inline void ThrowIfFailed(HRESULT hr) {
  if (hr < 0) ThrowHr(hr);
}
// A Win32 BOOL or a bool is no HRESULT: say HRES(result), which reads the
// last error of a FALSE.
void ThrowIfFailed(BOOL) = delete;
void ThrowIfFailed(bool) = delete;

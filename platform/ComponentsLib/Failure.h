// Failures inside the library travel as HrFailure exceptions and stop at
// the interface boundary, where Guarded turns them back into HRESULTs.
#pragma once

#include <windows.h>

#include <new>

namespace ComponentsLib {

struct HrFailure {
  HRESULT code;
};

[[noreturn]] inline void Fail(HRESULT hr) { throw HrFailure{hr}; }

inline void Check(HRESULT hr) {
  if (FAILED(hr)) Fail(hr);
}

inline void CheckWin32(BOOL succeeded) {
  if (!succeeded) {
    const DWORD error = ::GetLastError();
    Fail(error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error));
  }
}

template <typename Action>
HRESULT Guarded(Action&& action) noexcept {
  try {
    return action();
  } catch (const HrFailure& failure) {
    return failure.code;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace ComponentsLib

#include "ImpersonationRevertGuard.h"

#include "InternalReport.h"
#include "Sources/Common/ErrorHandling/HRES.h"

#include <cstdlib>

namespace {
HRESULT LastErrorResult() noexcept { return HrFromWin32(static_cast<LONG>(::GetLastError())); }
}  // namespace

ImpersonationRevertGuard::ImpersonationRevertGuard() noexcept {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token)) {
    if (::GetLastError() != ERROR_NO_TOKEN) {
      ReportInternal(L"ImpersonationRevertGuard: cannot get current thread token (error: 0x%08x)\n",
                     static_cast<unsigned>(LastErrorResult()));
    }
    return;
  }
  if (!::SetThreadToken(nullptr, nullptr)) {
    ReportInternal(L"ImpersonationRevertGuard: cannot revert thread token (error: 0x%08x)\n",
                   static_cast<unsigned>(LastErrorResult()));
    ::CloseHandle(token);
    return;
  }
  m_token = token;
}

ImpersonationRevertGuard::~ImpersonationRevertGuard() {
  if (m_token == nullptr) return;
  if (!::SetThreadToken(nullptr, m_token)) {
    ReportInternal(L"ImpersonationRevertGuard: cannot restore token back (error: 0x%08x)\n",
                   static_cast<unsigned>(LastErrorResult()));
    std::abort();
  }
  ::CloseHandle(m_token);
}

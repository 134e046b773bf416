#include "ImpersonationRevertGuard.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <cwchar>

#include <cstdlib>

namespace {
HRESULT LastErrorResult() noexcept { return HrFromLastError(); }

// To the debugger output, as the log's own reports go: the guard runs inside
// the log's file open, where no log line can be written.
void Report(const wchar_t* what, HRESULT error) noexcept {
  wchar_t text[160];
  std::swprintf(text, 160, L"ImpersonationRevertGuard: %ls (error: 0x%08x)\n", what, static_cast<unsigned>(error));
  ::OutputDebugStringW(text);
}
}  // namespace

ImpersonationRevertGuard::ImpersonationRevertGuard() noexcept {
  HANDLE token = nullptr;
  // As the process first; a token whose list leaves the process out is
  // opened as the thread itself.
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &token) &&
      (::GetLastError() == ERROR_NO_TOKEN ||
       !::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, FALSE, &token))) {
    if (::GetLastError() != ERROR_NO_TOKEN) {
      Report(L"cannot get current thread token", LastErrorResult());
    }
    return;
  }
  if (!::SetThreadToken(nullptr, nullptr)) {
    Report(L"cannot revert thread token", LastErrorResult());
    ::CloseHandle(token);
    return;
  }
  m_token = token;
}

ImpersonationRevertGuard::~ImpersonationRevertGuard() {
  if (m_token == nullptr) return;
  if (!::SetThreadToken(nullptr, m_token)) {
    Report(L"cannot restore token back", LastErrorResult());
    std::abort();
  }
  ::CloseHandle(m_token);
}

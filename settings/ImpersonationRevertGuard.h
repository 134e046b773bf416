// Takes the impersonation token off the calling thread for its lifetime, so
// that files are opened under the process identity; puts it back after.
#pragma once

#include <windows.h>

class ImpersonationRevertGuard {
 public:
  ImpersonationRevertGuard() noexcept;
  // A token that cannot be put back ends the process: the thread would
  // otherwise go on with the wrong identity.
  ~ImpersonationRevertGuard();
  ImpersonationRevertGuard(const ImpersonationRevertGuard&) = delete;
  ImpersonationRevertGuard& operator=(const ImpersonationRevertGuard&) = delete;

  bool Reverted() const noexcept { return m_token != nullptr; }

 private:
  HANDLE m_token = nullptr;
};

// CModuleThread: a thread of the module's own. While it runs it keeps the
// module in use (ModuleUsage) and holds a reference to the module's file, and
// it ends through FreeLibraryAndExitThread: a host that unloads the module as
// soon as IsModuleInUse reads 0 can never unmap code this thread still runs,
// even when the thread was left to finish on its own.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>

class CModuleThread {
 public:
  // Explicit, so that the host EXE's stack reserve does not decide: rules
  // nest up to 64 levels, each a handful of resolution frames of a few
  // hundred bytes, and deep source paths walk 256 elements. 4 MiB of
  // reserved (committed only as used) stack is many times what that needs.
  static constexpr size_t kStackReserve = size_t{4} << 20;

  CModuleThread() noexcept = default;
  // Starts body on a new thread. Raises HRX with the platform's error when
  // the thread cannot be created. Nothing body raises leaves the thread.
  explicit CModuleThread(std::function<void()> body);
  // Joins; on the thread itself (its body destroyed its owner) detaches.
  ~CModuleThread();

  CModuleThread(CModuleThread&& other) noexcept;
  CModuleThread& operator=(CModuleThread&& other) noexcept;
  CModuleThread(const CModuleThread&) = delete;
  CModuleThread& operator=(const CModuleThread&) = delete;

  bool Joinable() const noexcept { return m_handle != nullptr; }
  // True when called on this thread.
  bool IsCurrent() const noexcept { return m_handle != nullptr && m_id == ::GetCurrentThreadId(); }
  // Waits for the thread to end. Not on the thread itself (it detaches then).
  void Join() noexcept;
  // Lets the thread end by itself; it still keeps the module in use until then.
  void Detach() noexcept;

 private:
  HANDLE m_handle = nullptr;
  DWORD m_id = 0;
};

#include "ModuleThread.h"

#include "Sources/Common/Lifetime/ModuleUsage.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <new>
#include <utility>

namespace {

struct ThreadStart {
  std::function<void()> body;
  // The module's own file, referenced for the thread's lifetime; null when
  // this code is linked into an EXE, which is never unloaded.
  HMODULE module = nullptr;
};

DWORD WINAPI ThreadProcedure(void* parameter) noexcept {
  auto* start = static_cast<ThreadStart*>(parameter);
  const HMODULE module = start->module;
  try {
    start->body();
  } catch (...) {
    // The body reports its own failures; none may end the process.
  }
  try {
    delete start;
  } catch (...) {
  }
  ModuleUsage::Unlock();
  // Unmaps the module if this was its last reference: the thread then ends
  // in the platform's code, never returning into the module.
  if (module != nullptr) ::FreeLibraryAndExitThread(module, 0);
  return 0;
}

// A counted reference to the file this code lives in, or null inside an EXE.
HMODULE ReferenceThisModule() {
  HMODULE module = nullptr;
  HRX hr = HRES(::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                     reinterpret_cast<LPCWSTR>(&ThreadProcedure), &module));
  if (module == ::GetModuleHandleW(nullptr)) {
    ::FreeLibrary(module);
    return nullptr;
  }
  return module;
}

}  // namespace

CModuleThread::CModuleThread(std::function<void()> body) {
  auto* start = new (std::nothrow) ThreadStart{std::move(body), nullptr};
  if (start == nullptr) ThrowHr(E_OUTOFMEMORY);
  try {
    start->module = ReferenceThisModule();
  } catch (...) {
    delete start;
    throw;
  }
  ModuleUsage::Lock();
  DWORD id = 0;
  // Suspended until this object knows its handle and id: a body that asks
  // IsCurrent (or destroys its owner) at once must find them set.
  const HANDLE handle = ::CreateThread(nullptr, kStackReserve, &ThreadProcedure, start,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION | CREATE_SUSPENDED, &id);
  if (handle == nullptr) {
    const HRES failure(FALSE);
    ModuleUsage::Unlock();
    if (start->module != nullptr) ::FreeLibrary(start->module);
    delete start;
    // A FALSE result with no last error is still a failure.
    ThrowHr(failure.Failed() ? failure.Code() : E_FAIL);
  }
  m_handle = handle;
  m_id = id;
  ::ResumeThread(handle);
}

CModuleThread::~CModuleThread() {
  if (IsCurrent()) {
    Detach();
  } else {
    Join();
  }
}

CModuleThread::CModuleThread(CModuleThread&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_id(std::exchange(other.m_id, 0)) {}

CModuleThread& CModuleThread::operator=(CModuleThread&& other) noexcept {
  if (this != &other) {
    if (IsCurrent()) {
      Detach();
    } else {
      Join();
    }
    m_handle = std::exchange(other.m_handle, nullptr);
    m_id = std::exchange(other.m_id, 0);
  }
  return *this;
}

void CModuleThread::Join() noexcept {
  if (m_handle == nullptr) return;
  if (IsCurrent()) {
    Detach();
    return;
  }
  ::WaitForSingleObject(m_handle, INFINITE);
  Detach();
}

void CModuleThread::Detach() noexcept {
  if (m_handle == nullptr) return;
  ::CloseHandle(m_handle);
  m_handle = nullptr;
  m_id = 0;
}

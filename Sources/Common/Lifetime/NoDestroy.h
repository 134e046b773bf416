// NoDestroy<T>: a process-wide object that is built on first use and never
// destroyed. The C runtime runs a DLL's static destructors at process exit,
// after the other threads were killed and with the loader lock held: a
// destructor that takes a lock a killed thread held never returns, and a
// host that calls in late (from its own detach) would find freed objects.
// A NoDestroy is trivially destructible, so nothing is registered to run
// then; what must be undone at an unload is undone explicitly, from DllMain.
#pragma once

#include <new>
#include <utility>

template <typename T>
class NoDestroy {
 public:
  template <typename... Args>
  explicit NoDestroy(Args&&... args) {
    ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
  }
  NoDestroy(const NoDestroy&) = delete;
  NoDestroy& operator=(const NoDestroy&) = delete;

  T& Get() noexcept { return *std::launder(reinterpret_cast<T*>(m_storage)); }
  const T& Get() const noexcept { return *std::launder(reinterpret_cast<const T*>(m_storage)); }

 private:
  alignas(T) unsigned char m_storage[sizeof(T)];
};

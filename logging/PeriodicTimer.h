// PeriodicTimer: a thread-pool timer that runs a callback every period until
// it is destroyed. The destructor stops the timer and waits for a callback in
// progress, so the callback may use its owner until then.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

class PeriodicTimer {
 public:
  using Callback = void (*)(void* context) noexcept;

  PeriodicTimer() = default;
  ~PeriodicTimer() { Stop(); }
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // Starts the timer: first run after one period. False when the platform
  // cannot create it (the caller then has no timer, and must not rely on one).
  bool Start(uint32_t periodMs, Callback callback, void* context) noexcept;
  // Safe to ask from any thread; Start and Stop are for one thread at a time.
  bool IsRunning() const noexcept { return m_timer.load(std::memory_order_acquire) != nullptr; }
  void Stop() noexcept;

 private:
  static void CALLBACK OnTimer(PTP_CALLBACK_INSTANCE instance, void* self, PTP_TIMER timer) noexcept;

  std::atomic<PTP_TIMER> m_timer{nullptr};
  Callback m_callback = nullptr;
  void* m_context = nullptr;
};

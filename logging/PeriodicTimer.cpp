#include "PeriodicTimer.h"

bool PeriodicTimer::Start(uint32_t periodMs, Callback callback, void* context) noexcept {
  Stop();
  m_callback = callback;
  m_context = context;
  PTP_TIMER timer = ::CreateThreadpoolTimer(&PeriodicTimer::OnTimer, this, nullptr);
  if (timer == nullptr) return false;
  // A negative due time is relative, in 100-ns units.
  const LONGLONG due = -static_cast<LONGLONG>(periodMs) * 10000;
  FILETIME dueTime{static_cast<DWORD>(due), static_cast<DWORD>(static_cast<ULONGLONG>(due) >> 32)};
  // A small window lets the platform batch the wake-up with others.
  ::SetThreadpoolTimer(timer, &dueTime, periodMs, periodMs / 10);
  m_timer.store(timer, std::memory_order_release);
  return true;
}

void PeriodicTimer::Stop() noexcept {
  PTP_TIMER timer = m_timer.exchange(nullptr, std::memory_order_acq_rel);
  if (timer == nullptr) return;
  ::SetThreadpoolTimer(timer, nullptr, 0, 0);
  // Also at the module's unload, under the loader lock: safe because the
  // callbacks (the log manager's) only store atomics and take no lock.
  ::WaitForThreadpoolTimerCallbacks(timer, TRUE);
  ::CloseThreadpoolTimer(timer);
}

void CALLBACK PeriodicTimer::OnTimer(PTP_CALLBACK_INSTANCE, void* self, PTP_TIMER) noexcept {
  auto* timer = static_cast<PeriodicTimer*>(self);
  timer->m_callback(timer->m_context);
}

// CAsyncAction: runs an action on a thread of its own, once after an initial
// delay and then each time the period has passed since the end of the
// previous run, until stopped. A period of 0 means no further runs.
#pragma once

#include "ModuleThread.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/FunctionTracer.h"
#include "logging/LogStatement.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace AsyncActionDetail {

using Clock = std::chrono::steady_clock;
using Nanoseconds = std::chrono::nanoseconds;

// A caller's duration in nanoseconds: negative counts as 0, and a value past
// the 64-bit range (a period of millions of hours) saturates instead of
// wrapping round to a short or negative one.
template <class Rep, class Period>
Nanoseconds ToNanoseconds(std::chrono::duration<Rep, Period> value) noexcept {
  if (value <= std::chrono::duration<Rep, Period>::zero()) return Nanoseconds::zero();
  const std::chrono::duration<long double, std::nano> exact = value;
  if (exact.count() >= static_cast<long double>(Nanoseconds::max().count())) return Nanoseconds::max();
  return std::chrono::duration_cast<Nanoseconds>(value);
}

// from + span, or nothing when that lies beyond the clock's range (then the
// wait has no time limit).
inline std::optional<Clock::time_point> DeadlineAfter(Clock::time_point from, Nanoseconds span) noexcept {
  if (span > Clock::time_point::max() - from) return std::nullopt;
  return from + std::chrono::duration_cast<Clock::duration>(span);
}

// What the worker thread shares with its owner. The thread holds its own
// reference, so a destructor that runs on the worker itself (an action that
// ends up destroying its owner) can let the thread finish on its own.
template <typename Action>
struct AsyncActionState {
  AsyncActionState(Nanoseconds periodValue, Action actionValue) : period(periodValue), action(std::move(actionValue)) {
    ::InitializeCriticalSection(&lock);
    ::InitializeConditionVariable(&wakeUp);
  }
  ~AsyncActionState() { ::DeleteCriticalSection(&lock); }
  AsyncActionState(const AsyncActionState&) = delete;
  AsyncActionState& operator=(const AsyncActionState&) = delete;

  // With the lock held: waits until the deadline (without limit when there
  // is none) or until stopped; true when stopped. Early wake-ups wait again
  // for the rest of the time.
  bool WaitUntil(std::optional<Clock::time_point> deadline) noexcept {
    while (!stopped) {
      DWORD timeoutMs = INFINITE;
      if (deadline) {
        const Clock::time_point now = Clock::now();
        if (now >= *deadline) return false;
        // Rounded up: a wait cut short by rounding would only wake to wait again.
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
        timeoutMs = static_cast<DWORD>(std::min<decltype(remaining)>(remaining, INFINITE - 1));
      }
      ::SleepConditionVariableCS(&wakeUp, &lock, timeoutMs);
    }
    return true;
  }

  CRITICAL_SECTION lock;
  CONDITION_VARIABLE wakeUp;
  const Nanoseconds period;
  Clock::time_point lastRunEnd{};
  bool stopped = false;
  Action action;
};

}  // namespace AsyncActionDetail

template <typename Action = std::function<void()>>
class CAsyncAction {
 public:
  // Starts the worker; the durations may be of any type (hours for the
  // snapshot pass, seconds for a subscriptions sink).
  template <class Rep1, class Period1, class Rep2, class Period2>
  CAsyncAction(std::chrono::duration<Rep1, Period1> period, std::chrono::duration<Rep2, Period2> initialDelay,
               Action action)
      : m_state(std::make_shared<State>(AsyncActionDetail::ToNanoseconds(period), std::move(action))),
        m_thread([state = m_state, delay = AsyncActionDetail::ToNanoseconds(initialDelay)] {
          ThreadLoop(state, delay);
        }) {}

  // Stops, then waits for a run in progress and the thread's end. On the
  // worker thread itself (the action destroyed its owner) the thread is left
  // to finish the run and end by itself; it keeps the module in use until then.
  ~CAsyncAction() {
    Stop();
    m_thread.Join();
  }

  CAsyncAction(const CAsyncAction&) = delete;
  CAsyncAction& operator=(const CAsyncAction&) = delete;

  // Asks the worker to end; never waits for a run. Later calls change nothing.
  void Stop() noexcept {
    ::EnterCriticalSection(&m_state->lock);
    m_state->stopped = true;
    ::LeaveCriticalSection(&m_state->lock);
    ::WakeAllConditionVariable(&m_state->wakeUp);
  }

  // True on the worker thread (inside a run of the action).
  bool IsWorkerThread() const noexcept { return m_thread.IsCurrent(); }

 private:
  using State = AsyncActionDetail::AsyncActionState<Action>;

  static void ThreadLoop(const std::shared_ptr<State>& state, AsyncActionDetail::Nanoseconds initialDelay) noexcept {
    KTRACE_SCOPE(LogSeverity::Dbg, LogSeverity::Dbg, L"AsyncAction thread");
    ::EnterCriticalSection(&state->lock);
    const AsyncActionDetail::Clock::time_point start = AsyncActionDetail::Clock::now();
    bool stopped = state->WaitUntil(AsyncActionDetail::DeadlineAfter(start, initialDelay));
    while (!stopped) {
      ::LeaveCriticalSection(&state->lock);
      RunOnce(*state);
      ::EnterCriticalSection(&state->lock);
      state->lastRunEnd = AsyncActionDetail::Clock::now();
      if (state->period == AsyncActionDetail::Nanoseconds::zero()) {
        stopped = state->WaitUntil(std::nullopt);
      } else {
        stopped = state->WaitUntil(AsyncActionDetail::DeadlineAfter(state->lastRunEnd, state->period));
      }
    }
    ::LeaveCriticalSection(&state->lock);
  }

  // A failure of the action belongs to that run and is dropped: the action
  // reports its own failures, and the worker goes on.
  static void RunOnce(State& state) noexcept {
    try {
      KTRACE_SCOPE(LogSeverity::Dbg2, LogSeverity::Dbg2, L"Executing AsyncAction");
      try {
        state.action();
      } catch (...) {
      }
    } catch (...) {
      const HRES failure = CurrentFailure();
      KLOG_ERR(L"Executing AsyncAction" << L" failed: " << failure);
    }
  }

  std::shared_ptr<State> m_state;
  CModuleThread m_thread;
};

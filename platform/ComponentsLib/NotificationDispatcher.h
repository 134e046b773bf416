// NotificationDispatcher: the configuration server's notification thread.
// Jobs run one at a time, in the order they were posted, with no lock of
// the server held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace ComponentsLib {

class NotificationDispatcher {
 public:
  NotificationDispatcher();
  // Stops the thread; jobs not yet started are dropped. Called on the
  // dispatcher's own thread (a job released the last reference to the
  // server), the thread is left to end on its own.
  ~NotificationDispatcher();
  NotificationDispatcher(const NotificationDispatcher&) = delete;
  NotificationDispatcher& operator=(const NotificationDispatcher&) = delete;

  // False once stopped (the job is dropped).
  bool Post(std::function<void()> job);
  // True when every job posted so far has run.
  bool WaitIdle(uint32_t timeoutMs);
  bool IsDispatcherThread() const noexcept;
  void Stop();

 private:
  struct Shared {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> jobs;
    bool running = false;  // a job is executing
    bool stopping = false;
  };
  static void Run(const std::shared_ptr<Shared>& shared);

  std::shared_ptr<Shared> m_shared;
  std::thread m_thread;
  std::thread::id m_threadId;
};

// DeliveryGate: counts callbacks in flight so that whoever closes it can
// wait until none is running and none starts again.
class DeliveryGate {
 public:
  // False when closed; otherwise the caller must Leave.
  bool Enter() {
    std::lock_guard lock(m_lock);
    if (m_closed) return false;
    ++m_inFlight;
    return true;
  }
  void Leave() {
    std::lock_guard lock(m_lock);
    if (--m_inFlight == 0) m_drained.notify_all();
  }
  // wait false: close without waiting (the caller is the callback itself).
  void Close(bool wait) {
    std::unique_lock lock(m_lock);
    m_closed = true;
    if (wait) m_drained.wait(lock, [this] { return m_inFlight == 0; });
  }
  bool IsClosed() {
    std::lock_guard lock(m_lock);
    return m_closed;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_drained;
  uint32_t m_inFlight = 0;
  bool m_closed = false;
};

}  // namespace ComponentsLib

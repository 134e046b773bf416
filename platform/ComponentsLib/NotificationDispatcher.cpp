#include "NotificationDispatcher.h"

#include <chrono>

namespace ComponentsLib {

NotificationDispatcher::NotificationDispatcher() : m_shared(std::make_shared<Shared>()) {
  m_thread = std::thread(&NotificationDispatcher::Run, m_shared);
  m_threadId = m_thread.get_id();
}

NotificationDispatcher::~NotificationDispatcher() { Stop(); }

void NotificationDispatcher::Stop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(m_shared->lock);
    m_shared->stopping = true;
    dropped.swap(m_shared->jobs);
    m_shared->wake.notify_all();
    m_shared->idle.notify_all();
  }
  dropped.clear();  // releases what the jobs held, outside the lock
  if (!m_thread.joinable()) return;
  if (IsDispatcherThread()) {
    m_thread.detach();
  } else {
    m_thread.join();
  }
}

bool NotificationDispatcher::Post(std::function<void()> job) {
  std::lock_guard lock(m_shared->lock);
  if (m_shared->stopping) return false;
  m_shared->jobs.push_back(std::move(job));
  m_shared->wake.notify_one();
  return true;
}

bool NotificationDispatcher::WaitIdle(uint32_t timeoutMs) {
  std::unique_lock lock(m_shared->lock);
  return m_shared->idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
    return m_shared->stopping || (m_shared->jobs.empty() && !m_shared->running);
  });
}

bool NotificationDispatcher::IsDispatcherThread() const noexcept { return std::this_thread::get_id() == m_threadId; }

void NotificationDispatcher::Run(const std::shared_ptr<Shared>& shared) {
  // The thread keeps its own reference: it may outlive the dispatcher.
  const std::shared_ptr<Shared> keep = shared;
  std::unique_lock lock(keep->lock);
  for (;;) {
    keep->wake.wait(lock, [&] { return keep->stopping || !keep->jobs.empty(); });
    if (keep->stopping) return;
    std::function<void()> job = std::move(keep->jobs.front());
    keep->jobs.pop_front();
    keep->running = true;
    lock.unlock();
    try {
      job();
    } catch (...) {
      // A job reports its own failures; nothing may end the thread.
    }
    job = nullptr;
    lock.lock();
    keep->running = false;
    if (keep->jobs.empty()) keep->idle.notify_all();
  }
}

}  // namespace ComponentsLib

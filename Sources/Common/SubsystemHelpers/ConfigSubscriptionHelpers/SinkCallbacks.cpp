#include "SinkCallbacks.h"

#include <algorithm>

namespace CfgSubscriptionsHelpers {

bool SinkCallbacks::InvokeModifications(const GUID& id, std::vector<NodeModifyUtils::TNodeModification>&& records) {
  const CallScope call(*this);
  if (!call.Entered() || !m_onModifications) return false;
  m_onModifications(id, std::move(records));
  return true;
}

bool SinkCallbacks::InvokeNode(const GUID& id, const std::wstring& path, const DXNodePtr& node) {
  const CallScope call(*this);
  if (!call.Entered() || !m_onNode) return false;
  m_onNode(id, path, node);
  return true;
}

bool SinkCallbacks::IsClosed() {
  std::lock_guard guard(m_lock);
  return m_closed;
}

void SinkCallbacks::Close() {
  ModificationsCallback onModifications;
  NodeCallback onNode;
  {
    std::unique_lock guard(m_lock);
    m_closed = true;
    const std::thread::id self = std::this_thread::get_id();
    m_callEnded.wait(guard, [&] { return OnlyCallsOf(self); });
    if (m_callers.empty()) {
      onModifications = std::move(m_onModifications);
      onNode = std::move(m_onNode);
      m_onModifications = nullptr;
      m_onNode = nullptr;
    }
  }
  // The callbacks' captures go away outside the lock.
}

bool SinkCallbacks::Enter() {
  std::lock_guard guard(m_lock);
  if (m_closed) return false;
  m_callers.push_back(std::this_thread::get_id());
  return true;
}

void SinkCallbacks::Leave() noexcept {
  ModificationsCallback onModifications;
  NodeCallback onNode;
  {
    std::lock_guard guard(m_lock);
    const auto entry = std::find(m_callers.begin(), m_callers.end(), std::this_thread::get_id());
    if (entry != m_callers.end()) m_callers.erase(entry);
    // Closed from inside a call: the last call to return drops the callbacks.
    if (m_closed && m_callers.empty()) {
      onModifications = std::move(m_onModifications);
      onNode = std::move(m_onNode);
      m_onModifications = nullptr;
      m_onNode = nullptr;
    }
  }
  m_callEnded.notify_all();
}

bool SinkCallbacks::OnlyCallsOf(std::thread::id thread) const noexcept {
  return std::all_of(m_callers.begin(), m_callers.end(), [&](std::thread::id caller) { return caller == thread; });
}

}  // namespace CfgSubscriptionsHelpers

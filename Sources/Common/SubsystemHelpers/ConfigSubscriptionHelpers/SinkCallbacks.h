// The two callbacks of a subscriptions sink with the bookkeeping of the calls
// in progress, so that closing can wait for them and then drop the callbacks.
#pragma once

#include "ConfigSubscriptionsSink.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace CfgSubscriptionsHelpers {

// Shared by the sink and a publication in progress: a callback may release
// the sink's last reference, and the publication then ends on this object.
class SinkCallbacks {
 public:
  SinkCallbacks(ModificationsCallback onModifications, NodeCallback onNode)
      : m_onModifications(std::move(onModifications)), m_onNode(std::move(onNode)) {}
  SinkCallbacks(const SinkCallbacks&) = delete;
  SinkCallbacks& operator=(const SinkCallbacks&) = delete;

  // Each calls its callback unless closed (or not set); failures of the
  // callback propagate. False when nothing was called.
  bool InvokeModifications(const GUID& id, std::vector<NodeModifyUtils::TNodeModification>&& records);
  bool InvokeNode(const GUID& id, const std::wstring& path, const DXNodePtr& node);

  bool IsClosed();
  // No call starts afterwards. Waits for the calls in progress on other
  // threads; the callbacks are dropped once no call is left (at once, or
  // when a call of the closing thread itself returns).
  void Close();

 private:
  // Registers the calling thread's call for its lifetime.
  class CallScope {
   public:
    explicit CallScope(SinkCallbacks& owner) : m_owner(owner) { m_entered = owner.Enter(); }
    ~CallScope() {
      if (m_entered) m_owner.Leave();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    bool Entered() const noexcept { return m_entered; }

   private:
    SinkCallbacks& m_owner;
    bool m_entered = false;
  };

  bool Enter();
  void Leave() noexcept;
  bool OnlyCallsOf(std::thread::id thread) const noexcept;

  std::mutex m_lock;
  std::condition_variable m_callEnded;
  bool m_closed = false;
  std::vector<std::thread::id> m_callers;  // one entry per call in progress
  ModificationsCallback m_onModifications;
  NodeCallback m_onNode;
};

}  // namespace CfgSubscriptionsHelpers

// The sink the configuration server notifies: ordinary modifications are
// collected per subscription and published in batches from a worker thread;
// a notification with the subscribed node's current content is handed over
// at once, on the server's thread.
#pragma once

#include "NodeModifyUtils.h"

#include "Sources/Common/Helpers/AsyncAction.h"
#include "module/CompPtr.h"
#include "module/ComponentRoot.h"
#include "module/Guids.h"

#include <Kestrova/HostServices.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace CfgSubscriptionsHelpers {

using ModificationsCallback =
    std::function<void(const GUID& id, std::vector<NodeModifyUtils::TNodeModification>&& records)>;
using NodeCallback = std::function<void(const GUID& id, const std::wstring& path, const DXNodePtr& node)>;

class SinkCallbacks;

class CConfigSubscriptionsSink : public CComponentRoot, public IConfigModifyCallback {
 public:
  using Interfaces = ComponentInterfaceList<IConfigModifyCallback>;
  static constexpr const char kComponentTag[] =
      "CComponentObject<class CfgSubscriptionsHelpers::CConfigSubscriptionsSink>::CComponentObject";

  // A new sink publishing every intervalSeconds (first one interval after
  // creation). Either callback may be empty. Raises HRX when out of memory.
  static CompPtr<IConfigModifyCallback> Create(uint64_t intervalSeconds, ModificationsCallback onModifications,
                                               NodeCallback onNode);
  // The same with any interval, for callers that need a faster publication.
  static CompPtr<IConfigModifyCallback> Create(std::chrono::nanoseconds interval, ModificationsCallback onModifications,
                                               NodeCallback onNode);

  // IConfigModifyCallback
  HRESULT OnTriggered(IDXModifySubscription* subscription, int currentContent,
                      IDXNodeModifyEnum* modifications) override;

  // The publisher's action: hands each subscription's pending records to the
  // modifications callback, ids in ascending byte order.
  void IntPublishModifications();

  // See CloseSink.
  void Close() noexcept;

  // Records received and not yet published (for diagnostics and tests).
  size_t PendingCount();

 protected:
  CConfigSubscriptionsSink(std::chrono::nanoseconds interval, ModificationsCallback onModifications,
                           NodeCallback onNode);
  ~CConfigSubscriptionsSink() override;

 private:
  using PendingMap = std::multimap<GUID, NodeModifyUtils::TNodeModification, GuidBytewiseLess>;

  PendingMap m_pending;
  // The callbacks with the bookkeeping that lets Close wait for a call in
  // progress; shared with a publication that is running.
  std::shared_ptr<SinkCallbacks> m_callbacks;
  std::recursive_mutex m_lock;
  // Set by Close under the lock: later ordinary notifications are dropped.
  bool m_closed = false;
  // Last member: destroyed (stopped and joined) first.
  std::unique_ptr<CAsyncAction<>> m_publisher;
};

// After it returns no callback of the sink runs or will run again: stops and
// joins the publisher (a publication in progress completes), waits for a node
// callback in progress, and drops both callbacks. Owners call it after
// removing their subscription and before their own members go away (the
// server or others may still hold references to the sink). Called from
// inside one of the sink's own callbacks, it waits for the others and the
// calling callback's own call completes.
void CloseSink(IConfigModifyCallback* sink) noexcept;

}  // namespace CfgSubscriptionsHelpers

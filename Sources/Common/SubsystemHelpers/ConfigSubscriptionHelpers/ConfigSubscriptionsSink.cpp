#include "ConfigSubscriptionsSink.h"

#include "SinkCallbacks.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "logging/CatchSite.h"
#include "logging/FunctionTracer.h"
#include "logging/LogStatement.h"
#include "module/ComponentObject.h"
#include "node/ValueFormats.h"

#include <iterator>
#include <new>

namespace CfgSubscriptionsHelpers {
namespace {

constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

std::wstring BracedId(const GUID& id) { return ValueFormats::GuidToString(id, ValueFormats::GuidForm::Braced); }

// Hands each id's records, in order, to the modifications callback, ids in
// ascending byte order. Touches nothing of the sink: a callback may release
// the sink's last reference.
void PublishBatches(std::multimap<GUID, NodeModifyUtils::TNodeModification, GuidBytewiseLess>&& pending,
                    SinkCallbacks& callbacks) {
  for (auto first = pending.begin(); first != pending.end();) {
    const GUID id = first->first;
    const auto last = pending.upper_bound(id);
    std::vector<NodeModifyUtils::TNodeModification> records;
    for (auto record = first; record != last; ++record) records.push_back(std::move(record->second));
    first = last;
    // Closed by a callback of this publication: nothing more is handed over.
    if (callbacks.IsClosed()) return;
    try {
      callbacks.InvokeModifications(id, std::move(records));
    } catch (...) {
      const HRES failure = CurrentFailure();
      KLOG_WARN(L"Config modify callback returned error " << failure);
    }
  }
}

}  // namespace

CompPtr<IConfigModifyCallback> CConfigSubscriptionsSink::Create(uint64_t intervalSeconds,
                                                                ModificationsCallback onModifications,
                                                                NodeCallback onNode) {
  return Create(AsyncActionDetail::ToNanoseconds(std::chrono::duration<uint64_t>(intervalSeconds)),
                std::move(onModifications), std::move(onNode));
}

CompPtr<IConfigModifyCallback> CConfigSubscriptionsSink::Create(std::chrono::nanoseconds interval,
                                                                ModificationsCallback onModifications,
                                                                NodeCallback onNode) {
  CComponentObject<CConfigSubscriptionsSink>* sink =
      CComponentObject<CConfigSubscriptionsSink>::Allocate(interval, std::move(onModifications), std::move(onNode));
  if (sink == nullptr) ThrowHr(E_OUTOFMEMORY);
  return CompPtr<IConfigModifyCallback>(sink, false);
}

CConfigSubscriptionsSink::CConfigSubscriptionsSink(std::chrono::nanoseconds interval,
                                                   ModificationsCallback onModifications, NodeCallback onNode)
    : m_callbacks(std::make_shared<SinkCallbacks>(std::move(onModifications), std::move(onNode))),
      m_publisher(std::make_unique<CAsyncAction<>>(interval, interval, [this] { IntPublishModifications(); })) {}

CConfigSubscriptionsSink::~CConfigSubscriptionsSink() { Close(); }

HRESULT CConfigSubscriptionsSink::OnTriggered(IDXModifySubscription* subscription, int currentContent,
                                              IDXNodeModifyEnum* modifications) {
  try {
    if (subscription == nullptr || modifications == nullptr) ThrowHr(E_POINTER);
    GUID id{};
    HRX hr = subscription->GetId(&id);

    if (currentContent != 0) {
      std::vector<NodeModifyUtils::TNodeModification> records = NodeModifyUtils::GetModifications(modifications);
      if (records.size() != 1) ThrowHr(kInvalidData);
      const NodeModifyUtils::TNodeModification& record = records.front();
      if (!record.node) ThrowHr(E_POINTER);
      // A local reference: the callback may release the sink's last one.
      const std::shared_ptr<SinkCallbacks> callbacks = m_callbacks;
      callbacks->InvokeNode(id, record.path, record.node);
      return S_OK;
    }

    std::lock_guard guard(m_lock);
    // Closed: no publication will ever hand these over, so none is kept (a
    // server that refused the removal would otherwise fill memory).
    if (m_closed) return S_OK;
    KLOG_DBG3(L"DatabaseManagement config subscription with id " << BracedId(id) << L" triggered");
    // Records read before a failure stay pending.
    NodeModifyUtils::ForEachModification(modifications, [&](NodeModifyUtils::TNodeModification&& record) {
      m_pending.emplace_hint(m_pending.upper_bound(id), id, std::move(record));
    });
    return S_OK;
  }
  KCATCH_RETURN(L"CfgSubscriptionsHelpers::CConfigSubscriptionsSink::OnTriggered")
}

void CConfigSubscriptionsSink::IntPublishModifications() {
  KTRACE_SCOPE(LogSeverity::Dbg3, LogSeverity::Dbg3,
               L"CfgSubscriptionsHelpers::CConfigSubscriptionsSink::IntPublishModifications");
  PendingMap batch;
  {
    std::lock_guard guard(m_lock);
    batch.swap(m_pending);
  }
  if (batch.empty()) return;
  const std::shared_ptr<SinkCallbacks> callbacks = m_callbacks;
  PublishBatches(std::move(batch), *callbacks);
}

void CConfigSubscriptionsSink::Close() noexcept {
  try {
    m_callbacks->Close();
  } catch (...) {
  }
  std::unique_ptr<CAsyncAction<>> publisher;
  PendingMap dropped;
  {
    std::lock_guard guard(m_lock);
    m_closed = true;
    publisher = std::move(m_publisher);
    dropped.swap(m_pending);
  }
  // Stops and joins; on the publisher's own thread (closed from a callback
  // of a publication) the thread ends by itself after this run.
  publisher.reset();
}

size_t CConfigSubscriptionsSink::PendingCount() {
  std::lock_guard guard(m_lock);
  return m_pending.size();
}

void CloseSink(IConfigModifyCallback* sink) noexcept {
  if (sink == nullptr) return;
  static_cast<CConfigSubscriptionsSink*>(sink)->Close();
}

}  // namespace CfgSubscriptionsHelpers

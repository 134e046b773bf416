#include "TransientUsageStatsAccumulator.h"

#include "UsageStatisticsSwitch.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/CfgSubscriptionsHelpers.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "logging/LogStatement.h"
#include "module/HostInstance.h"
#include "node/NodeDump.h"
#include "settings/DataDirectory.h"
#include "settings/FileSystem.h"
#include "settings/ImpersonationRevertGuard.h"

#include <algorithm>
#include <chrono>
#include <iterator>

namespace UsageStatistics {

namespace {
constexpr wchar_t kFailureCounter[] = L"FailureCounter";
constexpr wchar_t kStoreRequest[] = L"StoreRequest";
constexpr uint32_t kDefaultMaxSendFailures = 3;
constexpr uint64_t kSinkIntervalSeconds = 1;

// The counter as a 32-bit read; a value the store cannot give as one counts
// as no failure yet, so the frame is still tried.
int32_t ReadFailureCounter(const DXNodePtr& frame) noexcept {
  try {
    int32_t failures = 0;
    if (frame.TryGetInt32(kFailureCounter, failures)) return failures;
  } catch (...) {
  }
  return 0;
}
}  // namespace

CTransientUsageStatsAccumulator::CTransientUsageStatsAccumulator(const CompPtr<IDXRequestProcessor>& requestProcessor,
                                                                 const DXNodePtr& settings) {
  if (!requestProcessor || !settings) ThrowHr(E_POINTER);
  m_requestProcessor = requestProcessor;
  m_configServer = GetNamedInstance<IDXConfigSubscriptionProxy>(Kestrova::HostNames::ConfigServerProxy);

  m_encryptor.emplace(DataEncryption::CNodeEncryptor::EncryptAll());
  ReadSettings(settings);

  // A file never brings back more frames than the queue may hold.
  m_storage.emplace(m_transientStoragePath, *m_encryptor,
                    m_maxQueuedFrames != 0 ? static_cast<size_t>(m_maxQueuedFrames)
                                           : Detail::CTransientStorage::kDefaultMaxRestoredFrames);
  std::vector<DXNodePtr> restored;
  m_storage->ImportPending(restored, m_queueLock);

  try {
    {
      std::lock_guard queueLock(m_queueLock);
      m_queue.insert(m_queue.end(), restored.begin(), restored.end());
    }
    Subscribe();
    m_nextCycle = (Clock::now() + std::chrono::seconds(m_sendIntervalSec)).time_since_epoch().count();
    m_worker = CModuleThread([this] { WorkerLoop(); });
  } catch (...) {
    Unsubscribe();
    // The file was deleted when it was read: its frames go back into it.
    RestoreToFile(restored);
    throw;
  }
}

CTransientUsageStatsAccumulator::~CTransientUsageStatsAccumulator() {
  Unsubscribe();
  Stop();
}

void CTransientUsageStatsAccumulator::ReadSettings(const DXNodePtr& settings) {
  m_sendIntervalSec = settings.GetInt64(L"SendIntervalSec");
  int32_t maxSendFailures = static_cast<int32_t>(kDefaultMaxSendFailures);
  settings.TryGetInt32(L"MaxSendFailures", maxSendFailures);
  m_maxSendFailures = static_cast<uint32_t>(maxSendFailures);
  m_togglePath = settings.GetString(L"UsageStatisticsCfgPath");
  const std::wstring storagePath = settings.GetString(L"TransientStoragePath", std::wstring());
  m_transientStoragePath = ExpandEnvironment(storagePath);
  // Never relative to the current directory (System32, for a service): a
  // relative path lies below the data directory, as the log's does.
  if (!m_transientStoragePath.empty() && IsRelativePath(m_transientStoragePath)) {
    m_transientStoragePath = ResolvePath(storagePath);
  }
  int64_t maxQueuedFrames = 0;
  if (settings.TryGetInt64(L"MaxQueuedFrames", maxQueuedFrames) && maxQueuedFrames > 0) {
    m_maxQueuedFrames = static_cast<uint64_t>(maxQueuedFrames);
  }

  // Cycles without pause would hammer the service.
  if (m_sendIntervalSec < 1) {
    KLOG_WARN(L"SendIntervalSec " << m_sendIntervalSec << L" is below 1 second; 1 second is used");
    m_sendIntervalSec = 1;
  }
  if (m_sendIntervalSec > kMaxSendIntervalSec) {
    KLOG_WARN(L"SendIntervalSec " << m_sendIntervalSec << L" is above the maximum of " << kMaxSendIntervalSec
                                  << L" seconds (365 days); " << kMaxSendIntervalSec << L" seconds is used");
    m_sendIntervalSec = kMaxSendIntervalSec;
  }
}

void CTransientUsageStatsAccumulator::Subscribe() {
  // The switch must be known before the first frames arrive: the current
  // content comes later, on the server's thread.
  if (const std::optional<bool> enabled = Detail::ReadSwitchNode(m_togglePath)) SetEnabled(*enabled);

  Detail::SwitchHandlers handlers = Detail::MakeSwitchHandlers(m_togglePath, [this](bool value) { SetEnabled(value); });
  m_sink = CfgSubscriptionsHelpers::CConfigSubscriptionsSink::Create(
      kSinkIntervalSeconds, std::move(handlers.onModifications), std::move(handlers.onNode));

  const auto proxy = GetNamedInstance<IDXConfigSubscriptionProxy>(Kestrova::HostNames::ConfigServerProxy);
  m_subscription = CfgSubscriptionsHelpers::SubscribeToConfig(
      proxy, m_sink, m_togglePath, CfgSubscriptionsHelpers::kSwitchMaxDepth,
      CfgSubscriptionsHelpers::kSwitchChangesMask, CfgSubscriptionsHelpers::kSwitchSubscribeOptions, false);
}

void CTransientUsageStatsAccumulator::Unsubscribe() noexcept {
  if (m_configServer && m_subscription) CfgSubscriptionsHelpers::RemoveSubscription(m_configServer, m_subscription);
  m_subscription = nullptr;
  // The handlers point at this object: none may run once it starts going away.
  if (m_sink) CfgSubscriptionsHelpers::CloseSink(m_sink.Get());
}

void CTransientUsageStatsAccumulator::RestoreToFile(std::vector<DXNodePtr>& restored) noexcept {
  try {
    if (!restored.empty() && m_storage) m_storage->ExportPending(restored);
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_WARN(L"Failed storing pending activity frames to file " << m_transientStoragePath << L" due to" << failure);
  }
}

void CTransientUsageStatsAccumulator::StoreFrame(const DXNodePtr& frame) {
  if (!frame || !m_enabled.load()) return;
  std::lock_guard queueLock(m_queueLock);
  // Checked under the lock: Stop copies the queue for the file under it too,
  // so a frame is either in that copy or discarded, never left behind.
  if (m_stopping.load()) return;
  m_queue.push_back(frame);
  if (m_maxQueuedFrames != 0) EnforceQueueBound();
}

void CTransientUsageStatsAccumulator::EnforceQueueBound() {
  const size_t pending = m_pendingCount.load();
  const size_t room = pending >= m_maxQueuedFrames ? 0 : static_cast<size_t>(m_maxQueuedFrames - pending);
  if (m_queue.size() <= room) return;
  const size_t excess = m_queue.size() - room;
  m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(excess));
  m_droppedByBound.fetch_add(excess);
}

void CTransientUsageStatsAccumulator::LogDroppedFrames() {
  const uint64_t dropped = m_droppedByBound.exchange(0);
  if (dropped != 0) KLOG_WARN(dropped << L" Usage statistics frames dropped: queue limit reached");
}

void CTransientUsageStatsAccumulator::EndWorker() {
  // Set before the worker lock is taken: a sending pass in progress sees it
  // at its next frame and hands the rest back, so a stop waits for one
  // request at most, not for a whole pass against a slow service.
  m_stopping = true;
  {
    std::lock_guard wakeLock(m_wakeLock);
    m_wakeUp.notify_all();
  }
  m_worker.Join();
}

void CTransientUsageStatsAccumulator::Stop() {
  std::lock_guard stopCall(m_stopCall);
  // The file a completed Stop left is the one to keep: a second run would
  // delete it, decrypt and re-encrypt every value and write it again.
  if (m_stopped && !m_storeFailed) return;
  EndWorker();
  m_stopped = true;
  if (!m_storage) return;

  // Second handles: the queue keeps its frames, so that a failed store can
  // be tried again by a later Stop.
  std::vector<DXNodePtr> frames;
  {
    std::lock_guard queueLock(m_queueLock);
    frames.assign(m_queue.begin(), m_queue.end());
  }
  bool encrypted = false;
  m_storeFailed = !m_storage->ExportPending(frames, &encrypted);
  m_storeEncrypted = m_storeEncrypted || encrypted;
}

CTransientUsageStatsAccumulator::Handover CTransientUsageStatsAccumulator::TakeUndelivered() {
  std::lock_guard stopCall(m_stopCall);
  Handover handover;
  // A completed Stop wrote the frames to the file, which the successor reads;
  // its cycles are over, so the successor keeps its own first one.
  handover.nextCycle = Clock::time_point::max();
  if (m_stopped && !m_storeFailed) return handover;
  EndWorker();
  handover.nextCycle = Clock::time_point(Clock::duration(m_nextCycle.load()));
  {
    std::lock_guard queueLock(m_queueLock);
    handover.frames.reserve(m_queue.size());
    handover.frames.assign(m_queue.begin(), m_queue.end());
  }
  // A store that failed after encrypting left the values encrypted in place:
  // they go back to clear (as the process, like every data protection call
  // of the module), so that the successor sends what the producers made.
  if (m_storeFailed && m_storeEncrypted && m_encryptor && !handover.frames.empty()) {
    const ImpersonationRevertGuard asProcess;
    std::vector<IDXNode*> handles;
    handles.reserve(handover.frames.size());
    for (const DXNodePtr& frame : handover.frames) handles.push_back(frame.Get());
    m_encryptor->DecryptNodes(handles.data(), static_cast<uint32_t>(handles.size()),
                              DataEncryption::CNodeEncryptor::kWholeSubtree,
                              DataEncryption::CNodeEncryptor::kModeInPlace, nullptr, nullptr, nullptr);
  }
  // Only now, with the frames safely out: a failure above leaves them here,
  // for a later Stop to write.
  {
    std::lock_guard queueLock(m_queueLock);
    m_queue.clear();
  }
  m_stopped = true;
  m_storeFailed = false;
  m_storeEncrypted = false;
  return handover;
}

void CTransientUsageStatsAccumulator::Adopt(Handover&& handover) {
  {
    std::lock_guard queueLock(m_queueLock);
    if (m_stopping.load()) ThrowHr(E_UNEXPECTED);  // never: adopted right after construction
    // The predecessor's frames are older than any this one queued since:
    // they go first. Built aside, so that a failure changes nothing.
    std::deque<DXNodePtr> merged(handover.frames.begin(), handover.frames.end());
    merged.insert(merged.end(), m_queue.begin(), m_queue.end());
    m_queue.swap(merged);
    if (m_maxQueuedFrames != 0) EnforceQueueBound();
  }
  handover.frames.clear();
  // Earlier only: a wait already shorter stays as it is.
  const Clock::rep due = handover.nextCycle.time_since_epoch().count();
  Clock::rep current = m_nextCycle.load();
  while (due < current && !m_nextCycle.compare_exchange_weak(current, due)) {
  }
  {
    std::lock_guard wakeLock(m_wakeLock);
    m_wakeUp.notify_all();
  }
  LogDroppedFrames();
}

void CTransientUsageStatsAccumulator::SetEnabled(bool value) { Detail::SetSwitchFlag(m_enabled, value); }

void CTransientUsageStatsAccumulator::WaitForNextCycle() {
  std::unique_lock wakeLock(m_wakeLock);
  while (!m_stopping.load()) {
    const Clock::time_point due{Clock::duration(m_nextCycle.load())};
    if (Clock::now() >= due) return;
    m_wakeUp.wait_until(wakeLock, due);
  }
}

void CTransientUsageStatsAccumulator::WorkerLoop() noexcept {
  while (!m_stopping.load()) {
    try {
      std::lock_guard workerLock(m_workerLock);
      WaitForNextCycle();
      RunCycle();
    } catch (...) {
      const HRES failure = CurrentFailure();
      KLOG_ERR(L"UsageStatistics::CTransientUsageStatsAccumulator::WorkerLoop failed: " << failure);
    }
  }
  HandBackPending();
}

void CTransientUsageStatsAccumulator::RunCycle() {
  try {
    TakeOver();
    SendPending();
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_ERR(L"UsageStatistics::CTransientUsageStatsAccumulator::WorkerLoop failed: " << failure);
  }
  // The interval runs from the end of this cycle. A cycle cut short by a
  // stop keeps the time that was due: a successor adopts it.
  if (!m_stopping.load()) {
    m_nextCycle = (Clock::now() + std::chrono::seconds(m_sendIntervalSec)).time_since_epoch().count();
  }
  LogDroppedFrames();
}

void CTransientUsageStatsAccumulator::HandBackPending() noexcept {
  // A stop that took the worker lock right after a cycle finds the frames
  // that cycle kept: they go to the queue, behind it, so the file gets them.
  try {
    std::lock_guard sendLock(m_sendLock);
    if (!m_pending.empty()) {
      std::lock_guard queueLock(m_queueLock);
      std::move(m_pending.begin(), m_pending.end(), std::back_inserter(m_queue));
      m_pending.clear();
      m_pendingCount = 0;
    }
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_ERR(L"UsageStatistics::CTransientUsageStatsAccumulator::WorkerLoop failed: " << failure);
  }
}

void CTransientUsageStatsAccumulator::TakeOver() {
  if (m_stopping.load()) return;
  std::lock_guard queueLock(m_queueLock);
  // Reserved first: a move cut short would leave empty handles in the queue.
  m_pending.reserve(m_pending.size() + m_queue.size());
  std::move(m_queue.begin(), m_queue.end(), std::back_inserter(m_pending));
  m_queue.clear();
  m_pendingCount = m_pending.size();
}

void CTransientUsageStatsAccumulator::SendPending() {
  std::lock_guard sendLock(m_sendLock);
  std::vector<DXNodePtr> retained;
  // Reserved up front: keeping a frame can then never fail half-way through
  // the pass, which would leave frames already delivered in the list.
  retained.reserve(m_pending.size());
  size_t next = 0;
  for (; next < m_pending.size(); ++next) {
    if (m_stopping.load()) break;
    if (SendOrRetain(m_pending[next])) retained.push_back(m_pending[next]);
  }

  if (m_stopping.load()) {
    std::lock_guard queueLock(m_queueLock);
    std::move(retained.begin(), retained.end(), std::back_inserter(m_queue));
    std::move(m_pending.begin() + static_cast<std::ptrdiff_t>(next), m_pending.end(), std::back_inserter(m_queue));
    m_pending.clear();
  } else {
    m_pending = std::move(retained);
  }
  m_pendingCount = m_pending.size();
}

bool CTransientUsageStatsAccumulator::SendOrRetain(const DXNodePtr& frame) {
  if (!frame) return false;
  bool delivered = false;
  bool attempted = false;
  try {
    const int32_t failures = ReadFailureCounter(frame);
    if (static_cast<uint32_t>(std::max(failures, 0)) >= m_maxSendFailures) {
      KLOG_DBG3(L"Unsuccessful send attempts count exceeded for activity frame" << frame);
      return false;
    }
    KLOG_DBG3(L"Sending usage activity frame " << frame);
    attempted = true;
    delivered = SendFrame(frame);
    if (delivered) return false;
    KLOG_DBG3(L"Failed sending usage activity frame " << frame);
    frame.SetInt64(kFailureCounter, static_cast<int64_t>(failures) + 1);
    return true;
  } catch (...) {
    // This frame alone: the others of the pass go on as usual. One the
    // service took is done. One whose failed attempt cannot be counted is
    // dropped: kept, it would be tried every cycle without end. Any other is
    // tried again next cycle.
    const HRES failure = CurrentFailure();
    KLOG_ERR(L"Handling usage activity frame failed due to " << failure << L"; "
                                                             << (delivered || attempted ? L"not kept: " : L"kept: ")
                                                             << frame);
    return !delivered && !attempted;
  }
}

bool CTransientUsageStatsAccumulator::SendFrame(const DXNodePtr& frame) {
  HRESULT hr = E_FAIL;
  DXNodePtr request;
  try {
    request = DXNodePtr::Create(kStoreRequest, nullptr);
    request.AddChild(frame);
    IDXNode* result = nullptr;
    hr = m_requestProcessor->ProcessRequest(request.Get(), &result);
    const DXNodePtr unread(result, DXNodePtr::Handle::Adopt);
  } catch (...) {
    // Not sent: the request could not be built.
    hr = CurrentFailure().Code();
  }
  // The store keeps a node's parent for as long as any handle lives: a
  // frame left in this request could never be wrapped again for a retry.
  // Whatever happens here, a frame the service accepted is delivered.
  try {
    if (request) request.RemoveChild(frame);
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_DBG3(L"Detaching usage activity frame from its request failed: " << failure);
  }
  return SUCCEEDED(hr);
}

}  // namespace UsageStatistics

#include "TransientUsageStatsAccumulator.h"

#include "UsageStatisticsSwitch.h"

#include "Sources/Common/ErrorHandling/ErrorReporting.h"
#include "Sources/Common/ErrorHandling/HRES.h"
#include "Sources/Common/Helpers/FaultPoint.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/CfgSubscriptionsHelpers.h"
#include "Sources/Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "logging/LogStatement.h"
#include "module/HostInstance.h"
#include "node/ConfigServerAccess.h"
#include "node/NodeDump.h"
#include "node/NodePaths.h"
#include "settings/DataDirectory.h"
#include "settings/FileSystem.h"
#include "settings/ImpersonationRevertGuard.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <unordered_set>

namespace UsageStatistics {

namespace {
constexpr wchar_t kFailureCounter[] = L"FailureCounter";
constexpr wchar_t kStoreRequest[] = L"StoreRequest";
constexpr uint32_t kDefaultMaxSendFailures = 3;
constexpr uint64_t kSinkIntervalSeconds = 1;

// Intervals are saturated at 365 days, with a WARN: a deadline can then
// neither wrap nor turn negative (a "never" written as INT64_MAX).
int64_t AtMostOneYear(const wchar_t* name, int64_t seconds) {
  constexpr int64_t kMaximum = CTransientUsageStatsAccumulator::kMaxSendIntervalSec;
  static_assert(kMaximum == CTransientUsageStatsAccumulator::kMaxCheckpointIntervalSec);
  if (seconds <= kMaximum) return seconds;
  KLOG_WARN(name << L" " << seconds << L" is above the maximum of " << kMaximum << L" seconds (365 days); " << kMaximum
                 << L" seconds is used");
  return kMaximum;
}

// A node path the status may take: absolute, below the root, no empty
// element, and not the switch's own node (whose type it would replace).
bool IsStatusPath(const std::wstring& path, const std::wstring& togglePath) {
  return path.size() > 1 && NodePaths::IsServerPath(path) && path != togglePath;
}

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
  m_health.emplace(
      Detail::CDeliveryHealth::PeriodsFromSettings(), m_statusPath,
      [this](const DXNodePtr& status) { WriteStatusNode(status); }, Clock::now());

  // A file never brings back more frames than the queue may hold.
  m_storage.emplace(m_transientStoragePath, *m_encryptor, MaxRestoredFrames());
  std::vector<DXNodePtr> restored;
  OpenStorage(restored);

  try {
    {
      std::lock_guard queueLock(m_queueLock);
      QueueRestored(restored);
    }
    Subscribe();
    const Clock::time_point now = Clock::now();
    m_nextCycle = (now + std::chrono::seconds(m_sendIntervalSec)).time_since_epoch().count();
    m_nextCheckpoint = (now + std::chrono::seconds(m_checkpointIntervalSec)).time_since_epoch().count();
    m_worker = CModuleThread([this] { WorkerLoop(); });
  } catch (...) {
    Unsubscribe();
    if (m_journal) {
      // Its checkpoints still hold the frames, for the next start.
      m_journal.reset();
    } else {
      // The file was deleted when it was read: its frames go back into it.
      RestoreToFile(restored);
    }
    throw;
  }
}

void CTransientUsageStatsAccumulator::OpenStorage(std::vector<DXNodePtr>& restored) {
  if (m_transientStoragePath.empty()) return;
  const size_t maxRestored = MaxRestoredFrames();
  const auto leftInUse = [this] {
    // A predecessor in this process hands its checkpoints over with its frames.
    if (Detail::CFrameJournal::IsLeasedHere(m_transientStoragePath)) {
      m_awaitingJournal = Checkpointing();
      return;
    }
    KLOG_WARN(L"Pending activity frames file " << m_transientStoragePath
                                               << L" is in use by another accumulator: its frames are left to it");
    // What that one leaves in the file is kept by this one's store.
    m_storage->KeepFileForStore();
  };
  if (Checkpointing()) {
    try {
      m_journal = Detail::CFrameJournal::Open(*m_storage, *m_encryptor, maxRestored, true);
      if (m_journal) {
        m_journal->Restore(restored);
        return;
      }
      // Another process keeps them, and frames here stay in memory until Stop.
      leftInUse();
      return;
    } catch (...) {
      const HRES failure = CurrentFailure();
      KLOG_WARN(L"Checkpoints of pending activity frames are not kept at " << m_transientStoragePath << L" due to "
                                                                           << failure);
    }
  } else if (Detail::CFrameJournal::IsInUse(m_transientStoragePath)) {
    leftInUse();
    return;
  }
  // Checkpoints a kill left (from a run with checkpoints) are read as the
  // file is, in order, and their frames are then held in memory only.
  if (Detail::CFrameJournal::HasCheckpointFiles(m_transientStoragePath)) {
    try {
      if (std::unique_ptr<Detail::CFrameJournal> journal =
              Detail::CFrameJournal::Open(*m_storage, *m_encryptor, maxRestored, false)) {
        journal->Restore(restored);
        journal->Discard();
        return;
      }
      leftInUse();
      return;
    } catch (...) {
      const HRES failure = CurrentFailure();
      KLOG_WARN(L"Failed to restore checkpoints of pending activity frames at " << m_transientStoragePath << L" due to "
                                                                                << failure);
    }
  }
  m_storage->ImportPending(restored, m_queueLock);
}

CTransientUsageStatsAccumulator::~CTransientUsageStatsAccumulator() {
  Unsubscribe();
  // Nothing may leave a destructor: a store that cannot even start (no
  // memory for the copy of the queue) loses the frames, as any failed store.
  try {
    Stop();
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_WARN(L"Failed storing pending activity frames to file " << m_transientStoragePath << L" due to" << failure);
  }
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
  int64_t checkpointIntervalSec = 0;
  if (settings.TryGetInt64(L"CheckpointIntervalSec", checkpointIntervalSec)) {
    if (checkpointIntervalSec < 0) {
      KLOG_WARN(L"CheckpointIntervalSec " << checkpointIntervalSec << L" is below 0; 0 (no checkpoints) is used");
      checkpointIntervalSec = 0;
    }
    m_checkpointIntervalSec = AtMostOneYear(L"CheckpointIntervalSec", checkpointIntervalSec);
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
  m_sendIntervalSec = AtMostOneYear(L"SendIntervalSec", m_sendIntervalSec);
  m_statusPath = settings.GetString(L"DeliveryStatusCfgPath", std::wstring());
  if (!m_statusPath.empty() && !IsStatusPath(m_statusPath, m_togglePath)) {
    KLOG_WARN(L"DeliveryStatusCfgPath " << m_statusPath
                                        << L" is not an absolute path below the root without empty elements, or is "
                                           L"the switch's path; no delivery status node is written");
    m_statusPath.clear();
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

void CTransientUsageStatsAccumulator::QueueRestored(const std::vector<DXNodePtr>& restored) {
  m_queue.insert(m_queue.end(), restored.begin(), restored.end());
  const Clock::time_point now = Clock::now();
  for (const DXNodePtr& frame : restored) m_arrivals.Append(frame, now);
  m_health->Restored(restored.size());
}

void CTransientUsageStatsAccumulator::StoreFrame(const DXNodePtr& frame) {
  if (!frame) return;
  if (!m_enabled.load()) {
    m_health->DiscardedWhileOff();
    return;
  }
  std::lock_guard queueLock(m_queueLock);
  // Checked under the lock: Stop copies the queue for the file under it too,
  // so a frame is either in that copy or discarded, never left behind.
  if (m_stopping.load()) return;
  m_queue.push_back(frame);
  m_health->Stored();
  m_arrivals.Append(frame, Clock::now());
  // Frames that left since the worker last looked (dropped by the bound, say)
  // keep their entries until it looks again: past a margin it looks now.
  if (m_arrivals.Size() > 2 * (m_queue.size() + m_pendingCount.load()) + kArrivalSlack &&
      !m_compactArrivals.exchange(true)) {
    { std::lock_guard wakeLock(m_wakeLock); }
    m_wakeUp.notify_all();
  }
  if (Checkpointing()) m_fresh.push_back(frame);
  if (m_maxQueuedFrames != 0) EnforceQueueBound();
}

void CTransientUsageStatsAccumulator::EnforceQueueBound() {
  const size_t pending = m_pendingCount.load();
  const size_t room = pending >= m_maxQueuedFrames ? 0 : static_cast<size_t>(m_maxQueuedFrames - pending);
  if (m_queue.size() <= room) return;
  const size_t excess = m_queue.size() - room;
  if (Checkpointing()) {
    for (size_t i = 0; i < excess; ++i) {
      // The oldest frames not yet checkpointed simply leave; the others are
      // recorded done by the worker.
      if (!m_fresh.empty() && m_fresh.front().Get() == m_queue[i].Get()) {
        m_fresh.pop_front();
      } else {
        m_boundDropped.push_back(m_queue[i]);
      }
    }
    // Memory stays bounded whatever the interval: the worker records them now.
    if (m_boundDropped.size() >= kEarlyCheckpointFrames) BringCheckpointForward();
  }
  m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(excess));
  m_droppedByBound.fetch_add(excess);
  m_health->DroppedByQueueLimit(excess);
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
  std::vector<std::unique_ptr<Detail::CFrameJournal>> incoming;
  {
    std::lock_guard queueLock(m_queueLock);
    frames.assign(m_queue.begin(), m_queue.end());
    incoming.swap(m_incomingJournals);
  }
  AcceptJournals(std::move(incoming), false);
  StoreAtStop(frames);
  if (!m_storeFailed && !m_transientStoragePath.empty()) m_health->Written(frames.size());
  ReportHealth(Detail::CDeliveryHealth::ReportKind::Stopped);
}

void CTransientUsageStatsAccumulator::StoreAtStop(std::vector<DXNodePtr>& frames) {
  if (StoreThroughJournal(frames)) {
    m_storeFailed = false;
    return;
  }
  if (m_journal) {
    m_storeFailed = true;
    return;
  }
  bool encrypted = false;
  m_storeFailed = !m_storage->ExportPending(frames, &encrypted);
  m_storeEncrypted = m_storeEncrypted || encrypted;
  if (!m_storeFailed) {
    // The frames are in the file now: a predecessor's checkpoints of them go.
    for (const auto& retired : m_retiredJournals) retired->Discard();
    m_retiredJournals.clear();
  }
}

bool CTransientUsageStatsAccumulator::StoreThroughJournal(std::vector<DXNodePtr>& frames) {
  // This accumulator's checkpoints, or a predecessor's of the same file.
  std::unique_ptr<Detail::CFrameJournal>* closer = m_journal ? &m_journal : nullptr;
  if (closer == nullptr) {
    for (auto& retired : m_retiredJournals) {
      if (EqualNoCase(retired->Path(), m_transientStoragePath)) closer = &retired;
    }
  }
  if (closer == nullptr) return false;
  try {
    (*closer)->Close(frames);
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_WARN(L"Failed storing pending activity frames to file " << m_transientStoragePath << L" due to" << failure);
    // The checkpoints stay: a later Stop tries again, or the next start reads them.
    if (closer != &m_journal) m_journal = std::move(*closer);
    m_retiredJournals.erase(std::remove(m_retiredJournals.begin(), m_retiredJournals.end(), nullptr),
                            m_retiredJournals.end());
    return false;
  }
  if (!frames.empty()) {
    KLOG_DBG2(static_cast<int>(frames.size()) << L" Usage statistics frames accumulated in transient storage");
  }
  closer->reset();
  m_journal.reset();
  for (const auto& retired : m_retiredJournals) {
    if (retired) retired->Discard();
  }
  m_retiredJournals.clear();
  return true;
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
  std::vector<std::unique_ptr<Detail::CFrameJournal>> incoming;
  {
    std::lock_guard queueLock(m_queueLock);
    handover.frames.reserve(m_queue.size());
    handover.frames.assign(m_queue.begin(), m_queue.end());
    incoming.swap(m_incomingJournals);
  }
  AcceptJournals(std::move(incoming), false);
  RecordBoundDrops();
  handover.journals.reserve(m_retiredJournals.size() + 1);
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
  // for a later Stop to write. The checkpoints go with the frames, until the
  // successor has them on disk (nothing below can fail).
  if (m_journal) handover.journals.push_back(std::move(m_journal));
  for (auto& retired : m_retiredJournals) handover.journals.push_back(std::move(retired));
  m_retiredJournals.clear();
  {
    std::lock_guard queueLock(m_queueLock);
    m_queue.clear();
  }
  m_stopped = true;
  m_storeFailed = false;
  m_storeEncrypted = false;
  ReportHealth(Detail::CDeliveryHealth::ReportKind::HandedOver);
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
    // Frames that the checkpoints of this same file hold (continued here) are
    // not new to the disk: they stay recorded there, a drop by the bound
    // included. All others are written here anew.
    std::deque<DXNodePtr> fresh;
    if (Checkpointing()) {
      for (const DXNodePtr& frame : handover.frames) {
        const bool continued =
            std::any_of(handover.journals.begin(), handover.journals.end(), [&](const auto& journal) {
              return journal && EqualNoCase(journal->Path(), m_transientStoragePath) && journal->Holds(frame);
            });
        if (!continued) fresh.push_back(frame);
      }
      fresh.insert(fresh.end(), m_fresh.begin(), m_fresh.end());
    }
    m_incomingJournals.reserve(m_incomingJournals.size() + handover.journals.size());
    m_arrivals.Prepend(std::deque<DXNodePtr>(handover.frames.begin(), handover.frames.end()), Clock::now());
    m_queue.swap(merged);
    // Taken by the worker with the frames they hold, in one step.
    if (Checkpointing()) m_fresh.swap(fresh);
    // A predecessor without checkpoints: none will come.
    if (handover.journals.empty()) m_awaitingJournal = false;
    for (auto& journal : handover.journals) m_incomingJournals.push_back(std::move(journal));
    handover.journals.clear();
    if (m_maxQueuedFrames != 0) EnforceQueueBound();
  }
  handover.frames.clear();
  // The predecessor's frames reach this one's checkpoints at once.
  if (Checkpointing()) m_nextCheckpoint = Clock::now().time_since_epoch().count();
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
    Clock::time_point due{Clock::duration(m_nextCycle.load())};
    if (Checkpointing()) due = std::min(due, Clock::time_point(Clock::duration(m_nextCheckpoint.load())));
    const Clock::time_point now = Clock::now();
    due = std::min(due, m_health->NextReportDue(now));
    if (now >= due || m_compactArrivals.load()) return;
    m_wakeUp.wait_until(wakeLock, due);
  }
}

void CTransientUsageStatsAccumulator::BringCheckpointForward() noexcept {
  {
    std::lock_guard wakeLock(m_wakeLock);
    m_nextCheckpoint = 0;
  }
  m_wakeUp.notify_all();
}

bool CTransientUsageStatsAccumulator::CheckpointDue() const noexcept {
  return Checkpointing() && Clock::now().time_since_epoch().count() >= m_nextCheckpoint.load();
}

void CTransientUsageStatsAccumulator::OpenOwnJournal() noexcept {
  m_awaitingJournal = false;
  try {
    const size_t maxRestored = MaxRestoredFrames();
    std::unique_ptr<Detail::CFrameJournal> journal =
        Detail::CFrameJournal::Open(*m_storage, *m_encryptor, maxRestored, true);
    if (!journal) return;
    // What lies there now (a predecessor's stop, say) joins the queue, behind what it holds.
    std::vector<DXNodePtr> restored;
    journal->Restore(restored);
    {
      std::lock_guard queueLock(m_queueLock);
      QueueRestored(restored);
      if (m_maxQueuedFrames != 0) EnforceQueueBound();
    }
    m_journal = std::move(journal);
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_WARN(L"Checkpoints of pending activity frames are not kept at " << m_transientStoragePath << L" due to "
                                                                         << failure);
  }
}

void CTransientUsageStatsAccumulator::AcceptJournals(std::vector<std::unique_ptr<Detail::CFrameJournal>>&& journals,
                                                     bool mayOpenOwn) {
  if (journals.empty()) return;
  for (auto& journal : journals) {
    if (!journal) continue;
    // The same file: its checkpoints are continued here.
    if (!m_journal && Checkpointing() && EqualNoCase(journal->Path(), m_transientStoragePath)) {
      m_journal = std::move(journal);
    } else {
      m_retiredJournals.push_back(std::move(journal));
    }
  }
  journals.clear();
  // Journals came, but none of this file (it went with a successor's
  // checkpoints elsewhere): this accumulator opens its own.
  if (mayOpenOwn && m_awaitingJournal && !m_journal && Checkpointing()) {
    OpenOwnJournal();
    return;
  }
  m_awaitingJournal = false;
}

void CTransientUsageStatsAccumulator::CheckpointNow() noexcept {
  m_nextCheckpoint = (Clock::now() + std::chrono::seconds(m_checkpointIntervalSec)).time_since_epoch().count();
  try {
    // Journals handed over first (their frames stay in the frames to write
    // until those are taken below), then the bound's drops, recorded in them.
    std::vector<std::unique_ptr<Detail::CFrameJournal>> incoming;
    {
      std::lock_guard queueLock(m_queueLock);
      incoming.swap(m_incomingJournals);
    }
    AcceptJournals(std::move(incoming), true);
    RecordBoundDrops();
    std::deque<DXNodePtr> taken;
    {
      std::lock_guard queueLock(m_queueLock);
      taken.swap(m_fresh);
    }
    std::vector<DXNodePtr> fresh(std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end()));
    taken.clear();
    std::unordered_set<IDXNode*> gone;
    for (const DXNodePtr& frame : m_doneUnjournaled) gone.insert(frame.Get());
    if (m_journal || !m_awaitingJournal) m_doneUnjournaled.clear();
    if (!gone.empty()) {
      fresh.erase(std::remove_if(fresh.begin(), fresh.end(),
                                 [&gone](const DXNodePtr& frame) { return gone.count(frame.Get()) != 0; }),
                  fresh.end());
    }
    // Whatever is not written goes back before the frames queued meanwhile.
    const auto giveBack = [this](std::vector<DXNodePtr>&& rest) {
      std::lock_guard queueLock(m_queueLock);
      std::deque<DXNodePtr> back(std::make_move_iterator(rest.begin()), std::make_move_iterator(rest.end()));
      back.insert(back.end(), m_fresh.begin(), m_fresh.end());
      m_fresh.swap(back);
    };
    // The predecessor's checkpoints of this file never came (its lease is
    // free now, or its hand-over failed): this accumulator opens its own.
    if (!m_journal && m_awaitingJournal && !Detail::CFrameJournal::IsLeasedHere(m_transientStoragePath)) {
      OpenOwnJournal();
    }
    if (!m_journal) {
      // Until the predecessor's checkpoints arrive the frames wait for them;
      // without any (another process holds the file) they stay in memory only.
      if (m_awaitingJournal) giveBack(std::move(fresh));
      return;
    }
    size_t written = 0;
    try {
      // One file per slice of the journal's size; a stop cuts it short and
      // the rest go with its store.
      while (written < fresh.size() && !m_stopping.load()) {
        written += m_journal->Checkpoint(std::span<const DXNodePtr>(fresh).subspan(written), &m_stopping);
      }
    } catch (...) {
      const HRES failure = CurrentFailure();
      KLOG_WARN(L"Failed writing a checkpoint of pending activity frames at "
                << m_transientStoragePath << L" due to " << failure << L"; tried again at the next one");
      giveBack(std::vector<DXNodePtr>(fresh.begin() + static_cast<std::ptrdiff_t>(written), fresh.end()));
      return;
    }
    if (written < fresh.size()) {
      giveBack(std::vector<DXNodePtr>(fresh.begin() + static_cast<std::ptrdiff_t>(written), fresh.end()));
      return;
    }
    // Every frame handed over is on disk here now.
    for (const auto& retired : m_retiredJournals) retired->Discard();
    m_retiredJournals.clear();
  } catch (...) {
    const HRES failure = CurrentFailure();
    KLOG_ERR(L"UsageStatistics::CTransientUsageStatsAccumulator::WorkerLoop failed: " << failure);
  }
}

void CTransientUsageStatsAccumulator::RecordBoundDrops() noexcept {
  if (!Checkpointing()) return;
  try {
    std::vector<DXNodePtr> dropped;
    {
      std::lock_guard queueLock(m_queueLock);
      dropped.swap(m_boundDropped);
    }
    for (const DXNodePtr& frame : dropped) FrameDone(frame);
  } catch (...) {
  }
}

void CTransientUsageStatsAccumulator::PruneFresh() noexcept {
  try {
    std::unordered_set<IDXNode*> gone;
    for (const DXNodePtr& frame : m_doneUnjournaled) gone.insert(frame.Get());
    {
      std::lock_guard queueLock(m_queueLock);
      m_fresh.erase(std::remove_if(m_fresh.begin(), m_fresh.end(),
                                   [&gone](const DXNodePtr& frame) { return gone.count(frame.Get()) != 0; }),
                    m_fresh.end());
    }
    m_doneUnjournaled.clear();
  } catch (...) {
  }
}

void CTransientUsageStatsAccumulator::FrameDone(const DXNodePtr& frame) noexcept {
  if (!frame) return;
  // A predecessor's checkpoints keep it until this accumulator has it on disk.
  for (const auto& retired : m_retiredJournals) retired->MarkDone(frame);
  if (m_journal && m_journal->Holds(frame)) {
    m_journal->MarkDone(frame);
    return;
  }
  // Nor may it reach this one's next checkpoint.
  if (!m_journal && !m_awaitingJournal) return;
  // Done before any checkpoint held it: kept out of the next, so that a frame
  // delivered within its first interval never costs a write or a
  // data-protection call.
  try {
    m_doneUnjournaled.push_back(frame);
  } catch (...) {
  }
  // Memory stays bounded whatever the interval: they leave the frames to
  // write now, without a write.
  if (m_doneUnjournaled.size() >= kEarlyCheckpointFrames) PruneFresh();
}

void CTransientUsageStatsAccumulator::WorkerLoop() noexcept {
  while (!m_stopping.load()) {
    try {
      std::lock_guard workerLock(m_workerLock);
      WaitForNextCycle();
      const bool cycleDue = m_stopping.load() || Clock::now().time_since_epoch().count() >= m_nextCycle.load();
      if (cycleDue) {
        RunCycle();
        // Right after a pass, when passes come at least as often as
        // checkpoints: only what the service did not take is written, so a
        // working service costs no data protection, and every frame is on
        // disk within a pass of its first attempt.
        if (Checkpointing() && !m_stopping.load() &&
            (m_sendIntervalSec <= m_checkpointIntervalSec || CheckpointDue())) {
          CheckpointNow();
        }
      } else if (!m_stopping.load() && CheckpointDue()) {
        CheckpointNow();
      }
      if (!m_stopping.load()) ReportHealth(Detail::CDeliveryHealth::ReportKind::Running);
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
    // Journals handed over with frames this cycle may send: their deliveries are recorded in them.
    {
      std::vector<std::unique_ptr<Detail::CFrameJournal>> incoming;
      {
        std::lock_guard queueLock(m_queueLock);
        incoming.swap(m_incomingJournals);
      }
      AcceptJournals(std::move(incoming), true);
    }
    RecordBoundDrops();
    // The pass's own frames are written right after it, those the service did
    // not take: a checkpoint within the pass comes only when the pass itself
    // outlasts the interval (a slow service), for the frames queued meanwhile.
    if (Checkpointing()) {
      const Clock::rep passDeadline =
          (Clock::now() + std::chrono::seconds(m_checkpointIntervalSec)).time_since_epoch().count();
      Clock::rep current = m_nextCheckpoint.load();
      while (current < passDeadline && !m_nextCheckpoint.compare_exchange_weak(current, passDeadline)) {
      }
    }
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
    if (SendOrRetain(m_pending[next])) {
      retained.push_back(m_pending[next]);
    } else {
      FrameDone(m_pending[next]);
    }
    // Frames queued meanwhile reach the disk on time, whatever the pass's length.
    if (CheckpointDue()) CheckpointNow();
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
      m_health->DroppedAfterFailures();
      return false;
    }
    KLOG_DBG3(L"Sending usage activity frame " << frame);
    attempted = true;
    FaultPoint(L"sending");
    delivered = SendFrame(frame);
    if (delivered) {
      m_health->Sent();
      FaultPoint(L"delivered");
      return false;
    }
    m_health->SendFailed(Clock::now());
    KLOG_DBG3(L"Failed sending usage activity frame " << frame);
    frame.SetInt64(kFailureCounter, static_cast<int64_t>(failures) + 1);
    return true;
  } catch (...) {
    // This frame alone: the others of the pass go on as usual. One the
    // service took is done. One whose failed attempt cannot be counted is
    // dropped: kept, it would be tried every cycle without end. Any other is
    // tried again next cycle.
    const HRES failure = CurrentFailure();
    KLOG_ERR(L"Handling usage activity frame failed due to "
             << failure << L"; " << (delivered || attempted ? L"not kept: " : L"kept: ") << frame);
    if (attempted && !delivered) m_health->DroppedAfterFailures();
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

Detail::DeliveryFigures CTransientUsageStatsAccumulator::Figures() {
  Detail::DeliveryFigures figures = m_health->Counters();
  // The worker's list: read on the worker, or once it has ended; elsewhere
  // this waits for a sending pass.
  std::lock_guard sendLock(m_sendLock);
  std::lock_guard queueLock(m_queueLock);
  const Clock::time_point now = Clock::now();
  figures.waiting = m_pending.size() + m_queue.size();
  m_compactArrivals = false;
  if (const std::optional<Clock::time_point> arrival = m_arrivals.ArrivalOf(m_pending, m_queue)) {
    figures.oldestWaitingAgeSec =
        std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::seconds>(now - *arrival).count());
  }
  return figures;
}

void CTransientUsageStatsAccumulator::ReportHealth(Detail::CDeliveryHealth::ReportKind kind) noexcept {
  try {
    const Detail::DeliveryFigures figures = Figures();
    m_health->Report(figures, Clock::now(), kind);
  } catch (...) {
    // A report never disturbs delivery.
  }
}

void CTransientUsageStatsAccumulator::WriteStatusNode(const DXNodePtr& status) {
  WriteConfigNode(CfgSubscriptionsHelpers::GetConfigServer(m_configServer.Get()).Get(), status);
}

}  // namespace UsageStatistics

// The frame accumulator and sender: queues activity frames without ever
// making a producer wait for the service, sends them one request per frame
// from a worker thread, retries failed frames up to "MaxSendFailures" times,
// obeys its configuration switch and keeps what is undelivered at stop in
// the transient storage file.
#pragma once

#include "ArrivalLog.h"
#include "DeliveryHealth.h"
#include "FrameJournal.h"
#include "TransientStorage.h"

#include "Sources/Common/Helpers/ModuleThread.h"
#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"
#include "module/CompPtr.h"
#include "node/DXNodePtr.h"

#include <Kestrova/HostServices.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace UsageStatistics {

class CTransientUsageStatsAccumulator {
 public:
  using Clock = std::chrono::steady_clock;

  // Longest "CheckpointIntervalSec", as for "SendIntervalSec".
  static constexpr int64_t kMaxCheckpointIntervalSec = int64_t{365} * 24 * 3600;
  // Longest "SendIntervalSec" (365 days): a larger value is saturated to it,
  // with a WARN, so that the worker's deadline can neither wrap nor turn
  // negative (a "never" written as INT64_MAX).
  static constexpr int64_t kMaxSendIntervalSec = int64_t{365} * 24 * 3600;

  // The undelivered frames of a running accumulator, taken over by its
  // successor without a trip through the file, and when its next sending
  // cycle was due, so that the successor keeps the cadence.
  struct Handover {
    std::vector<DXNodePtr> frames;
    Clock::time_point nextCycle{};
    // The checkpoints that still hold some of the frames: the successor
    // continues them when it checkpoints to the same file, and removes them
    // once it has the frames on disk itself otherwise.
    std::vector<std::unique_ptr<Detail::CFrameJournal>> journals;
  };

  // settings: the maintainer's "TransientStorage" node. Raises on failure,
  // leaving no thread running and no subscription behind.
  CTransientUsageStatsAccumulator(const CompPtr<IDXRequestProcessor>& requestProcessor, const DXNodePtr& settings);
  ~CTransientUsageStatsAccumulator();
  CTransientUsageStatsAccumulator(const CTransientUsageStatsAccumulator&) = delete;
  CTransientUsageStatsAccumulator& operator=(const CTransientUsageStatsAccumulator&) = delete;

  // Queues the frame (shared, not copied) while enabled and not stopping;
  // discards it otherwise, and ignores a null frame. Takes only the queue lock.
  void StoreFrame(const DXNodePtr& frame);
  // Ends the worker and writes every undelivered frame to the transient
  // storage file. A later Stop finds that done and keeps the file as it is;
  // only a store that failed is tried again.
  void Stop();
  // Ends the worker and hands over every undelivered frame, in the order a
  // Stop writes them (the queue, then the retained failures, then the frames
  // not yet tried), with their values in clear; nothing goes to the file, and
  // a later Stop writes nothing. An accumulator whose Stop completed hands
  // over nothing: its frames are in the file. Waits for one request in
  // flight at most.
  Handover TakeUndelivered();
  // Puts a predecessor's frames before those queued here (within
  // "MaxQueuedFrames"), and brings the next sending cycle forward to the
  // predecessor's. A failure leaves both as they were.
  void Adopt(Handover&& handover);
  void SetEnabled(bool value);

  bool IsEnabled() const noexcept { return m_enabled.load(); }

  // What the accumulator counted since its start, with what waits now.
  Detail::DeliveryFigures Figures();

 private:
  // Logs and writes the delivery health that is due.
  void ReportHealth(Detail::CDeliveryHealth::ReportKind kind) noexcept;
  void WriteStatusNode(const DXNodePtr& status);
  void ReadSettings(const DXNodePtr& settings);
  void Subscribe();
  void Unsubscribe() noexcept;
  void WorkerLoop() noexcept;
  // Waits, under the wake-up lock, until the next cycle or checkpoint is due or stopping is set.
  void WaitForNextCycle();
  // The transient storage at start: checkpoints or the file, restored into restored.
  void OpenStorage(std::vector<DXNodePtr>& restored);
  bool Checkpointing() const noexcept { return m_checkpointIntervalSec > 0 && !m_transientStoragePath.empty(); }
  // A start never brings back more frames than the queue may hold.
  size_t MaxRestoredFrames() const noexcept {
    return m_maxQueuedFrames != 0 ? static_cast<size_t>(m_maxQueuedFrames)
                                  : Detail::CTransientStorage::kDefaultMaxRestoredFrames;
  }
  bool CheckpointDue() const noexcept;
  // Wakes the worker for a checkpoint at once.
  void BringCheckpointForward() noexcept;
  // Frames done or dropped before a checkpoint held them, kept aside until one: at this many, it comes at once.
  static constexpr size_t kEarlyCheckpointFrames = 4096;
  // On the worker: the frames queued since the last checkpoint go to disk, and
  // those the bound dropped are recorded as done.
  void CheckpointNow() noexcept;
  // On the worker: the checkpoints of its own file, restored into the queue, when no predecessor's came.
  void OpenOwnJournal() noexcept;
  // On the worker: journals a predecessor handed over are continued or kept until their frames are on disk here.
  // mayOpenOwn: on the worker only (a stop or a hand-over keeps to what it has).
  void AcceptJournals(std::vector<std::unique_ptr<Detail::CFrameJournal>>&& journals, bool mayOpenOwn);
  // A frame delivered or dropped: the journal records it.
  void FrameDone(const DXNodePtr& frame) noexcept;
  // On the worker: frames done before a checkpoint held them leave the frames to write.
  void PruneFresh() noexcept;
  // On the worker: frames the bound dropped since are recorded as done.
  void RecordBoundDrops() noexcept;
  // Stop's store of frames, through the checkpoints or to the file; sets m_storeFailed.
  void StoreAtStop(std::vector<DXNodePtr>& frames);
  // Stop's store through the checkpoints; true when nothing is left to do.
  bool StoreThroughJournal(std::vector<DXNodePtr>& frames);
  // Sets stopping, wakes the worker and waits for it to end; under m_stopCall.
  void EndWorker();
  // Puts the restored frames back into the file when construction fails after the import.
  void RestoreToFile(std::vector<DXNodePtr>& restored) noexcept;
  // One cycle: the take-over and the sending pass, then the next cycle's time.
  void RunCycle();
  // At the worker's end: the frames the last cycle kept go back to the queue.
  void HandBackPending() noexcept;
  void TakeOver();
  // Frames restored from the file or checkpoints join the queue's end; under the queue lock.
  void QueueRestored(const std::vector<DXNodePtr>& restored);
  void SendPending();
  // One frame of a sending pass: true when it is kept for the next cycle.
  bool SendOrRetain(const DXNodePtr& frame);
  // True when the service accepted the frame.
  bool SendFrame(const DXNodePtr& frame);
  // Frames beyond "MaxQueuedFrames" leave the queue, oldest first; under the queue lock.
  void EnforceQueueBound();
  void LogDroppedFrames();

  CompPtr<IDXConfigSubscriptionProxy> m_configServer;
  CompPtr<IDXModifySubscription> m_subscription;
  CompPtr<IConfigModifyCallback> m_sink;
  CompPtr<IDXRequestProcessor> m_requestProcessor;
  std::optional<DataEncryption::CNodeEncryptor> m_encryptor;
  std::optional<Detail::CTransientStorage> m_storage;
  int64_t m_sendIntervalSec = 0;
  std::wstring m_transientStoragePath;
  std::wstring m_togglePath;
  // Set once by Stop; the worker, its sending pass and producers read it.
  std::atomic<bool> m_stopping{false};
  std::atomic<bool> m_enabled{false};
  std::vector<DXNodePtr> m_pending;
  // A deque, so that the optional bound drops the oldest frames cheaply.
  std::deque<DXNodePtr> m_queue;
  CModuleThread m_worker;
  // When the worker's next cycle is due, in steady-clock ticks.
  std::atomic<Clock::rep> m_nextCycle{0};
  std::condition_variable m_wakeUp;
  // Guards the wait for the next cycle only, never a cycle: Stop and Adopt
  // take it to wake the worker without waiting for a pass in progress, and
  // no wake-up is lost between the worker's look at the time and its wait.
  std::mutex m_wakeLock;
  std::mutex m_workerLock;
  std::recursive_mutex m_queueLock;
  std::recursive_mutex m_sendLock;
  uint32_t m_maxSendFailures = 3;
  // "CheckpointIntervalSec": 0 = frames stay in memory until Stop.
  int64_t m_checkpointIntervalSec = 0;
  // The worker's checkpoints (the worker alone uses them while it runs).
  std::unique_ptr<Detail::CFrameJournal> m_journal;
  // Predecessors' journals, removed once their frames are on disk here.
  std::vector<std::unique_ptr<Detail::CFrameJournal>> m_retiredJournals;
  // Under the queue lock: frames queued and in no checkpoint yet, frames the
  // bound dropped, and journals handed over with the frames they hold.
  std::deque<DXNodePtr> m_fresh;
  std::vector<DXNodePtr> m_boundDropped;
  std::vector<std::unique_ptr<Detail::CFrameJournal>> m_incomingJournals;
  // The worker's: frames done before any checkpoint held them, kept out of the next checkpoint.
  std::vector<DXNodePtr> m_doneUnjournaled;
  std::atomic<Clock::rep> m_nextCheckpoint{0};
  // A predecessor in this process holds the file's checkpoints and hands them over with its frames.
  std::atomic<bool> m_awaitingJournal{false};
  // "MaxQueuedFrames": 0 = unbounded.
  uint64_t m_maxQueuedFrames = 0;
  // Frames in the pending list, for the bound; written by the worker.
  std::atomic<size_t> m_pendingCount{0};
  std::atomic<uint64_t> m_droppedByBound{0};
  // Serialises Stop and TakeUndelivered with each other (Shutdown, the
  // destructor, a reconfiguration).
  std::mutex m_stopCall;
  // Under m_stopCall: a Stop ran (or the frames were handed over), and
  // whether its store failed, so that a later Stop tries it again.
  bool m_stopped = false;
  bool m_storeFailed = false;
  // A failed store got as far as encrypting the frames in place.
  bool m_storeEncrypted = false;
  // "DeliveryStatusCfgPath": empty = no status node.
  std::wstring m_statusPath;
  std::optional<Detail::CDeliveryHealth> m_health;
  // Under the queue lock: when each waiting frame arrived.
  Detail::CArrivalLog m_arrivals;
  // Entries beyond twice the waiting frames before the worker is woken to compact the log.
  static constexpr size_t kArrivalSlack = 4096;
  std::atomic<bool> m_compactArrivals{false};
};

}  // namespace UsageStatistics

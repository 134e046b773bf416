// The frame accumulator and sender: queues activity frames without ever
// making a producer wait for the service, sends them one request per frame
// from a worker thread, retries failed frames up to "MaxSendFailures" times,
// obeys its configuration switch and keeps what is undelivered at stop in
// the transient storage file.
#pragma once

#include "TransientStorage.h"

#include "Sources/General/DataEncryption/NodeEncryptorImpl.h"
#include "module/CompPtr.h"
#include "node/DXNodePtr.h"

#include <Kestrova/HostServices.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace UsageStatistics {

class CTransientUsageStatsAccumulator {
 public:
  // settings: the maintainer's "TransientStorage" node. Raises on failure,
  // leaving no thread running and no subscription behind.
  CTransientUsageStatsAccumulator(const CompPtr<IDXRequestProcessor>& requestProcessor, const DXNodePtr& settings);
  ~CTransientUsageStatsAccumulator();
  CTransientUsageStatsAccumulator(const CTransientUsageStatsAccumulator&) = delete;
  CTransientUsageStatsAccumulator& operator=(const CTransientUsageStatsAccumulator&) = delete;

  // Queues the frame (shared, not copied) while enabled and not stopping;
  // discards it otherwise. Takes only the queue lock.
  void StoreFrame(const DXNodePtr& frame);
  // Ends the worker and writes every undelivered frame to the transient
  // storage file. May run more than once; later runs write the same file.
  void Stop();
  void SetEnabled(bool value);

  bool IsEnabled() const noexcept { return m_enabled.load(); }

 private:
  void ReadSettings(const DXNodePtr& settings);
  void Subscribe();
  void Unsubscribe() noexcept;
  void WorkerLoop() noexcept;
  void TakeOver();
  void SendPending();
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
  std::thread m_worker;
  std::condition_variable m_wakeUp;
  std::mutex m_workerLock;
  std::recursive_mutex m_queueLock;
  std::recursive_mutex m_sendLock;
  uint32_t m_maxSendFailures = 3;
  // "MaxQueuedFrames": 0 = unbounded.
  uint64_t m_maxQueuedFrames = 0;
  // Frames in the pending list, for the bound; written by the worker.
  std::atomic<size_t> m_pendingCount{0};
  std::atomic<uint64_t> m_droppedByBound{0};
  // Serialises Stop with itself (Shutdown and the destructor).
  std::mutex m_stopCall;
};

}  // namespace UsageStatistics

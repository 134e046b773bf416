// Frame accounting by the sequence numbers a scenario puts into its frames:
// every frame produced is delivered, in the pending file or one of the
// losses the design allows, and nothing else turns up.
#pragma once

#include "node/DXNodePtr.h"

#include <cstddef>
#include <map>
#include <set>
#include <string>

namespace Reliability {

class FrameLedger {
 public:
  // A frame's key: its "ChangeType" item and its "Seq" item, e.g. "Snapshot:2".
  static std::wstring KeyOf(const DXNodePtr& frame);

  void Produced(const std::wstring& key) { m_produced.insert(key); }
  void Delivered(const std::wstring& key) { ++m_delivered[key]; }
  void Pending(const std::wstring& key) { ++m_pending[key]; }
  // Frames dropped after "MaxSendFailures" attempts, as the log counts them.
  void Dropped(size_t count) { m_dropped = count; }
  // Missing frames are allowed without count: produced while the switch was
  // off, or pending at stop when the file could not be written.
  void AllowAnyMissing(const std::wstring& reason) { m_anyMissingReason = reason; }

  size_t ProducedCount() const { return m_produced.size(); }
  size_t DeliveredCount() const { return m_delivered.size(); }
  size_t PendingCount() const { return m_pending.size(); }
  size_t DroppedCount() const { return m_dropped; }
  size_t MissingCount() const;

  // Empty when the accounting holds; otherwise what broke it.
  std::wstring Check() const;

 private:
  std::set<std::wstring> m_produced;
  std::map<std::wstring, size_t> m_delivered;
  std::map<std::wstring, size_t> m_pending;
  size_t m_dropped = 0;
  std::wstring m_anyMissingReason;
};

}  // namespace Reliability

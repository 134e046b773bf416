// Debug tracking of live component objects: when "Debug"/
// "EnableAliveObjectsTracking" is set, every component object is recorded
// with its tag and the return addresses of the code that created it, and
// Dump writes the list to the log at WARN, so that objects a host forgot to
// release can be found.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class DbgAliveObjectsTracker {
 public:
  static constexpr size_t kReturnAddresses = 4;
  using ReturnAddresses = std::array<void*, kReturnAddresses>;

  // The process-wide tracker, created on first use from the global settings.
  static DbgAliveObjectsTracker& Instance();

  // framesToSkip: extra frames left out at the top of each captured stack.
  DbgAliveObjectsTracker(bool enabled, uint32_t framesToSkip) noexcept;
  ~DbgAliveObjectsTracker();
  DbgAliveObjectsTracker(const DbgAliveObjectsTracker&) = delete;
  DbgAliveObjectsTracker& operator=(const DbgAliveObjectsTracker&) = delete;

  bool IsEnabled() const noexcept { return m_enabled.load(std::memory_order_acquire); }

  // tag: a constant text that outlives the record. An object already
  // recorded keeps its first record.
  void Register(const void* object, const char* tag) noexcept;
  void Unregister(const void* object) noexcept;
  // "Alive component objects: <count>", then one line per object in address
  // order; nothing when disabled or when no object is recorded.
  void Dump() noexcept;

  size_t Count() const;

  // Each address as "%#p", joined by ";".
  static std::wstring AddressesText(const ReturnAddresses& addresses);

 private:
  struct Record {
    const char* tag;
    ReturnAddresses addresses;
  };

  std::atomic<bool> m_enabled;
  const uint32_t m_framesToSkip;
  mutable std::recursive_mutex m_lock;
  std::map<const void*, Record> m_records;
};

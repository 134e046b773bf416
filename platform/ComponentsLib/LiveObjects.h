// Count of this library's live objects, so hosts and tests can see that
// every reference came back.
#pragma once

#include <atomic>
#include <cstdint>

namespace ComponentsLib::LiveObjects {

inline std::atomic<uint32_t>& Counter() noexcept {
  static std::atomic<uint32_t> count{0};
  return count;
}
inline void Added() noexcept { Counter().fetch_add(1, std::memory_order_relaxed); }
inline void Removed() noexcept { Counter().fetch_sub(1, std::memory_order_relaxed); }
inline uint32_t Count() noexcept { return Counter().load(std::memory_order_relaxed); }

}  // namespace ComponentsLib::LiveObjects

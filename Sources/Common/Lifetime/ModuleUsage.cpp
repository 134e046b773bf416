#include "ModuleUsage.h"

#include <atomic>

namespace ModuleUsage {
namespace {
// Constant-initialised: valid before any static constructor runs and never
// destroyed, so a late caller still finds it.
constinit std::atomic<uint32_t> g_users{0};
}  // namespace

uint32_t Lock() noexcept { return g_users.fetch_add(1, std::memory_order_acq_rel) + 1; }
uint32_t Unlock() noexcept { return g_users.fetch_sub(1, std::memory_order_acq_rel) - 1; }
uint32_t Count() noexcept { return g_users.load(std::memory_order_acquire); }

}  // namespace ModuleUsage

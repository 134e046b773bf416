#include "ModuleUsage.h"

#include <atomic>

namespace ModuleUsage {
namespace {
// Constant-initialised: valid before any static constructor runs and never
// destroyed, so a late caller still finds it.
constinit std::atomic<uint32_t> g_users{0};
constinit std::atomic<bool> g_processExiting{false};
}  // namespace

uint32_t Lock() noexcept { return g_users.fetch_add(1, std::memory_order_acq_rel) + 1; }
uint32_t Unlock() noexcept { return g_users.fetch_sub(1, std::memory_order_acq_rel) - 1; }
uint32_t Count() noexcept { return g_users.load(std::memory_order_acquire); }
void MarkProcessExiting() noexcept { g_processExiting.store(true, std::memory_order_release); }
bool ProcessExiting() noexcept { return g_processExiting.load(std::memory_order_acquire); }

}  // namespace ModuleUsage

// The count of what keeps the module in use: live component objects and the
// threads the module started. IsModuleInUse reads it; a host may unload the
// module once it is 0, so every holder gives its count up as its very last
// step in module code.
#pragma once

#include <cstdint>

namespace ModuleUsage {

// Each returns the count it leaves behind.
uint32_t Lock() noexcept;
uint32_t Unlock() noexcept;
uint32_t Count() noexcept;

// Set once the process is exiting (the module's detach with the loader lock
// held and the other threads gone): from then on nothing is torn down, since
// any lock may belong to a killed thread.
void MarkProcessExiting() noexcept;
bool ProcessExiting() noexcept;

}  // namespace ModuleUsage

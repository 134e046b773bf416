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

}  // namespace ModuleUsage

// Kill points for crash tests: with the environment variable
// KESTROVA_FAULT_POINT set to NAME or NAME:N (read at the first pass), the N-th
// pass (default the first) of FaultPoint(NAME) ends the process at once,
// as a hard kill would, with exit code kFaultPointExitCode. Unset, a pass
// costs one relaxed atomic load. Built without KESTROVA_FAULT_POINTS, a pass
// is nothing at all.
#pragma once

#include <cstdint>

inline constexpr uint32_t kFaultPointExitCode = 0xFA17;

#if defined(KESTROVA_FAULT_POINTS)
void FaultPoint(const wchar_t* name) noexcept;
#else
inline void FaultPoint(const wchar_t*) noexcept {}
#endif

// The number of threads of the calling process, from a thread snapshot (0
// when the platform gives none): tests and benchmarks compare it before and
// after a run to find threads left behind.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>

namespace KestrovaTest {

inline uint32_t ProcessThreadCount() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  uint32_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

}  // namespace KestrovaTest

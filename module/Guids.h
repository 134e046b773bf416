#pragma once

#include <windows.h>

#include <cstring>

// Ids are compared and ordered byte-wise over their 16 bytes.
inline bool SameGuid(const GUID& a, const GUID& b) noexcept { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

struct GuidBytewiseLess {
  bool operator()(const GUID& a, const GUID& b) const noexcept { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

// The address behind an id reference that came from a host. The interfaces
// take ids by reference, but a host written in C can pass a null pointer;
// the empty asm keeps the compiler from assuming the reference is valid.
inline const GUID* HostGuidAddress(const GUID& id) noexcept {
  const GUID* address = &id;
  asm volatile("" : "+r"(address));
  return address;
}

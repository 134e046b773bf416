#include "Crc32.h"
#include "Sources/Common/Lifetime/NoDestroy.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace DataEncryption {
namespace {

using RtlComputeCrc32Function = DWORD(WINAPI*)(DWORD initial, const BYTE* data, INT length);

// ntdll.dll and its RtlComputeCrc32, held until the process ends.
class Crc32Computer {
 public:
  Crc32Computer() {
    m_module = ::LoadLibraryExW(L"ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (m_module == nullptr) ThrowHr(HrFromLastError());
    m_function = reinterpret_cast<RtlComputeCrc32Function>(
        reinterpret_cast<void*>(::GetProcAddress(m_module, "RtlComputeCrc32")));
    if (m_function == nullptr) {
      const DWORD error = ::GetLastError();
      ::FreeLibrary(m_module);
      ThrowHr(HrFromWin32(static_cast<LONG>(error)));
    }
  }
  ~Crc32Computer() { ::FreeLibrary(m_module); }
  Crc32Computer(const Crc32Computer&) = delete;
  Crc32Computer& operator=(const Crc32Computer&) = delete;

  uint32_t Compute(std::span<const uint8_t> bytes) const {
    // The length parameter is an INT: longer input continues the checksum in pieces.
    DWORD crc = 0;
    for (size_t offset = 0; offset < bytes.size();) {
      const size_t piece = std::min<size_t>(bytes.size() - offset, INT_MAX);
      crc = m_function(crc, bytes.data() + offset, static_cast<INT>(piece));
      offset += piece;
    }
    return crc;
  }

  // Built on first use; a failed build is tried again by the next caller.
  static const Crc32Computer& Instance() {
    static const NoDestroy<Crc32Computer> computer;
    return computer.Get();
  }

 private:
  HMODULE m_module = nullptr;
  RtlComputeCrc32Function m_function = nullptr;
};

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes) {
  if (bytes.data() == nullptr || bytes.empty()) ThrowHr(E_INVALIDARG);
  return Crc32Computer::Instance().Compute(bytes);
}

}  // namespace DataEncryption

#include "FaultPoint.h"

#if defined(KESTROVA_FAULT_POINTS)

#include "Sources/Common/Lifetime/NoDestroy.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <cwctype>

namespace {

struct FaultPointSetting {
  FaultPointSetting() noexcept {
    wchar_t value[80] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"KESTROVA_FAULT_POINT", value, 80);
    if (length == 0 || length >= 80) return;
    wchar_t* colon = std::wcschr(value, L':');
    long count = 1;
    if (colon != nullptr) {
      *colon = L'\0';
      count = std::wcstol(colon + 1, nullptr, 10);
      if (count < 1) return;
    }
    std::wcsncpy(name, value, 63);
    remaining = count;
    armed.store(true, std::memory_order_release);
  }

  wchar_t name[64] = {};
  std::atomic<long> remaining{0};
  std::atomic<bool> armed{false};
};

FaultPointSetting& Setting() noexcept {
  static NoDestroy<FaultPointSetting> setting;
  return setting.Get();
}

}  // namespace

void FaultPoint(const wchar_t* name) noexcept {
  FaultPointSetting& setting = Setting();
  if (!setting.armed.load(std::memory_order_relaxed)) return;
  if (std::wcscmp(setting.name, name) != 0) return;
  if (setting.remaining.fetch_sub(1) != 1) return;
  ::TerminateProcess(::GetCurrentProcess(), kFaultPointExitCode);
}

#endif  // KESTROVA_FAULT_POINTS

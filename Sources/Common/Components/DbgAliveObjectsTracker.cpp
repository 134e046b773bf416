#include "DbgAliveObjectsTracker.h"
#include "Sources/Common/Lifetime/NoDestroy.h"

#include "logging/LogStatement.h"
#include "settings/GlobalSettings.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr wchar_t kSection[] = L"Debug";

// An integer setting, 0 when absent or not a number.
uint32_t ReadNumber(const wchar_t* key) noexcept {
  try {
    std::wstring text;
    if (!GlobalSettings::Instance().TryReadSetting(kSection, key, text)) return 0;
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(text.c_str(), &end, 0);
    return end != text.c_str() ? static_cast<uint32_t>(value) : 0;
  } catch (...) {
    return 0;
  }
}

DbgAliveObjectsTracker& CreateFromSettings() {
  const bool enabled = ReadNumber(L"EnableAliveObjectsTracking") != 0;
  const uint32_t framesToSkip = enabled ? ReadNumber(L"AliveObjectsTrackingFramesToSkip") : 0;
  static NoDestroy<DbgAliveObjectsTracker> tracker(enabled, framesToSkip);
  return tracker.Get();
}

std::wstring Widen(const char* text) {
  if (text == nullptr) return L"(null)";
  std::wstring wide;
  for (; *text != '\0'; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return wide;
}

}  // namespace

DbgAliveObjectsTracker& DbgAliveObjectsTracker::Instance() {
  static DbgAliveObjectsTracker& instance = CreateFromSettings();
  return instance;
}

DbgAliveObjectsTracker::DbgAliveObjectsTracker(bool enabled, uint32_t framesToSkip) noexcept
    : m_enabled(enabled), m_framesToSkip(framesToSkip) {}

// Objects that outlive the tracker (released by a host after unload) find
// it disabled and leave the records alone.
DbgAliveObjectsTracker::~DbgAliveObjectsTracker() { m_enabled.store(false, std::memory_order_release); }

void DbgAliveObjectsTracker::Register(const void* object, const char* tag) noexcept {
  if (!IsEnabled()) return;
  Record record{tag, {}};
  // Skipping this function's own frame as well.
  ::RtlCaptureStackBackTrace(m_framesToSkip + 1, static_cast<DWORD>(kReturnAddresses), record.addresses.data(),
                             nullptr);
  try {
    std::lock_guard guard(m_lock);
    m_records.try_emplace(object, record);
  } catch (...) {
    // Out of memory: the object goes untracked.
  }
}

void DbgAliveObjectsTracker::Unregister(const void* object) noexcept {
  if (!IsEnabled()) return;
  std::lock_guard guard(m_lock);
  m_records.erase(object);
}

void DbgAliveObjectsTracker::Dump() noexcept {
  if (!IsEnabled()) return;
  std::lock_guard guard(m_lock);
  if (m_records.empty()) return;
  KLOG_WARN(L"Alive component objects: " << m_records.size());
  for (const auto& [object, record] : m_records) {
    KLOG_WARN(L"ObjTag='" << Widen(record.tag) << L"' Ptr=" << object << L" EIPs=" << AddressesText(record.addresses));
  }
}

size_t DbgAliveObjectsTracker::Count() const {
  std::lock_guard guard(m_lock);
  return m_records.size();
}

std::wstring DbgAliveObjectsTracker::AddressesText(const ReturnAddresses& addresses) {
  std::wstring text;
  for (void* address : addresses) {
    wchar_t part[40] = {};
    std::swprintf(part, 40, L"%#p;", address);
    text += part;
  }
  text.pop_back();  // the last ";"
  return text;
}

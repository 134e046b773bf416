#include "SettingsSection.h"

#include "GlobalSettings.h"
#include "Sources/Common/ErrorHandling/HRES.h"

namespace {
constexpr size_t kInitialBuckets = 17;
constexpr float kMaxLoadFactor = 2.25f;

template <typename Map>
void ResetMap(Map& map) {
  Map fresh(kInitialBuckets);
  fresh.max_load_factor(kMaxLoadFactor);
  map.swap(fresh);
}
}  // namespace

SettingsSection::SettingsSection(GlobalSettings& settings, std::wstring name, uint32_t refreshIntervalMs)
    : m_settings(settings), m_name(std::move(name)), m_refreshIntervalMs(refreshIntervalMs) {
  ResetCaches();
}

void SettingsSection::ResetCaches() {
  ResetMap(m_values);
  ResetMap(m_missing);
}

HRESULT SettingsSection::Read(const wchar_t* key, std::wstring& value, bool useCache) {
  if (key == nullptr) return E_INVALIDARG;
  if (!useCache) return m_settings.ReadSetting(m_name.c_str(), key, value);
  std::lock_guard guard(m_lock);
  ReloadLocked(true);
  if (const auto found = m_values.find(key); found != m_values.end()) {
    value = found->second;
    return S_OK;
  }
  if (m_missing.count(key) != 0) return HrFromWin32(ERROR_NOT_FOUND);
  std::wstring read;
  if (m_settings.TryReadSetting(m_name.c_str(), key, read)) {
    value = m_values.emplace(key, std::move(read)).first->second;
    return S_OK;
  }
  m_missing.emplace(key);
  return HrFromWin32(ERROR_NOT_FOUND);
}

std::wstring SettingsSection::Read(const wchar_t* key, const std::wstring& fallback, bool useCache) {
  std::wstring value;
  return Read(key, value, useCache) == S_OK ? value : fallback;
}

void SettingsSection::Reload(bool onlyIfStale) {
  std::lock_guard guard(m_lock);
  ReloadLocked(onlyIfStale);
}

void SettingsSection::ReloadLocked(bool onlyIfStale) {
  const uint64_t now = ::GetTickCount64();
  if (onlyIfStale && m_loadCount != 0 &&
      (m_refreshIntervalMs == 0 || now - m_lastLoad < m_refreshIntervalMs)) {
    return;
  }
  ResetCaches();
  m_lastLoad = now;
  ++m_loadCount;
}

uint64_t SettingsSection::LoadCount() const {
  std::lock_guard guard(m_lock);
  return m_loadCount;
}

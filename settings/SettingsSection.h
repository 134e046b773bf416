// A section of the global settings with its own cache of values and of keys
// found missing; the logger's "Logger" section is one.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

class GlobalSettings;

class SettingsSection {
 public:
  // refreshIntervalMs 0: the cache never expires by itself.
  SettingsSection(GlobalSettings& settings, std::wstring name, uint32_t refreshIntervalMs);

  // S_OK with the value or 0x80070490; useCache false reads straight through.
  HRESULT Read(const wchar_t* key, std::wstring& value, bool useCache = true);
  std::wstring Read(const wchar_t* key, const std::wstring& fallback, bool useCache = true);
  // onlyIfStale: nothing happens while the section is younger than its interval.
  void Reload(bool onlyIfStale);

  const std::wstring& Name() const noexcept { return m_name; }
  uint64_t LoadCount() const;

 private:
  void ResetCaches();
  void ReloadLocked(bool onlyIfStale);

  GlobalSettings& m_settings;
  const std::wstring m_name;
  const uint32_t m_refreshIntervalMs;
  mutable std::mutex m_lock;
  uint64_t m_lastLoad = 0;
  uint64_t m_loadCount = 0;
  std::unordered_map<std::wstring, std::wstring> m_values;
  std::unordered_set<std::wstring> m_missing;
};

// Process-wide settings read by section and key from the environment
// ("GS_" + section + "_" + key) and from INI files.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One place settings come from. Read answers S_OK with the value,
// 0x80070490 when the key is not there, or E_ABORT to end the search.
class ISettingsSource {
 public:
  virtual ~ISettingsSource() = default;
  virtual HRESULT Read(const wchar_t* section, const wchar_t* key, std::wstring& value) = 0;
};

// "GS_" + section + "_" + key; an empty variable is a value.
class EnvironmentSettingsSource final : public ISettingsSource {
 public:
  HRESULT Read(const wchar_t* section, const wchar_t* key, std::wstring& value) override;
};

// The file named by "GLOBAL_SETTINGS_INI" first, then the candidate files in
// order; an empty INI value counts as absent.
class IniSettingsSource final : public ISettingsSource {
 public:
  explicit IniSettingsSource(std::vector<std::wstring> candidates) : m_candidates(std::move(candidates)) {}
  HRESULT Read(const wchar_t* section, const wchar_t* key, std::wstring& value) override;
  const std::vector<std::wstring>& Candidates() const noexcept { return m_candidates; }

 private:
  std::vector<std::wstring> m_candidates;
};

// The INI files looked at, in order, for a module loaded into a process.
std::vector<std::wstring> IniCandidatePaths(const std::wstring& executablePath, const std::wstring& modulePath);

class GlobalSettings {
 public:
  // The process-wide store, with the candidates of this module and process.
  static GlobalSettings& Instance();

  explicit GlobalSettings(std::vector<std::wstring> iniCandidates);
  GlobalSettings(const GlobalSettings&) = delete;
  GlobalSettings& operator=(const GlobalSettings&) = delete;

  // A null or empty section means "General". S_OK or 0x80070490.
  HRESULT ReadSetting(const wchar_t* section, const wchar_t* key, std::wstring& value);
  bool TryReadSetting(const wchar_t* section, const wchar_t* key, std::wstring& value);
  std::wstring ReadSetting(const wchar_t* section, const wchar_t* key, const std::wstring& fallback);

 private:
  std::mutex m_lock;
  // Asked from the last added to the first.
  std::vector<std::unique_ptr<ISettingsSource>> m_sources;
};

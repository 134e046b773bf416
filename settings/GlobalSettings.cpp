#include "GlobalSettings.h"
#include "ImpersonationRevertGuard.h"
#include "Sources/Common/Lifetime/NoDestroy.h"

#include "FileSystem.h"
#include "Sources/Common/ErrorHandling/HRES.h"

namespace {
constexpr wchar_t kDefaultSection[] = L"General";
constexpr HRESULT kNotFound = HrFromWin32(ERROR_NOT_FOUND);

const wchar_t* SectionOrDefault(const wchar_t* section) noexcept {
  return section != nullptr && *section != L'\0' ? section : kDefaultSection;
}

bool ReadEnvironmentVariable(const std::wstring& name, std::wstring& value) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
      value.clear();
      return true;
    }
    if (length < buffer.size()) {
      value.assign(buffer.data(), length);
      return true;
    }
    buffer.resize(length);
  }
}

HRESULT ReadIniFile(const std::wstring& file, const wchar_t* section, const wchar_t* key, std::wstring& value) {
  // As the process: a host thread may carry a client's token.
  const ImpersonationRevertGuard asProcess;
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetPrivateProfileStringW(section, key, L"", buffer.data(), static_cast<DWORD>(buffer.size()),
                                                    file.c_str());
    if (length + 1 == buffer.size()) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (length == 0) return kNotFound;
    value.assign(buffer.data(), length);
    return S_OK;
  }
}
}  // namespace

HRESULT EnvironmentSettingsSource::Read(const wchar_t* section, const wchar_t* key, std::wstring& value) {
  const std::wstring name = std::wstring(L"GS_") + SectionOrDefault(section) + L"_" + key;
  return ReadEnvironmentVariable(name, value) ? S_OK : kNotFound;
}

HRESULT IniSettingsSource::Read(const wchar_t* section, const wchar_t* key, std::wstring& value) {
  section = SectionOrDefault(section);
  std::wstring named;
  if (ReadEnvironmentVariable(L"GLOBAL_SETTINGS_INI", named) && !named.empty()) {
    // A relative name would make the platform look in the Windows folder:
    // it lies beside the executable, where the other candidates are.
    if (IsRelativePath(named) && !m_candidates.empty()) named = DirectoryOf(m_candidates.front()) + named;
    if (ReadIniFile(named, section, key, value) == S_OK) return S_OK;
  }
  for (const std::wstring& candidate : m_candidates) {
    if (ReadIniFile(candidate, section, key, value) == S_OK) return S_OK;
  }
  return kNotFound;
}

std::vector<std::wstring> IniCandidatePaths(const std::wstring& executablePath, const std::wstring& modulePath) {
  const std::wstring executableDirectory = DirectoryOf(executablePath);
  const std::wstring moduleDirectory = DirectoryOf(modulePath);
  const bool moduleIsExecutable = EqualNoCase(executablePath, modulePath);
  const bool moduleElsewhere = !moduleIsExecutable && !EqualNoCase(executableDirectory, moduleDirectory);

  std::vector<std::wstring> candidates;
  candidates.push_back(executableDirectory + BaseNameOf(executablePath) + L".ini");
  if (!moduleIsExecutable) candidates.push_back(executableDirectory + BaseNameOf(modulePath) + L".ini");
  candidates.push_back(executableDirectory + L"GlobalSettings.ini");
  if (moduleElsewhere) {
    candidates.push_back(moduleDirectory + BaseNameOf(modulePath) + L".ini");
    candidates.push_back(moduleDirectory + L"GlobalSettings.ini");
  }
  return candidates;
}

GlobalSettings& GlobalSettings::Instance() {
  static NoDestroy<GlobalSettings> instance(
      IniCandidatePaths(GetModulePath(nullptr), GetModulePath(CurrentModuleHandle())));
  return instance.Get();
}

GlobalSettings::GlobalSettings(std::vector<std::wstring> iniCandidates) {
  m_sources.push_back(std::make_unique<IniSettingsSource>(std::move(iniCandidates)));
  m_sources.push_back(std::make_unique<EnvironmentSettingsSource>());
}

HRESULT GlobalSettings::ReadSetting(const wchar_t* section, const wchar_t* key, std::wstring& value) {
  if (key == nullptr) return E_INVALIDARG;
  std::lock_guard guard(m_lock);
  for (auto source = m_sources.rbegin(); source != m_sources.rend(); ++source) {
    const HRESULT result = (*source)->Read(section, key, value);
    if (result == S_OK || result == E_ABORT) return result;
  }
  return kNotFound;
}

bool GlobalSettings::TryReadSetting(const wchar_t* section, const wchar_t* key, std::wstring& value) {
  return ReadSetting(section, key, value) == S_OK;
}

std::wstring GlobalSettings::ReadSetting(const wchar_t* section, const wchar_t* key, const std::wstring& fallback) {
  std::wstring value;
  return ReadSetting(section, key, value) == S_OK ? value : fallback;
}

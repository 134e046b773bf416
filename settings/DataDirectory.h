// The data directory against which relative paths (such as the log path)
// are resolved, with the registry-held path overrides.
#pragma once

#include <map>
#include <string>
#include <vector>

class GlobalSettings;

class CDataDirectory {
 public:
  // The process-wide object, computed once on first use.
  static const CDataDirectory& Instance();

  // Reads "General"/"DataDirectoryPath" and the override key once.
  CDataDirectory(GlobalSettings& settings, const std::wstring& moduleDirectory);

  const std::wstring& Path() const noexcept { return m_path; }
  // Expands variables; a relative path is matched against the overrides
  // and then combined with the data directory. Throws HRX when combining fails.
  std::wstring ResolvePath(const std::wstring& path) const;

 private:
  using Elements = std::vector<std::wstring>;
  struct ElementsLessNoCase {
    bool operator()(const Elements& left, const Elements& right) const noexcept;
  };

  bool ApplyOverride(std::wstring& path) const;

  std::wstring m_path;
  std::map<Elements, std::wstring, ElementsLessNoCase> m_overrides;
};

std::wstring GetDataDirectory();
std::wstring ResolvePath(const std::wstring& path);

#include "DataDirectory.h"
#include "Sources/Common/Lifetime/NoDestroy.h"

#include "FileSystem.h"
#include "GlobalSettings.h"
#include "RegistryKey.h"
#include "Sources/Common/ErrorHandling/HRES.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>

namespace {
std::vector<std::wstring> SplitPathElements(const std::wstring& path) {
  std::vector<std::wstring> elements;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find_first_of(L"\\/", start), path.size());
    if (end > start) elements.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return elements;
}

bool IsRelative(const std::wstring& path) { return IsRelativePath(path); }

// more below directory (more itself when it is absolute), in full form and at
// any length. A result that is not absolute is refused: nothing of the module
// may land relative to the current directory (System32, for a service).
std::wstring CombinePath(const std::wstring& directory, const std::wstring& more) {
  if (!IsRelative(more)) return FullPath(more);
  if (IsRelative(directory)) ThrowHr(HrFromWin32(ERROR_BAD_PATHNAME));
  std::wstring combined = directory;
  if (!combined.empty() && combined.back() != L'\\' && combined.back() != L'/' && !more.empty()) combined += L'\\';
  combined += more;
  return FullPath(combined);
}
}  // namespace

bool CDataDirectory::ElementsLessNoCase::operator()(const Elements& left, const Elements& right) const noexcept {
  const size_t common = std::min(left.size(), right.size());
  for (size_t i = 0; i < common; ++i) {
    const int order = ::CompareStringOrdinal(left[i].c_str(), static_cast<int>(left[i].size()), right[i].c_str(),
                                             static_cast<int>(right[i].size()), TRUE);
    if (order != CSTR_EQUAL) return order == CSTR_LESS_THAN;
  }
  return left.size() < right.size();
}

const CDataDirectory& CDataDirectory::Instance() {
  static const NoDestroy<CDataDirectory> instance(GlobalSettings::Instance(),
                                                  DirectoryOf(GetModulePath(CurrentModuleHandle())));
  return instance.Get();
}

CDataDirectory::CDataDirectory(GlobalSettings& settings, const std::wstring& moduleDirectory) {
  std::wstring configured;
  if (settings.TryReadSetting(L"General", L"DataDirectoryPath", configured)) m_path = ExpandEnvironment(configured);
  if (IsRelative(m_path)) m_path = CombinePath(moduleDirectory, m_path);

  std::wstring overrideKey;
  if (settings.TryReadSetting(L"General", L"DataDirectoryPathOverrideRegKey", overrideKey) && !overrideKey.empty()) {
    for (const auto& [name, data] : ReadRegistryStrings(overrideKey)) {
      Elements elements = SplitPathElements(name);
      if (!elements.empty()) m_overrides.try_emplace(std::move(elements), data);
    }
  }
}

bool CDataDirectory::ApplyOverride(std::wstring& path) const {
  if (m_overrides.empty()) return false;
  Elements lookup = SplitPathElements(path);
  Elements remaining;  // in path order
  while (!lookup.empty()) {
    const auto found = m_overrides.find(lookup);
    if (found != m_overrides.end()) {
      std::wstring result = found->second;
      for (const std::wstring& element : remaining) result = CombinePath(result, element);
      path = std::move(result);
      return true;
    }
    remaining.insert(remaining.begin(), lookup.back());
    lookup.pop_back();
  }
  return false;
}

std::wstring CDataDirectory::ResolvePath(const std::wstring& path) const {
  std::wstring resolved = ExpandEnvironment(path);
  if (IsRelative(resolved)) ApplyOverride(resolved);
  if (IsRelative(resolved)) resolved = CombinePath(m_path, resolved);
  return resolved;
}

std::wstring GetDataDirectory() { return CDataDirectory::Instance().Path(); }

std::wstring ResolvePath(const std::wstring& path) { return CDataDirectory::Instance().ResolvePath(path); }

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

// The root of an absolute path: "C:" of "C:\\...", "\\\\server\\share" of a share.
std::wstring RootOf(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') return path.substr(0, 2);
  const size_t server = path.find_first_of(L"\\/", 2);
  const size_t share = server == std::wstring::npos ? server : path.find_first_of(L"\\/", server + 1);
  return share == std::wstring::npos ? path : path.substr(0, share);
}

// more after directory with one separator between, at any length (more alone
// when it is absolute). As the platform's combining does, a more that starts
// with one separator lies at the root of directory's drive or share; a drive
// without a separator ("C:x", relative to that drive's current folder) is no
// path the module can use.
std::wstring JoinPath(const std::wstring& directory, const std::wstring& more) {
  if (more.size() >= 2 && more[1] == L':' && (more.size() == 2 || (more[2] != L'\\' && more[2] != L'/'))) {
    ThrowHr(HrFromWin32(ERROR_BAD_PATHNAME));
  }
  if (!IsRelative(more)) return more;
  if (!more.empty() && (more.front() == L'\\' || more.front() == L'/') && !IsRelative(directory)) {
    return RootOf(directory) + more;
  }
  std::wstring joined = directory;
  if (!joined.empty() && joined.back() != L'\\' && joined.back() != L'/' && !more.empty()) joined += L'\\';
  return joined + more;
}

// more below an absolute directory, in full form and at any length. A result
// that is not absolute is refused: nothing of the module may land relative to
// the current directory (System32, for a service).
std::wstring CombinePath(const std::wstring& directory, const std::wstring& more) {
  const std::wstring joined = JoinPath(directory, more);
  if (IsRelative(joined)) ThrowHr(HrFromWin32(ERROR_BAD_PATHNAME));
  return FullPath(joined);
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
      for (const std::wstring& element : remaining) result = JoinPath(result, element);
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

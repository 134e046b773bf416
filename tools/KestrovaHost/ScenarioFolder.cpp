#include "ScenarioFolder.h"

#include "FailureText.h"
#include "ToolError.h"

#include <windows.h>

#include <vector>

namespace KestrovaHost {

namespace {

// Everything below the folder, then the folder; what will not go stays.
void RemoveTree(const std::wstring& folder) {
  std::vector<std::wstring> folders{folder};
  std::vector<std::wstring> emptied;
  while (!folders.empty()) {
    const std::wstring current = folders.back();
    folders.pop_back();
    emptied.push_back(current);
    WIN32_FIND_DATAW entry;
    const HANDLE find = ::FindFirstFileW((current + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = current + name;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        folders.push_back(path + L"\\");
      } else {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  for (auto at = emptied.rbegin(); at != emptied.rend(); ++at) ::RemoveDirectoryW(at->c_str());
}

}  // namespace

ScenarioFolder::ScenarioFolder() {
  wchar_t directory[MAX_PATH + 1] = {};
  wchar_t name[MAX_PATH + 1] = {};
  // A unique name, taken as a file and turned into a folder.
  if (::GetTempPathW(MAX_PATH + 1, directory) == 0 || ::GetTempFileNameW(directory, L"kht", 0, name) == 0 ||
      !::DeleteFileW(name) || !::CreateDirectoryW(name, nullptr)) {
    throw KestrovaTools::ToolError(KestrovaTools::kExitFailure,
                                   L"cannot make a folder for the scenario's files: " +
                                       KestrovaTools::FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
  }
  m_path = std::wstring(name) + L"\\";
}

ScenarioFolder::~ScenarioFolder() { RemoveTree(m_path); }

}  // namespace KestrovaHost

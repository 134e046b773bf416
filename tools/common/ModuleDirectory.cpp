#include "ModuleDirectory.h"

#include <windows.h>

#include <vector>

namespace KestrovaTools {

std::wstring ModuleDirectory() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      std::wstring directory(path.data(), length);
      const size_t slash = directory.find_last_of(L"\\/");
      return slash == std::wstring::npos ? std::wstring() : directory.substr(0, slash + 1);
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace KestrovaTools

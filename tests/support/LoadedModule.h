// Loads a DLL from the test executable's folder, the way a host does.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace KestrovaTest {

inline std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

class LoadedLibrary {
 public:
  explicit LoadedLibrary(const wchar_t* fileName)
      : m_handle(::LoadLibraryW((ExecutableDirectory() + fileName).c_str())) {}
  ~LoadedLibrary() {
    if (m_handle != nullptr) ::FreeLibrary(m_handle);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  HMODULE Handle() const { return m_handle; }

  template <typename Function>
  Function Export(const char* name) const {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(m_handle, name)));
  }

 private:
  HMODULE m_handle;
};

}  // namespace KestrovaTest

// Small fixtures of the runtime tests: temporary folders, environment
// variables and registry keys that clean up after themselves, and loggers
// and report sinks that record what they are given.
#pragma once

#include "logging/InternalReport.h"
#include "logging/LogManager.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace RuntimeTest {

inline std::wstring ExecutablePath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

inline std::wstring ExecutableDirectory() {
  const std::wstring path = ExecutablePath();
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

inline void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  ::RemoveDirectoryW(path.c_str());
}

// A fresh folder under the temporary directory, removed with its content.
class TempDirectory {
 public:
  TempDirectory() {
    wchar_t base[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    m_path = std::wstring(base) + L"kestrova-rt-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(::InterlockedIncrement(&counter));
    ::CreateDirectoryW(m_path.c_str(), nullptr);
  }
  ~TempDirectory() { RemoveTree(m_path); }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::wstring& Path() const { return m_path; }
  std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

 private:
  std::wstring m_path;
};

// Sets (or with null removes) a variable and restores its earlier state.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::wstring name, const wchar_t* value) : m_name(std::move(name)) {
    wchar_t previous[4096];
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(m_name.c_str(), previous, 4096);
    m_hadValue = length != 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    if (m_hadValue) m_previous.assign(previous, length);
    ::SetEnvironmentVariableW(m_name.c_str(), value);
  }
  ~ScopedEnvironmentVariable() {
    ::SetEnvironmentVariableW(m_name.c_str(), m_hadValue ? m_previous.c_str() : nullptr);
  }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::wstring m_name;
  std::wstring m_previous;
  bool m_hadValue = false;
};

// A key under HKEY_CURRENT_USER\Software\KestrovaTests, deleted with its values.
class TestRegistryKey {
 public:
  explicit TestRegistryKey(const std::wstring& leaf) : m_subkey(L"Software\\KestrovaTests\\" + leaf) {
    ::RegCreateKeyExW(HKEY_CURRENT_USER, m_subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
  }
  ~TestRegistryKey() {
    if (m_key != nullptr) ::RegCloseKey(m_key);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_subkey.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\KestrovaTests");
  }
  TestRegistryKey(const TestRegistryKey&) = delete;
  TestRegistryKey& operator=(const TestRegistryKey&) = delete;

  void SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) {
    ASSERT_EQ(::RegSetValueExW(m_key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  void SetNumber(const wchar_t* name, DWORD value) {
    ASSERT_EQ(::RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
              ERROR_SUCCESS);
  }
  // "HKCU\Software\KestrovaTests\<leaf>"
  std::wstring PathFromRoot(const wchar_t* root = L"HKCU") const { return std::wstring(root) + L"\\" + m_subkey; }

 private:
  std::wstring m_subkey;
  HKEY m_key = nullptr;
};

inline void WriteTextFile(const std::wstring& path, const std::string& text) {
  std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
  file << text;
}

// A UTF-16LE file as text (no byte-order mark expected).
inline std::wstring ReadUtf16File(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::wstring text(bytes.size() / 2, L'\0');
  if (!text.empty()) memcpy(text.data(), bytes.data(), text.size() * 2);
  return text;
}

inline std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// Keeps every line it is given.
class CapturingLogger final : public ILogger {
 public:
  void Write(const wchar_t* text, int length) noexcept override {
    std::lock_guard guard(m_lock);
    m_lines.emplace_back(text, length < 0 ? wcslen(text) : static_cast<size_t>(length));
  }
  std::vector<std::wstring> Lines() const {
    std::lock_guard guard(m_lock);
    return m_lines;
  }
  void Clear() {
    std::lock_guard guard(m_lock);
    m_lines.clear();
  }

 private:
  mutable std::mutex m_lock;
  std::vector<std::wstring> m_lines;
};

// Registers a capturing logger with the process-wide manager for its lifetime.
class ScopedCapture {
 public:
  ScopedCapture() { LogManager::Instance().Register(&m_logger); }
  ~ScopedCapture() { LogManager::Instance().Unregister(&m_logger); }
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  std::vector<std::wstring> Lines() const { return m_logger.Lines(); }
  void Clear() { m_logger.Clear(); }

 private:
  CapturingLogger m_logger;
};

// Collects the logging machinery's internal reports while it lives.
class ScopedReportCapture {
 public:
  ScopedReportCapture() {
    Reports().clear();
    m_previous = SetInternalReportSink(&Record);
  }
  ~ScopedReportCapture() { SetInternalReportSink(m_previous); }
  ScopedReportCapture(const ScopedReportCapture&) = delete;
  ScopedReportCapture& operator=(const ScopedReportCapture&) = delete;

  std::vector<std::wstring> Texts() const {
    std::lock_guard guard(Lock());
    return Reports();
  }

 private:
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static std::vector<std::wstring>& Reports() {
    static std::vector<std::wstring> reports;
    return reports;
  }
  static void Record(const wchar_t* text) {
    std::lock_guard guard(Lock());
    Reports().emplace_back(text);
  }
  InternalReportSink m_previous = nullptr;
};

}  // namespace RuntimeTest

#include "FileSystem.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <vector>

namespace {
bool IsNotFound(DWORD error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }
bool IsSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }
}  // namespace

bool FileExists(const std::wstring& path, bool raise) {
  HRESULT error = S_OK;
  bool exists = false;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD lastError = ::GetLastError();
    if (!IsNotFound(lastError)) error = HrFromWin32(static_cast<LONG>(lastError));
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = HrFromWin32(ERROR_ACCESS_DENIED);
  } else {
    exists = true;
  }
  if (raise && error < 0) ThrowHr(error);
  return exists;
}

void CreateDirectories(const std::wstring& path, SECURITY_ATTRIBUTES* security, bool ignoreErrors) {
  const auto createLevel = [&](const std::wstring& prefix) {
    if (::GetFileAttributesW(prefix.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    if (!IsNotFound(::GetLastError())) return;  // not ours to judge (e.g. a share root)
    if (::CreateDirectoryW(prefix.c_str(), security)) return;
    const DWORD error = ::GetLastError();
    // Another thread or process may have created it meanwhile.
    if (error == ERROR_ALREADY_EXISTS) {
      const DWORD now = ::GetFileAttributesW(prefix.c_str());
      if (now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
    }
    if (!ignoreErrors) ThrowHr(HrFromWin32(static_cast<LONG>(error)));
  };
  for (size_t i = 1; i < path.size(); ++i) {
    if (IsSeparator(path[i])) createLevel(path.substr(0, i));
  }
  if (!path.empty() && !IsSeparator(path.back())) createLevel(path);
}

std::wstring ExpandEnvironment(const std::wstring& text) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (needed == 0) return text;
    if (needed <= buffer.size()) return std::wstring(buffer.data(), needed - 1);
    buffer.resize(needed);
  }
}

std::wstring GetModulePath(HMODULE module) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) ThrowHr(HrFromWin32(static_cast<LONG>(::GetLastError())));
    // A name that fills the buffer was cut: try again with twice the room.
    if (length < buffer.size() - 1 && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      return std::wstring(buffer.data(), length);
    }
    buffer.resize(buffer.size() * 2);
  }
}

HMODULE CurrentModuleHandle() noexcept {
  static const int anchor = 0;
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<const wchar_t*>(&anchor), &module);
  return module;
}

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

std::wstring BaseNameOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  std::wstring name = separator == std::wstring::npos ? path : path.substr(separator + 1);
  const size_t dot = name.find_last_of(L'.');
  if (dot != std::wstring::npos) name.resize(dot);
  return name;
}

bool EqualNoCase(const std::wstring& left, const std::wstring& right) noexcept {
  return ::CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

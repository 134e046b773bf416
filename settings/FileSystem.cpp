#include "FileSystem.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <vector>

namespace {
bool IsNotFound(DWORD error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }
bool IsSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }
}  // namespace

bool IsRelativePath(const std::wstring& path) noexcept {
  const bool drivePath = path.size() >= 3 && path[1] == L':' && IsSeparator(path[2]);
  const bool sharePath = path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
  return !drivePath && !sharePath;
}

std::wstring FullPath(const std::wstring& path) {
  if (IsRelativePath(path)) ThrowHr(HrFromWin32(ERROR_BAD_PATHNAME));
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) {
      const DWORD error = ::GetLastError();
      ThrowHr(error != 0 ? HrFromWin32(static_cast<LONG>(error)) : E_FAIL);
    }
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length);
  }
}

std::wstring ExtendedLengthPath(const std::wstring& path) noexcept {
  try {
    if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) return path;
    if (IsRelativePath(path)) return path;
    const std::wstring full = FullPath(path);
    if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
  } catch (...) {
    return path;
  }
}

bool DeleteFileAt(const std::wstring& path) noexcept {
  return ::DeleteFileW(ExtendedLengthPath(path).c_str()) != FALSE;
}

bool MoveFileAt(const std::wstring& from, const std::wstring& to, DWORD flags) noexcept {
  return ::MoveFileExW(ExtendedLengthPath(from).c_str(), ExtendedLengthPath(to).c_str(), flags) != FALSE;
}

namespace {
constexpr int kHeldFileAttempts = 6;
constexpr DWORD kHeldFileRetryDelayMs = 50;

bool IsHeldFileError(DWORD error) noexcept { return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED; }
}  // namespace

bool DeleteFileAtRetrying(const std::wstring& path) noexcept {
  for (int attempt = 1;; ++attempt) {
    if (DeleteFileAt(path)) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (!IsHeldFileError(error) || attempt == kHeldFileAttempts) return false;
    ::Sleep(kHeldFileRetryDelayMs);
  }
}

bool MoveFileAtRetrying(const std::wstring& from, const std::wstring& to, DWORD flags) noexcept {
  for (int attempt = 1;; ++attempt) {
    if (MoveFileAt(from, to, flags)) return true;
    if (!IsHeldFileError(::GetLastError()) || attempt == kHeldFileAttempts) return false;
    ::Sleep(kHeldFileRetryDelayMs);
  }
}

bool FileExists(const std::wstring& path, bool raise) {
  HRESULT error = S_OK;
  bool exists = false;
  const DWORD attributes = ::GetFileAttributesW(ExtendedLengthPath(path).c_str());
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

void CreateDirectories(const std::wstring& requested, SECURITY_ATTRIBUTES* security, bool ignoreErrors) {
  const std::wstring path = ExtendedLengthPath(requested);
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
  // Levels below the root only: "\\?\C:\", "\\?\UNC\server\share\" and the
  // like are the platform's.
  size_t first = 1;
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    const size_t server = path.find(L'\\', 8);
    const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    first = share == std::wstring::npos ? path.size() : share + 1;
  } else if (path.rfind(L"\\\\?\\", 0) == 0) {
    first = 7;  // past "\\?\C:\"
  }
  for (size_t i = first; i < path.size(); ++i) {
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
    if (length == 0) ThrowHr(HrFromLastError());
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

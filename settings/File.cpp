#include "File.h"

#include "FileSystem.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <utility>

namespace {
HRESULT LastErrorResult() noexcept { return HrFromLastError(); }
}  // namespace

CFile& CFile::operator=(CFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_handle = other.Detach();
  }
  return *this;
}

HRESULT CFile::Create(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD attributesAndFlags,
                      SECURITY_ATTRIBUTES* security, HANDLE templateFile) noexcept {
  // Any length: module-owned files may lie below long directories.
  const std::wstring target = path != nullptr ? ExtendedLengthPath(path) : std::wstring();
  const HANDLE handle = ::CreateFileW(path != nullptr ? target.c_str() : nullptr, access, share, security, disposition,
                                      attributesAndFlags, templateFile);
  if (handle == INVALID_HANDLE_VALUE) return LastErrorResult();
  Close();
  m_handle = handle;
  return S_OK;
}

HRESULT CFile::Read(void* buffer, DWORD size, DWORD* bytesRead) noexcept {
  return ::ReadFile(m_handle, buffer, size, bytesRead, nullptr) ? S_OK : LastErrorResult();
}

HRESULT CFile::Write(const void* buffer, DWORD size, DWORD* bytesWritten) noexcept {
  DWORD written = 0;
  return ::WriteFile(m_handle, buffer, size, bytesWritten != nullptr ? bytesWritten : &written, nullptr)
             ? S_OK
             : LastErrorResult();
}

HRESULT CFile::Flush() noexcept { return ::FlushFileBuffers(m_handle) ? S_OK : LastErrorResult(); }

HRESULT CFile::Close() noexcept {
  if (m_handle == nullptr) return S_OK;
  const BOOL closed = ::CloseHandle(std::exchange(m_handle, nullptr));
  return closed ? S_OK : LastErrorResult();
}

HANDLE CFile::Detach() noexcept { return std::exchange(m_handle, nullptr); }

// Owning wrapper of one file handle; every operation reports an HRESULT.
#pragma once

#include <windows.h>

class CFile {
 public:
  CFile() noexcept = default;
  explicit CFile(HANDLE handle) noexcept : m_handle(handle) {}
  ~CFile() { Close(); }
  CFile(CFile&& other) noexcept : m_handle(other.Detach()) {}
  CFile& operator=(CFile&& other) noexcept;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // CreateFileW; on success the new handle replaces the one held.
  HRESULT Create(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                 DWORD attributesAndFlags = FILE_ATTRIBUTE_NORMAL, SECURITY_ATTRIBUTES* security = nullptr,
                 HANDLE templateFile = nullptr) noexcept;
  HRESULT Read(void* buffer, DWORD size, DWORD* bytesRead) noexcept;
  HRESULT Write(const void* buffer, DWORD size, DWORD* bytesWritten = nullptr) noexcept;
  HRESULT Flush() noexcept;
  HRESULT Close() noexcept;

  HANDLE Get() const noexcept { return m_handle; }
  bool IsOpen() const noexcept { return m_handle != nullptr; }
  HANDLE Detach() noexcept;

 private:
  HANDLE m_handle = nullptr;
};

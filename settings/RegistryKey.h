// Owning wrapper of a registry key handle and the registry readers built on it.
#pragma once

#include <windows.h>

#include <map>
#include <string>

class CRegistryKey {
 public:
  CRegistryKey() noexcept = default;
  ~CRegistryKey() { Close(); }
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;

  // RegOpenKeyExW; on failure the key object is left as it was.
  LSTATUS Open(HKEY root, const wchar_t* subkey, REGSAM access) noexcept;
  // RegCloseKey's status, or 0 when nothing was held.
  LSTATUS Close() noexcept;

  HKEY Get() const noexcept { return m_key; }
  // The 64/32-bit view bits of the access the key was opened with.
  REGSAM ViewBits() const noexcept { return m_viewBits; }

 private:
  HKEY m_key = nullptr;
  REGSAM m_viewBits = 0;
};

// Takes a leading "HKLM", "HKEY_LOCAL_MACHINE", "HKCU" or "HKEY_CURRENT_USER"
// element (exact case) off path and sets root; false leaves both unchanged.
bool ParseRootKey(std::wstring& path, HKEY& root);

// The REG_SZ and REG_EXPAND_SZ values of a key, by name, environment
// variables expanded. The root defaults to HKEY_LOCAL_MACHINE; a missing key
// reads as empty; a failing enumeration or read is thrown as HRX.
std::map<std::wstring, std::wstring> ReadRegistryStrings(const std::wstring& keyPath);

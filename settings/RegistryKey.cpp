#include "RegistryKey.h"
#include "ImpersonationRevertGuard.h"

#include "FileSystem.h"
#include "Sources/Common/ErrorHandling/HRES.h"

#include <algorithm>
#include <utility>
#include <vector>

LSTATUS CRegistryKey::Open(HKEY root, const wchar_t* subkey, REGSAM access) noexcept {
  HKEY opened = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(root, subkey, 0, access, &opened);
  if (status != ERROR_SUCCESS) return status;
  Close();
  m_key = opened;
  m_viewBits = access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  return status;
}

LSTATUS CRegistryKey::Close() noexcept {
  m_viewBits = 0;
  if (m_key == nullptr) return ERROR_SUCCESS;
  return ::RegCloseKey(std::exchange(m_key, nullptr));
}

bool ParseRootKey(std::wstring& path, HKEY& root) {
  static const struct {
    const wchar_t* name;
    HKEY root;
  } kRoots[] = {{L"HKLM", HKEY_LOCAL_MACHINE},
                {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                {L"HKCU", HKEY_CURRENT_USER},
                {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER}};
  const size_t separator = path.find_first_of(L"\\/");
  const std::wstring first = path.substr(0, separator);
  for (const auto& known : kRoots) {
    if (first != known.name) continue;
    root = known.root;
    path.erase(0, separator == std::wstring::npos ? path.size() : separator + 1);
    return true;
  }
  return false;
}

namespace {
bool IsStringType(DWORD type) noexcept { return type == REG_SZ || type == REG_EXPAND_SZ; }
void ThrowIfError(LSTATUS status) {
  if (status != ERROR_SUCCESS) ThrowHr(HrFromWin32(status));
}
}  // namespace

std::map<std::wstring, std::wstring> ReadRegistryStrings(const std::wstring& keyPath) {
  std::map<std::wstring, std::wstring> values;
  HKEY root = HKEY_LOCAL_MACHINE;
  std::wstring subkey = keyPath;
  ParseRootKey(subkey, root);

  // As the process: a host thread may carry a client's token.
  const ImpersonationRevertGuard asProcess;
  CRegistryKey key;
  if (key.Open(root, subkey.c_str(), KEY_READ) != ERROR_SUCCESS) return values;

  // Value names are at most 16383 characters.
  constexpr DWORD kLongestName = 16384;
  std::vector<wchar_t> name(MAX_PATH);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD type = 0;
    DWORD dataSize = 0;
    LSTATUS status = ::RegEnumValueW(key.Get(), index, name.data(), &nameLength, nullptr, &type, nullptr, &dataSize);
    if (status == ERROR_MORE_DATA) {
      // The platform does not reliably report the length a name needs, so the
      // second call gets room for the longest name there can be.
      name.resize(std::max<size_t>(nameLength + 1, kLongestName));
      nameLength = static_cast<DWORD>(name.size());
      status = ::RegEnumValueW(key.Get(), index, name.data(), &nameLength, nullptr, &type, nullptr, &dataSize);
    }
    if (status == ERROR_NO_MORE_ITEMS) break;
    ThrowIfError(status);
    if (!IsStringType(type)) continue;

    const std::wstring valueName(name.data(), nameLength);
    std::vector<wchar_t> data(dataSize / 2 + 1);
    DWORD readSize = dataSize;
    ThrowIfError(::RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &type,
                                    reinterpret_cast<BYTE*>(data.data()), &readSize));
    if (!IsStringType(type)) continue;
    std::wstring text(data.data(), dataSize / 2);
    // Stored strings usually carry their NUL; the text ends before it.
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    values.try_emplace(valueName, ExpandEnvironment(text));
  }
  return values;
}

#include "ModuleBanner.h"

#include "settings/FileSystem.h"

#include <cstdint>
#include <cwchar>

namespace {
struct FileVersion {
  unsigned parts[4] = {};
};

// The fixed file version of the module's own version resource; zeros without one.
FileVersion ReadFileVersion(HMODULE module) noexcept {
  FileVersion version;
  const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));
  if (resource == nullptr) return version;
  const HGLOBAL loaded = ::LoadResource(module, resource);
  const auto* data = static_cast<const BYTE*>(::LockResource(loaded));
  const DWORD size = ::SizeofResource(module, resource);
  if (data == nullptr) return version;
  // VS_VERSIONINFO: a header, the key "VS_VERSION_INFO", padding to 32 bits, then the fixed block.
  for (DWORD offset = 0; offset + sizeof(VS_FIXEDFILEINFO) <= size; offset += 4) {
    const auto* fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(data + offset);
    if (fixed->dwSignature != 0xFEEF04BD) continue;
    version.parts[0] = HIWORD(fixed->dwFileVersionMS);
    version.parts[1] = LOWORD(fixed->dwFileVersionMS);
    version.parts[2] = HIWORD(fixed->dwFileVersionLS);
    version.parts[3] = LOWORD(fixed->dwFileVersionLS);
    break;
  }
  return version;
}
}  // namespace

std::wstring PointerText(const void* address) {
  wchar_t text[20];
  std::swprintf(text, std::size(text), L"%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

std::wstring BuildModuleBanner(HMODULE module, const std::wstring& description) {
  const std::wstring stars(100, L'*');
  const FileVersion version = ReadFileVersion(module);
  std::wstring banner;
  banner += stars + L"\r\n";
  banner += L"*** Module: " + GetModulePath(module) + L" (Base: 0x" + PointerText(module) + L")\r\n";
  banner += L"*** Version: " + std::to_wstring(version.parts[0]) + L"." + std::to_wstring(version.parts[1]) + L"." +
            std::to_wstring(version.parts[2]) + L"." + std::to_wstring(version.parts[3]) + L"\r\n";
  banner += L"*** Module description: " + description + L"\r\n";
  banner += L"*** Process: " + GetModulePath(nullptr) + L" (Pid: " + std::to_wstring(::GetCurrentProcessId()) +
            L")\r\n";
  banner += L"*** Command line: " + std::wstring(::GetCommandLineW()) + L"\r\n";
  banner += stars + L"\r\n";
  return banner;
}

std::wstring DefaultLogFileName(HMODULE module) { return BaseNameOf(GetModulePath(module)) + L".log"; }

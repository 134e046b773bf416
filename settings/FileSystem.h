// Path helpers over the platform's file-system and environment functions.
#pragma once

#include <windows.h>

#include <string>

// The form of an absolute path that the file functions take at any length:
// "\\?\" before the full path of a drive path, "\\?\UNC\" for a share.
// A path already in that form, a device path, a relative path (which no
// module-owned file uses) or one the platform cannot make full comes back
// as it is.
std::wstring ExtendedLengthPath(const std::wstring& path) noexcept;
// The full (canonical) form of an absolute path, at any length; raises HRX
// when the platform cannot build it, and 0x800700A1 for a relative path.
std::wstring FullPath(const std::wstring& path);
// True when path is neither a drive path ("C:\...") nor a share or
// extended path ("\\...").
bool IsRelativePath(const std::wstring& path) noexcept;
// DeleteFileW and MoveFileExW on the extended-length forms.
bool DeleteFileAt(const std::wstring& path) noexcept;
bool MoveFileAt(const std::wstring& from, const std::wstring& to, DWORD flags) noexcept;
// The same, tried again for a quarter of a second while another program (a
// scanner, an indexer) holds a file: sharing violation or access denied.
// The delete counts a file that is not there as gone. On failure the last
// error is the call's.
bool DeleteFileAtRetrying(const std::wstring& path) noexcept;
bool MoveFileAtRetrying(const std::wstring& from, const std::wstring& to, DWORD flags) noexcept;

// True for an existing file. Not-found and path-not-found are no errors; a
// directory is 0x80070005. With raise set, an error is thrown as HRX.
bool FileExists(const std::wstring& path, bool raise = false);

// Creates every missing directory along path, outermost first. Unless
// ignoreErrors is set, a failing CreateDirectoryW is thrown as HRX.
void CreateDirectories(const std::wstring& path, SECURITY_ATTRIBUTES* security = nullptr, bool ignoreErrors = false);

// Expands %VARIABLES%; on failure the text comes back unchanged.
std::wstring ExpandEnvironment(const std::wstring& text);

// Full file name of a loaded module (null: the process executable); a
// failure is thrown as HRX.
std::wstring GetModulePath(HMODULE module);
// The module that holds this code: the DLL, or the executable it is linked into.
HMODULE CurrentModuleHandle() noexcept;

// Directory part of a path including its final separator ("" when none).
std::wstring DirectoryOf(const std::wstring& path);
// File name without directory and without its last extension.
std::wstring BaseNameOf(const std::wstring& path);
// Ordinal comparison ignoring letter case.
bool EqualNoCase(const std::wstring& left, const std::wstring& right) noexcept;

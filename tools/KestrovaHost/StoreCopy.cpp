#include "StoreCopy.h"

#include "FailureText.h"
#include "ToolError.h"

#include <windows.h>

namespace KestrovaHost {

using KestrovaTools::ToolError;
namespace FailureText = KestrovaTools::FailureText;

namespace {

HRESULT LastError() { return HRESULT_FROM_WIN32(::GetLastError()); }

}  // namespace

std::wstring StoreCopy::NewTemporaryPath() {
  wchar_t directory[MAX_PATH + 1] = {};
  wchar_t path[MAX_PATH + 1] = {};
  if (::GetTempPathW(MAX_PATH + 1, directory) == 0 || ::GetTempFileNameW(directory, L"khs", 0, path) == 0) {
    throw ToolError(KestrovaTools::kExitFailure,
                    L"cannot create a temporary file for the store: " + FailureText::Describe(LastError()));
  }
  return path;
}

StoreCopy StoreCopy::OfFile(const std::wstring& path) {
  StoreCopy copy(NewTemporaryPath());
  if (!::CopyFileW(path.c_str(), copy.m_path.c_str(), FALSE)) {
    throw ToolError(KestrovaTools::kExitUsage,
                    L"cannot open STORE file '" + path + L"': " + FailureText::Describe(LastError()));
  }
  // A read-only source gives a read-only copy; the server may save over its own file.
  ::SetFileAttributesW(copy.m_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return copy;
}

StoreCopy StoreCopy::OfText(std::string_view text) {
  StoreCopy copy(NewTemporaryPath());
  const HANDLE file =
      ::CreateFileW(copy.m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  const bool ok = file != INVALID_HANDLE_VALUE &&
                  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  const HRESULT hr = LastError();
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  if (!ok) {
    throw ToolError(KestrovaTools::kExitFailure,
                    L"cannot write the store to '" + copy.m_path + L"': " + FailureText::Describe(hr));
  }
  return copy;
}

StoreCopy::~StoreCopy() {
  if (m_path.empty()) return;
  ::DeleteFileW(m_path.c_str());
  // The server saves through "<file>.tmp"; leave nothing of it behind either.
  ::DeleteFileW((m_path + L".tmp").c_str());
}

}  // namespace KestrovaHost

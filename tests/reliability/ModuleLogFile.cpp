#include "ModuleLogFile.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace Reliability {

void ModuleLogFile::Direct(const std::wstring& folder) {
  ::SetEnvironmentVariableW(L"GS_Logger_Path", folder.c_str());
  ::SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG3");
  ::SetEnvironmentVariableW(L"GS_Logger_KeepOpenInterval", L"0");
}

ModuleLogFile::ModuleLogFile(std::wstring folder) : m_path(std::move(folder) + L"\\Kestrova.log") {}

std::wstring ModuleLogFile::Text() const {
  const HANDLE file =
      ::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::vector<char> bytes;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0)
    bytes.insert(bytes.end(), buffer, buffer + read);
  ::CloseHandle(file);
  std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
  return text;
}

std::wstring ModuleLogFile::SinceMark() const {
  const std::wstring text = Text();
  return m_mark < text.size() ? text.substr(m_mark) : std::wstring();
}

void ModuleLogFile::Mark() { m_mark = Text().size(); }

size_t ModuleLogFile::Count(const std::wstring& text, const std::wstring& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

}  // namespace Reliability

#include "FailureText.h"

#include "ModuleDirectory.h"

#include <oleauto.h>

#include <cwchar>
#include <cwctype>

namespace KestrovaTools::FailureText {

namespace {

std::wstring CodeText(HRESULT hr) {
  wchar_t code[16];
  std::swprintf(code, 16, L"0x%08X", static_cast<unsigned>(hr));
  return code;
}

std::wstring TrimTrailingSpace(std::wstring text) {
  while (!text.empty() && std::iswspace(text.back())) text.pop_back();
  return text;
}

std::wstring MessageFrom(DWORD source, HMODULE module, HRESULT hr) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(source | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                                        static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length > 0 ? std::wstring(buffer, length) : std::wstring();
  if (buffer != nullptr) ::LocalFree(buffer);
  return TrimTrailingSpace(std::move(text));
}

std::wstring SystemOrModuleMessage(HRESULT hr) {
  std::wstring text = MessageFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, hr);
  if (!text.empty()) return text;
  const HMODULE messages = ::LoadLibraryExW((ModuleDirectory() + L"CoreErrorMessages.dll").c_str(), nullptr,
                                            LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (messages == nullptr) return text;
  text = MessageFrom(FORMAT_MESSAGE_FROM_HMODULE, messages, hr);
  ::FreeLibrary(messages);
  return text;
}

// The description of the thread's error object, taken (and cleared).
std::wstring TakeErrorObjectDescription() {
  IErrorInfo* errorObject = nullptr;
  if (::GetErrorInfo(0, &errorObject) != S_OK || errorObject == nullptr) return {};
  BSTR description = nullptr;
  std::wstring text;
  if (SUCCEEDED(errorObject->GetDescription(&description)) && description != nullptr) {
    text.assign(description, ::SysStringLen(description));
  }
  ::SysFreeString(description);
  errorObject->Release();
  return text;
}

}  // namespace

std::wstring Describe(HRESULT hr) {
  const std::wstring message = SystemOrModuleMessage(hr);
  return message.empty() ? CodeText(hr) : CodeText(hr) + L" " + message;
}

std::wstring DescribeModuleFailure(HRESULT hr) {
  std::wstring description = TrimTrailingSpace(TakeErrorObjectDescription());
  const std::wstring code = CodeText(hr);
  // An error object left over from another failure does not describe this one.
  if (description.compare(0, code.size() + 1, code + L" ") != 0) return Describe(hr);
  std::wstring callSites;
  if (description.back() == L']') {
    const size_t open = description.rfind(L" [");
    if (open != std::wstring::npos) {
      callSites = description.substr(open + 2, description.size() - open - 3);
      description.erase(open);
    }
  }
  return callSites.empty() ? description : description + L"\n  module call sites: " + callSites;
}

}  // namespace KestrovaTools::FailureText

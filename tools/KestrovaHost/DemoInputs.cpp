#include "DemoInputs.h"

#include "FailureText.h"
#include "ToolError.h"

#include <windows.h>

#include <string>

namespace KestrovaHost::DemoInputs {

namespace {

std::string_view ResourceText(const wchar_t* name) {
  const HRSRC resource = ::FindResourceW(nullptr, name, RT_RCDATA);
  const HGLOBAL loaded = resource != nullptr ? ::LoadResource(nullptr, resource) : nullptr;
  const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (data == nullptr) {
    throw KestrovaTools::ToolError(KestrovaTools::kExitFailure,
                                   std::wstring(L"the demo resource ") + name + L" is missing: " +
                                       KestrovaTools::FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
  }
  // Resources stay mapped for the life of the process.
  return {static_cast<const char*>(data), ::SizeofResource(nullptr, resource)};
}

}  // namespace

std::string_view StoreText() { return ResourceText(L"DEMO_STORE"); }
std::string_view SettingsText() { return ResourceText(L"DEMO_SETTINGS"); }
std::string_view ChangesText() { return ResourceText(L"DEMO_CHANGES"); }

}  // namespace KestrovaHost::DemoInputs

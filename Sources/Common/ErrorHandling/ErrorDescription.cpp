#include "ErrorDescription.h"

#include "ErrorText.h"

#include <oleauto.h>

#include <cwchar>
#include <cwctype>

namespace {
std::wstring TrimTrailingSpace(std::wstring text) {
  while (!text.empty() && std::iswspace(text.back())) text.pop_back();
  return text;
}

std::wstring AddressText(const void* address) {
  wchar_t text[24];
  std::swprintf(text, std::size(text), L"0x%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

// The description of an error object, or nothing when it has none.
bool ReadErrorObject(IErrorInfo* errorObject, std::wstring& text, GUID& guid) {
  BSTR description = nullptr;
  if (FAILED(errorObject->GetDescription(&description)) || description == nullptr) return false;
  text.assign(description, ::SysStringLen(description));
  ::SysFreeString(description);
  if (text.empty()) return false;
  guid = GUID_NULL;
  if (FAILED(errorObject->GetGUID(&guid))) guid = GUID_NULL;
  return true;
}
}  // namespace

bool ParseErrorDescription(const std::wstring& described, ErrorDescription& description) {
  const wchar_t* start = described.c_str();
  wchar_t* end = nullptr;
  const unsigned long code = std::wcstoul(start, &end, 0);
  if (end == start || *end != L' ') return false;
  std::wstring text(end + 1);
  std::wstring location;
  const size_t open = text.find(L'[');
  if (text.size() > 1 && text.back() == L']' && open != std::wstring::npos) {
    location = text.substr(open + 1, text.size() - open - 2);
    text = TrimTrailingSpace(text.substr(0, open));
  }
  description = {static_cast<HRESULT>(code), std::move(text), std::move(location)};
  return true;
}

ErrorDescription DescribeError(const HRES& result) {
  ErrorDescription description;
  if (IErrorInfo* errorObject = result.ErrorObject()) {
    std::wstring text;
    GUID guid{};
    if (ReadErrorObject(errorObject, text, guid)) {
      if (::IsEqualGUID(guid, ErrorDescriptionGuid)) {
        // A description of ours that belongs to another code is stale.
        if (ParseErrorDescription(text, description) && description.hr != result.Code()) description = {};
      } else {
        description.text = std::move(text);
      }
    }
  }
  description.hr = result.Code();
  if (description.text.empty()) description.text = GetErrorText(description.hr);

  const HRES::CallSites& sites = result.Sites();
  if (result.Failed() && sites[0] != nullptr) {
    if (!description.location.empty()) description.location += L';';
    description.location += AddressText(sites[0]);
    if (sites[1] != nullptr) description.location += L',' + AddressText(sites[1]);
  }
  return description;
}

std::wstring FormatError(const ErrorDescription& description, unsigned flags) {
  std::wstring formatted;
  if ((flags & ErrorFormat::NoCode) == 0) {
    wchar_t code[16];
    std::swprintf(code, std::size(code), L"0x%08X ", static_cast<unsigned>(description.hr));
    formatted += code;
  }
  if ((flags & ErrorFormat::NoText) == 0 && !description.text.empty()) formatted += description.text;
  if ((flags & ErrorFormat::NoLocation) == 0 && !description.location.empty()) {
    formatted += L" [" + description.location + L"]";
  }
  return TrimTrailingSpace(std::move(formatted));
}

std::wstring FormatError(const HRES& result, unsigned flags) { return FormatError(DescribeError(result), flags); }

std::wostream& operator<<(std::wostream& stream, const HRES& result) { return stream << FormatError(result, 0); }

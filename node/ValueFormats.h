// Text forms of the values the module writes into nodes: GUIDs and UTC times.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace ValueFormats {

enum class GuidForm : int {
  Braced = 0,           // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  Digits = 1,           // 32 digits, no hyphens
  Hyphenated = 2,       // XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX
  HyphenatedLower = 3,  // as Hyphenated, lower case
};

// Accepts the braced form (text starts with "{"), the hyphenated form (text
// holds a "-") or 32 digits. E_INVALIDARG for a null text or a scan that does
// not yield all 11 fields.
HRESULT GuidFromString(const wchar_t* text, GUID* id);
// The same, raising the failure.
GUID GuidFromString(const wchar_t* text);

// Raises E_FAIL for a form outside 0..3.
std::wstring GuidToString(const GUID& id, GuidForm form);
std::wstring GuidToString(const GUID& id, int form);

// "YYYY-MM-DDTHH:MM:SSZ" of a time_t, in UTC.
std::wstring TimeToIsoString(int64_t time);
// The reverse, as UTC; fields that do not scan count as 0.
int64_t IsoStringToTime(const wchar_t* text);

}  // namespace ValueFormats

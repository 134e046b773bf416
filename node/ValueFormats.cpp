#include "ValueFormats.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <cstdio>
#include <ctime>
#include <cwchar>

namespace ValueFormats {

HRESULT GuidFromString(const wchar_t* text, GUID* id) {
  if (text == nullptr || id == nullptr) return E_INVALIDARG;
  unsigned long data1 = 0;
  unsigned int data2 = 0, data3 = 0;
  unsigned int b[8] = {};
  const wchar_t* format = L"%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X";
  if (text[0] == L'{') {
    format = L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}";
  } else if (std::wcschr(text, L'-') != nullptr) {
    format = L"%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X";
  }
  const int scanned =
      std::swscanf(text, format, &data1, &data2, &data3, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
  if (scanned != 11) return E_INVALIDARG;
  id->Data1 = static_cast<uint32_t>(data1);
  id->Data2 = static_cast<uint16_t>(data2);
  id->Data3 = static_cast<uint16_t>(data3);
  for (int i = 0; i < 8; ++i) id->Data4[i] = static_cast<uint8_t>(b[i]);
  return S_OK;
}

GUID GuidFromString(const wchar_t* text) {
  GUID id{};
  ThrowIfFailed(GuidFromString(text, &id));
  return id;
}

std::wstring GuidToString(const GUID& id, GuidForm form) {
  const int formNumber = static_cast<int>(form);
  if (formNumber < 0 || formNumber > 3) ThrowHr(E_FAIL);
  const char* digits = form == GuidForm::HyphenatedLower ? "0123456789abcdef" : "0123456789ABCDEF";
  const bool hyphens = form != GuidForm::Digits;

  std::wstring text;
  text.reserve(38);
  int written = 0;  // digits so far; hyphens follow the 8th, 12th, 16th and 20th
  auto put = [&](uint64_t value, int digitCount) {
    for (int shift = (digitCount - 1) * 4; shift >= 0; shift -= 4) {
      text.push_back(static_cast<wchar_t>(digits[(value >> shift) & 0xF]));
      ++written;
      if (hyphens && (written == 8 || written == 12 || written == 16 || written == 20)) text.push_back(L'-');
    }
  };
  if (form == GuidForm::Braced) text.push_back(L'{');
  put(id.Data1, 8);
  put(id.Data2, 4);
  put(id.Data3, 4);
  for (uint8_t byte : id.Data4) put(byte, 2);
  if (form == GuidForm::Braced) text.push_back(L'}');
  return text;
}

std::wstring GuidToString(const GUID& id, int form) {
  if (form < 0 || form > 3) ThrowHr(E_FAIL);
  return GuidToString(id, static_cast<GuidForm>(form));
}

std::wstring TimeToIsoString(int64_t time) {
  const __time64_t value = time;
  std::tm parts{};
  if (_gmtime64_s(&parts, &value) != 0) ThrowHr(E_INVALIDARG);
  wchar_t text[32] = {};
  std::swprintf(text, 32, L"%04hd-%02hd-%02hdT%02hd:%02hd:%02hdZ", static_cast<short>(parts.tm_year + 1900),
                static_cast<short>(parts.tm_mon + 1), static_cast<short>(parts.tm_mday),
                static_cast<short>(parts.tm_hour), static_cast<short>(parts.tm_min), static_cast<short>(parts.tm_sec));
  return text;
}

int64_t IsoStringToTime(const wchar_t* text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (text != nullptr)
    std::swscanf(text, L"%04d-%02d-%02dT%02d:%02d:%02dZ", &year, &month, &day, &hour, &minute, &second);
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return _mkgmtime64(&parts);
}

}  // namespace ValueFormats

// The text form of a failure: code, message text and the code locations it
// passed, "0x%08X text [locations]".
#pragma once

#include "HRES.h"

#include <ostream>
#include <string>

// Marks an error object whose description this mechanism wrote:
// {64107A4E-9383-4398-97FF-EE55F0DA7FDF}.
inline constexpr GUID ErrorDescriptionGuid{
    0x64107A4E, 0x9383, 0x4398, {0x97, 0xFF, 0xEE, 0x55, 0xF0, 0xDA, 0x7F, 0xDF}};

struct ErrorDescription {
  HRESULT hr = S_OK;
  std::wstring text;
  // Address groups, oldest first: groups separated by ";", addresses by ",".
  std::wstring location;
};

// FormatError flags: leave out the code, the text, the location.
namespace ErrorFormat {
inline constexpr unsigned NoCode = 1;
inline constexpr unsigned NoText = 2;
inline constexpr unsigned NoLocation = 4;
}  // namespace ErrorFormat

// The description an error object of our own carries, or its foreign text;
// then the message text when none came with it, and this failure's call sites.
ErrorDescription DescribeError(const HRES& result);
// Parses "0x%08X text [locations]"; false when the text does not start with
// a number followed by a space.
bool ParseErrorDescription(const std::wstring& described, ErrorDescription& description);
std::wstring FormatError(const ErrorDescription& description, unsigned flags = 0);
std::wstring FormatError(const HRES& result, unsigned flags = 0);

// Writes FormatError(result, 0).
std::wostream& operator<<(std::wostream& stream, const HRES& result);

// UTF-16 texts of the node store as UTF-8 bytes for the tool's output.
#pragma once

#include <string>
#include <string_view>

namespace KestrovaTools {

// Surrogate pairs become one code point; an unpaired surrogate becomes
// U+FFFD, so the output is always valid UTF-8.
std::string ToUtf8(std::wstring_view text);

// A text as the tree format shows it: in double quotes, with \" \\ \n \r \t
// and \uXXXX for the other control characters and unpaired surrogates.
std::string QuotedUtf8(std::wstring_view text);

}  // namespace KestrovaTools

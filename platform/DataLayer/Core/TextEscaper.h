// UTF-16 to escaped UTF-8 for node text: markup characters as entities, CR
// always as &#13;, TAB and LF as &#9; &#10; inside attribute values, and the
// code units XML 1.0 cannot carry (controls, lone surrogates, U+FFFE, U+FFFF)
// as &#xHHHH;, so that every text reads back exactly.
#pragma once

#include <string>
#include <string_view>

namespace DataLayer::TextEscaper {

enum class Context { Content, AttributeValue };

void Append(std::u16string_view text, Context context, std::string& out);

}  // namespace DataLayer::TextEscaper

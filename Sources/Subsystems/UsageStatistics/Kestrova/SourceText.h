// The text of a source: literal or path, its elements, the filter inside a
// bracketed element. Nothing here reads a node.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace UsageStatistics {

// The parsed form of a bracketed path element: [left=='value'] or [left!='value'].
struct PathPredicate {
  enum class Operator { Equal, NotEqual };
  std::wstring leftPath;
  std::wstring value;
  Operator op = Operator::Equal;

  // Raises 0x8007000D for a malformed filter text.
  static PathPredicate Parse(std::wstring_view inner);
  // False, with predicate unchanged, for a malformed filter text.
  static bool TryParse(std::wstring_view inner, PathPredicate& predicate);
};

// True for a non-empty text that does not start with a backslash and is a
// plain child-name element.
bool IsLiteralSource(std::wstring_view source);

// Elements of a source path, as many as the configuration store's paths may
// have; the walk recurses once per wildcard element.
inline constexpr size_t kMaxSourcePathElements = 256;

// The separators of a source text: more than kMaxSourcePathElements makes a
// path too long to walk.
size_t CountSeparators(std::wstring_view source) noexcept;

// Takes the element at position and moves position past it; false at the end.
bool NextPathElement(std::wstring_view path, size_t& position, std::wstring_view& element);

}  // namespace UsageStatistics

// Arithmetic on backslash paths of the configuration store: a leading
// backslash makes a path absolute and a lone backslash is the root.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace NodePaths {

inline constexpr wchar_t kSeparator = L'\\';

// Kinds of one element of a source path, tested in this order.
enum class ElementKind : int {
  AnyChild = 1,       // "*"
  AnyDescendant = 2,  // "**"
  Parent = 3,         // ".."
  NameOf = 4,         // "<name>"
  TypeOf = 5,         // "<type>"
  Attribute = 6,      // "@..."
  Filter = 7,         // "[..."
  ChildName = 8,      // anything else, the empty element included
};

// True when path equals base or lies below it after a separator, compared
// case-sensitively; base must be absolute. depth (optional) receives 0 for
// an equal path, else the number of elements after the base.
bool IsPathUnder(std::wstring_view path, std::wstring_view base, uint32_t* depth = nullptr);

// True when a path relative to a base (what follows the base in a path
// IsPathUnder accepts) names the base node itself: empty, or one separator.
constexpr bool IsBaseNodePath(std::wstring_view relativePath) noexcept {
  return relativePath.empty() || (relativePath.size() == 1 && relativePath.front() == kSeparator);
}

// True for an absolute path without empty elements (the root included): the
// form the configuration server accepts.
bool IsServerPath(std::wstring_view path) noexcept;

// The text before the last separator; the root when that separator is the
// first character.
std::wstring ParentPath(std::wstring_view path);

// ".." moves to the parent (raises 0x80040201 at the root); any other
// element is appended after a separator.
void AppendPathElement(std::wstring& path, std::wstring_view element);

// Appends each element of a text that may hold several, split at separators.
void AppendPathElements(std::wstring& path, std::wstring_view elements);

ElementKind PathElementKind(std::wstring_view element);

// An absolute path split before its first element that is not a plain child
// name (a wildcard, reference, filter or empty element): the plain leading
// names, and the rest; an empty part reads "\".
struct BaseAndPattern {
  std::wstring basePath;
  std::wstring patternPath;
};
BaseAndPattern SplitAtFirstPattern(std::wstring_view absolutePath);

}  // namespace NodePaths

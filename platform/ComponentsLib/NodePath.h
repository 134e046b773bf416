// Backslash paths of the configuration store: "\" is the root, "\A\B" the
// child B of the root's child A. Names are compared exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ComponentsLib::NodePath {

// Deepest path the store accepts, in elements; keeps every walk bounded.
inline constexpr uint32_t kMaxDepth = 256;

// The elements of an absolute path; nullopt when the path is relative, has
// an empty element (a doubled or trailing backslash) or is deeper than
// kMaxDepth.
std::optional<std::vector<std::wstring>> Split(std::wstring_view path);

// A name that can stand as one path element: non-empty, no backslash.
bool IsValidElement(std::wstring_view name);

// path + "\" + element, with the root written as "\".
std::wstring Append(const std::wstring& path, std::wstring_view element);

// How many elements path lies below base; nullopt when it is not at or
// below base. Both must be valid absolute paths.
std::optional<uint32_t> DepthBelow(std::wstring_view path, std::wstring_view base);

}  // namespace ComponentsLib::NodePath

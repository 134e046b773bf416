#include "NodePath.h"

#include <algorithm>

namespace ComponentsLib::NodePath {

std::optional<std::vector<std::wstring>> Split(std::wstring_view path) {
  if (path.empty() || path.front() != L'\\') return std::nullopt;
  std::vector<std::wstring> elements;
  if (path.size() == 1) return elements;
  size_t start = 1;
  for (;;) {
    const size_t stop = path.find(L'\\', start);
    const std::wstring_view element = path.substr(start, stop == std::wstring_view::npos ? path.npos : stop - start);
    if (element.empty() || elements.size() == kMaxDepth) return std::nullopt;
    elements.emplace_back(element);
    if (stop == std::wstring_view::npos) return elements;
    start = stop + 1;
  }
}

bool IsValidElement(std::wstring_view name) { return !name.empty() && name.find(L'\\') == std::wstring_view::npos; }

std::wstring Append(const std::wstring& path, std::wstring_view element) {
  std::wstring result = path == L"\\" ? std::wstring() : path;
  result += L'\\';
  result += element;
  return result;
}

std::optional<uint32_t> DepthBelow(std::wstring_view path, std::wstring_view base) {
  if (base == L"\\") {
    if (path == L"\\") return 0;
    return static_cast<uint32_t>(std::count(path.begin(), path.end(), L'\\'));
  }
  if (path.size() < base.size() || path.substr(0, base.size()) != base) return std::nullopt;
  if (path.size() == base.size()) return 0;
  if (path[base.size()] != L'\\') return std::nullopt;
  return static_cast<uint32_t>(std::count(path.begin() + static_cast<std::ptrdiff_t>(base.size()), path.end(), L'\\'));
}

}  // namespace ComponentsLib::NodePath

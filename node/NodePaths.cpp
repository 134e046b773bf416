#include "NodePaths.h"

#include "NodeErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <algorithm>

namespace NodePaths {

bool IsPathUnder(std::wstring_view path, std::wstring_view base, uint32_t* depth) {
  if (path.size() < base.size()) return false;
  if (base.empty() || base.front() != kSeparator) return false;
  const bool baseIsRoot = base.size() == 1;
  if (path.size() > base.size() && !baseIsRoot && path[base.size()] != kSeparator) return false;
  if (path.substr(0, base.size()) != base) return false;
  if (depth != nullptr) {
    if (path.size() == base.size()) {
      *depth = 0;
    } else {
      // The remainder after the separator that follows the base (for the
      // root, the base's own separator).
      const std::wstring_view rest = path.substr(baseIsRoot ? base.size() : base.size() + 1);
      *depth = static_cast<uint32_t>(std::count(rest.begin(), rest.end(), kSeparator)) + 1;
    }
  }
  return true;
}

bool IsServerPath(std::wstring_view path) noexcept {
  if (path.empty() || path.front() != kSeparator) return false;
  if (path.size() == 1) return true;
  for (size_t at = 0; at < path.size(); ++at) {
    if (path[at] != kSeparator) continue;
    if (at + 1 == path.size() || path[at + 1] == kSeparator) return false;
  }
  return true;
}

std::wstring ParentPath(std::wstring_view path) {
  const size_t last = path.rfind(kSeparator);
  if (last == std::wstring_view::npos) return std::wstring();
  if (last == 0) return std::wstring(1, kSeparator);
  return std::wstring(path.substr(0, last));
}

void AppendPathElement(std::wstring& path, std::wstring_view element) {
  if (element == L"..") {
    if (path.size() == 1 && path.front() == kSeparator) ThrowHr(NodeErrors::kPathAboveRoot);
    path = ParentPath(path);
    return;
  }
  if (path.empty() || path.back() != kSeparator) path.push_back(kSeparator);
  path.append(element);
}

void AppendPathElements(std::wstring& path, std::wstring_view elements) {
  size_t start = 0;
  while (true) {
    const size_t end = elements.find(kSeparator, start);
    AppendPathElement(path,
                      elements.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start));
    if (end == std::wstring_view::npos) return;
    start = end + 1;
  }
}

ElementKind PathElementKind(std::wstring_view element) {
  if (element == L"*") return ElementKind::AnyChild;
  if (element == L"**") return ElementKind::AnyDescendant;
  if (element == L"..") return ElementKind::Parent;
  if (element == L"<name>") return ElementKind::NameOf;
  if (element == L"<type>") return ElementKind::TypeOf;
  if (!element.empty() && element.front() == L'@') return ElementKind::Attribute;
  if (!element.empty() && element.front() == L'[') return ElementKind::Filter;
  return ElementKind::ChildName;
}

BaseAndPattern SplitAtFirstPattern(std::wstring_view absolutePath) {
  BaseAndPattern split;
  bool inPattern = false;
  std::wstring_view rest(absolutePath);
  if (!rest.empty() && rest.front() == kSeparator) rest.remove_prefix(1);  // the empty element before it
  while (true) {
    const size_t separator = rest.find(kSeparator);
    const std::wstring_view element = rest.substr(0, separator);
    if (!inPattern && (element.empty() || PathElementKind(element) != ElementKind::ChildName)) inPattern = true;
    std::wstring& target = inPattern ? split.patternPath : split.basePath;
    target += kSeparator;
    target += element;
    if (separator == std::wstring_view::npos) break;
    rest.remove_prefix(separator + 1);
  }
  if (split.basePath.empty()) split.basePath = L"\\";
  if (split.patternPath.empty()) split.patternPath = L"\\";
  return split;
}

}  // namespace NodePaths

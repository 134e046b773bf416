#include "NodeDump.h"

#include "HiddenAttributeMasker.h"
#include "NodeSerialization.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <windows.h>

#include <cwchar>

namespace {

constexpr wchar_t kNullDump[] = L"DXNode[<null>]";
constexpr std::string_view kWrapperStart = "<nr>";
constexpr std::string_view kWrapperEnd = "</nr>";
constexpr std::string_view kTrailingBlanks = " \r\n\t";
constexpr std::string_view kLineBreaks = "\r\n";

std::string_view TrimEnd(std::string_view text, std::string_view characters) noexcept {
  const size_t last = text.find_last_not_of(characters);
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

void AppendUtf8(std::string_view text, std::wstring& out) {
  if (text.empty()) return;
  if (text.size() > static_cast<size_t>(INT_MAX)) ThrowHr(E_OUTOFMEMORY);
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) ThrowHr(HrFromLastError());
  const size_t start = out.size();
  out.resize(start + static_cast<size_t>(needed));
  if (::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data() + start, needed) != needed) {
    ThrowHr(HrFromLastError());
  }
}

}  // namespace

DXNodeRef::DXNodeRef(const DXNodePtr& node, bool wholeSubtree) : m_depth(wholeSubtree ? kWholeSubtree : kNodeAlone) {
  // An empty node is printed without the store, and without the masker.
  if (node) m_node = CHiddenAttributeMasker::Instance().MaskedCopy(node, m_depth);
}

DXNodeRef::DXNodeRef(const DXNodePtr& node, bool wholeSubtree, const CHiddenAttributeMasker& masker)
    : m_depth(wholeSubtree ? kWholeSubtree : kNodeAlone) {
  if (node) m_node = masker.MaskedCopy(node, m_depth);
}

namespace NodeUtils {

std::string_view StripSerializationWrapper(std::string_view text) noexcept {
  text = TrimEnd(text, kTrailingBlanks);
  if (text.starts_with(kWrapperStart)) {
    text.remove_prefix(kWrapperStart.size());
    const size_t content = text.find_first_not_of(kLineBreaks);
    text.remove_prefix(content == std::string_view::npos ? text.size() : content);
  }
  if (text.ends_with(kWrapperEnd)) {
    text.remove_suffix(kWrapperEnd.size());
    text = TrimEnd(text, kLineBreaks);
  }
  return text;
}

std::wstring DumpNode(const DXNodeRef& reference) {
  const DXNodePtr& node = reference.Node();
  if (!node) return kNullDump;
  IDXNode* const handle = node.Get();
  const std::string serialized = SerializeToText(&handle, 1, DXN_SERIALIZE_FORMATTED, reference.Depth());
  const std::string_view printed = StripSerializationWrapper(serialized);

  // "DXNode[0x%p]:\r\n" as the platform's %p prints it: 16 upper-case
  // digits (the MinGW printf would print lower case).
  wchar_t header[64] = {};
  std::swprintf(header, std::size(header), L"DXNode[0x%016llX]:\r\n",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
  std::wstring dump(header);
  dump.reserve(dump.size() + printed.size());
  AppendUtf8(printed, dump);
  return dump;
}

}  // namespace NodeUtils

std::wostream& operator<<(std::wostream& stream, const DXNodeRef& reference) {
  return stream << NodeUtils::DumpNode(reference);
}

std::wostream& operator<<(std::wostream& stream, const DXNodePtr& node) { return stream << DXNodeRef(node, true); }

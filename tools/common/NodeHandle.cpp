#include "NodeHandle.h"

#include "FailureText.h"
#include "ToolError.h"

namespace KestrovaTools {

namespace {

// Reads a text the store delivers through a buffer and an in/out size in
// characters: asks for the size, then reads.
template <typename Read>
std::wstring ReadText(Read&& read, const wchar_t* function) {
  uint32_t size = 0;
  DxnResult result = read(nullptr, &size);
  std::wstring text;
  while (result == DXN_E_INSUFFICIENT_BUFFER) {
    text.resize(size);
    result = read(text.data(), &size);
  }
  CheckStoreCall(result, function);
  text.resize(size > 0 ? size - 1 : 0);  // the size counts the NUL
  return text;
}

}  // namespace

void CheckStoreCall(DxnResult result, const wchar_t* function) {
  if (result >= 0) return;
  throw ToolError(kExitFailure,
                  std::wstring(L"the node store failed in ") + function + L": " + FailureText::Describe(result));
}

NodeHandle& NodeHandle::operator=(NodeHandle&& other) noexcept {
  if (this != &other) {
    NodeHandle old(std::exchange(m_handle, std::exchange(other.m_handle, nullptr)));
  }
  return *this;
}

NodeHandle::~NodeHandle() {
  if (m_handle != nullptr) ::DxnCloseNodeHandle(m_handle);
}

IDXNode** NodeHandle::Put() noexcept {
  NodeHandle old(std::exchange(m_handle, nullptr));
  return &m_handle;
}

std::wstring NodeHandle::Name() const {
  return ReadText(
      [&](wchar_t* buffer, uint32_t* size) { return ::DxnGetNodeName(m_handle, DXN_NAME_FORM_NAME, buffer, size); },
      L"DxnGetNodeName");
}

std::wstring NodeHandle::Type() const {
  return ReadText([&](wchar_t* buffer, uint32_t* size) { return ::DxnGetNodeType(m_handle, buffer, size); },
                  L"DxnGetNodeType");
}

uint32_t NodeHandle::ChildCount() const {
  uint32_t count = 0;
  CheckStoreCall(::DxnGetChildCount(m_handle, &count), L"DxnGetChildCount");
  return count;
}

NodeHandle NodeHandle::Child(uint32_t index) const {
  NodeHandle child;
  CheckStoreCall(::DxnGetChildByIndex(m_handle, index, child.Put()), L"DxnGetChildByIndex");
  return child;
}

std::vector<std::wstring> NodeHandle::AttributeNames() const {
  const std::wstring packed =
      ReadText([&](wchar_t* buffer, uint32_t* size) { return ::DxnGetAttributeNames(m_handle, buffer, size); },
               L"DxnGetAttributeNames");
  // Consecutive NUL-terminated names; the final NUL was dropped above.
  std::vector<std::wstring> names;
  for (size_t start = 0; start < packed.size();) {
    const size_t end = packed.find(L'\0', start);
    const size_t stop = end == std::wstring::npos ? packed.size() : end;
    if (stop > start) names.emplace_back(packed, start, stop - start);
    start = stop + 1;
  }
  return names;
}

AttributeValue NodeHandle::Attribute(const std::wstring& name) const {
  AttributeValue value;
  uint32_t size = 0;
  DxnResult result = ::DxnGetAttribute(m_handle, name.c_str(), nullptr, nullptr, &size, &value.type);
  while (result == DXN_E_INSUFFICIENT_BUFFER) {
    value.bytes.resize(size);
    result = ::DxnGetAttribute(m_handle, name.c_str(), nullptr, value.bytes.data(), &size, &value.type);
  }
  CheckStoreCall(result, L"DxnGetAttribute");
  value.bytes.resize(size);
  return value;
}

}  // namespace KestrovaTools

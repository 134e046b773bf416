#include "DXNodePtr.h"

#include "NodeErrors.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <cstring>
#include <cwchar>

namespace {

constexpr uint32_t kFirstTextBuffer = 128;  // characters

// Reads a text whose length only the store knows: first into a 128-character
// buffer, then again at the size the store asks for, for as long as it keeps
// asking for more. sizeScale is 2 when the store counts bytes.
template <typename Read>
HRESULT ReadGrowingText(Read&& read, std::wstring& text, uint32_t sizeScale) {
  text.assign(kFirstTextBuffer - 1, L'\0');
  uint32_t lastRequested = kFirstTextBuffer;
  uint32_t size = lastRequested * sizeScale;
  HRESULT hr = read(text.data(), &size);
  while (hr == NodeErrors::kInsufficientBuffer && size / sizeScale > lastRequested) {
    lastRequested = (size + sizeScale - 1) / sizeScale;
    text.assign(lastRequested - 1, L'\0');
    size = lastRequested * sizeScale;
    hr = read(text.data(), &size);
  }
  if (FAILED(hr)) {
    text.clear();
    return hr;
  }
  // The reported size counts the terminating NUL.
  size_t length = size / sizeScale;
  if (length > 0 && length <= text.size() + 1 && text[length - 1] == L'\0') --length;
  text.resize(length <= text.size() ? length : text.size());
  return hr;
}

HRESULT NotFoundOr(HRESULT hr, bool& found) {
  found = hr != NodeErrors::kNotFound;
  return found ? hr : S_OK;
}

}  // namespace

DXNodePtr::DXNodePtr(IDXNode* handle, Handle ownership) {
  if (handle == nullptr) return;
  if (ownership == Handle::Adopt) {
    m_handle = handle;
  } else {
    ThrowIfFailed(DxnDuplicateNodeHandle(handle, &m_handle));
  }
}

DXNodePtr::DXNodePtr(const DXNodePtr& other) {
  if (other.m_handle != nullptr) ThrowIfFailed(DxnDuplicateNodeHandle(other.m_handle, &m_handle));
}

DXNodePtr& DXNodePtr::operator=(const DXNodePtr& other) {
  if (other.m_handle == m_handle) return *this;
  IDXNode* duplicate = nullptr;
  if (other.m_handle != nullptr) ThrowIfFailed(DxnDuplicateNodeHandle(other.m_handle, &duplicate));
  Reset();
  m_handle = duplicate;
  return *this;
}

DXNodePtr& DXNodePtr::operator=(DXNodePtr&& other) noexcept {
  if (this != &other) {
    Reset();
    m_handle = std::exchange(other.m_handle, nullptr);
  }
  return *this;
}

void DXNodePtr::Reset() noexcept {
  if (IDXNode* handle = std::exchange(m_handle, nullptr)) DxnCloseNodeHandle(handle);
}

DXNodePtr DXNodePtr::Create(const wchar_t* name, const wchar_t* type) {
  DXNodePtr node;
  ThrowIfFailed(DxnCreateNode(name, type, node.Out()));
  return node;
}

DXNodePtr DXNodePtr::Clone(uint32_t depth, uint32_t flags) const {
  DXNodePtr copy;
  ThrowIfFailed(DxnCloneNode(m_handle, depth, flags, copy.Out()));
  return copy;
}

void DXNodePtr::EnsureValid() const {
  if (m_handle == nullptr) ThrowHr(E_POINTER);
}

std::wstring DXNodePtr::GetName(uint32_t form) const noexcept {
  std::wstring name;
  if (m_handle == nullptr) return name;
  try {
    ReadGrowingText([&](wchar_t* buffer, uint32_t* size) { return DxnGetNodeName(m_handle, form, buffer, size); }, name,
                    1);
  } catch (...) {
    name.clear();
  }
  return name;
}

std::wstring DXNodePtr::GetType() const noexcept {
  std::wstring type;
  if (m_handle == nullptr) return type;
  try {
    ReadGrowingText([&](wchar_t* buffer, uint32_t* size) { return DxnGetNodeType(m_handle, buffer, size); }, type, 1);
  } catch (...) {
    type.clear();
  }
  return type;
}

void DXNodePtr::SetType(const wchar_t* type) const { ThrowIfFailed(DxnSetNodeType(m_handle, type)); }

uint32_t DXNodePtr::GetChildCount() const {
  uint32_t count = 0;
  ThrowIfFailed(DxnGetChildCount(m_handle, &count));
  return count;
}

DXNodePtr DXNodePtr::GetChild(uint32_t index, bool required) const {
  DXNodePtr child;
  const HRESULT hr = DxnGetChildByIndex(m_handle, index, child.Out());
  if (hr == NodeErrors::kNotFound && !required) return DXNodePtr();
  ThrowIfFailed(hr);
  return child;
}

DXNodePtr DXNodePtr::GetChild(const wchar_t* name, bool required) const {
  DXNodePtr child;
  const HRESULT hr = DxnGetChildByName(m_handle, name, child.Out());
  if (hr == NodeErrors::kNotFound && !required) return DXNodePtr();
  ThrowIfFailed(hr);
  return child;
}

DXNodePtr DXNodePtr::GetParent() const {
  DXNodePtr parent;
  const HRESULT hr = DxnGetParent(m_handle, parent.Out());
  // A topmost node has no parent: an empty wrapper, not a failure.
  if (hr == NodeErrors::kNotFound) return DXNodePtr();
  ThrowIfFailed(hr);
  return parent;
}

void DXNodePtr::AddChild(const DXNodePtr& child) const { ThrowIfFailed(DxnAddChild(m_handle, child.m_handle)); }

void DXNodePtr::RemoveChild(const DXNodePtr& child) const { ThrowIfFailed(DxnRemoveChild(m_handle, child.m_handle)); }

bool DXNodePtr::HasAttribute(const wchar_t* name) const {
  bool found = false;
  ThrowIfFailed(NotFoundOr(DxnGetAttribute(m_handle, name, nullptr, nullptr, nullptr, nullptr), found));
  return found;
}

bool DXNodePtr::TryGetAttributeType(const wchar_t* name, uint16_t& type) const {
  bool found = false;
  ThrowIfFailed(NotFoundOr(DxnGetAttribute(m_handle, name, nullptr, nullptr, nullptr, &type), found));
  return found;
}

bool DXNodePtr::HasTypedAttribute(const wchar_t* name) const {
  uint16_t actualType = kTypeNone;
  return TryGetAttributeType(name, actualType) && actualType != kTypeNone;
}

std::vector<std::wstring> DXNodePtr::GetAttributeNames() const noexcept {
  std::vector<std::wstring> names;
  if (m_handle == nullptr) return names;
  try {
    std::wstring list;
    if (FAILED(ReadGrowingText(
            [&](wchar_t* buffer, uint32_t* size) { return DxnGetAttributeNames(m_handle, buffer, size); }, list, 1)))
      return names;
    for (size_t start = 0; start < list.size();) {
      size_t end = list.find(L'\0', start);
      if (end == std::wstring::npos) end = list.size();
      if (end > start) names.emplace_back(list, start, end - start);
      start = end + 1;
    }
  } catch (...) {
    names.clear();
  }
  return names;
}

void DXNodePtr::DeleteAttribute(const wchar_t* name, bool required) const {
  const HRESULT hr = DxnDeleteAttribute(m_handle, name);
  if (hr == NodeErrors::kNotFound && !required) return;
  ThrowIfFailed(hr);
}

uint16_t DXNodePtr::GetAttributeType(const wchar_t* name) const {
  uint16_t type = kTypeNone;
  ThrowIfFailed(DxnGetAttribute(m_handle, name, nullptr, nullptr, nullptr, &type));
  return type;
}

void DXNodePtr::SetString(const wchar_t* name, const wchar_t* text, uint32_t length) const {
  if (text == nullptr) ThrowHr(E_INVALIDARG);
  if (length == kMeasureText) length = static_cast<uint32_t>(std::wcslen(text));
  // The store keeps the terminating NUL; the given text need not have one at length.
  const std::wstring value(text, length);
  ThrowIfFailed(DxnSetAttribute(m_handle, name, kTypeText, value.c_str(),
                                static_cast<uint32_t>((value.size() + 1) * sizeof(wchar_t))));
}

void DXNodePtr::SetInt64(const wchar_t* name, int64_t value) const {
  ThrowIfFailed(DxnSetAttribute(m_handle, name, kTypeInt64, &value, sizeof(value)));
}

void DXNodePtr::SetBool(const wchar_t* name, bool value) const {
  const uint8_t byte = value ? 1 : 0;
  ThrowIfFailed(DxnSetAttribute(m_handle, name, kTypeBool, &byte, 1));
}

void DXNodePtr::SetBinary(const wchar_t* name, const void* data, uint32_t size) const {
  ThrowIfFailed(DxnSetAttribute(m_handle, name, kTypeBinary, size != 0 ? data : nullptr, size));
}

void DXNodePtr::SetStringList(const wchar_t* name, const std::vector<std::wstring>& texts) const {
  std::wstring joined;
  for (const std::wstring& text : texts) {
    joined.append(text);
    joined.push_back(L'\0');
  }
  ThrowIfFailed(DxnSetAttribute(m_handle, name, kTypeTextList, joined.empty() ? nullptr : joined.data(),
                                static_cast<uint32_t>(joined.size() * sizeof(wchar_t))));
}

bool DXNodePtr::TryReadText(const wchar_t* name, uint16_t type, std::wstring& text) const {
  std::wstring value;
  const HRESULT hr = ReadGrowingText(
      [&](wchar_t* buffer, uint32_t* size) { return DxnGetAttribute(m_handle, name, &type, buffer, size, nullptr); },
      value, sizeof(wchar_t));
  if (hr == NodeErrors::kNotFound) return false;
  ThrowIfFailed(hr);
  text = std::move(value);
  return true;
}

bool DXNodePtr::TryGetString(const wchar_t* name, std::wstring& text) const {
  return TryReadText(name, kTypeText, text);
}

bool DXNodePtr::TryGetStringList(const wchar_t* name, std::vector<std::wstring>& texts) const {
  std::wstring value;
  if (!TryReadText(name, kTypeTextList, value)) return false;
  // The value less its last NUL, split at each NUL: "a\0b\0" holds a and b.
  texts.clear();
  if (value.empty()) return true;
  size_t start = 0;
  while (true) {
    const size_t end = value.find(L'\0', start);
    if (end == std::wstring::npos) {
      texts.emplace_back(value, start);
      break;
    }
    texts.emplace_back(value, start, end - start);
    start = end + 1;
  }
  return true;
}

std::wstring DXNodePtr::GetString(const wchar_t* name) const {
  std::wstring text;
  if (!TryGetString(name, text)) ThrowHr(NodeErrors::kNotFound);
  return text;
}

std::wstring DXNodePtr::GetString(const wchar_t* name, const std::wstring& defaultText) const {
  if (!HasTypedAttribute(name)) return defaultText;
  return GetString(name);
}

bool DXNodePtr::TryGetFixed(const wchar_t* name, uint16_t type, void* value, uint32_t size) const {
  uint32_t reported = size;
  const HRESULT hr = DxnGetAttribute(m_handle, name, &type, value, &reported, nullptr);
  if (hr == NodeErrors::kNotFound) return false;
  ThrowIfFailed(hr);
  if (reported != size) ThrowHr(NodeErrors::kInvalidData);
  return true;
}

bool DXNodePtr::TryGetInt64(const wchar_t* name, int64_t& value) const {
  return TryGetFixed(name, kTypeInt64, &value, sizeof(value));
}

bool DXNodePtr::TryGetInt32(const wchar_t* name, int32_t& value) const {
  return TryGetFixed(name, kTypeInt32, &value, sizeof(value));
}

bool DXNodePtr::TryGetBool(const wchar_t* name, bool& value) const {
  uint8_t byte = 0;
  if (!TryGetFixed(name, kTypeBool, &byte, 1)) return false;
  value = byte != 0;
  return true;
}

int64_t DXNodePtr::GetInt64(const wchar_t* name) const {
  int64_t value = 0;
  if (!TryGetInt64(name, value)) ThrowHr(NodeErrors::kNotFound);
  return value;
}

bool DXNodePtr::GetBool(const wchar_t* name, bool defaultValue) const {
  if (!HasTypedAttribute(name)) return defaultValue;
  bool value = false;
  if (!TryGetBool(name, value)) ThrowHr(NodeErrors::kNotFound);
  return value;
}

bool DXNodePtr::GetRawAttribute(const DXNodePtr& node, const wchar_t* name, std::vector<uint8_t>& buffer,
                                uint16_t* type) {
  if (buffer.size() < 128) buffer.resize(128);
  while (true) {
    uint32_t size = static_cast<uint32_t>(buffer.size());
    const HRESULT hr = DxnGetAttribute(node.m_handle, name, nullptr, buffer.data(), &size, type);
    if (hr == NodeErrors::kNotFound) return false;
    buffer.resize(size);
    if (hr == NodeErrors::kInsufficientBuffer) continue;
    ThrowIfFailed(hr);
    return true;
  }
}

namespace {

struct RawAttribute {
  bool present = false;
  uint16_t type = 0;
  std::vector<uint8_t> bytes;
};

RawAttribute ReadRaw(const DXNodePtr& node, const wchar_t* name) {
  RawAttribute attribute;
  attribute.present = DXNodePtr::GetRawAttribute(node, name, attribute.bytes, &attribute.type);
  return attribute;
}

bool IsTextType(uint16_t type) { return type == DXN_TYPE_TEXT_LEGACY || type == DXN_TYPE_TEXT; }

bool SameBytes(const RawAttribute& a, uint16_t type, const std::vector<uint8_t>& bytes) {
  return a.present && a.type == type && a.bytes == bytes;
}

}  // namespace

bool AttributesEqual(const wchar_t* name, const DXNodePtr& a, const DXNodePtr& b, uint32_t flags) {
  const RawAttribute first = ReadRaw(a, name);
  const RawAttribute second = ReadRaw(b, name);
  if ((flags & kCompareTextNoCase) != 0 && first.present && second.present && IsTextType(first.type) &&
      IsTextType(second.type)) {
    const std::wstring textA = a.GetString(name);
    const std::wstring textB = b.GetString(name);
    return ::CompareStringOrdinal(textA.c_str(), static_cast<int>(textA.size()), textB.c_str(),
                                  static_cast<int>(textB.size()), TRUE) == CSTR_EQUAL;
  }
  if (!first.present || !second.present) return first.present == second.present;
  return SameBytes(second, first.type, first.bytes);
}

void CopyAttribute(const wchar_t* sourceName, const DXNodePtr& source, const wchar_t* targetName,
                   const DXNodePtr& target, std::vector<uint8_t>& scratch, bool* changed, bool required) {
  uint16_t type = 0;
  if (!DXNodePtr::GetRawAttribute(source, sourceName, scratch, &type)) {
    if (required) ThrowHr(NodeErrors::kNotFound);
    return;
  }
  if (changed != nullptr) {
    const RawAttribute current = ReadRaw(target, targetName);
    *changed = !SameBytes(current, type, scratch);
    if (!*changed) return;
  }
  ThrowIfFailed(DxnSetAttribute(target.Get(), targetName, type, scratch.empty() ? nullptr : scratch.data(),
                                static_cast<uint32_t>(scratch.size())));
}

void CopyAttribute(const wchar_t* name, const DXNodePtr& source, const DXNodePtr& target, std::vector<uint8_t>& scratch,
                   bool* changed, bool required) {
  CopyAttribute(name, source, name, target, scratch, changed, required);
}

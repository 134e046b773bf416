#include "DXNodePtr.h"

#include "NodeErrors.h"
#include "Sources/Common/Lifetime/WipingAllocator.h"

#include "Sources/Common/ErrorHandling/HRES.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <span>

namespace {

constexpr uint32_t kLocalTextCharacters = 128;
constexpr uint16_t kUnknownType = 0xFFFF;
constexpr HRESULT kTypeMismatch = static_cast<HRESULT>(DXN_E_TYPE_MISMATCH);

// Reads a text whose length only the store knows, as the units the store
// delivers (its NUL included): one call into a stack buffer, and only for a
// longer text again, straight into the string, at the size the store asks
// for, for as long as it asks for more. unitBytes is the size of the store's
// unit: 2 when it counts characters, 1 when it counts bytes; an odd byte
// count gets the room it asks for and its last, partial character is dropped.
// Terminator::Drop leaves out a final NUL (a text stored without one keeps
// every character), so that a short text is built once, at its own length.
enum class Terminator { Keep, Drop };

void DropNul(std::wstring& text) {
  if (!text.empty() && text.back() == L'\0') text.pop_back();
}

template <typename Read>
HRESULT ReadRawText(Read&& read, TextBuffer& text, uint32_t unitBytes, Terminator terminator) {
  text.Clear();
  const std::span<wchar_t> local = text.Local();
  uint32_t capacity = static_cast<uint32_t>(local.size() * sizeof(wchar_t) / unitBytes);  // in the store's units
  uint32_t size = capacity;
  HRESULT hr = read(local.data(), &size);
  if (SUCCEEDED(hr)) {
    size_t length = std::min(size, capacity) * unitBytes / sizeof(wchar_t);
    if (terminator == Terminator::Drop && length != 0 && local[length - 1] == L'\0') --length;
    text.CommitLocal(length);
    return hr;
  }
  std::wstring& heap = text.Heap();
  while (hr == NodeErrors::kInsufficientBuffer && size > capacity) {
    capacity = size;
    heap.resize((uint64_t{capacity} * unitBytes + sizeof(wchar_t) - 1) / sizeof(wchar_t));
    hr = read(heap.data(), &size);
  }
  if (FAILED(hr)) {
    text.Clear();
    return hr;
  }
  heap.resize(uint64_t{std::min(size, capacity)} * unitBytes / sizeof(wchar_t));
  if (terminator == Terminator::Drop) DropNul(heap);
  text.CommitHeap();
  return hr;
}

// The same into a string, which a failure leaves empty.
template <typename Read>
HRESULT ReadRawText(Read&& read, std::wstring& text, uint32_t unitBytes, Terminator terminator) {
  TextBuffer buffer;
  const HRESULT hr = ReadRawText(std::forward<Read>(read), buffer, unitBytes, terminator);
  if (FAILED(hr)) {
    text.clear();
    return hr;
  }
  buffer.MoveTo(text);
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

namespace {

// A name or type into text; any failure reads as the empty text.
template <typename Read>
void ReadNodeText(Read&& read, TextBuffer& text) noexcept {
  try {
    if (FAILED(ReadRawText(std::forward<Read>(read), text, sizeof(wchar_t), Terminator::Drop))) text.Clear();
  } catch (...) {
    text.Clear();
  }
}

// The same as a string.
template <typename Read>
std::wstring NodeText(Read&& read) noexcept {
  std::wstring text;
  try {
    TextBuffer buffer;
    ReadNodeText(std::forward<Read>(read), buffer);
    buffer.MoveTo(text);
  } catch (...) {
    text.clear();
  }
  return text;
}

}  // namespace

std::wstring DXNodePtr::GetName(uint32_t form) const noexcept {
  if (m_handle == nullptr) return std::wstring();
  return NodeText([&](wchar_t* buffer, uint32_t* size) { return DxnGetNodeName(m_handle, form, buffer, size); });
}

std::wstring DXNodePtr::GetType() const noexcept {
  if (m_handle == nullptr) return std::wstring();
  return NodeText([&](wchar_t* buffer, uint32_t* size) { return DxnGetNodeType(m_handle, buffer, size); });
}

void DXNodePtr::ReadName(TextBuffer& name) const noexcept {
  name.Clear();
  if (m_handle == nullptr) return;
  ReadNodeText(
      [&](wchar_t* buffer, uint32_t* size) { return DxnGetNodeName(m_handle, DXN_NAME_FORM_NAME, buffer, size); },
      name);
}

void DXNodePtr::ReadType(TextBuffer& type) const noexcept {
  type.Clear();
  if (m_handle == nullptr) return;
  ReadNodeText([&](wchar_t* buffer, uint32_t* size) { return DxnGetNodeType(m_handle, buffer, size); }, type);
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
    if (FAILED(
            ReadRawText([&](wchar_t* buffer, uint32_t* size) { return DxnGetAttributeNames(m_handle, buffer, size); },
                        list, sizeof(wchar_t), Terminator::Keep)))
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
  if (length == kMeasureText) {
    SetTerminatedText(name, text, std::wcslen(text));
    return;
  }
  // The given text need not have a NUL at length: the store gets a terminated copy.
  if (length < kLocalTextCharacters) {
    wchar_t local[kLocalTextCharacters];
    std::wmemcpy(local, text, length);
    local[length] = L'\0';
    SetTerminatedText(name, local, length);
    return;
  }
  const std::wstring value(text, length);
  SetTerminatedText(name, value.c_str(), value.size());
}

void DXNodePtr::SetTerminatedText(const wchar_t* name, const wchar_t* text, size_t length) const {
  const uint64_t bytes = (uint64_t{length} + 1) * sizeof(wchar_t);
  if (bytes > UINT32_MAX) ThrowHr(E_INVALIDARG);
  ThrowIfFailed(DxnSetAttribute(m_handle, name, kTypeText, text, static_cast<uint32_t>(bytes)));
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
  SetPackedStringList(name, joined);
}

void DXNodePtr::SetPackedStringList(const wchar_t* name, std::wstring_view packed) const {
  const uint64_t bytes = uint64_t{packed.size()} * sizeof(wchar_t);
  if (bytes > UINT32_MAX) ThrowHr(E_INVALIDARG);
  ThrowIfFailed(DxnSetAttribute(m_handle, name, kTypeTextList, packed.empty() ? nullptr : packed.data(),
                                static_cast<uint32_t>(bytes)));
}

namespace {

// One attribute read as UTF-16 units (a text without its final NUL when
// terminator says Drop); actualType as the store reports it.
template <typename Text>
HRESULT ReadAttributeText(IDXNode* handle, const wchar_t* name, uint16_t requestedType, Text& text,
                          uint16_t& actualType, Terminator terminator) {
  actualType = kUnknownType;
  return ReadRawText(
      [&](wchar_t* buffer, uint32_t* size) {
        return DxnGetAttribute(handle, name, &requestedType, buffer, size, &actualType);
      },
      text, 1, terminator);
}

}  // namespace

bool DXNodePtr::TryGetString(const wchar_t* name, std::wstring& text) const {
  uint16_t actualType = kUnknownType;
  std::wstring value;
  const HRESULT hr = ReadAttributeText(m_handle, name, kTypeText, value, actualType, Terminator::Drop);
  if (hr == NodeErrors::kNotFound) return false;
  ThrowIfFailed(hr);
  text = std::move(value);
  return true;
}

bool DXNodePtr::TryReadTextOrList(const wchar_t* name, TextBuffer& value, bool& isList) const {
  uint16_t actualType = kUnknownType;
  HRESULT hr = ReadAttributeText(m_handle, name, kTypeText, value, actualType, Terminator::Drop);
  isList = false;
  if (hr == kTypeMismatch && actualType != kUnknownType && (actualType & DXN_TYPE_LIST_FLAG) != 0) {
    // A list refuses a text read; it is read again in its own type, every NUL kept.
    isList = true;
    hr = ReadAttributeText(m_handle, name, kTypeTextList, value, actualType, Terminator::Keep);
  }
  if (hr == NodeErrors::kNotFound) return false;
  ThrowIfFailed(hr);
  return true;
}

bool DXNodePtr::TryGetTextOrList(const wchar_t* name, std::wstring& value, bool& isList) const {
  TextBuffer buffer;
  const bool found = TryReadTextOrList(name, buffer, isList);
  buffer.MoveTo(value);
  return found;
}

void DXNodePtr::SplitStringList(const std::wstring& packed, std::vector<std::wstring>& texts) {
  texts.clear();
  ForEachListText(packed, [&](std::wstring_view text) { texts.emplace_back(text); });
}

bool DXNodePtr::TryGetStringList(const wchar_t* name, std::vector<std::wstring>& texts) const {
  uint16_t actualType = kUnknownType;
  std::wstring packed;
  const HRESULT hr = ReadAttributeText(m_handle, name, kTypeTextList, packed, actualType, Terminator::Keep);
  if (hr == NodeErrors::kNotFound) return false;
  ThrowIfFailed(hr);
  SplitStringList(packed, texts);
  return true;
}

std::wstring DXNodePtr::GetString(const wchar_t* name) const {
  std::wstring text;
  if (!TryGetString(name, text)) ThrowHr(NodeErrors::kNotFound);
  return text;
}

std::wstring DXNodePtr::GetString(const wchar_t* name, const std::wstring& defaultText) const {
  // One read: absence and an untyped value (which refuses a text read) give the default.
  uint16_t actualType = kUnknownType;
  std::wstring text;
  const HRESULT hr = ReadAttributeText(m_handle, name, kTypeText, text, actualType, Terminator::Drop);
  if (hr == NodeErrors::kNotFound || (FAILED(hr) && actualType == kTypeNone)) return defaultText;
  ThrowIfFailed(hr);
  return text;
}

HRESULT DXNodePtr::ReadFixed(const wchar_t* name, uint16_t type, void* value, uint32_t size,
                             uint16_t& actualType) const {
  actualType = kUnknownType;
  uint32_t reported = size;
  const HRESULT hr = DxnGetAttribute(m_handle, name, &type, value, &reported, &actualType);
  if (SUCCEEDED(hr) && reported != size) ThrowHr(NodeErrors::kInvalidData);
  return hr;
}

bool DXNodePtr::TryGetFixed(const wchar_t* name, uint16_t type, void* value, uint32_t size) const {
  uint16_t actualType = kUnknownType;
  const HRESULT hr = ReadFixed(name, type, value, size, actualType);
  if (hr == NodeErrors::kNotFound) return false;
  ThrowIfFailed(hr);
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
  // One read: absence and an untyped value give the default.
  uint16_t actualType = kUnknownType;
  uint8_t byte = 0;
  const HRESULT hr = ReadFixed(name, kTypeBool, &byte, 1, actualType);
  if (hr == NodeErrors::kNotFound || (FAILED(hr) && actualType == kTypeNone)) return defaultValue;
  ThrowIfFailed(hr);
  return byte != 0;
}

template <typename Allocator>
bool DXNodePtr::GetRawAttribute(const DXNodePtr& node, const wchar_t* name, std::vector<uint8_t, Allocator>& buffer,
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

template bool DXNodePtr::GetRawAttribute(const DXNodePtr&, const wchar_t*, std::vector<uint8_t>&, uint16_t*);
template bool DXNodePtr::GetRawAttribute(const DXNodePtr&, const wchar_t*,
                                         std::vector<uint8_t, WipingAllocator<uint8_t>>&, uint16_t*);

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

#include "Node.h"

#include "Failure.h"

#include <algorithm>
#include <cstring>

namespace ComponentsLib {
namespace {

constexpr uint32_t kInitialTextSize = 128;

// Reads a text the store sizes itself: grows the buffer while the store
// asks for more.
template <typename Read>
std::wstring ReadSizedText(Read&& read) {
  std::wstring buffer(kInitialTextSize, L'\0');
  for (;;) {
    uint32_t size = static_cast<uint32_t>(buffer.size());
    const HRESULT hr = read(buffer.data(), &size);
    if (hr == DXN_E_INSUFFICIENT_BUFFER && size > buffer.size()) {
      buffer.assign(size, L'\0');
      continue;
    }
    if (hr == DXN_E_NOT_FOUND) return {};
    Check(hr);
    buffer.resize(size > 0 ? size - 1 : 0);
    const size_t end = buffer.find(L'\0');
    if (end != std::wstring::npos) buffer.resize(end);
    return buffer;
  }
}

std::wstring TextFromBytes(const std::vector<uint8_t>& bytes) {
  std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

}  // namespace

Node Node::Share(IDXNode* handle) {
  Node node;
  if (handle != nullptr) Check(DxnDuplicateNodeHandle(handle, node.Put()));
  return node;
}

Node Node::Create(const wchar_t* name, const wchar_t* type) {
  Node node;
  Check(DxnCreateNode(name, type, node.Put()));
  return node;
}

Node::Node(const Node& other) {
  if (other.m_handle != nullptr) Check(DxnDuplicateNodeHandle(other.m_handle, &m_handle));
}

Node::~Node() {
  if (m_handle != nullptr) DxnCloseNodeHandle(m_handle);
}

IDXNode** Node::Put() noexcept {
  if (m_handle != nullptr) DxnCloseNodeHandle(std::exchange(m_handle, nullptr));
  return &m_handle;
}

IDXNode* Node::Checked() const {
  if (m_handle == nullptr) Fail(E_POINTER);
  return m_handle;
}

std::wstring Node::Name() const {
  IDXNode* handle = Checked();
  return ReadSizedText([&](wchar_t* buffer, uint32_t* size) {
    return DxnGetNodeName(handle, DXN_NAME_FORM_NAME, buffer, size);
  });
}

std::wstring Node::Type() const {
  IDXNode* handle = Checked();
  return ReadSizedText([&](wchar_t* buffer, uint32_t* size) { return DxnGetNodeType(handle, buffer, size); });
}

void Node::SetType(const wchar_t* type) { Check(DxnSetNodeType(Checked(), type)); }

uint32_t Node::ChildCount() const {
  uint32_t count = 0;
  Check(DxnGetChildCount(Checked(), &count));
  return count;
}

Node Node::Child(uint32_t index) const {
  Node child;
  Check(DxnGetChildByIndex(Checked(), index, child.Put()));
  return child;
}

Node Node::FindChild(const std::wstring& name) const {
  Node child;
  const HRESULT hr = DxnGetChildByName(Checked(), name.c_str(), child.Put());
  if (hr == DXN_E_NOT_FOUND) return Node();
  Check(hr);
  return child;
}

void Node::AddChild(const Node& child) { Check(DxnAddChild(Checked(), child.Checked())); }

void Node::RemoveChild(const Node& child) { Check(DxnRemoveChild(Checked(), child.Checked())); }

std::vector<std::wstring> Node::AttributeNames() const {
  IDXNode* handle = Checked();
  std::vector<wchar_t> buffer(kInitialTextSize);
  uint32_t size = 0;
  for (;;) {
    size = static_cast<uint32_t>(buffer.size());
    const HRESULT hr = DxnGetAttributeNames(handle, buffer.data(), &size);
    if (hr == DXN_E_INSUFFICIENT_BUFFER && size > buffer.size()) {
      buffer.assign(size, L'\0');
      continue;
    }
    if (hr == DXN_E_NOT_FOUND) return {};
    Check(hr);
    break;
  }
  std::vector<std::wstring> names;
  const wchar_t* cursor = buffer.data();
  const wchar_t* end = buffer.data() + std::min<size_t>(size, buffer.size());
  while (cursor < end && *cursor != L'\0') {
    const wchar_t* stop = cursor;
    while (stop < end && *stop != L'\0') ++stop;
    names.emplace_back(cursor, stop);
    cursor = stop + 1;
  }
  return names;
}

std::optional<RawAttribute> Node::GetRaw(const wchar_t* name) const {
  IDXNode* handle = Checked();
  RawAttribute value;
  value.bytes.resize(128);
  for (;;) {
    uint32_t size = static_cast<uint32_t>(value.bytes.size());
    const HRESULT hr = DxnGetAttribute(handle, name, nullptr, value.bytes.data(), &size, &value.type);
    if (hr == DXN_E_INSUFFICIENT_BUFFER && size > value.bytes.size()) {
      value.bytes.resize(size);
      continue;
    }
    if (hr == DXN_E_NOT_FOUND) return std::nullopt;
    Check(hr);
    value.bytes.resize(size);
    return value;
  }
}

void Node::SetRaw(const wchar_t* name, const RawAttribute& value) {
  Check(DxnSetAttribute(Checked(), name, value.type, value.bytes.empty() ? nullptr : value.bytes.data(),
                        static_cast<uint32_t>(value.bytes.size())));
}

std::optional<std::wstring> Node::GetText(const wchar_t* name) const {
  auto raw = GetRaw(name);
  if (!raw) return std::nullopt;
  if (raw->type != DXN_TYPE_TEXT && raw->type != DXN_TYPE_TEXT_LEGACY) Fail(E_INVALIDARG);
  return TextFromBytes(raw->bytes);
}

std::optional<int64_t> Node::GetInteger(const wchar_t* name) const {
  auto raw = GetRaw(name);
  if (!raw) return std::nullopt;
  if (raw->type == DXN_TYPE_INT64 && raw->bytes.size() == sizeof(int64_t)) {
    int64_t value = 0;
    std::memcpy(&value, raw->bytes.data(), sizeof value);
    return value;
  }
  if (raw->type == DXN_TYPE_INT32 && raw->bytes.size() == sizeof(int32_t)) {
    int32_t value = 0;
    std::memcpy(&value, raw->bytes.data(), sizeof value);
    return value;
  }
  Fail(E_INVALIDARG);
}

std::optional<bool> Node::GetBool(const wchar_t* name) const {
  auto raw = GetRaw(name);
  if (!raw) return std::nullopt;
  if (raw->type != DXN_TYPE_BOOL || raw->bytes.size() != 1) Fail(E_INVALIDARG);
  return raw->bytes[0] != 0;
}

void Node::SetText(const wchar_t* name, const std::wstring& value) {
  Check(DxnSetAttribute(Checked(), name, DXN_TYPE_TEXT, value.c_str(),
                        static_cast<uint32_t>((value.size() + 1) * sizeof(wchar_t))));
}

void Node::SetInt64(const wchar_t* name, int64_t value) {
  Check(DxnSetAttribute(Checked(), name, DXN_TYPE_INT64, &value, sizeof value));
}

void Node::SetBool(const wchar_t* name, bool value) {
  const uint8_t byte = value ? 1 : 0;
  Check(DxnSetAttribute(Checked(), name, DXN_TYPE_BOOL, &byte, 1));
}

Node Node::CopyToDepth(uint32_t depth) const {
  Node copy;
  if (depth >= DXN_DEPTH_SUBTREE) {
    Check(DxnCloneNode(Checked(), DXN_DEPTH_SUBTREE, 0, copy.Put()));
    return copy;
  }
  Check(DxnCloneNode(Checked(), DXN_DEPTH_NODE, 0, copy.Put()));
  if (depth == 0) return copy;
  const uint32_t count = ChildCount();
  for (uint32_t index = 0; index < count; ++index) copy.AddChild(Child(index).CopyToDepth(depth - 1));
  return copy;
}

}  // namespace ComponentsLib

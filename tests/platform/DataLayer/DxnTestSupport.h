// Helpers for the node store tests, which run natively (char16_t texts) and
// under Wine through DataLayer.dll (wchar_t texts) from the same sources.
#pragma once

#include "Kestrova/DataLayer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#define DXN_TEXT(text) L##text
#else
#define DXN_TEXT(text) u##text
#endif

namespace DxnTest {

using Text = std::basic_string<DxnChar>;

// Owns one node handle; closes it on destruction.
class Handle {
 public:
  Handle() = default;
  explicit Handle(IDXNode* node) : m_node(node) {}
  Handle(Handle&& other) noexcept : m_node(std::exchange(other.m_node, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      m_node = std::exchange(other.m_node, nullptr);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }

  IDXNode* Get() const { return m_node; }
  IDXNode** Out() {
    Reset();
    return &m_node;
  }
  IDXNode* Release() { return std::exchange(m_node, nullptr); }
  void Reset() {
    if (m_node != nullptr) {
      EXPECT_EQ(DxnCloseNodeHandle(std::exchange(m_node, nullptr)), DXN_S_OK);
    }
  }
  explicit operator bool() const { return m_node != nullptr; }

 private:
  IDXNode* m_node = nullptr;
};

inline Handle Create(const DxnChar* name, const DxnChar* type = nullptr) {
  Handle node;
  EXPECT_EQ(DxnCreateNode(name, type, node.Out()), DXN_S_OK);
  return node;
}

inline Handle AddNew(IDXNode* parent, const DxnChar* name, const DxnChar* type = nullptr) {
  Handle child = Create(name, type);
  EXPECT_EQ(DxnAddChild(parent, child.Get()), DXN_S_OK);
  return child;
}

inline Handle ChildAt(IDXNode* parent, uint32_t index) {
  Handle child;
  EXPECT_EQ(DxnGetChildByIndex(parent, index, child.Out()), DXN_S_OK);
  return child;
}

inline uint32_t ChildCount(IDXNode* node) {
  uint32_t count = 0;
  EXPECT_EQ(DxnGetChildCount(node, &count), DXN_S_OK);
  return count;
}

// Reads a text the way the module does: a 128-character buffer first, then
// the size the store asks for.
template <typename Read>
DxnResult ReadText(Read&& read, Text& text) {
  std::vector<DxnChar> buffer(128);
  uint32_t size = static_cast<uint32_t>(buffer.size());
  DxnResult result = read(buffer.data(), &size);
  if (result == DXN_E_INSUFFICIENT_BUFFER) {
    buffer.resize(size);
    result = read(buffer.data(), &size);
  }
  if (result == DXN_S_OK) text.assign(buffer.data(), size - 1);
  return result;
}

inline Text Name(IDXNode* node, uint32_t form = DXN_NAME_FORM_NAME) {
  Text text;
  EXPECT_EQ(ReadText([&](DxnChar* buffer, uint32_t* size) { return DxnGetNodeName(node, form, buffer, size); }, text),
            DXN_S_OK);
  return text;
}

inline Text Path(IDXNode* node) { return Name(node, DXN_NAME_FORM_FULL_PATH); }

inline Text Type(IDXNode* node) {
  Text text;
  EXPECT_EQ(ReadText([&](DxnChar* buffer, uint32_t* size) { return DxnGetNodeType(node, buffer, size); }, text),
            DXN_S_OK);
  return text;
}

inline uint32_t TextBytes(const Text& text) { return static_cast<uint32_t>((text.size() + 1) * sizeof(DxnChar)); }

inline void SetText(IDXNode* node, const DxnChar* name, const Text& value) {
  EXPECT_EQ(DxnSetAttribute(node, name, DXN_TYPE_TEXT, value.c_str(), TextBytes(value)), DXN_S_OK);
}

template <typename Value>
void SetFixed(IDXNode* node, const DxnChar* name, uint16_t type, Value value) {
  EXPECT_EQ(DxnSetAttribute(node, name, type, &value, sizeof(value)), DXN_S_OK);
}

struct RawValue {
  DxnResult result = DXN_S_OK;
  uint16_t type = 0xFFFF;
  std::vector<uint8_t> bytes;
};

// Any type, growing the buffer as the store asks.
inline RawValue ReadRaw(IDXNode* node, const DxnChar* name, const uint16_t* requested = nullptr) {
  RawValue value;
  value.bytes.resize(16);
  uint32_t size = static_cast<uint32_t>(value.bytes.size());
  value.result = DxnGetAttribute(node, name, requested, value.bytes.data(), &size, &value.type);
  if (value.result == DXN_E_INSUFFICIENT_BUFFER) {
    value.bytes.resize(size);
    value.result = DxnGetAttribute(node, name, requested, value.bytes.data(), &size, &value.type);
  }
  value.bytes.resize(value.result == DXN_S_OK ? size : 0);
  return value;
}

inline Text ReadTextAttribute(IDXNode* node, const DxnChar* name) {
  const uint16_t requested = DXN_TYPE_TEXT;
  const RawValue raw = ReadRaw(node, name, &requested);
  EXPECT_EQ(raw.result, DXN_S_OK);
  if (raw.bytes.size() < sizeof(DxnChar)) return {};
  Text text(raw.bytes.size() / sizeof(DxnChar) - 1, 0);
  std::memcpy(text.data(), raw.bytes.data(), text.size() * sizeof(DxnChar));
  return text;
}

inline std::vector<Text> AttributeNames(IDXNode* node) {
  Text list;
  EXPECT_EQ(
      ReadText([&](DxnChar* buffer, uint32_t* size) { return DxnGetAttributeNames(node, buffer, size); }, list),
      DXN_S_OK);
  std::vector<Text> names;
  size_t start = 0;
  while (start < list.size()) {
    const size_t end = list.find(DxnChar(0), start);
    names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

// Serializes the nodes to one byte string.
inline DxnResult Serialize(const std::vector<IDXNode*>& nodes, uint32_t flags, uint32_t depth, std::string& text) {
  text.clear();
  DxnSerializationContext* context = nullptr;
  DxnResult result = DxnStartSerialization(
      DXNSerializationType_NodeText, flags,
      [](const void* data, uint32_t byteCount, void* sink) -> DxnResult {
        static_cast<std::string*>(sink)->append(static_cast<const char*>(data), byteCount);
        return DXN_S_OK;
      },
      &text, &context);
  if (result != DXN_S_OK) return result;
  if (!nodes.empty()) result = DxnSerializeNodes(context, nodes.data(), static_cast<uint32_t>(nodes.size()), depth);
  if (result == DXN_S_OK) result = DxnFinalizeSerialization(context);
  EXPECT_EQ(DxnCloseSerializationContext(context), DXN_S_OK);
  return result;
}

inline std::string SerializeOne(IDXNode* node, uint32_t flags = DXN_SERIALIZE_FORMATTED,
                                uint32_t depth = DXN_DEPTH_SUBTREE) {
  std::string text;
  EXPECT_EQ(Serialize({node}, flags, depth, text), DXN_S_OK);
  return text;
}

// Feeds a text to the reader in pieces of at most pieceSize bytes.
struct TextSource {
  std::string_view text;
  size_t offset = 0;
  size_t pieceSize = SIZE_MAX;
};

inline DxnResult ReadFromSource(void* buffer, uint32_t capacity, uint32_t* bytesRead, void* context) {
  auto* source = static_cast<TextSource*>(context);
  size_t count = source->text.size() - source->offset;
  if (count > capacity) count = capacity;
  if (count > source->pieceSize) count = source->pieceSize;
  std::memcpy(buffer, source->text.data() + source->offset, count);
  source->offset += count;
  *bytesRead = static_cast<uint32_t>(count);
  return DXN_S_OK;
}

// Deserializes every top-level node, taking batches of batchSize; records
// the count of each batch.
inline DxnResult Deserialize(std::string_view text, std::vector<Handle>& nodes, uint32_t batchSize = 10,
                             std::vector<uint32_t>* batches = nullptr, size_t pieceSize = SIZE_MAX) {
  nodes.clear();
  TextSource source{text, 0, pieceSize};
  DxnDeserializationContext* context = nullptr;
  DxnResult result =
      DxnStartDeserialization(DXNSerializationType_NodeText, 0, &ReadFromSource, &source, &context);
  if (result != DXN_S_OK) return result;
  std::vector<IDXNode*> batch(batchSize);
  while (true) {
    uint32_t count = 0;
    result = DxnDeserializeNodes(context, batch.data(), batchSize, &count);
    if (result != DXN_S_OK) break;
    if (batches != nullptr) batches->push_back(count);
    for (uint32_t index = 0; index < count; ++index) nodes.emplace_back(batch[index]);
    if (count < batchSize) break;
  }
  EXPECT_EQ(DxnCloseDeserializationContext(context), DXN_S_OK);
  return result;
}

}  // namespace DxnTest

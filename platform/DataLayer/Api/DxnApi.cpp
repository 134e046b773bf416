// The C functions of the node store: argument checks and text conversion
// around the portable core. On Windows DxnChar is wchar_t, which has the
// size and representation of char16_t; the texts cross as UTF-16 either way.
#include "Kestrova/DataLayer.h"

#include "Core/Node.h"
#include "Core/SerializationSessions.h"

#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>

static_assert(sizeof(DxnChar) == sizeof(char16_t), "UTF-16 texts");

using DataLayer::AttributeView;
using DataLayer::Node;
using DataLayer::OptionalText;
using DataLayer::Result;
namespace Results = DataLayer::Results;

namespace {

// Turns escaping exceptions into results: nothing throws across the C boundary.
template <typename Body>
DxnResult Guarded(Body&& body) noexcept {
  try {
    return static_cast<DxnResult>(body());
  } catch (const std::bad_alloc&) {
    return static_cast<DxnResult>(Results::kOutOfMemory);
  } catch (...) {
    return static_cast<DxnResult>(Results::kUnexpected);
  }
}

std::u16string_view TextOf(const DxnChar* text) { return std::u16string_view(reinterpret_cast<const char16_t*>(text)); }

OptionalText OptionalTextOf(const DxnChar* text) {
  return text == nullptr ? OptionalText() : OptionalText(TextOf(text));
}

Result NodeOf(IDXNode* handle, Node*& node) {
  if (handle == nullptr) return Results::kPointer;
  node = reinterpret_cast<Node*>(handle);
  return node->LooksValid() ? Results::kOk : Results::kInvalidArg;
}

IDXNode* HandleOf(Node* node) { return reinterpret_cast<IDXNode*>(node); }

// Copies a text with its NUL, or reports the size needed.
Result CopyText(std::u16string_view text, DxnChar* buffer, uint32_t* size) {
  if (size == nullptr) return Results::kPointer;
  const uint64_t needed = uint64_t{text.size()} + 1;
  if (needed > UINT32_MAX) return Results::kOutOfMemory;
  if (buffer == nullptr || *size < needed) {
    *size = static_cast<uint32_t>(needed);
    return Results::kInsufficientBuffer;
  }
  if (!text.empty()) std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
  buffer[text.size()] = 0;
  *size = static_cast<uint32_t>(needed);
  return Results::kOk;
}

template <typename T>
void ClearOut(T** out) {
  if (out != nullptr) *out = nullptr;
}

// The bytes a typed read delivers, after the conversions the store allows.
struct DeliveredValue {
  const void* data;
  uint32_t size;
  uint16_t type;
  int32_t narrowed;   // storage for an int64 read as int32
  char16_t text[24];  // storage for a number or boolean read as text, with its NUL
};

// The serialization type as the caller passed it: callers may pass values
// outside the enumeration, which must not be loaded as the enumeration.
bool IsNodeText(const EnumDXNSerializationType& type) {
  std::underlying_type_t<EnumDXNSerializationType> value;
  std::memcpy(&value, &type, sizeof(value));
  return value == DXNSerializationType_NodeText;
}

bool IsText(uint16_t type) { return type == DXN_TYPE_TEXT || type == DXN_TYPE_TEXT_LEGACY; }

// Decimal digits of value, most significant first, with its NUL; the length
// without the NUL.
uint32_t DecimalText(int64_t value, char16_t* text) {
  char16_t digits[20];
  uint32_t count = 0;
  // Magnitude in unsigned arithmetic: INT64_MIN has no positive counterpart.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  uint32_t length = 0;
  if (value < 0) text[length++] = u'-';
  while (count != 0) text[length++] = digits[--count];
  text[length] = 0;
  return length;
}

// A text read of a scalar: 32- and 64-bit integers in decimal, booleans as
// "true" or "false". False for values without that shape (which keep refusing).
bool ScalarAsText(const AttributeView& stored, DeliveredValue& value) {
  uint32_t length = 0;
  if (stored.type == DXN_TYPE_INT32 && stored.size == sizeof(int32_t)) {
    int32_t number = 0;
    std::memcpy(&number, stored.data, sizeof(number));
    length = DecimalText(number, value.text);
  } else if (stored.type == DXN_TYPE_INT64 && stored.size == sizeof(int64_t)) {
    int64_t number = 0;
    std::memcpy(&number, stored.data, sizeof(number));
    length = DecimalText(number, value.text);
  } else if (stored.type == DXN_TYPE_BOOL && stored.size == 1) {
    const std::u16string_view word = std::to_integer<uint8_t>(*stored.data) != 0 ? u"true" : u"false";
    word.copy(value.text, word.size());
    length = static_cast<uint32_t>(word.size());
    value.text[length] = 0;
  } else {
    return false;
  }
  value.data = value.text;
  value.size = (length + 1) * sizeof(char16_t);
  value.type = DXN_TYPE_TEXT;
  return true;
}

Result Deliver(const AttributeView& stored, const uint16_t* requestedType, DeliveredValue& value) {
  value.data = stored.data;
  value.size = stored.size;
  value.type = stored.type;
  if (requestedType == nullptr || *requestedType == stored.type) return Results::kOk;
  const uint16_t requested = *requestedType;
  if (IsText(requested) && IsText(stored.type)) return Results::kOk;
  if (requested == DXN_TYPE_TEXT && ScalarAsText(stored, value)) return Results::kOk;
  if (requested == DXN_TYPE_INT32 && stored.type == DXN_TYPE_INT64 && stored.size == sizeof(int64_t)) {
    int64_t wide = 0;
    std::memcpy(&wide, stored.data, sizeof(wide));
    if (wide < INT32_MIN || wide > INT32_MAX) return Results::kArithmeticOverflow;
    value.narrowed = static_cast<int32_t>(wide);
    value.data = &value.narrowed;
    value.size = sizeof(int32_t);
    value.type = DXN_TYPE_INT32;
    return Results::kOk;
  }
  return Results::kTypeMismatch;
}

Result SessionOf(DxnSerializationContext* context, DataLayer::SerializationSession*& session) {
  if (context == nullptr) return Results::kPointer;
  session = reinterpret_cast<DataLayer::SerializationSession*>(context);
  return session->LooksValid() ? Results::kOk : Results::kInvalidArg;
}
Result SessionOf(DxnDeserializationContext* context, DataLayer::DeserializationSession*& session) {
  if (context == nullptr) return Results::kPointer;
  session = reinterpret_cast<DataLayer::DeserializationSession*>(context);
  return session->LooksValid() ? Results::kOk : Results::kInvalidArg;
}

}  // namespace

extern "C" {

DxnResult DxnCreateNode(const DxnChar* name, const DxnChar* type, IDXNode** node) {
  return Guarded([&]() -> Result {
    if (node == nullptr) return Results::kPointer;
    *node = HandleOf(Node::Create(OptionalTextOf(name), OptionalTextOf(type)));
    return Results::kOk;
  });
}

DxnResult DxnDuplicateNodeHandle(IDXNode* handle, IDXNode** duplicate) {
  return Guarded([&]() -> Result {
    ClearOut(duplicate);
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (duplicate == nullptr) return Results::kPointer;
    node->AddHandle();
    *duplicate = handle;
    return Results::kOk;
  });
}

DxnResult DxnCloseNodeHandle(IDXNode* handle) {
  return Guarded([&]() -> Result {
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    return node->CloseHandle() ? Results::kOk : Results::kInvalidArg;
  });
}

DxnResult DxnCloneNode(IDXNode* handle, uint32_t depth, uint32_t flags, IDXNode** clone) {
  return Guarded([&]() -> Result {
    ClearOut(clone);
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (clone == nullptr) return Results::kPointer;
    if (flags != 0) return Results::kInvalidArg;
    *clone = HandleOf(node->Clone(depth));
    return Results::kOk;
  });
}

DxnResult DxnGetNodeName(IDXNode* handle, uint32_t form, DxnChar* buffer, uint32_t* size) {
  return Guarded([&]() -> Result {
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (form == DXN_NAME_FORM_NAME) return CopyText(node->Name().View(), buffer, size);
    if (form == DXN_NAME_FORM_FULL_PATH) return CopyText(node->FullPath(), buffer, size);
    return Results::kInvalidArg;
  });
}

DxnResult DxnGetNodeType(IDXNode* handle, DxnChar* buffer, uint32_t* size) {
  return Guarded([&]() -> Result {
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    return CopyText(node->Type().View(), buffer, size);
  });
}

DxnResult DxnSetNodeType(IDXNode* handle, const DxnChar* type) {
  return Guarded([&]() -> Result {
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    node->SetType(OptionalTextOf(type));
    return Results::kOk;
  });
}

DxnResult DxnGetChildCount(IDXNode* handle, uint32_t* count) {
  return Guarded([&]() -> Result {
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (count == nullptr) return Results::kPointer;
    *count = static_cast<uint32_t>(node->Children().size());
    return Results::kOk;
  });
}

DxnResult DxnGetChildByIndex(IDXNode* handle, uint32_t index, IDXNode** child) {
  return Guarded([&]() -> Result {
    ClearOut(child);
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (child == nullptr) return Results::kPointer;
    if (index >= node->Children().size()) return Results::kNotFound;
    Node* found = node->Children()[index];
    found->AddHandle();
    *child = HandleOf(found);
    return Results::kOk;
  });
}

DxnResult DxnGetChildByName(IDXNode* handle, const DxnChar* name, IDXNode** child) {
  return Guarded([&]() -> Result {
    ClearOut(child);
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (name == nullptr || child == nullptr) return Results::kPointer;
    Node* found = node->FindChild(TextOf(name));
    if (found == nullptr) return Results::kNotFound;
    found->AddHandle();
    *child = HandleOf(found);
    return Results::kOk;
  });
}

DxnResult DxnGetParent(IDXNode* handle, IDXNode** parent) {
  return Guarded([&]() -> Result {
    ClearOut(parent);
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (parent == nullptr) return Results::kPointer;
    Node* found = node->Parent();
    if (found == nullptr) return Results::kNotFound;
    found->AddHandle();
    *parent = HandleOf(found);
    return Results::kOk;
  });
}

DxnResult DxnAddChild(IDXNode* parentHandle, IDXNode* childHandle) {
  return Guarded([&]() -> Result {
    Node* parent = nullptr;
    Node* child = nullptr;
    if (const Result result = NodeOf(parentHandle, parent); DataLayer::Failed(result)) return result;
    if (const Result result = NodeOf(childHandle, child); DataLayer::Failed(result)) return result;
    return parent->AddChild(child);
  });
}

DxnResult DxnRemoveChild(IDXNode* parentHandle, IDXNode* childHandle) {
  return Guarded([&]() -> Result {
    Node* parent = nullptr;
    Node* child = nullptr;
    if (const Result result = NodeOf(parentHandle, parent); DataLayer::Failed(result)) return result;
    if (const Result result = NodeOf(childHandle, child); DataLayer::Failed(result)) return result;
    return parent->RemoveChild(child);
  });
}

DxnResult DxnGetAttribute(IDXNode* handle, const DxnChar* name, const uint16_t* requestedType, void* buffer,
                          uint32_t* size, uint16_t* actualType) {
  return Guarded([&]() -> Result {
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (name == nullptr) return Results::kPointer;
    if (buffer != nullptr && size == nullptr) return Results::kInvalidArg;
    AttributeView stored;
    if (!node->Attributes().Find(TextOf(name), stored)) return Results::kNotFound;
    DeliveredValue value;
    const Result converted = Deliver(stored, requestedType, value);
    if (actualType != nullptr) *actualType = value.type;
    if (DataLayer::Failed(converted)) return converted;
    if (size == nullptr) return Results::kOk;
    const uint32_t capacity = buffer != nullptr ? *size : 0;
    *size = value.size;
    if (value.size > capacity) return Results::kInsufficientBuffer;
    if (value.size != 0) std::memcpy(buffer, value.data, value.size);
    return Results::kOk;
  });
}

DxnResult DxnGetAttributeNames(IDXNode* handle, DxnChar* buffer, uint32_t* size) {
  return Guarded([&]() -> Result {
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (size == nullptr) return Results::kPointer;
    uint64_t needed = 1;
    node->Attributes().ForEach([&](const AttributeView& attribute) { needed += attribute.name.size() + 1; });
    if (needed > UINT32_MAX) return Results::kOutOfMemory;
    if (buffer == nullptr || *size < needed) {
      *size = static_cast<uint32_t>(needed);
      return Results::kInsufficientBuffer;
    }
    DxnChar* at = buffer;
    node->Attributes().ForEach([&](const AttributeView& attribute) {
      std::memcpy(at, attribute.name.data(), attribute.name.size() * sizeof(char16_t));
      at += attribute.name.size();
      *at++ = 0;
    });
    *at = 0;
    *size = static_cast<uint32_t>(needed);
    return Results::kOk;
  });
}

DxnResult DxnDeleteAttribute(IDXNode* handle, const DxnChar* name) {
  return Guarded([&]() -> Result {
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (name == nullptr) {
      node->Attributes().Clear();
      return Results::kOk;
    }
    return node->Attributes().Remove(TextOf(name)) ? Results::kOk : Results::kNotFound;
  });
}

DxnResult DxnSetAttribute(IDXNode* handle, const DxnChar* name, uint16_t type, const void* data, uint32_t size) {
  return Guarded([&]() -> Result {
    Node* node = nullptr;
    if (const Result result = NodeOf(handle, node); DataLayer::Failed(result)) return result;
    if (name == nullptr) return Results::kPointer;
    if (data == nullptr && size != 0) return Results::kPointer;
    const std::u16string_view text = TextOf(name);
    if (text.empty()) return Results::kInvalidArg;
    node->Attributes().Set(text, type, data, size);
    return Results::kOk;
  });
}

DxnResult DxnStartSerialization(EnumDXNSerializationType type, uint32_t flags, DxnWriteCallback write,
                                void* callbackContext, DxnSerializationContext** context) {
  return Guarded([&]() -> Result {
    ClearOut(context);
    if (write == nullptr || context == nullptr) return Results::kPointer;
    if (!IsNodeText(type)) return Results::kInvalidArg;
    DataLayer::SerializationSession* session = nullptr;
    const Result result = DataLayer::SerializationSession::Start(
        flags,
        [write, callbackContext](const void* data, uint32_t byteCount) -> Result {
          return static_cast<Result>(write(data, byteCount, callbackContext));
        },
        session);
    if (DataLayer::Failed(result)) return result;
    *context = reinterpret_cast<DxnSerializationContext*>(session);
    return Results::kOk;
  });
}

DxnResult DxnSerializeNodes(DxnSerializationContext* context, IDXNode* const* nodes, uint32_t count, uint32_t depth) {
  return Guarded([&]() -> Result {
    DataLayer::SerializationSession* session = nullptr;
    if (const Result result = SessionOf(context, session); DataLayer::Failed(result)) return result;
    if (nodes == nullptr && count != 0) return Results::kPointer;
    std::vector<const Node*> roots;
    roots.reserve(count);
    for (uint32_t index = 0; index < count; ++index) {
      Node* node = nullptr;
      if (const Result result = NodeOf(nodes[index], node); DataLayer::Failed(result)) return result;
      roots.push_back(node);
    }
    return session->Write(roots, depth);
  });
}

DxnResult DxnFinalizeSerialization(DxnSerializationContext* context) {
  return Guarded([&]() -> Result {
    DataLayer::SerializationSession* session = nullptr;
    if (const Result result = SessionOf(context, session); DataLayer::Failed(result)) return result;
    return session->Finalize();
  });
}

DxnResult DxnCloseSerializationContext(DxnSerializationContext* context) {
  return Guarded([&]() -> Result {
    DataLayer::SerializationSession* session = nullptr;
    if (const Result result = SessionOf(context, session); DataLayer::Failed(result)) return result;
    delete session;
    return Results::kOk;
  });
}

DxnResult DxnStartDeserialization(EnumDXNSerializationType type, uint32_t flags, DxnReadCallback read,
                                  void* callbackContext, DxnDeserializationContext** context) {
  return Guarded([&]() -> Result {
    ClearOut(context);
    if (read == nullptr || context == nullptr) return Results::kPointer;
    if (!IsNodeText(type) || flags != 0) return Results::kInvalidArg;
    auto* session = new DataLayer::DeserializationSession(
        [read, callbackContext](void* buffer, uint32_t capacity, uint32_t* bytesRead) -> Result {
          return static_cast<Result>(read(buffer, capacity, bytesRead, callbackContext));
        });
    *context = reinterpret_cast<DxnDeserializationContext*>(session);
    return Results::kOk;
  });
}

DxnResult DxnDeserializeNodes(DxnDeserializationContext* context, IDXNode** nodes, uint32_t maxCount, uint32_t* count) {
  return Guarded([&]() -> Result {
    if (count != nullptr) *count = 0;
    DataLayer::DeserializationSession* session = nullptr;
    if (const Result result = SessionOf(context, session); DataLayer::Failed(result)) return result;
    if (nodes == nullptr || count == nullptr) return Results::kPointer;
    if (maxCount == 0) return Results::kInvalidArg;
    std::vector<Node*> taken;
    const Result result = session->Take(maxCount, taken);
    if (DataLayer::Failed(result)) return result;
    for (size_t index = 0; index < taken.size(); ++index) nodes[index] = HandleOf(taken[index]);
    *count = static_cast<uint32_t>(taken.size());
    return Results::kOk;
  });
}

DxnResult DxnCloseDeserializationContext(DxnDeserializationContext* context) {
  return Guarded([&]() -> Result {
    DataLayer::DeserializationSession* session = nullptr;
    if (const Result result = SessionOf(context, session); DataLayer::Failed(result)) return result;
    delete session;
    return Results::kOk;
  });
}

}  // extern "C"

// libFuzzer target of the node text reader, through the store's C interface.
// Any input must either fail cleanly or give trees that write and read back
// to the same text (the writer's output is the reader's fixed point).
#include "Kestrova/DataLayer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Source {
  const uint8_t* data;
  size_t size;
  size_t offset;
  size_t piece;
};

DxnResult Read(void* buffer, uint32_t capacity, uint32_t* bytesRead, void* context) {
  auto* source = static_cast<Source*>(context);
  size_t count = source->size - source->offset;
  if (count > capacity) count = capacity;
  if (count > source->piece) count = source->piece;
  if (count != 0) std::memcpy(buffer, source->data + source->offset, count);
  source->offset += count;
  *bytesRead = static_cast<uint32_t>(count);
  return DXN_S_OK;
}

DxnResult Append(const void* data, uint32_t byteCount, void* context) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), byteCount);
  return DXN_S_OK;
}

// Every node of the input, or the reader's failure.
DxnResult ReadAll(const uint8_t* data, size_t size, size_t piece, std::vector<IDXNode*>& nodes) {
  Source source{data, size, 0, piece};
  DxnDeserializationContext* context = nullptr;
  DxnResult result = DxnStartDeserialization(DXNSerializationType_NodeText, 0, &Read, &source, &context);
  if (result != DXN_S_OK) std::abort();
  IDXNode* batch[10];
  uint32_t count = 0;
  do {
    result = DxnDeserializeNodes(context, batch, 10, &count);
    if (result != DXN_S_OK) break;
    nodes.insert(nodes.end(), batch, batch + count);
  } while (count == 10);
  DxnCloseDeserializationContext(context);
  if (result != DXN_S_OK && !nodes.empty()) std::abort();  // nothing is handed out before a failure
  return result;
}

std::string Write(const std::vector<IDXNode*>& nodes, uint32_t flags) {
  std::string text;
  DxnSerializationContext* context = nullptr;
  if (DxnStartSerialization(DXNSerializationType_NodeText, flags, &Append, &text, &context) != DXN_S_OK) std::abort();
  if (!nodes.empty() &&
      DxnSerializeNodes(context, nodes.data(), static_cast<uint32_t>(nodes.size()), DXN_DEPTH_SUBTREE) != DXN_S_OK) {
    std::abort();
  }
  if (DxnFinalizeSerialization(context) != DXN_S_OK) std::abort();
  DxnCloseSerializationContext(context);
  return text;
}

void CloseAll(std::vector<IDXNode*>& nodes) {
  for (IDXNode* node : nodes) DxnCloseNodeHandle(node);
  nodes.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<IDXNode*> nodes;
  // The last byte picks how the input is cut into pieces by the read callback.
  const size_t piece = size == 0 ? 1 : 1 + data[size - 1] % 64;
  const DxnResult whole = ReadAll(data, size, SIZE_MAX, nodes);
  std::vector<IDXNode*> pieces;
  if (ReadAll(data, size, piece, pieces) != whole) std::abort();
  CloseAll(pieces);
  if (whole != DXN_S_OK) {
    if (whole != DXN_E_INVALID_DATA) std::abort();
    return 0;
  }
  for (const uint32_t flags : {0u, DXN_SERIALIZE_FORMATTED}) {
    const std::string text = Write(nodes, flags);
    std::vector<IDXNode*> again;
    if (ReadAll(reinterpret_cast<const uint8_t*>(text.data()), text.size(), SIZE_MAX, again) != DXN_S_OK) {
      std::abort();
    }
    if (again.size() != nodes.size() || Write(again, flags) != text) std::abort();
    CloseAll(again);
  }
  CloseAll(nodes);
  return 0;
}

#include "NodeSerialization.h"

#include "settings/File.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace NodeUtils {

namespace {

// The file's read buffer between the store and ReadFile.
constexpr DWORD kReadBufferSize = 8192;
// The largest piece one WriteFile call is given.
constexpr uint64_t kMaxWritePiece = 0xFFFFFFFFu;

// Runs an action for a store callback: an HRX it raises is kept for the
// caller and its code goes back to the store, so that nothing escapes into
// the store's frames.
template <typename Action>
DxnResult RunCallback(std::optional<HRX>& failure, Action&& action) noexcept {
  try {
    action();
    return S_OK;
  } catch (const HRX& raised) {
    failure = raised;
    return raised.Code();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// A failing store call raises the callback's own HRX when the store passed
// its code on, else an HRX of the store's code.
void RaiseStoreFailure(DxnResult result, std::optional<HRX>& callbackFailure) {
  if (SUCCEEDED(result)) return;
  if (callbackFailure && callbackFailure->Code() == result) {
    const HRX failure = *callbackFailure;
    callbackFailure.reset();
    throw failure;
  }
  ThrowIfFailed(HRES(result));
}

// Reads the file in pieces of kReadBufferSize and hands out as much of the
// current piece as the store has room for.
class BufferedFileReader {
 public:
  explicit BufferedFileReader(CFile& file) : m_file(file) {}

  uint32_t Read(void* buffer, uint32_t capacity) {
    if (capacity == 0) return 0;
    if (m_next == m_end) {
      DWORD read = 0;
      ThrowIfFailed(m_file.Read(m_buffer.data(), kReadBufferSize, &read));
      m_next = 0;
      m_end = read;
      if (read == 0) return 0;
    }
    const uint32_t count = std::min<uint32_t>(capacity, m_end - m_next);
    std::memcpy(buffer, m_buffer.data() + m_next, count);
    m_next += count;
    return count;
  }

 private:
  CFile& m_file;
  std::array<uint8_t, kReadBufferSize> m_buffer{};
  uint32_t m_next = 0;
  uint32_t m_end = 0;
};

void WriteAll(CFile& file, const void* data, uint64_t size) {
  auto bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const auto piece = static_cast<DWORD>(std::min(size, kMaxWritePiece));
    DWORD written = 0;
    ThrowIfFailed(file.Write(bytes, piece, &written));
    // A synchronous write to a file writes everything or fails; never spin.
    if (written == 0) ThrowHr(HrFromWin32(ERROR_WRITE_FAULT));
    bytes += written;
    size -= written;
  }
}

}  // namespace

CSerializationContext::CSerializationContext(EnumDXNSerializationType type, uint32_t flags, Sink sink)
    : m_sink(std::move(sink)) {
  ThrowIfFailed(HRES(DxnStartSerialization(type, flags, &CSerializationContext::Write, this, &m_context)));
}

CSerializationContext::~CSerializationContext() {
  if (m_context != nullptr) DxnCloseSerializationContext(m_context);
}

void CSerializationContext::Serialize(IDXNode* const* nodes, uint32_t count, uint32_t depth) {
  if (count == 0) return;
  ThrowIfFailedStoreCall(DxnSerializeNodes(m_context, nodes, count, depth));
}

void CSerializationContext::Finalize() { ThrowIfFailedStoreCall(DxnFinalizeSerialization(m_context)); }

DxnResult CSerializationContext::Write(const void* data, uint32_t byteCount, void* self) noexcept {
  auto* context = static_cast<CSerializationContext*>(self);
  return RunCallback(context->m_sinkFailure, [&] { context->m_sink(data, byteCount); });
}

void CSerializationContext::ThrowIfFailedStoreCall(DxnResult result) { RaiseStoreFailure(result, m_sinkFailure); }

CDeserializationContext::CDeserializationContext(EnumDXNSerializationType type, uint32_t flags, Source source)
    : m_source(std::move(source)) {
  ThrowIfFailed(HRES(DxnStartDeserialization(type, flags, &CDeserializationContext::Read, this, &m_context)));
}

CDeserializationContext::~CDeserializationContext() {
  if (m_context != nullptr) DxnCloseDeserializationContext(m_context);
}

uint32_t CDeserializationContext::Deserialize(std::vector<DXNodePtr>& nodes, uint32_t maxCount) {
  std::array<IDXNode*, kBatchSize> batch{};
  uint32_t total = 0;
  // Batches larger than the local array are taken in several store calls.
  while (total < maxCount) {
    const uint32_t wanted = std::min<uint32_t>(maxCount - total, kBatchSize);
    uint32_t received = 0;
    const DxnResult result = DxnDeserializeNodes(m_context, batch.data(), wanted, &received);
    if (SUCCEEDED(result)) {
      received = std::min(received, wanted);
      nodes.reserve(nodes.size() + received);
      for (uint32_t index = 0; index < received; ++index) nodes.emplace_back(batch[index], DXNodePtr::Handle::Adopt);
    }
    ThrowIfFailedStoreCall(result);
    total += received;
    if (received < wanted) break;
  }
  return total;
}

std::vector<DXNodePtr> CDeserializationContext::DeserializeAll(size_t limit, const BatchObserver& onBatch) {
  std::vector<DXNodePtr> nodes;
  while (nodes.size() < limit) {
    const auto wanted = static_cast<uint32_t>(std::min<size_t>(kBatchSize, limit - nodes.size()));
    const uint32_t received = Deserialize(nodes, wanted);
    if (onBatch) onBatch(wanted, received);
    if (received < kBatchSize) break;
  }
  return nodes;
}

DxnResult CDeserializationContext::Read(void* buffer, uint32_t capacity, uint32_t* bytesRead, void* self) noexcept {
  auto* context = static_cast<CDeserializationContext*>(self);
  if (bytesRead != nullptr) *bytesRead = 0;
  return RunCallback(context->m_sourceFailure, [&] {
    const uint32_t count = context->m_source(buffer, capacity);
    if (bytesRead != nullptr) *bytesRead = count;
  });
}

void CDeserializationContext::ThrowIfFailedStoreCall(DxnResult result) { RaiseStoreFailure(result, m_sourceFailure); }

void SerializeToFile(AnyStringArg path, IDXNode* const* nodes, uint32_t count, EnumDXNSerializationType type,
                     uint32_t flags, uint32_t depth) {
  CFile file;
  ThrowIfFailed(file.Create(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL));
  SerializeToFile(file, nodes, count, type, flags, depth);
  ThrowIfFailed(file.Close());
}

void SerializeToFile(CFile& file, IDXNode* const* nodes, uint32_t count, EnumDXNSerializationType type,
                     uint32_t flags, uint32_t depth) {
  {
    CSerializationContext context(type, flags,
                                  [&file](const void* data, uint32_t byteCount) { WriteAll(file, data, byteCount); });
    context.Serialize(nodes, count, depth);
    context.Finalize();
  }
  ThrowIfFailed(file.Flush());
}

void SerializeToFile(AnyStringArg path, const std::vector<DXNodePtr>& nodes, EnumDXNSerializationType type,
                     uint32_t flags, uint32_t depth) {
  std::vector<IDXNode*> handles;
  handles.reserve(nodes.size());
  for (const DXNodePtr& node : nodes) handles.push_back(node.Get());
  SerializeToFile(path.c_str(), handles.data(), static_cast<uint32_t>(handles.size()), type, flags, depth);
}

std::vector<DXNodePtr> DeserializeFromFile(AnyStringArg path, EnumDXNSerializationType type, uint32_t flags,
                                           const CDeserializationContext::BatchObserver& onBatch, size_t limit) {
  CFile file;
  ThrowIfFailed(file.Create(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL));
  return DeserializeFromFile(file, type, flags, onBatch, limit);
}

std::vector<DXNodePtr> DeserializeFromFile(CFile& file, EnumDXNSerializationType type, uint32_t flags,
                                           const CDeserializationContext::BatchObserver& onBatch, size_t limit) {
  BufferedFileReader reader(file);
  CDeserializationContext context(type, flags,
                                  [&reader](void* buffer, uint32_t capacity) { return reader.Read(buffer, capacity); });
  return context.DeserializeAll(limit, onBatch);
}

std::string SerializeToText(IDXNode* const* nodes, uint32_t count, uint32_t flags, uint32_t depth) {
  std::string text;
  CSerializationContext context(DXNSerializationType_NodeText, flags, [&text](const void* data, uint32_t byteCount) {
    text.append(static_cast<const char*>(data), byteCount);
  });
  context.Serialize(nodes, count, depth);
  context.Finalize();
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

}  // namespace NodeUtils

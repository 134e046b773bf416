// Node trees to and from bytes through the node store's serializer: into a
// file, out of a file, and into a byte string for the log.
#pragma once

#include "AnyStringArg.h"
#include "DXNodePtr.h"

#include "Sources/Common/ErrorHandling/HRES.h"
#include "settings/File.h"

#include <Kestrova/DataLayer.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace NodeUtils {

// The store's serializer, bound to a sink, for one operation. The
// constructor starts the serialization, the destructor closes the context.
// A sink that raises HRX fails the store call; the store call then raises
// that same HRX (with its error object and call sites).
class CSerializationContext {
 public:
  using Sink = std::function<void(const void* data, uint32_t byteCount)>;

  CSerializationContext(EnumDXNSerializationType type, uint32_t flags, Sink sink);
  ~CSerializationContext();
  CSerializationContext(const CSerializationContext&) = delete;
  CSerializationContext& operator=(const CSerializationContext&) = delete;

  // Nothing is handed to the store for a count of 0.
  void Serialize(IDXNode* const* nodes, uint32_t count, uint32_t depth);
  void Finalize();

 private:
  static DxnResult Write(const void* data, uint32_t byteCount, void* self) noexcept;
  void ThrowIfFailedStoreCall(DxnResult result);

  Sink m_sink;
  DxnSerializationContext* m_context = nullptr;
  std::optional<HRX> m_sinkFailure;
};

// The store's deserializer, bound to a read source, for one operation.
class CDeserializationContext {
 public:
  // Fills at most capacity bytes and returns the count read; 0 ends the input.
  using Source = std::function<uint32_t(void* buffer, uint32_t capacity)>;
  // Told the size of each batch asked for and the number of nodes it brought.
  using BatchObserver = std::function<void(uint32_t requested, uint32_t received)>;

  static constexpr uint32_t kBatchSize = 10;
  static constexpr size_t kNoLimit = SIZE_MAX;

  CDeserializationContext(EnumDXNSerializationType type, uint32_t flags, Source source);
  ~CDeserializationContext();
  CDeserializationContext(const CDeserializationContext&) = delete;
  CDeserializationContext& operator=(const CDeserializationContext&) = delete;

  // Appends up to maxCount top-level nodes to nodes; returns how many.
  uint32_t Deserialize(std::vector<DXNodePtr>& nodes, uint32_t maxCount);
  // Every node up to limit, taken in batches of kBatchSize for as long as a
  // batch comes back full.
  std::vector<DXNodePtr> DeserializeAll(size_t limit = kNoLimit, const BatchObserver& onBatch = nullptr);

 private:
  static DxnResult Read(void* buffer, uint32_t capacity, uint32_t* bytesRead, void* self) noexcept;
  void ThrowIfFailedStoreCall(DxnResult result);

  Source m_source;
  DxnDeserializationContext* m_context = nullptr;
  std::optional<HRX> m_sourceFailure;
};

// Writes the nodes to a new file (an existing one is replaced), flushes and
// closes it. The module writes with type 1, flags 257 and the whole subtree.
void SerializeToFile(AnyStringArg path, IDXNode* const* nodes, uint32_t count, EnumDXNSerializationType type,
                     uint32_t flags, uint32_t depth);
void SerializeToFile(AnyStringArg path, const std::vector<DXNodePtr>& nodes, EnumDXNSerializationType type,
                     uint32_t flags, uint32_t depth);
// The same into a file already open for writing (at its current position),
// flushed and left open.
void SerializeToFile(CFile& file, IDXNode* const* nodes, uint32_t count, EnumDXNSerializationType type,
                     uint32_t flags, uint32_t depth);

// The top-level nodes of the file, in order, at most limit of them: reading
// stops there, so a huge file costs no more than limit nodes. onBatch sees
// each batch taken from the store (diagnostics and tests).
std::vector<DXNodePtr> DeserializeFromFile(AnyStringArg path, EnumDXNSerializationType type, uint32_t flags,
                                           const CDeserializationContext::BatchObserver& onBatch = nullptr,
                                           size_t limit = CDeserializationContext::kNoLimit);
// The same from a file already open for reading, from its current position.
std::vector<DXNodePtr> DeserializeFromFile(CFile& file, EnumDXNSerializationType type, uint32_t flags,
                                           const CDeserializationContext::BatchObserver& onBatch = nullptr,
                                           size_t limit = CDeserializationContext::kNoLimit);

// The serialized bytes, without the one trailing NUL the store may add.
std::string SerializeToText(IDXNode* const* nodes, uint32_t count, uint32_t flags, uint32_t depth);

}  // namespace NodeUtils

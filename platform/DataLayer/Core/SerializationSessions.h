// The state behind the serialization and deserialization contexts of the C
// interface: one writer or one reader with the caller's callback.
#pragma once

#include "Node.h"
#include "NodeTextWriter.h"
#include "Result.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace DataLayer {

class SerializationSession {
 public:
  using Sink = std::function<Result(const void* data, uint32_t byteCount)>;

  // Fails with E_INVALIDARG on flags the writer does not know.
  static Result Start(uint32_t flags, Sink sink, SerializationSession*& session);

  bool LooksValid() const { return m_signature == kSignature; }
  Result Write(const std::vector<const Node*>& roots, uint32_t depth);
  Result Finalize();

  ~SerializationSession() { m_signature = 0; }

 private:
  static constexpr uint32_t kSignature = 0x53584E44;  // "DNXS"
  SerializationSession(uint32_t flags, Sink sink);
  // Hands the buffered text to the sink once enough of it has gathered.
  Result Flush(bool all);

  uint32_t m_signature = kSignature;
  Sink m_sink;
  NodeTextWriter m_writer;
  std::string m_pending;
  Result m_failure = Results::kOk;
  bool m_finalized = false;
};

class DeserializationSession {
 public:
  using Source = std::function<Result(void* buffer, uint32_t capacity, uint32_t* bytesRead)>;

  explicit DeserializationSession(Source source) : m_source(std::move(source)) {}
  ~DeserializationSession();

  bool LooksValid() const { return m_signature == kSignature; }
  // The next top-level nodes, at most maxCount, each with one handle for the
  // caller; none once the input is exhausted. The whole input is read and
  // checked on the first call, so malformed input fails before any node is
  // handed out.
  Result Take(uint32_t maxCount, std::vector<Node*>& taken);

 private:
  static constexpr uint32_t kSignature = 0x44584E44;  // "DNXD"
  struct InputBuffer {
    char* bytes = nullptr;
    size_t size = 0;
    size_t capacity = 0;
    InputBuffer() = default;
    InputBuffer(const InputBuffer&) = delete;
    InputBuffer& operator=(const InputBuffer&) = delete;
    ~InputBuffer() { std::free(bytes); }
  };
  Result ReadAll(InputBuffer& input);

  uint32_t m_signature = kSignature;
  Source m_source;
  bool m_parsed = false;
  Result m_failure = Results::kOk;
  std::vector<Node*> m_nodes;
  size_t m_next = 0;
};

}  // namespace DataLayer

#include "SerializationSessions.h"

#include "NodeTextFormat.h"
#include "NodeTextReader.h"

#include <algorithm>
#include <cstdlib>

namespace DataLayer {

namespace {
constexpr size_t kSinkPiece = 64 * 1024;
constexpr uint32_t kReadChunk = 64 * 1024;
}  // namespace

Result SerializationSession::Start(uint32_t flags, Sink sink, SerializationSession*& session) {
  if (!NodeTextWriter::KnowsFlags(flags)) return Results::kInvalidArg;
  session = new SerializationSession(flags, std::move(sink));
  return Results::kOk;
}

SerializationSession::SerializationSession(uint32_t flags, Sink sink) : m_sink(std::move(sink)), m_writer(flags) {
  m_writer.Begin(m_pending);
}

Result SerializationSession::Flush(bool all) {
  size_t offset = 0;
  while (offset < m_pending.size() && (all || m_pending.size() - offset >= kSinkPiece)) {
    const size_t piece = std::min(kSinkPiece, m_pending.size() - offset);
    const Result result = m_sink(m_pending.data() + offset, static_cast<uint32_t>(piece));
    if (Failed(result)) {
      m_failure = result;
      m_pending.clear();
      return result;
    }
    offset += piece;
  }
  m_pending.erase(0, offset);
  return Results::kOk;
}

Result SerializationSession::Write(const std::vector<const Node*>& roots, uint32_t depth) {
  if (Failed(m_failure)) return m_failure;
  if (m_finalized) return Results::kIllegalMethodCall;
  const NodeTextWriter::Drain drain = [this](std::string&) { return Flush(false); };
  for (const Node* root : roots) {
    if (const Result result = m_writer.WriteNode(*root, depth, m_pending, drain); Failed(result)) {
      // A refused tree leaves the text written so far intact; a failing sink
      // ends the session.
      return result;
    }
  }
  return Flush(false);
}

Result SerializationSession::Finalize() {
  if (Failed(m_failure)) return m_failure;
  if (m_finalized) return Results::kIllegalMethodCall;
  m_writer.End(m_pending);
  m_finalized = true;
  return Flush(true);
}

DeserializationSession::~DeserializationSession() {
  m_signature = 0;
  for (size_t index = m_next; index < m_nodes.size(); ++index) m_nodes[index]->CloseHandle();
}

Result DeserializationSession::ReadAll(InputBuffer& input) {
  // The whole input is kept: the reader works on one contiguous text. The
  // buffer doubles through realloc, which moves large blocks by remapping
  // rather than copying, and is never zero-filled.
  while (true) {
    if (input.size > NodeTextFormat::kMaxInputBytes) return Results::kInvalidData;
    if (input.capacity - input.size < kReadChunk) {
      const size_t grown = std::max(input.capacity * 2, input.size + kReadChunk);
      void* larger = std::realloc(input.bytes, grown);
      if (larger == nullptr) return Results::kOutOfMemory;
      input.bytes = static_cast<char*>(larger);
      input.capacity = grown;
    }
    const auto room = static_cast<uint32_t>(std::min<size_t>(input.capacity - input.size, UINT32_MAX));
    uint32_t bytesRead = 0;
    const Result result = m_source(input.bytes + input.size, room, &bytesRead);
    if (Failed(result)) return result;
    if (bytesRead > room) return Results::kUnexpected;
    // The room of the last, empty read stays behind the input: the reader
    // wants kInputPadding bytes there.
    static_assert(kReadChunk >= NodeTextReader::kInputPadding);
    if (bytesRead == 0) return Results::kOk;
    input.size += bytesRead;
  }
}

Result DeserializationSession::Take(uint32_t maxCount, std::vector<Node*>& taken) {
  taken.clear();
  if (Failed(m_failure)) return m_failure;
  if (!m_parsed) {
    InputBuffer input;
    Result result = ReadAll(input);
    if (!Failed(result)) result = NodeTextReader::Parse(std::string_view(input.bytes, input.size), m_nodes);
    if (Failed(result)) {
      m_failure = result;
      return result;
    }
    m_parsed = true;
  }
  const size_t count = std::min<size_t>(maxCount, m_nodes.size() - m_next);
  taken.assign(m_nodes.begin() + static_cast<std::ptrdiff_t>(m_next),
               m_nodes.begin() + static_cast<std::ptrdiff_t>(m_next + count));
  m_next += count;
  return Results::kOk;
}

}  // namespace DataLayer

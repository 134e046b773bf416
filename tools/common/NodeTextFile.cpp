#include "NodeTextFile.h"

#include "FailureText.h"
#include "StandardStream.h"
#include "ToolError.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>

namespace KestrovaTools::NodeTextFile {

namespace {

constexpr EnumDXNSerializationType kNodeText = DXNSerializationType_NodeText;
constexpr uint32_t kReadFlags = 0;
constexpr uint32_t kWriteFlags = DXN_SERIALIZE_FORMATTED;  // 257
constexpr uint32_t kWholeSubtree = DXN_DEPTH_SUBTREE;

class InputFile {
 public:
  explicit InputFile(const std::wstring& path)
      : m_handle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {}
  ~InputFile() {
    if (IsOpen()) ::CloseHandle(m_handle);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }

  // The store's read callback: fills the buffer from the file; a failed
  // read is kept for the message and fails the store call.
  static DxnResult Read(void* buffer, uint32_t capacity, uint32_t* bytesRead, void* self) {
    auto& file = *static_cast<InputFile*>(self);
    DWORD read = 0;
    if (!::ReadFile(file.m_handle, buffer, capacity, &read, nullptr)) {
      file.m_readFailure = HRESULT_FROM_WIN32(::GetLastError());
      return *file.m_readFailure;
    }
    *bytesRead = read;
    return S_OK;
  }

  std::optional<HRESULT> ReadFailure() const { return m_readFailure; }

 private:
  HANDLE m_handle;
  std::optional<HRESULT> m_readFailure;
};

class DeserializationContext {
 public:
  DeserializationContext() = default;
  ~DeserializationContext() {
    if (m_context != nullptr) ::DxnCloseDeserializationContext(m_context);
  }
  DeserializationContext(const DeserializationContext&) = delete;
  DeserializationContext& operator=(const DeserializationContext&) = delete;
  DxnDeserializationContext** Put() { return &m_context; }
  DxnDeserializationContext* Get() const { return m_context; }

 private:
  DxnDeserializationContext* m_context = nullptr;
};

class SerializationContext {
 public:
  SerializationContext() = default;
  ~SerializationContext() {
    if (m_context != nullptr) ::DxnCloseSerializationContext(m_context);
  }
  SerializationContext(const SerializationContext&) = delete;
  SerializationContext& operator=(const SerializationContext&) = delete;
  DxnSerializationContext** Put() { return &m_context; }
  DxnSerializationContext* Get() const { return m_context; }

 private:
  DxnSerializationContext* m_context = nullptr;
};

// Node text held in memory, handed to the store's read callback in pieces.
class TextInput {
 public:
  explicit TextInput(std::string_view text) : m_rest(text) {}

  static DxnResult Read(void* buffer, uint32_t capacity, uint32_t* bytesRead, void* self) {
    auto& input = *static_cast<TextInput*>(self);
    const size_t count = std::min<size_t>(capacity, input.m_rest.size());
    std::memcpy(buffer, input.m_rest.data(), count);
    input.m_rest.remove_prefix(count);
    *bytesRead = static_cast<uint32_t>(count);
    return S_OK;
  }

 private:
  std::string_view m_rest;
};

// The store's write callback: gathers the bytes, so that nothing reaches the
// output unless the whole serialization succeeds.
DxnResult AppendBytes(const void* data, uint32_t byteCount, void* text) {
  try {
    static_cast<std::string*>(text)->append(static_cast<const char*>(data), byteCount);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

std::wstring InFile(const wchar_t* role, const std::wstring& path) {
  return std::wstring(role) + L" file '" + path + L"'";
}

// Reads the first node through the callback. A failure of the callback
// itself is the caller's to report first, before the result is judged.
DxnResult DeserializeFirstNode(DxnReadCallback read, void* input, NodeHandle& node, uint32_t& count) {
  DeserializationContext context;
  CheckStoreCall(::DxnStartDeserialization(kNodeText, kReadFlags, read, input, context.Put()),
                 L"DxnStartDeserialization");
  return ::DxnDeserializeNodes(context.Get(), node.Put(), 1, &count);
}

NodeHandle JudgeFirstNode(DxnResult result, NodeHandle node, uint32_t count, const std::wstring& source) {
  if (result == DXN_E_INVALID_DATA) {
    throw ToolError(kExitUsage, source + L" is not well-formed node text (" + FailureText::Describe(result) + L")");
  }
  if (result < 0) throw ToolError(kExitUsage, L"cannot read " + source + L": " + FailureText::Describe(result));
  if (count == 0) throw ToolError(kExitUsage, source + L" holds no node");
  return node;
}

std::string SerializeNodes(const std::vector<IDXNode*>& nodes) {
  std::string text;
  SerializationContext context;
  CheckStoreCall(::DxnStartSerialization(kNodeText, kWriteFlags, &AppendBytes, &text, context.Put()),
                 L"DxnStartSerialization");
  if (!nodes.empty()) {
    CheckStoreCall(::DxnSerializeNodes(context.Get(), nodes.data(), static_cast<uint32_t>(nodes.size()), kWholeSubtree),
                   L"DxnSerializeNodes");
  }
  CheckStoreCall(::DxnFinalizeSerialization(context.Get()), L"DxnFinalizeSerialization");
  return text;
}

}  // namespace

NodeHandle ReadFirstNode(const std::wstring& path, const wchar_t* role) {
  InputFile file(path);
  if (!file.IsOpen()) {
    throw ToolError(kExitUsage, L"cannot open " + InFile(role, path) + L": " +
                                    FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
  }
  NodeHandle node;
  uint32_t count = 0;
  const DxnResult result = DeserializeFirstNode(&InputFile::Read, &file, node, count);
  if (const auto readFailure = file.ReadFailure()) {
    throw ToolError(kExitUsage, L"cannot read " + InFile(role, path) + L": " + FailureText::Describe(*readFailure));
  }
  return JudgeFirstNode(result, std::move(node), count, InFile(role, path));
}

NodeHandle ReadFirstNodeFromText(std::string_view text, const wchar_t* name) {
  TextInput input(text);
  NodeHandle node;
  uint32_t count = 0;
  const DxnResult result = DeserializeFirstNode(&TextInput::Read, &input, node, count);
  return JudgeFirstNode(result, std::move(node), count, name);
}

void Write(const NodeHandle& node, StandardStream& output) { output.Write(SerializeNodes({node.Get()})); }

std::string ReadBytes(const std::wstring& path, const wchar_t* role) {
  InputFile file(path);
  if (!file.IsOpen()) {
    throw ToolError(kExitUsage, L"cannot open " + InFile(role, path) + L": " +
                                    FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
  }
  std::string bytes;
  char chunk[1 << 16];
  for (;;) {
    uint32_t read = 0;
    InputFile::Read(chunk, sizeof chunk, &read, &file);
    if (const auto readFailure = file.ReadFailure()) {
      throw ToolError(kExitUsage, L"cannot read " + InFile(role, path) + L": " + FailureText::Describe(*readFailure));
    }
    if (read == 0) return bytes;
    bytes.append(chunk, read);
  }
}

std::string ToText(const std::vector<IDXNode*>& nodes) { return SerializeNodes(nodes); }

void WriteFile(const std::vector<IDXNode*>& nodes, const std::wstring& path, const wchar_t* role) {
  WriteBytes(SerializeNodes(nodes), path, role);
}

void WriteBytes(std::string_view text, const std::wstring& path, const wchar_t* role) {
  // Written beside the target under a name of its own and moved over it, so
  // a failure leaves no half file and touches no other file.
  std::wstring temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (uint32_t attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = path + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".tmp";
    file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && (::GetLastError() != ERROR_FILE_EXISTS || attempt == 100)) {
      throw ToolError(kExitFailure, L"cannot create " + InFile(role, path) + L": " +
                                        FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
    }
  }
  const auto fail = [&](const wchar_t* what, DWORD error) {
    ::DeleteFileW(temporary.c_str());
    throw ToolError(kExitFailure, std::wstring(what) + L" " + InFile(role, path) + L": " +
                                      FailureText::Describe(HRESULT_FROM_WIN32(error)));
  };
  const char* data = text.data();
  size_t left = text.size();
  bool written = true;
  while (left > 0 && written) {
    DWORD chunk = 0;
    written =
        ::WriteFile(file, data, static_cast<DWORD>(std::min<size_t>(left, 1u << 20)), &chunk, nullptr) && chunk > 0;
    data += chunk;
    left -= chunk;
  }
  // On the disk before it takes the target's place.
  written = written && ::FlushFileBuffers(file);
  const DWORD writeError = ::GetLastError();
  if (!::CloseHandle(file) && written) fail(L"cannot write", ::GetLastError());
  if (!written) fail(L"cannot write", writeError);
  if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    fail(L"cannot replace", ::GetLastError());
  }
}

}  // namespace KestrovaTools::NodeTextFile

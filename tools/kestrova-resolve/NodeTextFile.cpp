#include "NodeTextFile.h"

#include "FailureText.h"
#include "StandardStream.h"
#include "ToolError.h"

#include <windows.h>

#include <new>
#include <optional>
#include <string>

namespace KestrovaResolve::NodeTextFile {

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

}  // namespace

NodeHandle ReadFirstNode(const std::wstring& path, const wchar_t* role) {
  InputFile file(path);
  if (!file.IsOpen()) {
    throw ToolError(kExitUsage, L"cannot open " + InFile(role, path) + L": " +
                                    FailureText::Describe(HRESULT_FROM_WIN32(::GetLastError())));
  }
  DeserializationContext context;
  DxnResult result = ::DxnStartDeserialization(kNodeText, kReadFlags, &InputFile::Read, &file, context.Put());
  CheckStoreCall(result, L"DxnStartDeserialization");
  NodeHandle node;
  uint32_t count = 0;
  result = ::DxnDeserializeNodes(context.Get(), node.Put(), 1, &count);
  if (const auto readFailure = file.ReadFailure()) {
    throw ToolError(kExitUsage, L"cannot read " + InFile(role, path) + L": " + FailureText::Describe(*readFailure));
  }
  if (result == DXN_E_INVALID_DATA) {
    throw ToolError(kExitUsage, InFile(role, path) + L" is not well-formed node text (" +
                                    FailureText::Describe(result) + L")");
  }
  if (result < 0) {
    throw ToolError(kExitUsage, L"cannot read " + InFile(role, path) + L": " + FailureText::Describe(result));
  }
  if (count == 0) throw ToolError(kExitUsage, InFile(role, path) + L" holds no node");
  return node;
}

void Write(const NodeHandle& node, StandardStream& output) {
  std::string text;
  SerializationContext context;
  CheckStoreCall(::DxnStartSerialization(kNodeText, kWriteFlags, &AppendBytes, &text, context.Put()),
                 L"DxnStartSerialization");
  IDXNode* const nodes[] = {node.Get()};
  CheckStoreCall(::DxnSerializeNodes(context.Get(), nodes, 1, kWholeSubtree), L"DxnSerializeNodes");
  CheckStoreCall(::DxnFinalizeSerialization(context.Get()), L"DxnFinalizeSerialization");
  output.Write(text);
}

}  // namespace KestrovaResolve::NodeTextFile

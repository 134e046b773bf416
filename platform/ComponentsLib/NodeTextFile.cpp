#include "NodeTextFile.h"

#include "Failure.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace ComponentsLib::NodeTextFile {
namespace {

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) noexcept : m_handle(handle) {}
  ~FileHandle() {
    if (m_handle != INVALID_HANDLE_VALUE) ::CloseHandle(m_handle);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE Get() const noexcept { return m_handle; }
  bool Valid() const noexcept { return m_handle != INVALID_HANDLE_VALUE; }
  void Close() noexcept {
    if (m_handle != INVALID_HANDLE_VALUE) ::CloseHandle(std::exchange(m_handle, INVALID_HANDLE_VALUE));
  }

 private:
  HANDLE m_handle;
};

std::string ReadWholeFile(const std::wstring& path) {
  FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  CheckWin32(file.Valid());
  LARGE_INTEGER size{};
  CheckWin32(::GetFileSizeEx(file.Get(), &size));
  if (size.QuadPart > 0x7FFFFFFF) Fail(HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE));
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD read = 0;
    CheckWin32(::ReadFile(file.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read, nullptr));
    if (read == 0) break;
    done += read;
  }
  bytes.resize(done);
  return bytes;
}

struct MemoryReader {
  const std::string* bytes;
  size_t offset;
};

DxnResult ReadFromMemory(void* buffer, uint32_t capacity, uint32_t* bytesRead, void* context) {
  auto* reader = static_cast<MemoryReader*>(context);
  const size_t count = std::min<size_t>(capacity, reader->bytes->size() - reader->offset);
  if (count != 0) std::memcpy(buffer, reader->bytes->data() + reader->offset, count);
  reader->offset += count;
  *bytesRead = static_cast<uint32_t>(count);
  return S_OK;
}

DxnResult AppendToString(const void* data, uint32_t byteCount, void* context) {
  try {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), byteCount);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

struct SerializationCloser {
  void operator()(DxnSerializationContext* context) const noexcept { DxnCloseSerializationContext(context); }
};
struct DeserializationCloser {
  void operator()(DxnDeserializationContext* context) const noexcept { DxnCloseDeserializationContext(context); }
};

}  // namespace

std::vector<Node> Read(const std::wstring& path) {
  const std::string bytes = ReadWholeFile(path);
  MemoryReader reader{&bytes, 0};
  DxnDeserializationContext* raw = nullptr;
  Check(DxnStartDeserialization(DXNSerializationType_NodeText, 0, &ReadFromMemory, &reader, &raw));
  std::unique_ptr<DxnDeserializationContext, DeserializationCloser> context(raw);
  std::vector<Node> nodes;
  for (;;) {
    IDXNode* batch[16] = {};
    uint32_t count = 0;
    Check(DxnDeserializeNodes(context.get(), batch, 16, &count));
    if (count == 0) break;
    for (uint32_t index = 0; index < count && index < 16; ++index) nodes.push_back(Node::Adopt(batch[index]));
  }
  return nodes;
}

void Write(const std::wstring& path, const std::vector<IDXNode*>& nodes) {
  std::string text;
  {
    DxnSerializationContext* raw = nullptr;
    Check(DxnStartSerialization(DXNSerializationType_NodeText, DXN_SERIALIZE_FORMATTED, &AppendToString, &text, &raw));
    std::unique_ptr<DxnSerializationContext, SerializationCloser> context(raw);
    if (!nodes.empty()) {
      Check(DxnSerializeNodes(context.get(), nodes.data(), static_cast<uint32_t>(nodes.size()), DXN_DEPTH_SUBTREE));
    }
    Check(DxnFinalizeSerialization(context.get()));
  }
  const std::wstring temporary = path + L".tmp";
  {
    FileHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    CheckWin32(file.Valid());
    size_t done = 0;
    while (done < text.size()) {
      DWORD written = 0;
      if (!::WriteFile(file.Get(), text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr)) {
        const DWORD error = ::GetLastError();
        file.Close();
        ::DeleteFileW(temporary.c_str());
        Fail(HRESULT_FROM_WIN32(error));
      }
      done += written;
    }
    CheckWin32(::FlushFileBuffers(file.Get()));
  }
  if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = ::GetLastError();
    ::DeleteFileW(temporary.c_str());
    Fail(HRESULT_FROM_WIN32(error));
  }
}

}  // namespace ComponentsLib::NodeTextFile

#include "StandardStream.h"

#include "FailureText.h"
#include "ToolError.h"
#include "Utf8Text.h"

#include <algorithm>

namespace KestrovaTools {

namespace {
constexpr size_t kBufferLimit = 64 * 1024;
}

StandardStream& StandardStream::Output() {
  static StandardStream stream(STD_OUTPUT_HANDLE);
  return stream;
}

StandardStream& StandardStream::Error() {
  static StandardStream stream(STD_ERROR_HANDLE);
  return stream;
}

void StandardStream::Write(std::string_view bytes) {
  m_buffer.append(bytes);
  if (m_buffer.size() >= kBufferLimit) Flush();
}

void StandardStream::WriteText(std::wstring_view text) { Write(ToUtf8(text)); }

void StandardStream::Flush() {
  std::string pending;
  pending.swap(m_buffer);
  WriteAll(pending.data(), pending.size());
}

void StandardStream::WriteAll(const char* data, size_t size) {
  const HANDLE handle = ::GetStdHandle(m_which);
  // No stream at all (a detached process): the bytes have nowhere to go.
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(handle, data, chunk, &written, nullptr) || written == 0) {
      const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
      throw ToolError(kExitFailure, L"cannot write the output: " + FailureText::Describe(hr));
    }
    data += written;
    size -= written;
  }
}

}  // namespace KestrovaTools

// Standard output or standard error as a byte stream: bytes go out exactly as
// given (no text-mode translation, no console code page), so redirected
// output is byte-exact.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace KestrovaTools {

class StandardStream {
 public:
  static StandardStream& Output();
  static StandardStream& Error();

  StandardStream(const StandardStream&) = delete;
  StandardStream& operator=(const StandardStream&) = delete;

  // Buffered; raises ToolError (kExitFailure) when the stream refuses
  // the bytes, with the system's reason.
  void Write(std::string_view bytes);
  void WriteText(std::wstring_view text);  // as UTF-8
  void Flush();

 private:
  explicit StandardStream(DWORD which) : m_which(which) {}
  void WriteAll(const char* data, size_t size);

  DWORD m_which;
  std::string m_buffer;
};

}  // namespace KestrovaTools

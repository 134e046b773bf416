#include "ToolMain.h"

namespace KestrovaTools {

void ReportToolError(const wchar_t* tool, const std::wstring& message) noexcept {
  try {
    StandardStream& error = StandardStream::Error();
    std::wstring text = std::wstring(tool) + L": " + message;
    if (text.back() != L'\n') text += L'\n';
    error.WriteText(text);
    error.Flush();
  } catch (...) {
    // Standard error itself is gone: the exit status is all that is left.
  }
}

}  // namespace KestrovaTools

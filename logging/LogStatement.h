// The log statement: KLOG_ERR(L"text " << value << ...) builds its text only
// when the severity is enabled, never raises into its caller, and marks a
// part that throws with "... (***EXCEPTION***)".
#pragma once

#include "LogManager.h"
#include "Sources/Common/ErrorHandling/ErrorDescription.h"

#include <memory>
#include <sstream>
#include <string>
#include <string_view>

// The stream the parts of a statement are written to. Null string pointers
// print as "(null)"; an HRES prints as its error text. Texts are appended
// to the line directly; a stream is built only for the first part that needs
// one (numbers, nodes, errors, manipulators), and every later part goes
// through it so that its formatting state applies in order.
class LogStream {
 public:
  LogStream& operator<<(const wchar_t* text) { return Append(text != nullptr ? text : L"(null)"); }
  LogStream& operator<<(wchar_t* text) { return *this << static_cast<const wchar_t*>(text); }
  LogStream& operator<<(const std::wstring& text) { return Append(text); }
  LogStream& operator<<(std::wstring_view text) { return Append(text); }
  LogStream& operator<<(const char* text) {
    Stream() << (text != nullptr ? text : "(null)");
    return *this;
  }
  LogStream& operator<<(char* text) { return *this << static_cast<const char*>(text); }
  LogStream& operator<<(const std::string& text) { return *this << text.c_str(); }
  LogStream& operator<<(std::wostream& (*manipulator)(std::wostream&)) {
    Stream() << manipulator;
    return *this;
  }
  template <typename Part>
  LogStream& operator<<(const Part& part) {
    Stream() << part;
    return *this;
  }

  std::wstring Text() const { return m_stream ? m_text + m_stream->str() : m_text; }
  // The text, taken out of the stream.
  std::wstring TakeText() { return m_stream ? m_text + m_stream->str() : std::move(m_text); }

 private:
  LogStream& Append(std::wstring_view text) {
    if (m_stream) {
      *m_stream << text;
    } else {
      m_text.append(text);
    }
    return *this;
  }
  std::wostringstream& Stream() {
    if (!m_stream) m_stream = std::make_unique<std::wostringstream>();
    return *m_stream;
  }

  std::wstring m_text;
  std::unique_ptr<std::wostringstream> m_stream;
};

namespace LogStatementDetail {
inline constexpr wchar_t kExceptionMark[] = L"... (***EXCEPTION***)";

// Runs writeParts into a fresh stream; a part that throws ends the text
// with the exception mark.
template <typename WriteParts>
std::wstring BuildText(WriteParts&& writeParts) noexcept {
  try {
    LogStream stream;
    try {
      writeParts(stream);
    } catch (...) {
      stream << kExceptionMark;
    }
    return stream.TakeText();
  } catch (...) {
    return std::wstring();
  }
}

template <typename WriteParts>
void Emit(uint32_t severity, const wchar_t* file, uint32_t line, WriteParts&& writeParts) noexcept {
  try {
    const std::wstring text = BuildText(writeParts);
    LogManager::Instance().Write(severity, text, file, line);
  } catch (...) {
  }
}
}  // namespace LogStatementDetail

#define KLOG_WIDEN_(text) L##text
#define KLOG_WIDEN(text) KLOG_WIDEN_(text)
#define KLOG_FILE KLOG_WIDEN(__FILE__)

// KLOG(severity, L"text " << value ...): the parts after the severity are
// one stream expression (commas inside it are fine).
#define KLOG(severity, ...)                                                                      \
  do {                                                                                           \
    if (::LogManager::Instance().IsEnabled(severity)) {                                          \
      ::LogStatementDetail::Emit((severity), KLOG_FILE, __LINE__,                                \
                                 [&](::LogStream& kLogStream_) { kLogStream_ << __VA_ARGS__; }); \
    }                                                                                            \
  } while (false)

#define KLOG_CRIT(...) KLOG(::LogSeverity::Crit, __VA_ARGS__)
#define KLOG_ERR(...) KLOG(::LogSeverity::Err, __VA_ARGS__)
#define KLOG_WARN(...) KLOG(::LogSeverity::Warn, __VA_ARGS__)
#define KLOG_INFO(...) KLOG(::LogSeverity::Info, __VA_ARGS__)
#define KLOG_DBG(...) KLOG(::LogSeverity::Dbg, __VA_ARGS__)
#define KLOG_DBG2(...) KLOG(::LogSeverity::Dbg2, __VA_ARGS__)
#define KLOG_DBG3(...) KLOG(::LogSeverity::Dbg3, __VA_ARGS__)

// AnyStringArg: a read-only wide-text argument that accepts a C string, a
// std::wstring or a std::wstring_view, and hands out a NUL-terminated text
// for platform calls. Only a view that is not already NUL-terminated is copied.
#pragma once

#include <string>
#include <string_view>

class AnyStringArg {
 public:
  AnyStringArg(const wchar_t* text) noexcept : m_text(text != nullptr ? text : L"") {}  // NOLINT: converts
  AnyStringArg(const std::wstring& text) noexcept : m_text(text.c_str()) {}             // NOLINT
  AnyStringArg(std::wstring_view text) : m_copy(text), m_text(m_copy.c_str()) {}        // NOLINT

  AnyStringArg(const AnyStringArg&) = delete;
  AnyStringArg& operator=(const AnyStringArg&) = delete;

  const wchar_t* c_str() const noexcept { return m_text; }
  std::wstring_view view() const noexcept { return m_text; }

 private:
  std::wstring m_copy;
  const wchar_t* m_text;
};

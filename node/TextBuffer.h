// A text read for a moment: on the caller's stack while it is short, on the
// heap beyond, always with a NUL after it. Readers that only look at a text
// (compare it, count it, copy it into a node) read into one and make no
// string; DXNodePtr fills it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

class TextBuffer {
 public:
  // Characters the stack holds, a NUL included.
  static constexpr size_t kLocalCharacters = 128;

  TextBuffer() noexcept { m_local[0] = L'\0'; }
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  std::wstring_view View() const noexcept { return {Data(), m_length}; }
  const wchar_t* c_str() const noexcept { return Data(); }
  bool empty() const noexcept { return m_length == 0; }

  void Clear() noexcept {
    m_onHeap = false;
    m_length = 0;
    m_local[0] = L'\0';
  }
  void Assign(std::wstring_view text) {
    if (text.size() < kLocalCharacters) {
      text.copy(m_local, text.size());
      CommitLocal(text.size());
      return;
    }
    m_heap.assign(text);
    CommitHeap();
  }
  void Append(std::wstring_view text) {
    if (!m_onHeap && m_length + text.size() < kLocalCharacters) {
      text.copy(m_local + m_length, text.size());
      CommitLocal(m_length + text.size());
      return;
    }
    if (!m_onHeap) m_heap.assign(m_local, m_length);
    m_heap.append(text);
    CommitHeap();
  }
  void Append(wchar_t character) { Append(std::wstring_view(&character, 1)); }
  // The other buffer's text, taking its heap storage over instead of
  // copying it; the other buffer is left empty.
  void TakeFrom(TextBuffer& other) {
    if (other.m_onHeap) {
      m_heap.swap(other.m_heap);
      CommitHeap();
    } else {
      Assign(other.View());
    }
    other.Clear();
  }
  // The text as a string: the heap's taken over, a short one copied.
  void MoveTo(std::wstring& text) {
    if (m_onHeap) {
      text = std::move(m_heap);
    } else {
      text.assign(m_local, m_length);
    }
    Clear();
  }

  // For readers: the stack's room (one more character is kept for the NUL),
  // then the length written there; or the heap string, written at its size.
  std::span<wchar_t> Local() noexcept { return {m_local, kLocalCharacters}; }
  void CommitLocal(size_t length) noexcept {
    m_local[length] = L'\0';
    m_length = length;
    m_onHeap = false;
  }
  std::wstring& Heap() noexcept { return m_heap; }
  void CommitHeap() noexcept {
    m_length = m_heap.size();
    m_onHeap = true;
  }

 private:
  const wchar_t* Data() const noexcept { return m_onHeap ? m_heap.c_str() : m_local; }

  wchar_t m_local[kLocalCharacters + 1];
  std::wstring m_heap;
  size_t m_length = 0;
  bool m_onHeap = false;
};

// A text with a NUL after its last character, as a string, a literal and a
// TextBuffer have: the store takes it as it is, with no copy made to end it.
class TerminatedText {
 public:
  TerminatedText(const std::wstring& text) noexcept : m_text(text) {}                     // NOLINT: strings convert
  TerminatedText(const TextBuffer& text) noexcept : m_text(text.View()) {}                // NOLINT
  TerminatedText(const wchar_t* text) noexcept : m_text(text != nullptr ? text : L"") {}  // NOLINT
  // A view whose maker guarantees the NUL after it.
  static TerminatedText Promised(std::wstring_view text) noexcept { return TerminatedText(text); }

  std::wstring_view View() const noexcept { return m_text; }
  operator std::wstring_view() const noexcept { return m_text; }  // NOLINT
  const wchar_t* c_str() const noexcept { return m_text.empty() ? L"" : m_text.data(); }
  size_t size() const noexcept { return m_text.size(); }

 private:
  explicit TerminatedText(std::wstring_view text) noexcept : m_text(text) {}
  std::wstring_view m_text;
};

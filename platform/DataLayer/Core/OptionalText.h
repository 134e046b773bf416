// A UTF-16 text that may be absent, in one pointer: node names and types.
#pragma once

#include <cstdint>
#include <string_view>

namespace DataLayer {

class OptionalText {
 public:
  OptionalText() = default;  // absent
  explicit OptionalText(std::u16string_view text);
  OptionalText(const OptionalText& other);
  OptionalText(OptionalText&& other) noexcept : m_block(other.m_block) { other.m_block = nullptr; }
  OptionalText& operator=(const OptionalText& other);
  OptionalText& operator=(OptionalText&& other) noexcept;
  ~OptionalText() { Free(); }

  bool IsPresent() const { return m_block != nullptr; }
  // The text; empty when absent.
  std::u16string_view View() const;

 private:
  // The block holds the length (two code units) followed by the text.
  void Free();

  const char16_t* m_block = nullptr;
};

}  // namespace DataLayer

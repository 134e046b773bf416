// A growable run of UTF-16 code units without the zero-filling of
// std::u16string::resize: the reader decodes straight into it.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace DataLayer {

class Utf16Buffer {
 public:
  // Room for at least count more units; returns where they go.
  char16_t* Reserve(size_t count) {
    if (m_capacity - m_size < count) {
      size_t capacity = m_capacity < 64 ? 64 : m_capacity * 2;
      if (capacity < m_size + count) capacity = m_size + count;
      auto grown = std::make_unique_for_overwrite<char16_t[]>(capacity);
      if (m_size != 0) std::memcpy(grown.get(), m_units.get(), m_size * sizeof(char16_t));
      m_units = std::move(grown);
      m_capacity = capacity;
    }
    return m_units.get() + m_size;
  }
  void SetEnd(const char16_t* end) { m_size = static_cast<size_t>(end - m_units.get()); }
  void Push(char16_t unit) {
    *Reserve(1) = unit;
    ++m_size;
  }
  void Clear() { m_size = 0; }

  size_t Size() const { return m_size; }
  const char16_t* Data() const { return m_units.get(); }
  std::u16string_view View() const { return {m_units.get(), m_size}; }

 private:
  std::unique_ptr<char16_t[]> m_units;
  size_t m_size = 0;
  size_t m_capacity = 0;
};

}  // namespace DataLayer

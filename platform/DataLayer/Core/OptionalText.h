// A UTF-16 text that may be absent: node names and types. Short texts (most
// names and types) live inside the object; longer ones in one allocation, or
// in the arena of the node that carries the text.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace DataLayer {

class NodeArena;

class OptionalText {
 public:
  OptionalText() = default;  // absent
  explicit OptionalText(std::u16string_view text);
  // A long text goes to the arena, which outlives the object (the reader's
  // nodes); copies of it are ordinary texts.
  OptionalText(std::u16string_view text, NodeArena& arena);
  OptionalText(const OptionalText& other) : OptionalText() { *this = other; }
  OptionalText(OptionalText&& other) noexcept : m_inlineLength(other.m_inlineLength), m_kind(other.m_kind) {
    std::memcpy(m_storage, other.m_storage, sizeof(m_storage));
    other.m_kind = Kind::Absent;
  }
  OptionalText& operator=(const OptionalText& other);
  OptionalText& operator=(OptionalText&& other) noexcept;
  ~OptionalText() {
    if (m_kind == Kind::Heap) FreeHeap();
  }

  bool IsPresent() const { return m_kind != Kind::Absent; }
  // The text; empty when absent.
  std::u16string_view View() const;

 private:
  static constexpr size_t kInlineUnits = 11;
  enum class Kind : uint8_t { Absent, Inline, Heap, Arena };

  struct HeapText {
    char16_t* units;
    uint32_t length;
  };
  HeapText Heap() const;
  void Free() {
    if (m_kind == Kind::Heap) FreeHeap();
    m_kind = Kind::Absent;
  }
  void FreeHeap();

  // Inline: the units themselves; heap and arena: a HeapText.
  alignas(8) char16_t m_storage[kInlineUnits] = {};
  uint8_t m_inlineLength = 0;
  Kind m_kind = Kind::Absent;
};

static_assert(sizeof(OptionalText) == 24);

}  // namespace DataLayer

#include "OptionalText.h"

#include "NodeArena.h"
#include "SmallBlockPool.h"

#include <cstring>
#include <utility>

namespace DataLayer {

static_assert(sizeof(OptionalText) >= 16, "room for the heap form");

OptionalText::OptionalText(std::u16string_view text) {
  if (text.size() <= kInlineUnits) {
    if (!text.empty()) std::memcpy(m_storage, text.data(), text.size() * sizeof(char16_t));
    m_inlineLength = static_cast<uint8_t>(text.size());
    m_kind = Kind::Inline;
    return;
  }
  const HeapText heap{static_cast<char16_t*>(SmallBlockPool::Acquire(text.size() * sizeof(char16_t))),
                      static_cast<uint32_t>(text.size())};
  std::memcpy(heap.units, text.data(), text.size() * sizeof(char16_t));
  std::memcpy(m_storage, &heap, sizeof(heap));
  m_kind = Kind::Heap;
}

OptionalText::OptionalText(std::u16string_view text, NodeArena& arena) {
  if (text.size() <= kInlineUnits) {
    if (!text.empty()) std::memcpy(m_storage, text.data(), text.size() * sizeof(char16_t));
    m_inlineLength = static_cast<uint8_t>(text.size());
    m_kind = Kind::Inline;
    return;
  }
  const HeapText placed{static_cast<char16_t*>(arena.Allocate(text.size() * sizeof(char16_t))),
                        static_cast<uint32_t>(text.size())};
  std::memcpy(placed.units, text.data(), text.size() * sizeof(char16_t));
  std::memcpy(m_storage, &placed, sizeof(placed));
  m_kind = Kind::Arena;
}

OptionalText& OptionalText::operator=(const OptionalText& other) {
  if (this != &other) *this = other.IsPresent() ? OptionalText(other.View()) : OptionalText();
  return *this;
}

OptionalText& OptionalText::operator=(OptionalText&& other) noexcept {
  if (this != &other) {
    Free();
    std::memcpy(m_storage, other.m_storage, sizeof(m_storage));
    m_inlineLength = other.m_inlineLength;
    m_kind = std::exchange(other.m_kind, Kind::Absent);
  }
  return *this;
}

OptionalText::HeapText OptionalText::Heap() const {
  HeapText heap;
  std::memcpy(&heap, m_storage, sizeof(heap));
  return heap;
}

std::u16string_view OptionalText::View() const {
  switch (m_kind) {
    case Kind::Inline:
      return {m_storage, m_inlineLength};
    case Kind::Heap:
    case Kind::Arena: {
      const HeapText heap = Heap();
      return {heap.units, heap.length};
    }
    default:
      return {};
  }
}

void OptionalText::FreeHeap() {
  const HeapText heap = Heap();
  SmallBlockPool::Release(heap.units, heap.length * sizeof(char16_t));
}

}  // namespace DataLayer

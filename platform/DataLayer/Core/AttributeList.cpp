#include "AttributeList.h"

#include "SmallBlockPool.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace DataLayer {

namespace {
constexpr size_t kNone = static_cast<size_t>(-1);
}

size_t AttributeList::EntrySize(size_t nameLength, size_t valueSize) {
  const size_t raw = sizeof(EntryHeader) + nameLength * sizeof(char16_t) + valueSize;
  return (raw + 3) & ~size_t{3};
}

size_t AttributeList::Read(size_t offset, AttributeView& view) const {
  EntryHeader header;
  const std::byte* entry = m_bytes + offset;
  std::memcpy(&header, entry, sizeof(header));
  // Names start 4-byte aligned after the header, so the code units are aligned.
  view.name = {reinterpret_cast<const char16_t*>(entry + sizeof(header)), header.nameLength};
  view.type = header.type;
  view.data = entry + sizeof(header) + header.nameLength * sizeof(char16_t);
  view.size = header.valueSize;
  return offset + EntrySize(header.nameLength, header.valueSize);
}

size_t AttributeList::Locate(std::u16string_view name, AttributeView* found) const {
  size_t offset = 0;
  while (offset < m_size) {
    AttributeView view;
    const size_t next = Read(offset, view);
    if (view.name == name) {
      if (found != nullptr) *found = view;
      return offset;
    }
    offset = next;
  }
  return kNone;
}

bool AttributeList::Find(std::u16string_view name, AttributeView& found) const { return Locate(name, &found) != kNone; }

bool AttributeList::Contains(std::u16string_view name) const { return Locate(name, nullptr) != kNone; }

void AttributeList::WriteEntry(std::byte* at, std::u16string_view name, uint16_t type, const void* data,
                               uint32_t size) {
  const EntryHeader header{static_cast<uint32_t>(name.size()), size, type, 0};
  std::memcpy(at, &header, sizeof(header));
  at += sizeof(header);
  if (!name.empty()) std::memcpy(at, name.data(), name.size() * sizeof(char16_t));
  at += name.size() * sizeof(char16_t);
  if (size != 0) std::memcpy(at, data, size);
  at += size;
  const size_t padding = EntrySize(name.size(), size) - sizeof(header) - name.size() * sizeof(char16_t) - size;
  if (padding != 0) std::memset(at, 0, padding);
}

void AttributeList::FreeOwned() {
  if (m_capacity != 0) SmallBlockPool::Release(m_bytes, m_capacity);
  m_bytes = nullptr;
  m_capacity = 0;
}

void AttributeList::Grow(size_t size) {
  // A first block of 128 bytes holds the two or three short attributes most
  // nodes built at run time carry (a frame's name and value) without a move.
  size_t capacity = m_capacity < 128 ? 128 : m_capacity * 2;
  if (capacity < size) capacity = size;
  auto* grown = static_cast<std::byte*>(SmallBlockPool::Acquire(capacity));
  if (m_size != 0) std::memcpy(grown, m_bytes, m_size);
  FreeOwned();
  m_bytes = grown;
  m_capacity = capacity;
}

void AttributeList::Append(std::u16string_view name, uint16_t type, const void* data, uint32_t size) {
  const size_t offset = m_size;
  Resize(offset + EntrySize(name.size(), size));
  WriteEntry(m_bytes + offset, name, type, data, size);
  ++m_count;
}

std::byte* AttributeList::StartAppend(std::u16string_view name, uint16_t type, size_t valueCapacity) {
  m_openEntry = m_size;
  Resize(m_openEntry + EntrySize(name.size(), valueCapacity));
  m_size = m_openEntry;
  std::byte* at = m_bytes + m_openEntry;
  const EntryHeader header{static_cast<uint32_t>(name.size()), 0, type, 0};
  std::memcpy(at, &header, sizeof(header));
  at += sizeof(header);
  if (!name.empty()) std::memcpy(at, name.data(), name.size() * sizeof(char16_t));
  return at + name.size() * sizeof(char16_t);
}

void AttributeList::FinishAppend(uint32_t valueSize) {
  std::byte* entry = m_bytes + m_openEntry;
  EntryHeader header;
  std::memcpy(&header, entry, sizeof(header));
  header.valueSize = valueSize;
  std::memcpy(entry, &header, sizeof(header));
  const size_t used = sizeof(header) + header.nameLength * sizeof(char16_t) + valueSize;
  const size_t size = EntrySize(header.nameLength, valueSize);
  if (size != used) std::memset(entry + used, 0, size - used);
  m_size = m_openEntry + size;
  ++m_count;
}

void AttributeList::Set(std::u16string_view name, uint16_t type, const void* data, uint32_t size) {
  AttributeView existing;
  const size_t offset = Locate(name, &existing);
  if (offset == kNone) {
    Append(name, type, data, size);
    return;
  }
  // Replaced where it stands: the block grows or shrinks at the entry's end.
  const size_t oldEnd = offset + EntrySize(name.size(), existing.size);
  const size_t newEnd = offset + EntrySize(name.size(), size);
  const size_t oldSize = m_size;
  if (newEnd != oldEnd) {
    if (newEnd > oldEnd) Resize(oldSize + (newEnd - oldEnd));
    if (m_capacity == 0) Resize(m_size);  // a borrowed block is about to change
    std::memmove(m_bytes + newEnd, m_bytes + oldEnd, oldSize - oldEnd);
    m_size = oldSize + newEnd - oldEnd;
  } else if (m_capacity == 0) {
    Resize(m_size);
  }
  WriteEntry(m_bytes + offset, name, type, data, size);
}

bool AttributeList::Remove(std::u16string_view name) {
  AttributeView existing;
  const size_t offset = Locate(name, &existing);
  if (offset == kNone) return false;
  const size_t size = EntrySize(name.size(), existing.size);
  if (m_capacity == 0) Resize(m_size);
  std::memmove(m_bytes + offset, m_bytes + offset + size, m_size - offset - size);
  m_size -= size;
  --m_count;
  return true;
}

void AttributeList::Clear() {
  if (m_capacity == 0) m_bytes = nullptr;
  m_size = 0;
  m_count = 0;
}

void AttributeList::AssignCompact(const AttributeList& other) {
  if (this == &other) return;
  std::byte* exact = nullptr;
  if (other.m_size != 0) {
    exact = static_cast<std::byte*>(SmallBlockPool::Acquire(other.m_size));
    std::memcpy(exact, other.m_bytes, other.m_size);
  }
  FreeOwned();
  m_bytes = exact;
  m_size = other.m_size;
  m_capacity = other.m_size;
  m_count = other.m_count;
}

void AttributeList::AssignBorrowed(const AttributeList& other, void* memory) {
  if (this == &other) return;
  FreeOwned();
  if (other.m_size != 0) std::memcpy(memory, other.m_bytes, other.m_size);
  m_bytes = other.m_size != 0 ? static_cast<std::byte*>(memory) : nullptr;
  m_size = other.m_size;
  m_count = other.m_count;
}

}  // namespace DataLayer

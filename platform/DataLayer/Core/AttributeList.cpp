#include "AttributeList.h"

#include <cstring>

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
  const std::byte* entry = m_bytes.data() + offset;
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
  while (offset < m_bytes.size()) {
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

bool AttributeList::Find(std::u16string_view name, AttributeView& found) const {
  return Locate(name, &found) != kNone;
}

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

void AttributeList::Append(std::u16string_view name, uint16_t type, const void* data, uint32_t size) {
  const size_t offset = m_bytes.size();
  m_bytes.resize(offset + EntrySize(name.size(), size));
  WriteEntry(m_bytes.data() + offset, name, type, data, size);
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
  const auto oldEnd = static_cast<std::ptrdiff_t>(offset + EntrySize(name.size(), existing.size));
  const auto newEnd = static_cast<std::ptrdiff_t>(offset + EntrySize(name.size(), size));
  if (newEnd > oldEnd) m_bytes.insert(m_bytes.begin() + oldEnd, static_cast<size_t>(newEnd - oldEnd), std::byte{});
  if (newEnd < oldEnd) m_bytes.erase(m_bytes.begin() + newEnd, m_bytes.begin() + oldEnd);
  WriteEntry(m_bytes.data() + offset, name, type, data, size);
}

bool AttributeList::Remove(std::u16string_view name) {
  AttributeView existing;
  const size_t offset = Locate(name, &existing);
  if (offset == kNone) return false;
  const size_t size = EntrySize(name.size(), existing.size);
  m_bytes.erase(m_bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                m_bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
  --m_count;
  return true;
}

void AttributeList::Clear() {
  m_bytes.clear();
  m_count = 0;
}

void AttributeList::AssignCompact(const AttributeList& other) {
  if (this == &other) return;
  std::vector<std::byte> exact(other.m_bytes.begin(), other.m_bytes.end());
  m_bytes.swap(exact);
  m_count = other.m_count;
}

}  // namespace DataLayer

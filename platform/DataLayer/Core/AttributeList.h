// The attributes of one node, in insertion order, packed into one byte block:
// each entry is a header (name length, value size, type code), the name's
// UTF-16 code units and the value bytes, padded to 4 bytes. One block per
// node keeps parsing fast and memory small; lookups are linear, which suits
// the tens of attributes a node carries. The reader places the blocks of its
// nodes in their arena: such a block is borrowed, and the first change moves
// the attributes into a block of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace DataLayer {

struct AttributeView {
  std::u16string_view name;
  uint16_t type = 0;
  const std::byte* data = nullptr;
  uint32_t size = 0;
};

class AttributeList {
 public:
  AttributeList() = default;
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  ~AttributeList() { FreeOwned(); }

  uint32_t Count() const { return m_count; }
  bool Empty() const { return m_count == 0; }

  // False when no attribute has that name.
  bool Find(std::u16string_view name, AttributeView& found) const;
  bool Contains(std::u16string_view name) const;
  // Creates the attribute at the end, or replaces it where it stands.
  void Set(std::u16string_view name, uint16_t type, const void* data, uint32_t size);
  // Appends without looking for an attribute of the same name (builders that
  // already know the name is new).
  void Append(std::u16string_view name, uint16_t type, const void* data, uint32_t size);
  bool Remove(std::u16string_view name);
  void Clear();

  // Copies the other list into an allocation of exactly its size.
  void AssignCompact(const AttributeList& other);
  // Copies the other list into memory the caller provides (ByteSize() bytes,
  // aligned to 4) that outlives this list; the list borrows it until changed.
  void AssignBorrowed(const AttributeList& other, void* memory);
  size_t ByteSize() const { return m_size; }

  // For builders that decode a value in place: appends an entry with room
  // for up to valueCapacity value bytes and returns where they go; the entry
  // counts once FinishAppend gives the value's real size.
  std::byte* StartAppend(std::u16string_view name, uint16_t type, size_t valueCapacity);
  void FinishAppend(uint32_t valueSize);

  template <typename Visitor>
  void ForEach(Visitor&& visit) const {
    size_t offset = 0;
    while (offset < m_size) {
      AttributeView view;
      offset = Read(offset, view);
      visit(view);
    }
  }

 private:
  struct EntryHeader {
    uint32_t nameLength;
    uint32_t valueSize;
    uint16_t type;
    uint16_t reserved;
  };

  static size_t EntrySize(size_t nameLength, size_t valueSize);
  // Reads the entry at offset and returns the offset of the next one.
  size_t Read(size_t offset, AttributeView& view) const;
  // Offset of the named entry, or npos.
  size_t Locate(std::u16string_view name, AttributeView* found) const;
  static void WriteEntry(std::byte* at, std::u16string_view name, uint16_t type, const void* data, uint32_t size);
  // Makes the block owned with room for size bytes, keeping the first
  // m_size; the block's size becomes size.
  void Resize(size_t size) {
    if (size > m_capacity) Grow(size);
    m_size = size;
  }
  void Grow(size_t size);
  void FreeOwned();

  std::byte* m_bytes = nullptr;
  size_t m_size = 0;
  size_t m_capacity = 0;   // 0 while the block is borrowed (or absent)
  size_t m_openEntry = 0;  // offset of the entry StartAppend began
  uint32_t m_count = 0;
};

}  // namespace DataLayer

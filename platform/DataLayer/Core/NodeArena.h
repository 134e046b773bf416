// Memory for the nodes the reader builds: nodes, their attribute blocks and
// long names come from a few large blocks instead of one allocation each.
//
// The arena counts the live nodes placed in it and frees its blocks when the
// count reaches zero. While the builder works it holds a large advance on the
// count instead of adding one per node; it gives back what it did not use when
// it ends. A node keeps its memory wherever it goes: a node detached from its
// tree and added to another keeps its arena, and so the arena's blocks, alive
// until it is destroyed itself. Only the builder allocates, on one thread; the
// count is atomic because nodes of one arena may be destroyed on different
// threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace DataLayer {

class NodeArena {
 public:
  // A new arena with the builder's advance.
  static NodeArena* Create() { return new NodeArena(); }

  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;

  // Uninitialized bytes, aligned to 8, that live as long as the arena.
  void* Allocate(size_t bytes) {
    bytes = (bytes + 7) & ~size_t{7};
    if (static_cast<size_t>(m_limit - m_next) < bytes) {
      if (bytes > kLargestBlock / 4) return LargeBlock(bytes);
      NewBlock(bytes);
    }
    std::byte* at = m_next;
    m_next += bytes;
    return at;
  }

  // One more node placed in the arena (builder thread only), paid from the
  // builder's advance.
  void AddNode() { ++m_placed; }
  // The builder is done: the count becomes the nodes still alive (nodes
  // destroyed meanwhile were counted off already); none frees the arena.
  void FinishBuilding() { Release(kBuilderAdvance - m_placed); }
  // Counts off destroyed nodes; the last one frees the arena.
  void Release(size_t count) {
    if (m_live.fetch_sub(count, std::memory_order_acq_rel) == count) delete this;
  }

 private:
  // Each block starts with the link to the one before.
  struct BlockHeader {
    BlockHeader* previous;
    size_t reserved;
  };
  static constexpr size_t kBuilderAdvance = size_t{1} << 40;  // more nodes than any input holds
  static constexpr size_t kFirstBlock = 16 * 1024;
  static constexpr size_t kLargestBlock = 1024 * 1024;

  NodeArena() = default;
  ~NodeArena() {
    while (m_blocks != nullptr) {
      BlockHeader* previous = m_blocks->previous;
      std::free(m_blocks);
      m_blocks = previous;
    }
  }

  void NewBlock(size_t bytes) {
    // Blocks double up to a limit, so small inputs stay small and large ones
    // take few blocks.
    size_t size = m_nextBlockSize;
    if (m_nextBlockSize < kLargestBlock) m_nextBlockSize *= 2;
    if (size < bytes + sizeof(BlockHeader)) size = bytes + sizeof(BlockHeader);
    auto* block = static_cast<BlockHeader*>(std::malloc(size));
    if (block == nullptr) throw std::bad_alloc();
    block->previous = m_blocks;
    m_blocks = block;
    m_next = reinterpret_cast<std::byte*>(block + 1);
    m_limit = reinterpret_cast<std::byte*>(block) + size;
  }

  // A large value gets a block of its own, linked behind the current one, so
  // that the room left in the current block is not lost.
  void* LargeBlock(size_t bytes) {
    auto* block = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + bytes));
    if (block == nullptr) throw std::bad_alloc();
    if (m_blocks == nullptr) {
      block->previous = nullptr;
      m_blocks = block;
    } else {
      block->previous = m_blocks->previous;
      m_blocks->previous = block;
    }
    return block + 1;
  }

  std::atomic<size_t> m_live{kBuilderAdvance};
  size_t m_placed = 0;
  BlockHeader* m_blocks = nullptr;
  std::byte* m_next = nullptr;
  std::byte* m_limit = nullptr;
  size_t m_nextBlockSize = kFirstBlock;
};

}  // namespace DataLayer

// SmallBlockPool: the node store's memory for the small blocks a tree gets at
// run time (nodes, attribute blocks, long names and types): size classes of
// 16 bytes up to 256, each with a free list of returned blocks and a chunk it
// carves new ones from. A call is a lock and a pointer swap; the platform
// heap instead pays a search that grows with the number of live blocks
// (hundreds of nanoseconds per call under Wine with 10^5 frames alive).
//
// Chunks are kept until the pool is destroyed: memory stays at the highest
// number of small blocks ever alive at once and is reused from there.
// Larger blocks go to the heap. Builds with AddressSanitizer route every
// block to the heap, so that the sanitizer sees each one on its own.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>

namespace DataLayer {

class SmallBlockPool {
 public:
  static constexpr size_t kGranule = 16;
  static constexpr size_t kLargestBlock = 256;
  static constexpr size_t kChunkBytes = 64 * 1024;

  SmallBlockPool() = default;
  // Frees every chunk: no block of the pool may be in use any more.
  ~SmallBlockPool();
  SmallBlockPool(const SmallBlockPool&) = delete;
  SmallBlockPool& operator=(const SmallBlockPool&) = delete;

  // 1 <= bytes <= kLargestBlock; aligned to 16. Throws std::bad_alloc.
  void* Allocate(size_t bytes);
  // bytes: as given to Allocate.
  void Free(void* block, size_t bytes) noexcept;

  // The store's blocks of any size: small ones from the process-wide pool,
  // others (and all of them in sanitizer builds) from the heap. A null block
  // is ignored by Release.
  static void* Acquire(size_t bytes);
  static void Release(void* block, size_t bytes) noexcept;

 private:
  struct FreeBlock {
    FreeBlock* next;
  };
  struct ChunkHeader {
    ChunkHeader* previous;
  };
  // Own cache lines: threads working in different classes do not contend.
  struct alignas(64) SizeClass {
    std::mutex lock;
    FreeBlock* free = nullptr;
    std::byte* next = nullptr;
    std::byte* limit = nullptr;
    ChunkHeader* chunks = nullptr;
  };
  static constexpr size_t kClassCount = kLargestBlock / kGranule;
  static constexpr size_t kChunkHeaderBytes = 16;  // keeps the blocks aligned to 16

  static size_t ClassOf(size_t bytes) { return (bytes - 1) / kGranule; }
  static SmallBlockPool& Shared();
  void NewChunk(SizeClass& sizeClass);

  std::array<SizeClass, kClassCount> m_classes;
};

}  // namespace DataLayer

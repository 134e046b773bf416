#include "SmallBlockPool.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define DATALAYER_POOL_BYPASS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DATALAYER_POOL_BYPASS 1
#endif
#endif

namespace DataLayer {

static_assert(SmallBlockPool::kLargestBlock % SmallBlockPool::kGranule == 0);

SmallBlockPool::~SmallBlockPool() {
  for (SizeClass& sizeClass : m_classes) {
    while (ChunkHeader* chunk = sizeClass.chunks) {
      sizeClass.chunks = chunk->previous;
      std::free(chunk);
    }
  }
}

void* SmallBlockPool::Allocate(size_t bytes) {
  if (bytes == 0 || bytes > kLargestBlock) throw std::bad_alloc();
  SizeClass& sizeClass = m_classes[ClassOf(bytes)];
  std::lock_guard guard(sizeClass.lock);
  if (FreeBlock* block = sizeClass.free) {
    sizeClass.free = block->next;
    return block;
  }
  const size_t blockBytes = (ClassOf(bytes) + 1) * kGranule;
  if (static_cast<size_t>(sizeClass.limit - sizeClass.next) < blockBytes) NewChunk(sizeClass);
  std::byte* block = sizeClass.next;
  sizeClass.next += blockBytes;
  return block;
}

void SmallBlockPool::Free(void* block, size_t bytes) noexcept {
  if (block == nullptr) return;
  SizeClass& sizeClass = m_classes[ClassOf(bytes)];
  std::lock_guard guard(sizeClass.lock);
  sizeClass.free = new (block) FreeBlock{sizeClass.free};
}

void SmallBlockPool::NewChunk(SizeClass& sizeClass) {
  void* memory = std::malloc(kChunkBytes);
  if (memory == nullptr) throw std::bad_alloc();
  auto* chunk = new (memory) ChunkHeader{sizeClass.chunks};
  sizeClass.chunks = chunk;
  sizeClass.next = static_cast<std::byte*>(memory) + kChunkHeaderBytes;
  sizeClass.limit = static_cast<std::byte*>(memory) + kChunkBytes;
}

SmallBlockPool& SmallBlockPool::Shared() {
  // Destroyed when the library is unloaded, after every user of the store.
  static SmallBlockPool pool;
  return pool;
}

void* SmallBlockPool::Acquire([[maybe_unused]] size_t bytes) {
#if !defined(DATALAYER_POOL_BYPASS)
  if (bytes != 0 && bytes <= kLargestBlock) return Shared().Allocate(bytes);
#endif
  void* block = std::malloc(bytes != 0 ? bytes : 1);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void SmallBlockPool::Release(void* block, [[maybe_unused]] size_t bytes) noexcept {
  if (block == nullptr) return;
#if !defined(DATALAYER_POOL_BYPASS)
  if (bytes != 0 && bytes <= kLargestBlock) {
    Shared().Free(block, bytes);
    return;
  }
#endif
  std::free(block);
}

}  // namespace DataLayer

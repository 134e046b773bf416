// The node store's small-block pool on its own instance: blocks never
// overlap, keep their bytes, are reused once freed, and stay apart under
// threads allocating and freeing at once.
#include "Core/SmallBlockPool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <thread>
#include <vector>

namespace {

using DataLayer::SmallBlockPool;

struct Block {
  unsigned char* at;
  size_t bytes;
  unsigned char fill;
};

bool Intact(const Block& block) {
  for (size_t i = 0; i < block.bytes; ++i) {
    if (block.at[i] != block.fill) return false;
  }
  return true;
}

Block Take(SmallBlockPool& pool, size_t bytes, unsigned char fill) {
  Block block{static_cast<unsigned char*>(pool.Allocate(bytes)), bytes, fill};
  std::memset(block.at, fill, bytes);
  return block;
}

TEST(SmallBlockPool, EverySizeGetsAlignedBlocksThatKeepTheirBytesAcrossChunks) {
  SmallBlockPool pool;
  std::vector<Block> blocks;
  // Enough blocks of each size for several chunks of every class.
  for (int round = 0; round < 600; ++round) {
    for (size_t bytes = 1; bytes <= SmallBlockPool::kLargestBlock; bytes += 5) {
      blocks.push_back(Take(pool, bytes, static_cast<unsigned char>(blocks.size())));
      ASSERT_EQ(reinterpret_cast<uintptr_t>(blocks.back().at) % 16, 0u);
    }
  }
  for (const Block& block : blocks) ASSERT_TRUE(Intact(block));
  for (const Block& block : blocks) pool.Free(block.at, block.bytes);
}

TEST(SmallBlockPool, FreedBlockIsReusedWithinItsClassOnly) {
  SmallBlockPool pool;
  void* first = pool.Allocate(40);
  pool.Free(first, 40);
  EXPECT_EQ(pool.Allocate(33), first);  // same 16-byte class (33..48)
  void* other = pool.Allocate(64);
  EXPECT_NE(other, first);
  pool.Free(first, 33);
  pool.Free(other, 64);
}

TEST(SmallBlockPool, SizesOutsideThePoolAreRefused) {
  SmallBlockPool pool;
  EXPECT_THROW(pool.Allocate(0), std::bad_alloc);
  EXPECT_THROW(pool.Allocate(SmallBlockPool::kLargestBlock + 1), std::bad_alloc);
  pool.Free(nullptr, 16);  // ignored
}

TEST(SmallBlockPool, ThreadsAllocatingAndFreeingAtOnceNeverShareABlock) {
  SmallBlockPool pool;
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&pool, &failures, t] {
      std::mt19937 random(static_cast<unsigned>(t + 1));
      std::vector<Block> held;
      for (int step = 0; step < 40000; ++step) {
        if (held.size() < 200 && (held.empty() || random() % 3 != 0)) {
          const size_t bytes = 1 + random() % SmallBlockPool::kLargestBlock;
          held.push_back(Take(pool, bytes, static_cast<unsigned char>(t * 50 + step % 50)));
        } else {
          const size_t index = random() % held.size();
          if (!Intact(held[index])) ++failures[t];
          pool.Free(held[index].at, held[index].bytes);
          held[index] = held.back();
          held.pop_back();
        }
      }
      for (const Block& block : held) {
        if (!Intact(block)) ++failures[t];
        pool.Free(block.at, block.bytes);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace

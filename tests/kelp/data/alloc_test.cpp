// The small-object allocator: blocks of every size class freed on another thread, reused, and handed back to
// malloc when threads end (ASan builds bypass the cache, so the sharing test runs there too).
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "kelp/data/alloc.hpp"

namespace kelp {
namespace {

TEST(SmallAlloc, BlocksCrossThreadsAndKeepTheirContents) {
  std::vector<std::pair<void*, size_t>> blocks;
  std::thread maker([&] {
    for (size_t size = 1; size <= SMALL_OBJECT_MAX + 64; size += 7) {
      void* p = small_alloc(size);
      std::memset(p, static_cast<int>(size & 0xFF), size);
      blocks.emplace_back(p, size);
    }
  });
  maker.join();  // the maker's cache is gone; its blocks now live on elsewhere
  std::thread user([&] {
    for (auto [p, size] : blocks) {
      auto* bytes = static_cast<unsigned char*>(p);
      for (size_t i = 0; i < size; ++i) ASSERT_EQ(bytes[i], size & 0xFF);
      small_free(p, size);
    }
    // Reuse what was just freed, in every class, and write all of it.
    for (size_t size = 1; size <= SMALL_OBJECT_MAX; size += 7) {
      void* p = small_alloc(size);
      std::memset(p, 0xAB, size);
      small_free(p, size);
    }
  });
  user.join();
}

}  // namespace
}  // namespace kelp

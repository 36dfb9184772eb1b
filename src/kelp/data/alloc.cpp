#include "kelp/data/alloc.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace kelp {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool CACHING = false;  // the sanitizers see every allocation and free as they happen
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool CACHING = false;
#else
constexpr bool CACHING = true;
#endif
#else
constexpr bool CACHING = true;
#endif

constexpr size_t GRANULE = 16;
constexpr size_t CLASSES = SMALL_OBJECT_MAX / GRANULE;
constexpr uint32_t MAX_CACHED = 512;  // per class and thread: at most 128 KiB held for the largest class

struct FreeBlock {
  FreeBlock* next;
};

struct Cache {
  FreeBlock* head[CLASSES] = {};
  uint32_t count[CLASSES] = {};
};

// The cache lives in a thread_local with a destructor that hands the blocks back to malloc at thread exit;
// frees that happen later on the same thread (from other thread_local destructors) go straight to malloc.
struct CacheOwner {
  Cache cache;
  ~CacheOwner();
};

thread_local Cache* tl_cache = nullptr;  // trivially destructible: readable for the thread's whole life
thread_local bool tl_cache_gone = false;
thread_local CacheOwner tl_owner;

CacheOwner::~CacheOwner() {
  tl_cache = nullptr;
  tl_cache_gone = true;
  for (auto* head : cache.head) {
    while (head) {
      FreeBlock* next = head->next;
      std::free(head);
      head = next;
    }
  }
}

Cache* cache() {
  if (!CACHING) return nullptr;
  if (tl_cache || tl_cache_gone) return tl_cache;
  tl_cache = &tl_owner.cache;
  return tl_cache;
}

size_t class_of(size_t bytes) { return (bytes + GRANULE - 1) / GRANULE - 1; }

}  // namespace

void* small_alloc(size_t bytes) {
  if (bytes == 0 || bytes > SMALL_OBJECT_MAX) return ::operator new(bytes);
  size_t c = class_of(bytes);
  if (Cache* tc = cache(); tc && tc->head[c]) {
    FreeBlock* b = tc->head[c];
    tc->head[c] = b->next;
    --tc->count[c];
    return b;
  }
  void* p = std::malloc((c + 1) * GRANULE);
  if (!p) throw std::bad_alloc();
  return p;
}

void small_free(void* p, size_t bytes) noexcept {
  if (!p) return;
  if (bytes == 0 || bytes > SMALL_OBJECT_MAX) {
    ::operator delete(p);
    return;
  }
  size_t c = class_of(bytes);
  Cache* tc = cache();
  if (!tc || tc->count[c] >= MAX_CACHED) {
    std::free(p);
    return;
  }
  auto* b = static_cast<FreeBlock*>(p);
  b->next = tc->head[c];
  tc->head[c] = b;
  ++tc->count[c];
}

}  // namespace kelp

#include "component/buffer_cache.h"

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "quillon/component/runtime.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define QUILLON_POISON(block, size) ASAN_POISON_MEMORY_REGION(block, size)
#define QUILLON_UNPOISON(block, size) ASAN_UNPOISON_MEMORY_REGION(block, size)
#else
#define QUILLON_POISON(block, size) ((void)(block), (void)(size))
#define QUILLON_UNPOISON(block, size) ((void)(block), (void)(size))
#endif

namespace quillon::com {
namespace internal {
namespace {

// Kept blocks in the order they were given back. Strings are freed on any
// thread (a host's garbage collector, the remote runtime's threads), hence
// the lock; it guards a handful of entries and no system call.
class BufferCache {
 public:
  void* Take(size_t size) {
    std::lock_guard<std::mutex> guard(lock_);
    // The smallest kept block that holds `size` without holding on to much
    // more than it needs.
    size_t best = count_;
    for (size_t i = 0; i < count_; ++i) {
      const size_t capacity = blocks_[i].capacity;
      if (capacity >= size && capacity <= 2 * size + kMinCachedBuffer &&
          (best == count_ || capacity < blocks_[best].capacity)) {
        best = i;
      }
    }
    if (best == count_) return nullptr;
    void* block = blocks_[best].block;
    Remove(best);
    return block;
  }

  // False when the block is not kept (the caller frees it).
  bool Keep(void* block, size_t capacity) {
    if (capacity < kMinCachedBuffer || capacity > kMaxCachedBytes) return false;
    std::array<void*, kMaxCachedBuffers> evicted{};
    size_t evicted_count = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      // The oldest go first, so that a size no longer asked for leaves.
      while (count_ > 0 && (count_ >= kMaxCachedBuffers || bytes_ + capacity > kMaxCachedBytes)) {
        evicted[evicted_count++] = blocks_[0].block;
        Remove(0);
      }
      blocks_[count_++] = Kept{block, capacity};
      bytes_ += capacity;
    }
    for (size_t i = 0; i < evicted_count; ++i) {
      QUILLON_UNPOISON(evicted[i], malloc_usable_size(evicted[i]));
      std::free(evicted[i]);
    }
    return true;
  }

  size_t bytes() {
    std::lock_guard<std::mutex> guard(lock_);
    return bytes_;
  }

 private:
  struct Kept {
    void* block;
    size_t capacity;
  };

  void Remove(size_t i) {
    bytes_ -= blocks_[i].capacity;
    std::copy(blocks_.begin() + static_cast<std::ptrdiff_t>(i) + 1,
              blocks_.begin() + static_cast<std::ptrdiff_t>(count_),
              blocks_.begin() + static_cast<std::ptrdiff_t>(i));
    --count_;
  }

  std::mutex lock_;
  std::array<Kept, kMaxCachedBuffers> blocks_{};
  size_t count_ = 0;
  size_t bytes_ = 0;
};

BufferCache& Cache() {
  // Never destroyed: strings are freed by destructors of other statics
  // until the very end of the process.
  static BufferCache* cache = new BufferCache;
  return *cache;
}

// Small blocks: each thread keeps a few freed ones of each small size for
// its next strings and arrays. A short text value read from a database is
// a string made and freed per value; malloc, free and the usable-size
// query cost about 170 instructions of it, this about 30.
//
// The classes are malloc's own usable sizes for small requests (24, 40,
// ..., 136 bytes), and a block is made at its class's size, so that the
// size a released block reports (malloc_usable_size, which is also exact
// under AddressSanitizer) names its class.
constexpr size_t kSmallClasses = 8;
constexpr size_t kSmallPerClass = 16;
constexpr size_t kSmallestClass = 24;
constexpr size_t kClassStep = 16;
constexpr size_t ClassSize(size_t c) { return kSmallestClass + kClassStep * c; }
constexpr size_t kLargestSmall = ClassSize(kSmallClasses - 1);
static_assert(kSmallClasses * kSmallPerClass == kMaxCachedSmallBuffers);

// The fuzz build goes without it: libFuzzer counts mallocs against frees
// for each input, and a string kept here instead of freed (while a size's
// list fills) reads as a leak there, after which it stops looking for
// leaks input by input.
#if defined(QUILLON_FUZZ_BUILD)
constexpr bool kKeepSmallBlocks = false;
#else
constexpr bool kKeepSmallBlocks = true;
#endif

// Plain data, so that reaching it costs no check that it was set up; the
// owner below is set up by the first block kept.
struct SmallBlocks {
  enum : uint8_t { kUnused, kKeeping, kEnded };
  void* blocks[kSmallClasses][kSmallPerClass];
  uint8_t count[kSmallClasses];
  uint8_t state;
};
thread_local SmallBlocks t_small;

// Frees the thread's kept blocks when it ends. Strings freed after that
// (by the destructors of other thread or static objects) go to free.
struct SmallBlocksOwner {
  ~SmallBlocksOwner() {
    t_small.state = SmallBlocks::kEnded;
    for (size_t c = 0; c < kSmallClasses; ++c) {
      for (size_t i = 0; i < t_small.count[c]; ++i) {
        QUILLON_UNPOISON(t_small.blocks[c][i], ClassSize(c));
        std::free(t_small.blocks[c][i]);
      }
      t_small.count[c] = 0;
    }
  }
};
thread_local SmallBlocksOwner t_small_owner;

void* TakeSmall(size_t size) {
  const size_t c =
      size <= kSmallestClass ? 0 : (size - kSmallestClass + kClassStep - 1) / kClassStep;
  SmallBlocks& small = t_small;
  if (small.count[c] != 0) {
    void* block = small.blocks[c][--small.count[c]];
    QUILLON_UNPOISON(block, size);
    return block;
  }
  return std::malloc(ClassSize(c));
}

// False when the block is not kept (the caller frees it): a size that is
// no class's (a block of malloc or realloc), or a full list.
bool KeepSmall(void* block, size_t capacity) {
  if (capacity < kSmallestClass || (capacity - kSmallestClass) % kClassStep != 0) return false;
  const size_t c = (capacity - kSmallestClass) / kClassStep;
  SmallBlocks& small = t_small;
  if (small.state != SmallBlocks::kKeeping) {
    if (small.state == SmallBlocks::kEnded) return false;
    static_cast<void>(&t_small_owner);
    small.state = SmallBlocks::kKeeping;
  }
  if (small.count[c] == kSmallPerClass) return false;
  QUILLON_POISON(block, capacity);
  small.blocks[c][small.count[c]++] = block;
  return true;
}

}  // namespace

void* AllocateBuffer(size_t size) {
  if (kKeepSmallBlocks && size <= kLargestSmall) return TakeSmall(size);
  if (size >= kMinCachedBuffer) {
    if (void* block = Cache().Take(size)) {
      QUILLON_UNPOISON(block, size);
      return block;
    }
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  AdviseLargeBuffer(block, size);
  return block;
}

void ReleaseBuffer(void* block) {
  if (block == nullptr) return;
  const size_t capacity = malloc_usable_size(block);
  if (kKeepSmallBlocks && capacity <= kLargestSmall) {
    if (!KeepSmall(block, capacity)) std::free(block);
    return;
  }
  // Poisoned while kept, so that a use after the release still shows under
  // AddressSanitizer.
  QUILLON_POISON(block, capacity);
  if (Cache().Keep(block, capacity)) return;
  QUILLON_UNPOISON(block, capacity);
  std::free(block);
}

}  // namespace internal

size_t CachedBufferBytes() { return internal::Cache().bytes(); }

size_t CachedSmallBuffers() {
  size_t n = 0;
  for (uint8_t count : internal::t_small.count) n += count;
  return n;
}

void AdviseLargeBuffer(void* data, size_t size) {
  if (size < kLargeBuffer) return;
  AdviseHugePages(data, size);
}

void AdviseHugePages(void* data, size_t size) {
  if (data == nullptr) return;
  // Read on every call, so that a test or a host can change it; a call
  // comes once per megabytes of memory.
  if (const char* setting = std::getenv("QUILLON_HUGE_PAGES");
      setting != nullptr && std::strcmp(setting, "0") == 0) {
    return;
  }
  // Only whole huge pages inside the buffer can be given; the advice is a
  // hint, and a refusal (no such mode, an old kernel) is no failure.
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (begin + size) & ~(kHugePage - 1);
  if (last > first) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
}

}  // namespace quillon::com

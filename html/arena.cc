#include "html/arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "quillon/component/runtime.h"

namespace quillon::html {

namespace {

constexpr size_t kFirstDocumentBlock = 16 * 1024;
constexpr size_t kFirstLooseBlock = 1024;
// The largest blocks are aligned to 2 MiB and asked to be huge pages: a
// large template's parse is otherwise mostly first faults, 512 of them per
// block. The advice can be turned off (see AdviseHugePages): on a virtual
// machine whose memory the host backs lazily, a huge page's first fault
// was seen taking 10-25 ms, where 512 small ones take 1.5 ms.
constexpr size_t kLargestBlock = 2 * 1024 * 1024;
// New blocks from this size on are faulted in a quarter at a time (up to
// this step), ahead of the carving.
constexpr size_t kSmallestPopulated = 64 * 1024;
constexpr size_t kPopulateStep = 256 * 1024;
// Under the sanitizer freed pieces wait this long before reuse.
[[maybe_unused]] constexpr size_t kQuarantineBytes = 1024 * 1024;

constexpr int ClassOf(size_t bytes) { return Arena::ClassOf(bytes); }
constexpr size_t ClassSize(int cls) { return Arena::ClassSize(cls); }

static_assert(ClassOf(1) == 0 && ClassSize(0) == 16);
static_assert(ClassSize(ClassOf(48)) == 48);
static_assert(ClassSize(ClassOf(257)) == 320 && ClassSize(ClassOf(512)) == 512);
static_assert(ClassSize(ClassOf(513)) == 640 && ClassOf(Arena::kMaxSmall) == Arena::kClasses - 1);
static_assert(ClassSize(Arena::kClasses - 1) == Arena::kMaxSmall);

// Blocks that documents gave back, kept for the next ones: a page per
// request then faults in no new memory once the first pages were built.
// What is kept is bounded; the rest goes back to the system.
class BlockCache {
 public:
  [[maybe_unused]] static constexpr size_t kKeptBytes = size_t{64} << 20;

  // `*fresh`: the block comes from the system, none of it faulted in yet.
  void* Take(size_t size, bool* fresh) {
    *fresh = false;
#ifndef QUILLON_HTML_ASAN
    const int slot = Slot(size);
    if (slot >= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      auto& list = free_[slot];
      if (!list.empty()) {
        void* p = list.back();
        list.pop_back();
        kept_ -= size;
        return p;
      }
    }
#endif
    *fresh = true;
#ifndef QUILLON_HTML_ASAN
    if (size == kLargestBlock) return TakeAligned();
#endif
    void* p = std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }

  void Give(void* p, [[maybe_unused]] size_t size) {
#ifndef QUILLON_HTML_ASAN
    const int slot = Slot(size);
    if (slot >= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (kept_ + size <= kKeptBytes) {
        try {
          free_[slot].push_back(p);
          kept_ += size;
          return;
        } catch (const std::bad_alloc&) {
        }
      }
    }
    if (size == kLargestBlock) {
      munmap(p, size);
      return;
    }
#endif
    std::free(p);
  }

 private:
  // A block of kLargestBlock bytes aligned to its size.
  static void* TakeAligned() {
    const size_t size = kLargestBlock;
    void* map = mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(map);
    const uintptr_t aligned = (start + size - 1) & ~(uintptr_t{size} - 1);
    if (aligned > start) munmap(map, aligned - start);
    if (aligned + size < start + 2 * size) {
      munmap(reinterpret_cast<void*>(aligned + size), start + 2 * size - (aligned + size));
    }
    com::AdviseHugePages(reinterpret_cast<void*>(aligned), size);
    return reinterpret_cast<void*>(aligned);
  }
  static int Slot(size_t size) {
    if (size < kFirstDocumentBlock || size > kLargestBlock || !std::has_single_bit(size)) return -1;
    return std::countr_zero(size) - std::countr_zero(kFirstDocumentBlock);
  }
  std::mutex mutex_;
  std::vector<void*> free_[8];
  [[maybe_unused]] size_t kept_ = 0;
};

BlockCache& Blocks() {
  static BlockCache* cache = new BlockCache;  // outlives static destruction
  return *cache;
}

}  // namespace

Arena* Arena::Create(DocumentLink* link) { return new Arena(link); }

Arena::Arena(DocumentLink* link)
    : link_(link),
      owned_(link != nullptr),
      next_block_(link != nullptr ? kFirstDocumentBlock : kFirstLooseBlock) {}

Arena::~Arena() { FreeAll(); }

void Arena::FreeAll() {
  while (blocks_ != nullptr) {
    Block* b = blocks_;
    blocks_ = b->next;
    const size_t size = b->size + sizeof(Block);
    QUILLON_UNPOISON(b, size);
    Blocks().Give(b, size);
  }
  while (large_ != nullptr) {
    Large* l = large_;
    large_ = l->next;
    std::free(l);
  }
  cur_ = end_ = block_end_ = nullptr;
  populate_step_ = 0;
  footprint_ = 0;
  std::fill(std::begin(free_), std::end(free_), nullptr);
#ifdef QUILLON_HTML_ASAN
  quarantine_.clear();
  quarantined_ = 0;
#endif
}

void Arena::Disown() {
  owned_ = false;
  if (live_ == 0) delete this;
}

void Arena::Reset(uint32_t keep_live) {
  FreeAll();
  live_ = keep_live;
  next_block_ = kFirstDocumentBlock;
  sources_.clear();
  local_names_ = LocalNames();
  cursors_.clear();
  text_block_ = names::kTextBlock;
  text_block_known_ = true;
}

void Arena::ExpectBytes(size_t bytes) {
  if (bytes < 2 * kFirstDocumentBlock) return;
  // Growing a big tree through a chain of ever larger blocks faults each
  // of the small ones in a page at a time before the huge pages come.
  const size_t size = std::min(kLargestBlock, std::bit_floor(bytes));
  if (size > next_block_) next_block_ = size;
}

void* Arena::NewBlock(size_t bytes) {
  size_t size = next_block_;
  while (size - sizeof(Block) < bytes) size *= 2;
  bool fresh = false;
  void* memory = Blocks().Take(size, &fresh);
  Block* b = static_cast<Block*>(memory);
  b->next = blocks_;
  b->size = size - sizeof(Block);
  blocks_ = b;
  footprint_ += size;
  if (next_block_ < kLargestBlock) next_block_ *= 2;
  cur_ = reinterpret_cast<char*>(b + 1);
  block_end_ = cur_ + b->size;
  // A block used before is in memory already; asking again for its pages
  // costs a walk of them for nothing.
  populate_step_ = fresh && size >= kSmallestPopulated ? std::min(kPopulateStep, size / 4) : 0;
  end_ = cur_;
  Extend(bytes);
  QUILLON_POISON(cur_, b->size);
  return cur_;
}

void FaultInPages(const char* begin, const char* end) {
#if defined(MADV_POPULATE_WRITE)
  constexpr uintptr_t kPage = 4096;
  const uintptr_t from = (reinterpret_cast<uintptr_t>(begin) + kPage - 1) & ~(kPage - 1);
  const uintptr_t to = reinterpret_cast<uintptr_t>(end) & ~(kPage - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)begin;
  (void)end;
#endif
}

void Arena::Extend(size_t bytes) {
#ifndef QUILLON_HTML_ASAN
  // A block is carved from its start, tag after tag, so each page of it
  // will be written; stretch by stretch, the last block of a document is
  // not faulted in past what it uses.
  const size_t left = static_cast<size_t>(block_end_ - end_);
  if (populate_step_ != 0 && left > 0) {
    char* next = end_ + std::min(left, std::max(populate_step_, bytes));
    // The page `next` falls in is the next one carved: it goes too.
    FaultInPages(end_, next + std::min<size_t>(4095, static_cast<size_t>(block_end_ - next)));
    end_ = next;
    return;
  }
#endif
  (void)bytes;
  end_ = block_end_;
}

void* Arena::Carve(size_t bytes) {
  if (static_cast<size_t>(end_ - cur_) < bytes) {
    if (static_cast<size_t>(block_end_ - cur_) >= bytes) {
      Extend(bytes - static_cast<size_t>(end_ - cur_));
    } else {
      NewBlock(bytes);
    }
  }
  void* p = cur_;
  cur_ += bytes;
  QUILLON_UNPOISON(p, bytes);
  return p;
}

void* Arena::AllocateSlow(size_t bytes) {
  if (bytes > kMaxSmall) return AllocateLarge(bytes);
  return Carve(ClassSize(ClassOf(bytes)));
}

void Arena::ToFreeList(void* p, int cls) {
  QUILLON_UNPOISON(p, sizeof(void*));
  *static_cast<void**>(p) = free_[cls];
  free_[cls] = p;
  QUILLON_POISON(p, ClassSize(cls));
}

void Arena::Release(void* p, size_t bytes) {
  if (p == nullptr) return;
  if (bytes > kMaxSmall) return ReleaseLarge(p);
  const int cls = ClassOf(bytes);
#ifdef QUILLON_HTML_ASAN
  QUILLON_POISON(p, ClassSize(cls));
  quarantine_.emplace_back(p, cls);
  quarantined_ += ClassSize(cls);
  while (quarantined_ > kQuarantineBytes) {
    auto [old, old_cls] = quarantine_.front();
    quarantine_.pop_front();
    quarantined_ -= ClassSize(old_cls);
    ToFreeList(old, old_cls);
  }
#else
  ToFreeList(p, cls);
#endif
}

void* Arena::AllocateLarge(size_t bytes) {
  void* memory = std::malloc(sizeof(Large) + bytes);
  if (memory == nullptr) throw std::bad_alloc();
  Large* l = static_cast<Large*>(memory);
  l->prev = nullptr;
  l->next = large_;
  l->size = bytes;
  if (large_) large_->prev = l;
  large_ = l;
  footprint_ += bytes;
  return l + 1;
}

void Arena::ReleaseLarge(void* p) {
  Large* l = static_cast<Large*>(p) - 1;
  if (l->prev) l->prev->next = l->next; else large_ = l->next;
  if (l->next) l->next->prev = l->prev;
  footprint_ -= l->size;
  std::free(l);
}

void Arena::Keep(Source source) {
  for (const Source& s : sources_) {
    if (s == source) return;
  }
  sources_.push_back(std::move(source));
}

void Arena::KeepSourcesOf(const Arena& other) {
  if (&other == this) return;
  for (const Source& s : other.sources_) Keep(s);
}

}  // namespace quillon::html

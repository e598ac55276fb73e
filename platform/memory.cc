#include "quillon/platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace quillon::platform {

void AdviseLargeBuffer(void* data, size_t size) {
  if (data == nullptr || size < kLargeBuffer) return;
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

}  // namespace quillon::platform

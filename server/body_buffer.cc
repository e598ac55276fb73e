#include "server/body_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace quillon::server {
namespace {

constexpr size_t kPageSize = 4096;
constexpr size_t kHugePageSize = size_t{2} << 20;

size_t RoundUp(size_t value, size_t unit) {
  if (value > static_cast<size_t>(-1) - unit) throw std::bad_alloc();
  return (value + unit - 1) / unit * unit;
}

}  // namespace

BodyBuffer::~BodyBuffer() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
}

void BodyBuffer::Reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  const size_t size = RoundUp(capacity, capacity >= kHugePageSize ? kHugePageSize : kPageSize);
  void* memory;
  if (data_ == nullptr) {
    memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  } else {
    memory = ::mremap(data_, capacity_, size, MREMAP_MAYMOVE);
  }
  if (memory == MAP_FAILED) throw std::bad_alloc();
  // Only a hint: without huge pages the buffer works the same, slower.
  if (size >= kHugePageSize) ::madvise(memory, size, MADV_HUGEPAGE);
  data_ = static_cast<char*>(memory);
  capacity_ = size;
}

}  // namespace quillon::server

// The allocation functions of a test program, replaced so that a test can
// make the Nth allocation on its thread fail (std::bad_alloc) and watch
// what the code under test leaves behind. Included by exactly one source
// file of a test program: it defines the replacements.
#ifndef QUILLON_TESTS_SUPPORT_FAILING_ALLOCATIONS_H_
#define QUILLON_TESTS_SUPPORT_FAILING_ALLOCATIONS_H_

#include <cstdlib>
#include <new>

namespace quillon::testing {
// Allocations left before the one that fails; negative: none fails.
inline thread_local long allocations_before_failure = -1;
}  // namespace quillon::testing

void* operator new(std::size_t size) {
  long& left = quillon::testing::allocations_before_failure;
  if (left >= 0 && left-- == 0) throw std::bad_alloc();
  // The replacement allocator is where raw memory is legitimately owned.
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;  // NOLINT
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }               // NOLINT
void operator delete(void* block, std::size_t) noexcept { std::free(block); }  // NOLINT

#endif  // QUILLON_TESTS_SUPPORT_FAILING_ALLOCATIONS_H_

// Large buffers on a virtual machine: every 4 KiB page a buffer touches for
// the first time is a fault, and a fault there costs microseconds. A value
// of tens of megabytes would fault tens of thousands of times.
#ifndef QUILLON_PLATFORM_MEMORY_H_
#define QUILLON_PLATFORM_MEMORY_H_

#include <cstddef>

namespace quillon::platform {

// Buffers from this size on are worth the advice below.
inline constexpr size_t kLargeBuffer = size_t{4} << 20;

// Asks the kernel to back the untouched room [data, data + size) with huge
// pages where it can (transparent huge pages in "madvise" mode, Debian's
// default), so that filling it faults once per 2 MiB instead of once per
// 4 KiB. Smaller buffers, and a kernel that declines, change nothing; the
// contents are never affected.
void AdviseLargeBuffer(void* data, size_t size);

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_MEMORY_H_

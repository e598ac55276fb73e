// The kernel's flags of the mapping that holds an address, from
// /proc/self/smaps: tests of huge-page advice look for " hg ".
#ifndef QUILLON_TESTS_SUPPORT_VM_FLAGS_H_
#define QUILLON_TESTS_SUPPORT_VM_FLAGS_H_

#include <sys/mman.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace quillon::testing {

// The VmFlags line of the mapping that holds `address`, with a space after
// it; "" when no mapping holds it.
inline std::string VmFlagsAt(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    uintptr_t from = 0, to = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> from >> dash >> to && dash == '-' && line.find(':') > line.find(' ')) {
      inside = from <= at && at < to;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line + " ";
    }
  }
  return "";
}

// Whether this kernel takes huge-page advice at all (one without
// transparent huge pages refuses it).
inline bool HugePageAdviceTaken() {
  void* probe = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (probe == MAP_FAILED) return false;
  const bool taken = madvise(probe, 4096, MADV_HUGEPAGE) == 0;
  munmap(probe, 4096);
  return taken;
}

}  // namespace quillon::testing

#endif  // QUILLON_TESTS_SUPPORT_VM_FLAGS_H_

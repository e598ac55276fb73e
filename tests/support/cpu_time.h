// The processor time of the calling thread. Tests that guard against
// quadratic work bound this rather than the wall clock: it does not grow
// when other processes load the machine, and quadratic work still shows as
// minutes where linear work takes a fraction of a second.
#ifndef QUILLON_TESTS_SUPPORT_CPU_TIME_H_
#define QUILLON_TESTS_SUPPORT_CPU_TIME_H_

#include <time.h>

namespace quillon::testing {

inline double ThreadCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace quillon::testing

#endif  // QUILLON_TESTS_SUPPORT_CPU_TIME_H_

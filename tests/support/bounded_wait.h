// Waits that end. Every wait a test makes on another process, a pipe or a
// socket has a limit; past it the wait gives up and the test fails saying
// what it waited for, instead of holding the whole run until ctest's limit.
#ifndef QUILLON_TESTS_SUPPORT_BOUNDED_WAIT_H_
#define QUILLON_TESTS_SUPPORT_BOUNDED_WAIT_H_

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace quillon::testing {

// Long enough for a sanitized child on a machine loaded several times over
// (a dozen runnable processes on two cores is seen in CI), well inside
// ctest's limit of a test, so that a hang is named in the test's output.
inline constexpr std::chrono::milliseconds kWaitLimit{60'000};

// Reaps `pid` into *status. A child still running after `limit` is killed
// with SIGKILL and reaped, and the answer is false.
inline bool WaitChild(pid_t pid, int* status, std::chrono::milliseconds limit = kWaitLimit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (auto pause = std::chrono::microseconds(200);;
       pause = std::min(pause * 2, decltype(pause)(20'000))) {
    const pid_t done = ::waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
      }
      return false;
    }
    std::this_thread::sleep_for(pause);
  }
}

// Reads `fd` (a pipe or socket) to its end into *out. False when the end
// has not come within `limit` or reading failed; *out keeps what arrived.
inline bool ReadToEnd(int fd, std::string* out, std::chrono::milliseconds limit = kWaitLimit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    out->append(buffer, static_cast<size_t>(n));
  }
}

// Blocking receives, sends and accepts on socket `fd` give up after
// `limit` (they fail with EAGAIN) instead of waiting for ever.
inline void LimitSocketWaits(int fd, std::chrono::milliseconds limit = kWaitLimit) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace quillon::testing

#endif  // QUILLON_TESTS_SUPPORT_BOUNDED_WAIT_H_

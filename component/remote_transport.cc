// Frames over Unix stream sockets. The receiving side may face a hostile
// peer: an announced length costs nothing until its bytes arrive, and a
// deadline bounds the whole frame, not each read (a peer sending one byte
// just before every read's time-out would otherwise hold the reader for
// ever).
#include "component/remote_transport.h"

#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "component/remote_wire.h"

namespace quillon::com::transport {
namespace {

// The first piece of a frame's buffer; later pieces double it.
constexpr size_t kFirstPiece = size_t{64} << 10;

// Waits until `fd` is ready for `events` or the deadline passes. True when
// ready (or when there is no deadline: the blocking call then waits).
bool WaitReady(int fd, short events, const Deadline& deadline) {
  if (!deadline) return true;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool RecvAll(int fd, char* buf, size_t size, const Deadline& deadline) {
  // With a deadline, bytes already there are taken without a poll first:
  // the wait is only for bytes still to come.
  const int flags = deadline ? MSG_DONTWAIT : 0;
  while (size > 0) {
    const ssize_t n = ::recv(fd, buf, size, flags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitReady(fd, POLLIN, deadline)) return false;
      continue;
    }
    if (n <= 0) return false;  // EOF, ECONNRESET ...: the peer is gone
    buf += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

// MSG_NOSIGNAL: a peer that died turns into EPIPE here, not a SIGPIPE that
// would kill the caller.
bool SendAll(int fd, std::string_view data, Deadline deadline) {
  const int flags = MSG_NOSIGNAL | (deadline ? MSG_DONTWAIT : 0);
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(fd, POLLOUT, deadline)) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool RecvFrame(int fd, uint8_t* kind, std::string* body, Deadline deadline) {
  body->clear();
  // The length and the kind byte in one read: every frame has a kind.
  unsigned char head[5];
  if (!RecvAll(fd, reinterpret_cast<char*>(head), 5, deadline)) return false;
  const uint32_t n = uint32_t{head[0]} | (uint32_t{head[1]} << 8) | (uint32_t{head[2]} << 16) |
                     (uint32_t{head[3]} << 24);
  if (n == 0 || n > wire::kMaxFrameBytes) return false;
  *kind = head[4];
  const size_t total = n - 1;
  size_t got = 0;
  while (got < total) {
    const size_t piece = std::min(total - got, std::max(kFirstPiece, got));
    body->resize(got + piece);
    if (!RecvAll(fd, body->data() + got, piece, deadline)) return false;
    got += piece;
  }
  return true;
}

// How long a side that expects a message soon (a caller its reply, a
// server the next call) looks for it before it sleeps. On a virtual
// machine, waking a process that sleeps on another CPU costs tens of
// microseconds each way, which made a round trip cost 65 us instead of 6;
// a short look first keeps back-to-back calls off that path. One CPU has
// nothing to gain: the peer cannot run while we look.
bool ShouldSpin() {
  static const bool spin = ::sysconf(_SC_NPROCESSORS_ONLN) > 1;
  return spin;
}

Clock::time_point SpinDeadline() { return Clock::now() + std::chrono::microseconds(100); }

void SpinUntilReadable(int fd) {
  if (!ShouldSpin()) return;
  const auto deadline = SpinDeadline();
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 0) == 0) {
    if (Clock::now() >= deadline) return;
  }
}

bool PeerUid(int fd, uid_t* uid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  *uid = cred.uid;
  return true;
}

bool ParseUsers(std::string_view list, std::set<uid_t>* uids) {
  bool all_known = true;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (item.empty()) continue;
    const std::string name(item);
    if (name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10) {
      uids->insert(static_cast<uid_t>(std::stoul(name)));
      continue;
    }
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (::getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
      uids->insert(found->pw_uid);
    } else {
      all_known = false;
    }
  }
  return all_known;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool MakeAddress(const std::string& name, bool abstract, sockaddr_un* addr, socklen_t* len) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (name.size() + offset + 1 > sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path + offset, name.data(), name.size());
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size() +
                                (abstract ? 0 : 1));
  return true;
}

UniqueFd ConnectTo(const std::string& name, bool abstract) {
  sockaddr_un addr;
  socklen_t len = 0;
  if (!MakeAddress(name, abstract, &addr, &len)) {
    errno = ENAMETOOLONG;
    return UniqueFd();
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  while (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    if (errno == EINTR) continue;
    fd.reset();  // errno kept
    return fd;
  }
  return fd;
}

}  // namespace quillon::com::transport

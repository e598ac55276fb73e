// The socket layer of out-of-process calls: whole frames in and out, with
// an optional absolute deadline, peer credentials and Unix addresses.
#ifndef QUILLON_COMPONENT_REMOTE_TRANSPORT_H_
#define QUILLON_COMPONENT_REMOTE_TRANSPORT_H_

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "component/remote_wire.h"
#include "quillon/component/types.h"
#include "quillon/platform/handle.h"

namespace quillon::com::transport {

using platform::UniqueFd;
using Clock = std::chrono::steady_clock;
// When the whole of a frame must have gone or come; none: wait as long as
// the peer lives.
using Deadline = std::optional<Clock::time_point>;

// Sends all of `data`. False when the peer is gone or the deadline passed
// (then part of the data may have gone: the connection is done for).
// Never raises SIGPIPE.
QUILLON_RUNTIME_API bool SendAll(int fd, std::string_view data, Deadline deadline = {});

// Receives one frame: *kind and the bytes after it. False when the peer is
// gone, the deadline passed, or the announced length is 0 or above the
// frame limit. The buffer grows with the bytes that arrive (doubling from
// 64 KiB), never to an announced length ahead of them.
QUILLON_RUNTIME_API bool RecvFrame(int fd, uint8_t* kind, std::string* body,
                                   Deadline deadline = {});

// Encodes `message` (one of the wire's message structs) and sends it.
template <class Message>
bool SendMessage(int fd, const Message& message, Deadline deadline = {}) {
  wire::Writer w;
  return wire::Encode(message, &w) && SendAll(fd, w.frame(), deadline);
}

// A short busy look for a reply or the next call before sleeping (see
// remote_transport.cc); false on one CPU.
bool ShouldSpin();
Clock::time_point SpinDeadline();
void SpinUntilReadable(int fd);

// The user of the process at the other end; false when unknown.
bool PeerUid(int fd, uid_t* uid);

// Names or numeric uids, comma-separated, blanks around items ignored.
// False when a name has no user (the known ones are still added).
bool ParseUsers(std::string_view list, std::set<uid_t>* uids);

// The variable's value, "" when unset.
std::string Env(const char* name);

// sockaddr for a path, or for an abstract name when `abstract` (the leading
// NUL is added here). False when it does not fit.
bool MakeAddress(const std::string& name, bool abstract, sockaddr_un* addr, socklen_t* len);

// Connects to `name` (a path, or an abstract name). Invalid with errno set
// on failure.
UniqueFd ConnectTo(const std::string& name, bool abstract);

}  // namespace quillon::com::transport

#endif  // QUILLON_COMPONENT_REMOTE_TRANSPORT_H_

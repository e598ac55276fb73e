// Frames over a socket pair: what an announced length costs before its
// bytes come, and the deadline that bounds a whole frame.
#include "component/remote_transport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace quillon::com::transport {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
  UniqueFd ours, theirs;
  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ours.reset(fds[0]);
    theirs.reset(fds[1]);
  }
};

std::string Header(uint32_t length, uint8_t kind) {
  std::string head;
  for (int i = 0; i < 4; ++i) head.push_back(static_cast<char>(length >> (8 * i)));
  head.push_back(static_cast<char>(kind));
  return head;
}

TEST(RemoteTransport, AnnouncedLengthCostsNothingBeforeItsBytesArrive) {
  SocketPair pair;
  const std::string sent = Header(200u << 20, 22) + std::string(10, 'x');
  ASSERT_TRUE(SendAll(pair.theirs.get(), sent));
  pair.theirs.reset();  // and then nothing more
  uint8_t kind = 0;
  std::string body;
  EXPECT_FALSE(RecvFrame(pair.ours.get(), &kind, &body));
  EXPECT_LT(body.capacity(), size_t{1} << 20) << "the announced length was allocated up front";
}

TEST(RemoteTransport, FramesAboveTheLimitOrEmptyAreRefused) {
  for (const uint32_t length : {0u, wire::kMaxFrameBytes + 1, 0xFFFFFFFFu}) {
    SocketPair pair;
    ASSERT_TRUE(SendAll(pair.theirs.get(), Header(length, 22) + "abc"));
    uint8_t kind = 0;
    std::string body;
    EXPECT_FALSE(RecvFrame(pair.ours.get(), &kind, &body, Clock::now() + 2s)) << length;
  }
}

// A large frame arrives whole through the growing buffer.
TEST(RemoteTransport, LargeFrameArrivesWhole) {
  SocketPair pair;
  std::string payload(3 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  std::thread sender([&] {
    SendAll(pair.theirs.get(), Header(static_cast<uint32_t>(payload.size() + 1), 5) + payload);
  });
  uint8_t kind = 0;
  std::string body;
  EXPECT_TRUE(RecvFrame(pair.ours.get(), &kind, &body, Clock::now() + 20s));
  sender.join();
  EXPECT_EQ(kind, 5);
  EXPECT_TRUE(body == payload);
}

// A peer that sends one byte now and then, each well within any per-read
// time-out, must not hold the reader beyond the frame's deadline.
TEST(RemoteTransport, DribblingPeerMissesTheFramesDeadline) {
  const struct {
    const char* name;
    std::chrono::milliseconds gap;  // between the body's bytes
    std::optional<std::chrono::milliseconds> deadline;
    bool whole;
  } cases[] = {
      {"sent at once", 0ms, 300ms, true},
      {"dribbled past the deadline", 25ms, 300ms, false},
      {"dribbled without a deadline", 5ms, std::nullopt, true},
  };
  for (const auto& c : cases) {
    SocketPair pair;
    constexpr int kBytes = 40;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
      SendAll(pair.theirs.get(), Header(kBytes + 1, 22));
      for (int i = 0; i < kBytes && !stop; ++i) {
        if (c.gap.count() > 0) std::this_thread::sleep_for(c.gap);
        if (!SendAll(pair.theirs.get(), "x")) return;
      }
    });
    uint8_t kind = 0;
    std::string body;
    const Deadline deadline =
        c.deadline ? Deadline(Clock::now() + *c.deadline) : Deadline(std::nullopt);
    EXPECT_EQ(RecvFrame(pair.ours.get(), &kind, &body, deadline), c.whole) << c.name;
    stop = true;
    pair.ours.reset();
    sender.join();
  }
}

TEST(RemoteTransport, PeerThatDoesNotReadMissesTheSendDeadline) {
  SocketPair pair;
  const std::string big(8 << 20, 'x');  // far beyond the socket's buffers
  const auto start = Clock::now();
  EXPECT_FALSE(SendAll(pair.ours.get(), big, Clock::now() + 200ms));
  EXPECT_LT(Clock::now() - start, 10s);
}

}  // namespace
}  // namespace quillon::com::transport

// What the serving loop relies on in QServer: the current request taken by
// an object made without a CgiIo, and the request body limit.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "quillon/server/qserver.h"
#include "tests/server/fake_io.h"

namespace quillon::server {
namespace {

using testing::MakeIo;

TEST(CurrentRequest, AnObjectWithoutIoTakesTheCurrentOne) {
  auto first = MakeIo({{"QUERY_STRING", "a=1"}});
  auto second = MakeIo({{"QUERY_STRING", "b=2"}});
  CgiIo::SetCurrent(first);
  {
    QServer server;
    server.ReadRequest();
    EXPECT_EQ(server.GetStringData("a", 0), "1");
    // A change of the current request does not move a live object.
    CgiIo::SetCurrent(second);
    server.WriteString("one");
  }
  {
    QServer server;
    server.ReadRequest();
    EXPECT_EQ(server.GetDataNameCount(), 1);
    EXPECT_EQ(server.GetStringData("b", 0), "2");
    server.WriteString("two");
  }
  CgiIo::SetCurrent(nullptr);
  EXPECT_EQ(CgiIo::Current(), CgiIo::Process());
  EXPECT_NE(first->output.find("\r\n\r\none"), std::string::npos) << first->output;
  EXPECT_NE(second->output.find("\r\n\r\ntwo"), std::string::npos) << second->output;
  EXPECT_EQ(first->output.find("two"), std::string::npos);
}

// Sets QUILLON_MAX_REQUEST_BYTES for one scope (nullopt: unset).
class LimitScope {
 public:
  explicit LimitScope(const std::optional<std::string>& value) {
    if (value) {
      ::setenv("QUILLON_MAX_REQUEST_BYTES", value->c_str(), 1);
    } else {
      ::unsetenv("QUILLON_MAX_REQUEST_BYTES");
    }
  }
  ~LimitScope() { ::unsetenv("QUILLON_MAX_REQUEST_BYTES"); }
  LimitScope(const LimitScope&) = delete;
  LimitScope& operator=(const LimitScope&) = delete;
};

TEST(RequestLimit, BodiesAboveTheLimitAreRefusedUnread) {
  const std::string too_large =
      "Status: 413 Request Entity Too Large\r\nContent-Type: text/plain\r\n"
      "Connection: close\r\n\r\n";
  struct Case {
    std::optional<std::string> limit;
    std::string length;
    bool refused;
  };
  const Case cases[] = {
      {"20", "20", false},    {"20", "21", true},   {"0", "0", false},
      {"0", "1", true},       {std::nullopt, "20", false},
      {"", "20", false},      {"12x", "20", false},  {"-5", "20", false},
      // Larger than any body that could be held: still compared, not wrapped.
      {"20", "99999999999999999999", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("limit " + c.limit.value_or("(unset)") + ", length " + c.length);
    LimitScope scope(c.limit);
    const std::string body = "a=" + std::string(18, 'x');
    auto io = MakeIo({{"CONTENT_LENGTH", c.length}, {"HTTP_COOKIE", "__QuillonSV_u=1"}}, body);
    if (c.refused) {
      {
        QServer server(io);
        EXPECT_THROW(server.ReadRequest(), RequestTooLarge);
        EXPECT_EQ(io->reads, 0);
        EXPECT_EQ(server.GetDataNameCount(), 0);
        EXPECT_EQ(server.SessionVariable("u"), "");
        server.WriteString("late");
      }
      EXPECT_EQ(io->output, too_large);
    } else {
      QServer server(io);
      server.ReadRequest();
      EXPECT_EQ(server.SessionVariable("u"), "1");
      EXPECT_EQ(server.GetDataNameCount(), c.length == "0" ? 0 : 1);
    }
  }
}

}  // namespace
}  // namespace quillon::server

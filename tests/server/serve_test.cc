// What the serving loop relies on in QServer: the current request taken by
// an object made without a CgiIo, and the request body limit.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
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

// Sets a limit variable for one scope (nullopt: unset).
class LimitScope {
 public:
  explicit LimitScope(const std::optional<std::string>& value,
                      const char* name = "QUILLON_MAX_REQUEST_BYTES")
      : name_(name) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ~LimitScope() { ::unsetenv(name_); }
  LimitScope(const LimitScope&) = delete;
  LimitScope& operator=(const LimitScope&) = delete;

 private:
  const char* name_;
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

TEST(RequestLimit, PairsAndPartsAboveTheLimitAreRefusedWithNothingStored) {
  const std::string too_large =
      "Status: 413 Request Entity Too Large\r\nContent-Type: text/plain\r\n"
      "Connection: close\r\n\r\n";
  auto multipart = [](int parts) {
    std::string body;
    for (int i = 0; i < parts; ++i) {
      body += "--XyZ\r\nContent-Disposition: form-data; name=\"f" + std::to_string(i) +
              "\"\r\n\r\nv\r\n";
    }
    return body + "--XyZ--\r\n";
  };
  auto form = [](int pairs) {
    std::string body;
    for (int i = 0; i < pairs; ++i) body += (i ? "&p" : "p") + std::to_string(i) + "=v";
    return body;
  };
  struct Case {
    const char* variable;
    std::optional<std::string> limit;
    std::string query;
    bool is_multipart;
    int count;      // pairs of the URL-encoded body, or parts
    int entries;    // what a start that is not refused stores
    bool refused;
  };
  const Case cases[] = {
      // Pairs: the query string and the body count together.
      {"QUILLON_MAX_REQUEST_PAIRS", "4", "q=1", false, 2, 3, false},
      {"QUILLON_MAX_REQUEST_PAIRS", "4", "q=1", false, 3, 4, false},
      {"QUILLON_MAX_REQUEST_PAIRS", "4", "q=1", false, 4, 0, true},
      {"QUILLON_MAX_REQUEST_PAIRS", "4", "q=1&r=2&s=3&t=4&u=5", false, 0, 0, true},
      // Separators alone make no pair.
      {"QUILLON_MAX_REQUEST_PAIRS", "1", "&&&", false, 1, 1, false},
      {"QUILLON_MAX_REQUEST_PAIRS", "0", "", false, 0, 0, false},
      {"QUILLON_MAX_REQUEST_PAIRS", "0", "q=1", false, 0, 0, true},
      // A multipart form: the query string against the pair limit only.
      {"QUILLON_MAX_REQUEST_PAIRS", "1", "q=1", true, 5, 6, false},
      {"QUILLON_MAX_REQUEST_PAIRS", "1", "q=1&r=2", true, 1, 0, true},
      // Parts.
      {"QUILLON_MAX_REQUEST_PARTS", "3", "", true, 2, 2, false},
      {"QUILLON_MAX_REQUEST_PARTS", "3", "", true, 3, 3, false},
      {"QUILLON_MAX_REQUEST_PARTS", "3", "", true, 4, 0, true},
      {"QUILLON_MAX_REQUEST_PARTS", "3", "q=1&r=2&s=3&t=4", true, 3, 7, false},
      {"QUILLON_MAX_REQUEST_PARTS", "3", "", false, 9, 9, false},
      // Unset or malformed: no limit.
      {"QUILLON_MAX_REQUEST_PARTS", std::nullopt, "", true, 50, 50, false},
      {"QUILLON_MAX_REQUEST_PARTS", "3 ", "", true, 50, 50, false},
      {"QUILLON_MAX_REQUEST_PAIRS", "-1", "", false, 50, 50, false},
      {"QUILLON_MAX_REQUEST_PAIRS", "1e3", "", false, 50, 50, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.limit.value_or("(unset)") + ", query \"" +
                 c.query + "\", " + std::to_string(c.count) +
                 (c.is_multipart ? " parts" : " pairs"));
    LimitScope scope(c.limit, c.variable);
    const std::string body = c.is_multipart ? multipart(c.count) : form(c.count);
    auto io = MakeIo({{"CONTENT_LENGTH", std::to_string(body.size())},
                      {"QUERY_STRING", c.query},
                      {"CONTENT_TYPE", c.is_multipart ? "multipart/form-data; boundary=XyZ"
                                                      : "application/x-www-form-urlencoded"},
                      {"HTTP_COOKIE", "__QuillonSV_u=1"}},
                     body);
    if (c.refused) {
      {
        QServer server(io);
        EXPECT_THROW(server.ReadRequest(), RequestTooLarge);
        EXPECT_EQ(server.GetDataNameCount(), 0);
        EXPECT_EQ(server.SessionVariable("u"), "");
        server.WriteString("late");
      }
      EXPECT_EQ(io->output, too_large);
    } else {
      QServer server(io);
      server.ReadRequest();
      EXPECT_EQ(server.GetDataNameCount(), c.entries);
      EXPECT_EQ(server.SessionVariable("u"), "1");
    }
  }
}

TEST(FailedRequest, ObjectsEndingAfterTheFailureAnswerOneBare500) {
  const std::string failed =
      "Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n"
      "Connection: close\r\n\r\n";
  struct Case {
    const char* what;
    std::function<void(QServer&)> page;
  };
  const Case cases[] = {
      {"text body", [](QServer& s) { s.WriteString("half a page"); }},
      {"binary body", [](QServer& s) { s.WriteBinary(std::string("\0\1", 2)); }},
      {"session text", [](QServer& s) {
         s.SetStringData("x", "y");
         s.SetResult("OK");
       }},
      {"headers and cookies", [](QServer& s) {
         s.AddHeader("X-A: 1");
         s.SetSessionVariable("role", "admin");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto io = MakeIo({{"QUERY_STRING", "a=1"}, {"HTTP_COOKIE", "__QuillonSV_u=1"}});
    {
      QServer first(io);
      first.ReadRequest();
      QServer second(io);
      c.page(first);
      c.page(second);
      io->Fail();
    }
    EXPECT_EQ(io->output, failed);
  }
}

TEST(FailedRequest, OffLineDebugObjectsWriteNothing) {
  auto io = MakeIo();
  {
    QServer server(io);
    server.StartOffLineDebug();
    server.WriteString("for the monitor");
    io->Fail();
  }
  EXPECT_EQ(io->output, "");
}

TEST(FailedRequest, TheAnswerIsClaimedOnlyAfterAFailureAndOnce) {
  auto io = MakeIo();
  EXPECT_FALSE(io->failed());
  EXPECT_FALSE(io->ClaimFailureAnswer());
  io->Fail();
  EXPECT_TRUE(io->failed());
  EXPECT_TRUE(io->ClaimFailureAnswer());
  EXPECT_FALSE(io->ClaimFailureAnswer());
}

}  // namespace
}  // namespace quillon::server

// The response writer: exact output bytes, cookies, expiry dates in GMT,
// session variables.
#include "server/response.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quillon/component/variant.h"
#include "quillon/server/qserver.h"
#include "tests/server/fake_io.h"

namespace quillon::server {
namespace {

using namespace std::string_literals;
using testing::FakeIo;
using testing::MakeIo;

// Runs `script` on a fresh object without a request and returns what the
// object writes when it ends.
template <class F>
std::string ResponseOf(F&& script) {
  auto io = MakeIo();
  {
    QServer server(io);
    script(server);
  }
  EXPECT_EQ(io->flushes, 1);
  return io->output;
}

constexpr char kHead[] = "Content-Type: text/html\r\nConnection: close\r\n\r\n";

TEST(ResponseBytes, NothingWrittenGivesTheSessionText) {
  EXPECT_EQ(ResponseOf([](QServer&) {}), kHead + "QServerParams:QServerResult="s);
}

TEST(ResponseBytes, LinesEndWithCrlf) {
  EXPECT_EQ(ResponseOf([](QServer& s) {
              s.WriteString("a");
              s.WriteString("b");
              s.WriteCRLF();
              s.WriteString("c");
            }),
            kHead + "ab\r\nc\r\n"s);
}

// A response starts in the memory the one before it on its thread left
// behind, never with its text: each page answers only its own bytes, after
// a longer one, after one too long to keep, and on a thread of its own.
TEST(ResponseBytes, EachAnswerHoldsOnlyItsOwnBody) {
  const std::string long_page(200000, 'x');
  const std::string too_long_to_keep((size_t{5} << 20) + 1, 'y');
  const std::optional<std::string> pages[] = {
      long_page, "short", std::nullopt, too_long_to_keep, "", long_page, "again",
  };
  auto answer = [](const std::optional<std::string>& text) {
    return ResponseOf([&](QServer& s) {
      if (text) s.WriteString(*text);
    });
  };
  auto expected = [](const std::optional<std::string>& text) {
    return text ? kHead + *text + "\r\n" : kHead + "QServerParams:QServerResult="s;
  };
  for (const auto& text : pages) {
    EXPECT_EQ(answer(text), expected(text)) << (text ? text->size() : 0) << " bytes";
  }
  std::string on_thread;
  std::thread([&] { on_thread = answer("thread"); }).join();
  EXPECT_EQ(on_thread, kHead + "thread\r\n"s);
  EXPECT_EQ(answer("main"), kHead + "main\r\n"s);
}

TEST(ResponseBytes, CrlfAloneIsABodyAndSuppressesTheSessionText) {
  EXPECT_EQ(ResponseOf([](QServer& s) {
              s.SetStringData("x", "1");
              s.WriteCRLF();
            }),
            kHead + "\r\n"s);
}

TEST(ResponseBytes, BinaryWinsOverText) {
  const std::string bytes = "\0\x01\xFF\r\n"s;
  EXPECT_EQ(ResponseOf([&](QServer& s) {
              s.WriteString("ignored");
              s.WriteBinary(bytes);
            }),
            kHead + bytes);
}

TEST(ResponseBytes, SessionTextCarriesOutgoingEntriesAndTheResult) {
  EXPECT_EQ(ResponseOf([](QServer& s) {
              s.SetContentType("text/plain");
              s.SetStringData("n", "1 2");
              s.SetBinaryData("b", "\0&="s);
              s.SetResult("OK");
            }),
            "Content-Type: text/plain\r\nConnection: close\r\n\r\n"
            "QServerParams:n=1+2&b=%00%26%3D&QServerResult=OK");
}

TEST(ResponseBytes, SavedResultIsNotEncodedUntilSet) {
  EXPECT_EQ(ResponseOf([](QServer& s) { s.LoadSavedProperties("text/x", "saved"); }),
            "Content-Type: text/x\r\nConnection: close\r\n\r\nQServerParams:QServerResult=");
}

TEST(ResponseBytes, HeadersInOrderSessionCookiesLast) {
  EXPECT_EQ(ResponseOf([](QServer& s) {
              s.SetSessionVariable("user", "T a");
              s.AddHeader("X-One: 1");
              s.SetCookie("id", "a b", std::nullopt);
              s.AddHeader("Cache-Control: no-cache");
              s.WriteString("x");
            }),
            "Content-Type: text/html\r\n"
            "X-One: 1\r\n"
            "Set-Cookie: id=a+b;  path=/\r\n"
            "Cache-Control: no-cache\r\n"
            "Set-Cookie: __QuillonSV_user=T+a;  path=/\r\n"
            "Connection: close\r\n\r\n"
            "x\r\n");
}

// A persistent application keeps the visitor's connection open: the same
// response without the closing line, and nothing else changes.
TEST(ResponseBytes, PersistentRequestKeepsTheConnection) {
  auto io = MakeIo();
  io->closes_connection = false;
  {
    QServer server(io);
    server.AddHeader("X-One: 1");
    server.WriteString("x");
  }
  EXPECT_EQ(io->output, "Content-Type: text/html\r\nX-One: 1\r\n\r\nx\r\n");
}

TEST(ResponseBytes, OffLineDebugWritesNothing) {
  auto io = MakeIo();
  {
    QServer server(io);
    server.StartOffLineDebug();
    server.WriteString("x");
  }
  EXPECT_EQ(io->output, "");
}

TEST(ResponseBytes, WrittenOnceEvenWhenFinishedEarly) {
  auto io = MakeIo();
  {
    QServer server(io);
    server.WriteString("x");
    server.Finish();
    server.WriteString("late");
  }
  EXPECT_EQ(io->output, kHead + "x\r\n"s);
}

TEST(ResponseBytes, FailedWriteFromFileKeepsTheEarlierBody) {
  EXPECT_EQ(ResponseOf([](QServer& s) {
              s.WriteBinary("keep");
              try {
                s.WriteFromFile("/nonexistent/quillon/file");
                ADD_FAILURE() << "no error";
              } catch (const Error& e) {
                EXPECT_EQ(e.number(), kMsgFileRead);
              }
            }),
            kHead + "keep"s);
}

// --- Session variables ------------------------------------------------------------

TEST(SessionVariables, ReadIgnoresCaseWriteDoesNot) {
  auto io = MakeIo();
  QServer server(io);
  server.SetSessionVariable("User", "1");
  server.SetSessionVariable("user", "2");
  server.SetSessionVariable("User", "3");
  EXPECT_EQ(server.SessionVariable("USER"), "3");
  EXPECT_EQ(server.SessionVariable("missing"), "");
  server.Finish();
  EXPECT_NE(io->output.find("Set-Cookie: __QuillonSV_User=3;  path=/\r\n"
                            "Set-Cookie: __QuillonSV_user=2;  path=/\r\n"),
            std::string::npos)
      << io->output;
}

// --- Dates ------------------------------------------------------------------------------

// A fixed zone for the duration of a test.
class FixedZone {
 public:
  explicit FixedZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~FixedZone() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

com::DATE Date(int y, int mo, int d, int h, int mi, int s) {
  com::DATE date = 0;
  EXPECT_TRUE(com::PartsToDate(com::DateParts{y, mo, d, h, mi, s}, &date));
  return date;
}

TEST(Dates, LocalTimeTurnsIntoGmtByTheStandardBias) {
  FixedZone zone("JST-9");
  EXPECT_EQ(StandardBiasSeconds(), -9 * 3600);
  EXPECT_EQ(FormatCookieDate(Date(2009, 1, 1, 18, 0, 0)), "Thu, 01-Jan-2009 09:00:00 GMT; ");
  EXPECT_EQ(FormatExpiresDate(Date(2009, 1, 1, 5, 30, 7)), "Wed, 31 Dec 2008 20:30:07 GMT");
  // The zero date, as a non-date expiry gives it.
  EXPECT_EQ(FormatExpiresDate(0.0), "Fri, 29 Dec 1899 15:00:00 GMT");
}

TEST(Dates, DaylightSavingInCookieAndExpiresDates) {
  // The offset in force at the date: summer dates convert with the
  // daylight-saving offset, winter dates with the standard one.
  struct Case {
    const char* zone;
    com::DATE local;
    const char* expires;
  };
  const Case cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", Date(2024, 7, 1, 18, 0, 0), "Mon, 01 Jul 2024 16:00:00 GMT"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", Date(2024, 1, 1, 18, 0, 0), "Mon, 01 Jan 2024 17:00:00 GMT"},
      // The last hour of summer time and the first of winter time.
      {"CET-1CEST,M3.5.0,M10.5.0/3", Date(2024, 10, 27, 1, 30, 0), "Sat, 26 Oct 2024 23:30:00 GMT"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", Date(2024, 10, 27, 4, 0, 0), "Sun, 27 Oct 2024 03:00:00 GMT"},
      {"EST5EDT,M3.2.0,M11.1.0", Date(2020, 7, 4, 12, 0, 0), "Sat, 04 Jul 2020 16:00:00 GMT"},
      {"EST5EDT,M3.2.0,M11.1.0", Date(2020, 2, 29, 22, 15, 0), "Sun, 01 Mar 2020 03:15:00 GMT"},
      {"JST-9", Date(2020, 7, 4, 12, 0, 0), "Sat, 04 Jul 2020 03:00:00 GMT"},
  };
  for (const Case& c : cases) {
    FixedZone zone(c.zone);
    EXPECT_EQ(FormatExpiresDate(c.local), c.expires) << c.zone;
  }
  FixedZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(FormatCookieDate(Date(2024, 7, 1, 18, 0, 0)), "Mon, 01-Jul-2024 16:00:00 GMT; ");
}

TEST(Dates, SetExpiresAndSetCookieLines) {
  FixedZone zone("UTC0");
  EXPECT_EQ(ResponseOf([](QServer& s) {
              s.SetCookie("id", "42", Date(2009, 1, 1, 9, 0, 0));
              s.SetExpires(0.0);
              s.SetExpires(Date(2024, 2, 29, 23, 59, 59));
              s.WriteString("x");
            }),
            "Content-Type: text/html\r\n"
            "Set-Cookie: id=42; expires=Thu, 01-Jan-2009 09:00:00 GMT;  path=/\r\n"
            "Expires: Sat, 30 Dec 1899 00:00:00 GMT\r\n"
            "Expires: Thu, 29 Feb 2024 23:59:59 GMT\r\n"
            "Connection: close\r\n\r\nx\r\n");
}

TEST(Dates, ExpiresNowIsTheCurrentTimeInGmt) {
  FixedZone zone("JST-9");
  const std::time_t before = std::time(nullptr);
  auto io = MakeIo();
  {
    QServer server(io);
    server.SetExpiresNow();
    server.WriteString("x");
  }
  const std::time_t after = std::time(nullptr);
  // Accept any second between the two readings.
  bool matched = false;
  for (std::time_t t = before; t <= after && !matched; ++t) {
    std::tm gmt{};
    gmtime_r(&t, &gmt);
    char text[64];
    std::strftime(text, sizeof text, "Expires: %a, %d %b %Y %H:%M:%S GMT\r\n", &gmt);
    matched = io->output.find(text) != std::string::npos;
  }
  EXPECT_TRUE(matched) << io->output;
}

// --- Header injection ------------------------------------------------------------

TEST(HeaderLines, LineEndsMustStartAnotherHeaderField) {
  const std::pair<std::string, bool> cases[] = {
      {"X-One: 1", true},
      {"X-One: 1\r\nX-Two: 2", true},  // two proper lines in one call
      {"X-One: 1\nX-Two: 2", true},
      {"Status: 302 Found\r\nLocation: /next", true},
      {"X-One: 1\r\n", false},            // ends the header block
      {"X-One: 1\r\n\r\n<html>", false},  // and starts the body
      {"X-One: 1\r\n\r\nX-Two: 2", false},
      {"X-One: 1\r\n folded", false},  // not a header field
      {"X-One: 1\r\nno colon", false},
      {"X-One: 1\r\n: empty name", false},
      {"X-One: 1\rX-Two: 2", true},
      {"X-One: 1\r\rX-Two: 2", false},
      {"X-One: 1\r\nX Two: 2", false},  // blank inside the name
  };
  for (const auto& [text, accepted] : cases) {
    auto io = MakeIo();
    {
      QServer server(io);
      if (accepted) {
        EXPECT_NO_THROW(server.AddHeader(text)) << text;
        EXPECT_NO_THROW(server.SetContentType("text/plain\r\n" + text)) << text;
      } else {
        EXPECT_THROW(server.AddHeader(text), InvalidHeaderText) << text;
        EXPECT_THROW(server.SetContentType("text/plain\r\n" + text), InvalidHeaderText) << text;
      }
      server.WriteString("x");
    }
    const std::string head = io->output.substr(0, io->output.find("\r\n\r\n"));
    EXPECT_EQ(head.find(text) != std::string::npos, accepted) << text;
    if (!accepted) {
      EXPECT_EQ(io->output, kHead + "x\r\n"s) << "a refused call changes nothing";
    }
  }
}

TEST(HeaderLines, CookieAndSessionVariableNamesRefuseLineEnds) {
  auto io = MakeIo();
  {
    QServer server(io);
    EXPECT_THROW(server.SetCookie("id\r\nX-Evil: 1", "v", std::nullopt), InvalidHeaderText);
    EXPECT_THROW(server.SetSessionVariable("u\nX-Evil: 1", "v"), InvalidHeaderText);
    server.SetCookie("id", "a\r\nb", std::nullopt);  // values are encoded anyway
    server.WriteString("x");
  }
  EXPECT_EQ(io->output,
            "Content-Type: text/html\r\nSet-Cookie: id=a%0D%0Ab;  path=/\r\n"
            "Connection: close\r\n\r\nx\r\n");
}

TEST(HeaderLines, VisitorSessionCookiesGoBackOnlyWithTokenNames) {
  auto io = MakeIo({{"HTTP_COOKIE",
                     "__QuillonSV_a;Secure;HttpOnly;Max-Age=9; __QuillonSV_ok=1; "
                     "__QuillonSV_b c=2; __QuillonSV_=3; __QuillonSV_\xE5\x90\x8D=4"}});
  {
    auto server = QServer::StartCgi(io);
    // Still readable: only the echo is withheld.
    EXPECT_EQ(server->SessionVariable("a;Secure;HttpOnly;Max-Age"), "9");
    server->SetSessionVariable("page", "5");
    server->WriteString("x");
  }
  EXPECT_EQ(io->output,
            "Content-Type: text/html\r\n"
            "Set-Cookie: __QuillonSV_ok=1;  path=/\r\n"
            "Set-Cookie: __QuillonSV_=3;  path=/\r\n"
            "Set-Cookie: __QuillonSV_page=5;  path=/\r\n"
            "Connection: close\r\n\r\nx\r\n");
}


// --- Page helpers -----------------------------------------------------------------

TEST(PageHelpers, HeaderFieldIsOneLineOrRefused) {
  struct Case {
    std::string name, value;
    bool accepted;
  };
  const Case cases[] = {
      {"X-Name", "Taro Yamada", true},
      {"Content-Disposition", "attachment; filename=\"a b.txt\"", true},
      {"X-Empty", "", true},
      {"X-Bytes", "\xE5\x90\x8D\t;:=", true},  // anything but line ends and NUL
      {"X-Name", "Taro\r\nSet-Cookie: role=admin", false},
      {"X-Name", "Taro\nSet-Cookie: role=admin", false},
      {"X-Name", "Taro\rSet-Cookie: role=admin", false},
      {"X-Name", "Taro\r\n\r\n<script>", false},
      {"X-Name", "Taro"s + '\0' + "x", false},
      {"X-Name: injected", "v", false},  // a colon in the name
      {"Set-Cookie: a=1\r\nX", "v", false},
      {"X Name", "v", false},
      {"", "v", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " / " + c.value);
    auto io = MakeIo();
    {
      QServer server(io);
      if (c.accepted) {
        EXPECT_NO_THROW(server.AddHeaderField(c.name, c.value));
      } else {
        EXPECT_THROW(server.AddHeaderField(c.name, c.value), InvalidHeaderText);
      }
      server.WriteString("x");
    }
    const std::string expected = c.accepted ? "Content-Type: text/html\r\n" + c.name + ": " +
                                                  c.value + "\r\nConnection: close\r\n\r\nx\r\n"
                                            : kHead + "x\r\n"s;
    EXPECT_EQ(io->output, expected);
  }
}

TEST(PageHelpers, RedirectSendsStatusAndLocationOrNothing) {
  struct Case {
    std::string location;
    int status;
    const char* status_line;  // nullptr: refused
  };
  const Case cases[] = {
      {"/cgi-bin/list.py", 302, "Status: 302 Found"},
      {"https://example.org/a?b=c#d", 303, "Status: 303 See Other"},
      {"/moved", 301, "Status: 301 Moved Permanently"},
      {"/again", 307, "Status: 307 Temporary Redirect"},
      {"/for-good", 308, "Status: 308 Permanent Redirect"},
      {"/list\r\nSet-Cookie: role=admin", 302, nullptr},
      {"/list\n\n<html>", 302, nullptr},
      {"/list", 200, nullptr},
      {"/list", 304, nullptr},
      {"/list", 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location + " " + std::to_string(c.status));
    auto io = MakeIo();
    {
      QServer server(io);
      if (c.status_line != nullptr) {
        server.Redirect(c.location, c.status);
      } else {
        EXPECT_THROW(server.Redirect(c.location, c.status), std::invalid_argument);
      }
    }
    const std::string head = c.status_line == nullptr
                                 ? "Content-Type: text/html\r\nConnection: close\r\n\r\n"
                                 : "Content-Type: text/html\r\n"s + c.status_line +
                                       "\r\nLocation: " + c.location +
                                       "\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(io->output, head + "QServerParams:QServerResult=");
  }
  // The default status.
  EXPECT_NE(ResponseOf([](QServer& s) { s.Redirect("/x"); }).find("Status: 302 Found\r\n"),
            std::string::npos);
}

TEST(PageHelpers, FormValueHasADefaultAndFormValuesGivesThemAll) {
  auto io = MakeIo({{"QUERY_STRING", "a=1&tag=x&Tag=y&empty=&tag=%E5%90%8D&z=nul%00cut"}});
  auto server = QServer::StartCgi(io);
  struct Case {
    const char* name;
    std::optional<std::string> first;
    std::vector<std::string> all;
  };
  const Case cases[] = {
      {"a", "1", {"1"}},
      {"TAG", "x", {"x", "y", "\xE5\x90\x8D"}},  // names match as GetStringData's do
      {"empty", "", {""}},
      {"missing", std::nullopt, {}},
      {"z", "nul", {"nul"}},  // text stops at a zero byte, as GetStringData's
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(server->FormValue(c.name), c.first);
    EXPECT_EQ(server->FormValues(c.name), c.all);
  }
}

}  // namespace
}  // namespace quillon::server

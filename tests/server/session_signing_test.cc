// Signed session variables: what a visitor sends back is believed only
// with the tag this process (or its previous key) made, and only for the
// maximum age after it was issued; and the keys never reach a page.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdlib.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

#include "quillon/server/qserver.h"
#include "server/session_signing.h"
#include "tests/server/fake_io.h"

namespace quillon::server {
namespace {

using testing::MakeIo;

// Sets both key variables for one scope (nullopt: unset).
class KeyScope {
 public:
  KeyScope(const std::optional<std::string>& key, const std::optional<std::string>& old) {
    Set("QUILLON_SESSION_KEY", key);
    Set("QUILLON_SESSION_KEY_OLD", old);
  }
  ~KeyScope() {
    ::unsetenv("QUILLON_SESSION_KEY");
    ::unsetenv("QUILLON_SESSION_KEY_OLD");
  }
  KeyScope(const KeyScope&) = delete;
  KeyScope& operator=(const KeyScope&) = delete;

 private:
  static void Set(const char* name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
};

// The tag worked out apart from the toolkit's own encoder: OpenSSL's
// base64, made URL-safe and unpadded.
std::string ExpectedTag(const std::string& key, const std::string& message) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &size);
  unsigned char text[64];
  const int length = EVP_EncodeBlock(text, mac, static_cast<int>(size));
  std::string tag(reinterpret_cast<char*>(text), static_cast<size_t>(length));
  for (char& c : tag) c = c == '+' ? '-' : c == '/' ? '_' : c;
  while (!tag.empty() && tag.back() == '=') tag.pop_back();
  return tag;
}

// The whole Set-Cookie line of the session cookie `name` that `output`
// sets (without its line end); nullopt when it sets none.
std::optional<std::string> CookieLine(const std::string& output, const std::string& name) {
  const std::string key = "Set-Cookie: __QuillonSV_" + name + "=";
  const size_t at = output.find(key);
  if (at == std::string::npos) return std::nullopt;
  return output.substr(at, output.find("\r\n", at) - at);
}

// The value of the session cookie `name` that `output` sets; nullopt when
// it sets none.
std::optional<std::string> CookieValue(const std::string& output, const std::string& name) {
  const std::optional<std::string> line = CookieLine(output, name);
  if (!line) return std::nullopt;
  const size_t start = line->find('=') + 1;
  return line->substr(start, line->find(';', start) - start);
}

// A cookie value signed with `key` for the variable `name`, issued at
// `issued`, made apart from the toolkit.
std::string Signed(const std::string& key, const std::string& name, const std::string& encoded,
                   int64_t issued) {
  const std::string text = encoded + "." + std::to_string(issued);
  return text + "." + ExpectedTag(key, "__QuillonSV_" + name + "=" + text);
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// One request with `cookie` as HTTP_COOKIE (and `env` besides): the
// variable "user" as read, and the response bytes.
std::pair<std::string, std::string> Request(const std::string& cookie,
                                            std::map<std::string, std::string> env = {}) {
  env["HTTP_COOKIE"] = cookie;
  auto io = MakeIo(std::move(env));
  std::string user;
  {
    auto server = QServer::StartCgi(io);
    user = server->SessionVariable("user");
  }
  return {user, io->output};
}

TEST(SignedSession, WrittenValuesCarryTheirIssueTimeATagAndComeBack) {
  KeyScope keys("k3y", std::nullopt);
  const int64_t before = Now();
  auto io = MakeIo();
  { QServer::StartCgi(io)->SetSessionVariable("user", "Taro Y.x"); }
  const int64_t after = Now();
  const std::string value = CookieValue(io->output, "user").value_or("");
  ASSERT_EQ(value.rfind("Taro+Y%2Ex.", 0), 0u) << value;
  const int64_t issued = std::stoll(value.substr(11, value.rfind('.') - 11));
  EXPECT_GE(issued, before);
  EXPECT_LE(issued, after);
  EXPECT_EQ(value, Signed("k3y", "user", "Taro+Y%2Ex", issued));
  EXPECT_EQ(CookieLine(io->output, "user"),
            "Set-Cookie: __QuillonSV_user=" + value + ";  path=/; HttpOnly; SameSite=Lax");
  const auto [user, output] = Request("a=1; __QuillonSV_user=" + value);
  EXPECT_EQ(user, "Taro Y.x");
  EXPECT_EQ(CookieValue(output, "user"), value);
}

TEST(SignedSession, ValuesWithoutTheRightTagAreDropped) {
  const int64_t issued = Now() - 5;
  const std::string good = Signed("k3y", "user", "Taro+Y%2Ex", issued);
  const std::string tag = good.substr(good.rfind('.') + 1);
  std::string flipped_tag = tag;
  flipped_tag[5] = flipped_tag[5] == 'A' ? 'B' : 'A';
  const std::string when = std::to_string(issued);
  struct Case {
    const char* what;
    std::string cookie;
  };
  const Case cases[] = {
      {"changed value", "__QuillonSV_user=Taro+Z%2Ex." + when + "." + tag},
      {"changed tag", "__QuillonSV_user=Taro+Y%2Ex." + when + "." + flipped_tag},
      {"changed issue time", "__QuillonSV_user=Taro+Y%2Ex." + std::to_string(issued + 1) + "." +
                                 tag},
      {"issue time left out", "__QuillonSV_user=Taro+Y%2Ex." + tag},
      {"issue time not a number", "__QuillonSV_user=Taro+Y%2Ex.-" + when + "." + tag},
      {"missing tag", "__QuillonSV_user=Taro+Y%2Ex." + when},
      {"tag cut short", "__QuillonSV_user=" + good.substr(0, good.size() - 1)},
      {"empty tag", "__QuillonSV_user=Taro+Y%2Ex." + when + "."},
      {"another key's tag", "__QuillonSV_user=" + Signed("another", "user", "Taro+Y%2Ex", issued)},
      {"tag of another variable",
       "__QuillonSV_user=" + Signed("k3y", "admin", "Taro+Y%2Ex", issued)},
      // The form of the first signed cookies: a tag over the value alone.
      {"tag without issue time", "__QuillonSV_user=Taro+Y%2Ex." +
                                     ExpectedTag("k3y", "__QuillonSV_user=Taro+Y%2Ex")},
  };
  KeyScope keys("k3y", std::nullopt);
  ASSERT_EQ(Request("__QuillonSV_user=" + good).first, "Taro Y.x");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto [user, output] = Request("x=1; " + c.cookie);
    EXPECT_EQ(user, "");
    // Dropped as if absent: nothing goes back for it.
    EXPECT_EQ(CookieValue(output, "user"), std::nullopt) << output;
  }
}

TEST(SignedSession, TagsOlderThanTheMaximumAgeOrFromTheFutureAreRefused) {
  struct Case {
    std::optional<std::string> max_age;
    int64_t age;  // seconds before now the cookie was issued
    bool accepted;
  };
  const int64_t month = int64_t{30} * 24 * 3600;
  const Case cases[] = {
      {std::nullopt, 0, true},
      {std::nullopt, month - 60, true},
      {std::nullopt, month + 60, false},
      {"3600", 3500, true},
      {"3600", 3700, false},
      {"0", 60, false},
      {"not a number", month - 60, true},  // the default
      {"not a number", month + 60, false},
      {"-5", month + 60, false},
      {std::nullopt, -200, true},   // a clock a little ahead
      {std::nullopt, -4000, false},  // from the future
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("max age " + c.max_age.value_or("(unset)") + ", age " + std::to_string(c.age));
    KeyScope keys("k3y", std::nullopt);
    if (c.max_age) ::setenv("QUILLON_SESSION_MAX_AGE", c.max_age->c_str(), 1);
    const std::string cookie = Signed("k3y", "user", "Taro", Now() - c.age);
    const auto [user, output] = Request("__QuillonSV_user=" + cookie);
    ::unsetenv("QUILLON_SESSION_MAX_AGE");
    EXPECT_EQ(user, c.accepted ? "Taro" : "");
    EXPECT_EQ(CookieValue(output, "user"),
              c.accepted ? std::optional<std::string>(cookie) : std::nullopt);
  }
}

TEST(SignedSession, OnlyAWrittenVariableIsIssuedAnew) {
  // Presenting a captured cookie must not buy a fresh one: a variable read
  // and sent back keeps its issue time, so it expires when it would have.
  KeyScope keys("k3y", std::nullopt);
  const int64_t issued = Now() - 1000;
  const std::string user = Signed("k3y", "user", "Taro", issued);
  const std::string role = Signed("k3y", "role", "admin", issued);
  auto io = MakeIo({{"HTTP_COOKIE", "__QuillonSV_user=" + user + "; __QuillonSV_role=" + role}});
  const int64_t before = Now();
  {
    auto server = QServer::StartCgi(io);
    server->SetSessionVariable("role", "admin");  // the same value, written again
  }
  EXPECT_EQ(CookieValue(io->output, "user"), user);
  const std::string written = CookieValue(io->output, "role").value_or("");
  const int64_t reissued = std::stoll(written.substr(6, written.rfind('.') - 6));
  EXPECT_GE(reissued, before);
  EXPECT_EQ(written, Signed("k3y", "role", "admin", reissued));
}

TEST(SignedSession, TheOldKeyIsReadAndReplacedByTheNewOne) {
  const int64_t issued = Now() - 100;
  const std::string under_old = Signed("old-key", "user", "Taro+Y%2Ex", issued);
  struct Case {
    std::optional<std::string> key;
    std::optional<std::string> old;
    bool accepted;
  };
  const Case cases[] = {
      {"new-key", "old-key", true},
      {"new-key", std::nullopt, false},
      {"new-key", "", false},
      {"new-key", "other", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key.value_or("(unset)") + " / " + c.old.value_or("(unset)"));
    KeyScope keys(c.key, c.old);
    const auto [user, output] = Request("__QuillonSV_user=" + under_old);
    EXPECT_EQ(user, c.accepted ? "Taro Y.x" : "");
    if (c.accepted) {
      // Tagged anew, with the issue time it came with.
      EXPECT_EQ(CookieValue(output, "user"), Signed("new-key", "user", "Taro+Y%2Ex", issued));
    }
  }
}

TEST(SignedSession, SecureOnlyForRequestsOverHttps) {
  struct Case {
    std::map<std::string, std::string> env;
    bool secure;
  };
  const Case cases[] = {
      {{}, false},
      {{{"HTTPS", "on"}}, true},
      {{{"HTTPS", "ON"}}, true},
      {{{"HTTPS", "1"}}, true},
      {{{"HTTPS", "off"}}, false},
      {{{"HTTPS", ""}}, false},
      {{{"REQUEST_SCHEME", "https"}}, true},
      {{{"REQUEST_SCHEME", "http"}}, false},
  };
  KeyScope keys("k3y", std::nullopt);
  for (const Case& c : cases) {
    auto io = MakeIo(c.env);
    { QServer::StartCgi(io)->SetSessionVariable("user", "Taro"); }
    const std::string line = CookieLine(io->output, "user").value_or("");
    const std::string attributes = line.substr(line.find(";  path=/"));
    EXPECT_EQ(attributes, c.secure ? ";  path=/; HttpOnly; SameSite=Lax; Secure"
                                   : ";  path=/; HttpOnly; SameSite=Lax")
        << (c.env.empty() ? "(plain)" : c.env.begin()->first + "=" + c.env.begin()->second);
  }
}

TEST(SignedSession, WithoutAKeyCookiesAreReadAndWrittenAsTheyAre) {
  // An old key alone signs nothing and checks nothing; HTTPS adds nothing.
  const std::optional<std::string> olds[] = {std::nullopt, "old-key"};
  for (const auto& old : olds) {
    SCOPED_TRACE(old.value_or("(unset)"));
    KeyScope keys(std::nullopt, old);
    auto io = MakeIo({{"HTTP_COOKIE", "__QuillonSV_user=Taro%20Y; __QuillonSV_t=v.abc"},
                      {"HTTPS", "on"}});
    {
      auto server = QServer::StartCgi(io);
      EXPECT_EQ(server->SessionVariable("user"), "Taro Y");
      EXPECT_EQ(server->SessionVariable("t"), "v.abc");
      server->SetSessionVariable("n", "1");
      server->WriteString("ok");
    }
    EXPECT_EQ(io->output,
              "Content-Type: text/html\r\n"
              "Set-Cookie: __QuillonSV_user=Taro+Y;  path=/\r\n"
              "Set-Cookie: __QuillonSV_t=v%2Eabc;  path=/\r\n"
              "Set-Cookie: __QuillonSV_n=1;  path=/\r\n"
              "Connection: close\r\n\r\nok\r\n");
  }
}

TEST(SignedSession, VerifyLooksOnlyAtTheLastTwoDots) {
  const SessionKeys keys{"k", "", kDefaultSessionMaxAge};
  const int64_t now = 1'700'000'000;
  const std::string tag = SessionTag("k", "__QuillonSV_v", "a.b.c", now);
  const std::string raw = "a.b.c" + tag;  // the result views into it
  const auto verified = VerifySessionCookie(keys, "__QuillonSV_v", raw, now);
  ASSERT_TRUE(verified.has_value());
  EXPECT_EQ(verified->encoded, "a.b.c");
  EXPECT_EQ(verified->issued, now);
  EXPECT_FALSE(VerifySessionCookie(keys, "__QuillonSV_v", "a.b" + tag, now));
  EXPECT_FALSE(VerifySessionCookie(keys, "__QuillonSV_v", "a.b.c" + tag + ".", now));
  EXPECT_FALSE(VerifySessionCookie(SessionKeys{"", "", kDefaultSessionMaxAge}, "__QuillonSV_v",
                                   "a.b.c" + tag, now));
}

// --- Secrets -----------------------------------------------------------------------

TEST(Secrets, ThePageIsNeverHandedTheKeys) {
  KeyScope keys("process-secret", "process-old-secret");
  // The process environment as the object sees it holds them too.
  auto io = MakeIo({{"QUILLON_SESSION_KEY", "process-secret"},
                    {"QUILLON_SESSION_KEY_OLD", "process-old-secret"},
                    {"QUILLON_SESSION_MAX_AGE", "600"}});
  {
    QServer server(io);
    server.StartOffLineDebug();
    // A captured environment that holds them is no way round either.
    server.DebugInit(
        "QUILLON_SESSION_KEY=captured-secret\r\nquillon_session_key_old=captured-old\r\n"
        "QUERY_STRING=a=1\r\n",
        std::nullopt);
    const std::pair<const char*, std::string> cases[] = {
        {"QUILLON_SESSION_KEY", ""},
        {"quillon_session_key", ""},
        {"QUILLON_SESSION_KEY_OLD", ""},
        {"Quillon_Session_Key_Old", ""},
        {"QUILLON_SESSION_MAX_AGE", "600"},  // no secret
        {"QUERY_STRING", "a=1"},
    };
    for (const auto& [name, expected] : cases) {
      EXPECT_EQ(server.GetServerVariable(name), expected) << name;
    }
  }
}

TEST(Secrets, NoOutputCarriesTheKeys) {
  KeyScope keys("process-secret", "process-old-secret");
  const std::string file = ::testing::TempDir() + "secrets-request-data.txt";
  // A page that tries to pass every server variable it can name on.
  auto page = [](QServer& s) {
    for (const char* name : {"QUILLON_SESSION_KEY", "QUILLON_SESSION_KEY_OLD"}) {
      s.SetStringData(name, s.GetServerVariable(name));
      s.AddHeaderField("X-Leak", s.GetServerVariable(name));
      s.SetSessionVariable(name, s.GetServerVariable(name));
    }
  };
  auto debug_io = MakeIo({{"QUILLON_SESSION_KEY", "process-secret"}});
  std::string debug_text;
  {
    QServer server(debug_io);
    server.StartOffLineDebug();
    server.DebugInit("QUILLON_SESSION_KEY=captured-secret\r\nQUERY_STRING=a=1\r\n", std::nullopt);
    page(server);
    const QServer::DebugResponse response = server.DebugExit();
    debug_text = response.header + response.body;
    server.SaveRequestData(file);
  }
  auto live_io = MakeIo({{"QUERY_STRING", "b=2"},
                         {"QUILLON_SESSION_KEY_OLD", "process-old-secret"}});
  { page(*QServer::StartCgi(live_io)); }
  std::ifstream saved(file, std::ios::binary);
  const std::string saved_text((std::istreambuf_iterator<char>(saved)),
                               std::istreambuf_iterator<char>());
  std::remove(file.c_str());
  for (const std::string& text : {debug_text, saved_text, live_io->output}) {
    for (const char* secret : {"process-secret", "process-old-secret", "captured-secret"}) {
      EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in:\n" << text;
    }
  }
  EXPECT_NE(debug_text.find("X-Leak: \r\n"), std::string::npos) << debug_text;
}

}  // namespace
}  // namespace quillon::server

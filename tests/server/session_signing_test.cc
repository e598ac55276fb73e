// Signed session variables: what a visitor sends back is believed only
// with the tag this process (or its previous key) made.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdlib.h>

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

// The value of the session cookie `name` that `output` sets; nullopt when
// it sets none.
std::optional<std::string> CookieValue(const std::string& output, const std::string& name) {
  const std::string key = "Set-Cookie: __QuillonSV_" + name + "=";
  const size_t at = output.find(key);
  if (at == std::string::npos) return std::nullopt;
  const size_t start = at + key.size();
  return output.substr(start, output.find(';', start) - start);
}

// One request with `cookie` as HTTP_COOKIE: the variable "user" as read,
// and the response bytes.
std::pair<std::string, std::string> Request(const std::string& cookie) {
  auto io = MakeIo({{"HTTP_COOKIE", cookie}});
  std::string user;
  {
    auto server = QServer::StartCgi(io);
    user = server->SessionVariable("user");
  }
  return {user, io->output};
}

// A page that sets user = "Taro Y.x" under the keys in force.
std::string SignedValue() {
  auto io = MakeIo();
  { QServer::StartCgi(io)->SetSessionVariable("user", "Taro Y.x"); }
  return CookieValue(io->output, "user").value_or("");
}

TEST(SignedSession, WrittenValuesCarryTheTagAndComeBack) {
  KeyScope keys("k3y", std::nullopt);
  const std::string value = SignedValue();
  EXPECT_EQ(value, "Taro+Y%2Ex." + ExpectedTag("k3y", "__QuillonSV_user=Taro+Y%2Ex"));
  const auto [user, output] = Request("a=1; __QuillonSV_user=" + value);
  EXPECT_EQ(user, "Taro Y.x");
  EXPECT_EQ(CookieValue(output, "user"), value);
}

TEST(SignedSession, ValuesWithoutTheRightTagAreDropped) {
  std::string good;
  {
    KeyScope keys("k3y", std::nullopt);
    good = SignedValue();
  }
  const std::string tag = good.substr(good.rfind('.') + 1);
  std::string flipped_tag = tag;
  flipped_tag[5] = flipped_tag[5] == 'A' ? 'B' : 'A';
  std::string other_key;
  {
    KeyScope keys("another", std::nullopt);
    other_key = SignedValue();
  }
  struct Case {
    const char* what;
    std::string cookie;
  };
  const Case cases[] = {
      {"changed value", "__QuillonSV_user=Taro+Z%2Ex." + tag},
      {"changed tag", "__QuillonSV_user=Taro+Y%2Ex." + flipped_tag},
      {"missing tag", "__QuillonSV_user=Taro+Y%2Ex"},
      {"tag cut short", "__QuillonSV_user=" + good.substr(0, good.size() - 1)},
      {"empty tag", "__QuillonSV_user=Taro+Y%2Ex."},
      {"another key's tag", "__QuillonSV_user=" + other_key},
      {"tag of another variable", "__QuillonSV_user=Taro+Y%2Ex." +
                                      ExpectedTag("k3y", "__QuillonSV_admin=Taro+Y%2Ex")},
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

TEST(SignedSession, TheOldKeyIsReadAndReplacedByTheNewOne) {
  std::string under_old;
  {
    KeyScope keys("old-key", std::nullopt);
    under_old = SignedValue();
  }
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
      EXPECT_EQ(CookieValue(output, "user"),
                "Taro+Y%2Ex." + ExpectedTag("new-key", "__QuillonSV_user=Taro+Y%2Ex"));
    }
  }
}

TEST(SignedSession, WithoutAKeyCookiesAreReadAndWrittenAsTheyAre) {
  // An old key alone signs nothing and checks nothing.
  const std::optional<std::string> olds[] = {std::nullopt, "old-key"};
  for (const auto& old : olds) {
    SCOPED_TRACE(old.value_or("(unset)"));
    KeyScope keys(std::nullopt, old);
    auto io = MakeIo({{"HTTP_COOKIE", "__QuillonSV_user=Taro%20Y; __QuillonSV_t=v.abc"}});
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

TEST(SignedSession, VerifyLooksOnlyAtTheLastDot) {
  const SessionKeys keys{"k", ""};
  const std::string tag = SessionTag("k", "__QuillonSV_v", "a.b.c");
  EXPECT_EQ(VerifySessionCookie(keys, "__QuillonSV_v", "a.b.c" + tag), "a.b.c");
  EXPECT_EQ(VerifySessionCookie(keys, "__QuillonSV_v", "a.b" + tag), std::nullopt);
  EXPECT_EQ(VerifySessionCookie(keys, "__QuillonSV_v", "a.b.c" + tag + "."), std::nullopt);
  EXPECT_EQ(VerifySessionCookie(SessionKeys{"", ""}, "__QuillonSV_v", "a.b.c" + tag),
            std::nullopt);
}

}  // namespace
}  // namespace quillon::server

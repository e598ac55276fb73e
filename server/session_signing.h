// Signed session cookies: with a key in QUILLON_SESSION_KEY, every session
// variable's cookie carries an HMAC-SHA-256 tag, so that a visitor who
// changes a value (or makes one up) loses it instead of being believed.
//
// The cookie value is the encoded value, ".", and the tag in base64url
// without padding (43 characters). The tag covers the cookie's own text,
// name "=" encoded value, so that a value cannot be moved to another
// variable. The encoder escapes '.' and base64url has none, so the
// separator cannot be confused with the value; on reading, the tag is what
// follows the last '.' of whatever the visitor sent.
#ifndef QUILLON_SERVER_SESSION_SIGNING_H_
#define QUILLON_SERVER_SESSION_SIGNING_H_

#include <optional>
#include <string>
#include <string_view>

namespace quillon::server {

struct SessionKeys {
  // Signs what is written and is accepted on reading; empty: no signing,
  // and every session cookie is read and written as it is.
  std::string current;
  // Accepted on reading only (the key before a rotation); ignored without
  // a current key.
  std::string old;

  bool signing() const { return !current.empty(); }
};

// QUILLON_SESSION_KEY and QUILLON_SESSION_KEY_OLD of the process
// environment, their bytes taken as they are.
SessionKeys SessionKeysFromEnvironment();

// "." + base64url(HMAC-SHA-256(key, cookie_name "=" encoded_value)).
std::string SessionTag(std::string_view key, std::string_view cookie_name,
                       std::string_view encoded_value);

// The encoded value of a signed cookie as the visitor sent it, when its
// tag is right under the current or the old key; nullopt otherwise (no
// tag, a wrong one, or another key's). Tags are compared in constant time.
std::optional<std::string_view> VerifySessionCookie(const SessionKeys& keys,
                                                    std::string_view cookie_name,
                                                    std::string_view raw_value);

}  // namespace quillon::server

#endif  // QUILLON_SERVER_SESSION_SIGNING_H_

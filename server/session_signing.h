// Signed session cookies: with a key in QUILLON_SESSION_KEY, every session
// variable's cookie carries an HMAC-SHA-256 tag over its value and the time
// it was issued, so that a visitor who changes a value (or makes one up)
// loses it instead of being believed, and a cookie captured once stops
// working after QUILLON_SESSION_MAX_AGE seconds (30 days unless set).
//
// The cookie value is the encoded value, ".", the issue time (seconds since
// 1970-01-01 UTC in decimal), ".", and the tag in base64url without padding
// (43 characters). The tag covers the cookie's own text up to the tag,
// name "=" encoded value "." issue time, so that neither the value nor its
// age can be moved to another variable or changed. The encoder escapes '.'
// and base64url has none, so the separators cannot be confused with the
// value; on reading, the tag is what follows the last '.' of whatever the
// visitor sent and the issue time what stands between it and the '.'
// before.
//
// A variable read from a signed cookie goes back with the issue time it
// came with (only one the page sets gets the current time), so that
// presenting an old cookie never buys a fresh one.
#ifndef QUILLON_SERVER_SESSION_SIGNING_H_
#define QUILLON_SERVER_SESSION_SIGNING_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::server {

// How long a tag stays good when QUILLON_SESSION_MAX_AGE does not say.
inline constexpr int64_t kDefaultSessionMaxAge = int64_t{30} * 24 * 60 * 60;
// How far in the future an issue time may lie: the clocks of the machines
// behind one site differ a little.
inline constexpr int64_t kSessionClockSkew = 300;

struct SessionKeys {
  // Signs what is written and is accepted on reading; empty: no signing,
  // and every session cookie is read and written as it is.
  std::string current;
  // Accepted on reading only (the key before a rotation); ignored without
  // a current key.
  std::string old;
  // Seconds after its issue time that a tag is refused
  // (QUILLON_SESSION_MAX_AGE, a plain decimal count; unset or anything
  // else: kDefaultSessionMaxAge). Lowering it retires older cookies at
  // once.
  int64_t max_age = kDefaultSessionMaxAge;

  bool signing() const { return !current.empty(); }
};

// libcrypto, loaded (dlopen) by the first use of a key, so that a page that
// signs nothing never maps it.
inline constexpr char kCryptoLibraryName[] = "libcrypto.so.3";

// Loads libcrypto now; throws std::runtime_error (naming the library and
// the loader's reason) when it cannot be loaded, as every signing and
// checking below does then.
void RequireSigning();

// QUILLON_SESSION_KEY, QUILLON_SESSION_KEY_OLD (their bytes taken as they
// are) and QUILLON_SESSION_MAX_AGE of the process environment.
SessionKeys SessionKeysFromEnvironment();

// Whether the (upper-cased) variable name is one of the settings above
// that hold a secret: they are never handed to a page or written anywhere.
bool IsSecretSetting(std::string_view upper_name);

// "." issued "." base64url(HMAC-SHA-256(key, cookie_name "=" encoded_value
// "." issued)): what follows the encoded value in a signed cookie.
std::string SessionTag(std::string_view key, std::string_view cookie_name,
                       std::string_view encoded_value, int64_t issued);

struct VerifiedCookie {
  std::string_view encoded;  // the encoded value as the visitor sent it
  int64_t issued;
};

// A signed cookie whose tag is right under the current or the old key and
// whose issue time is neither more than keys.max_age seconds before `now`
// nor more than kSessionClockSkew after it; nullopt otherwise (no tag, no
// issue time, a wrong tag, another key's, or expired). Tags are compared
// in constant time.
std::optional<VerifiedCookie> VerifySessionCookie(const SessionKeys& keys,
                                                  std::string_view cookie_name,
                                                  std::string_view raw_value, int64_t now);

}  // namespace quillon::server

#endif  // QUILLON_SERVER_SESSION_SIGNING_H_

#include "server/session_signing.h"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <mutex>
#include <new>
#include <stdexcept>

#include "quillon/platform/files.h"

namespace quillon::server {
namespace {

constexpr size_t kTagBytes = 32;
// 32 bytes in base64url without padding.
constexpr size_t kTagText = 43;
constexpr char kTagSeparator = '.';
constexpr char kBase64Url[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// libcrypto is loaded only by a page that signs: a CGI page is a fresh
// process per request, and mapping and relocating libcrypto cost most of a
// small page's start. Types come from OpenSSL's own headers.
struct Crypto {
  decltype(&HMAC) hmac = nullptr;
  decltype(&EVP_sha256) sha256 = nullptr;
};

struct LoadedCrypto {
  Crypto crypto;
  std::string why;  // empty when loaded
};

LoadedCrypto LoadCryptoLibrary() {
  LoadedCrypto loaded;
  // Never unloaded: OpenSSL keeps state and exit handlers of its own.
  void* handle = dlopen(kCryptoLibraryName, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* detail = dlerror();
    loaded.why = std::string("cannot load ") + kCryptoLibraryName +
                 (detail != nullptr ? std::string(": ") + detail : std::string());
    return loaded;
  }
  loaded.crypto.hmac = reinterpret_cast<decltype(&HMAC)>(dlsym(handle, "HMAC"));
  loaded.crypto.sha256 = reinterpret_cast<decltype(&EVP_sha256)>(dlsym(handle, "EVP_sha256"));
  if (loaded.crypto.hmac == nullptr || loaded.crypto.sha256 == nullptr) {
    loaded.why = std::string(kCryptoLibraryName) + " lacks HMAC or EVP_sha256";
  }
  return loaded;
}

const Crypto& CryptoLibrary() {
  static std::once_flag once;
  static LoadedCrypto loaded;
  std::call_once(once, [] { loaded = LoadCryptoLibrary(); });
  if (!loaded.why.empty()) {
    throw std::runtime_error("session cookies cannot be signed: " + loaded.why);
  }
  return loaded.crypto;
}

// Compares in time that depends on the length only, so that how long a
// refusal takes does not tell how much of a forged tag was right.
bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  // Read through a volatile so that the compiler cannot end the loop at
  // the first difference.
  volatile unsigned char result = differ;
  return result == 0;
}

std::string Base64Url(const unsigned char* bytes, size_t size) {
  std::string text;
  text.reserve((size * 4 + 2) / 3);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    text.push_back(kBase64Url[(v >> 18) & 63]);
    text.push_back(kBase64Url[(v >> 12) & 63]);
    text.push_back(kBase64Url[(v >> 6) & 63]);
    text.push_back(kBase64Url[v & 63]);
  }
  if (size - i == 1) {
    const uint32_t v = uint32_t{bytes[i]} << 16;
    text.push_back(kBase64Url[(v >> 18) & 63]);
    text.push_back(kBase64Url[(v >> 12) & 63]);
  } else if (size - i == 2) {
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8);
    text.push_back(kBase64Url[(v >> 18) & 63]);
    text.push_back(kBase64Url[(v >> 12) & 63]);
    text.push_back(kBase64Url[(v >> 6) & 63]);
  }
  return text;
}

// The tag in base64url, without the separator, over `signed_text`: the
// cookie's text up to the tag.
std::string TagText(std::string_view key, std::string_view signed_text) {
  const Crypto& crypto = CryptoLibrary();
  unsigned char tag[EVP_MAX_MD_SIZE];
  unsigned int tag_size = 0;
  if (crypto.hmac(crypto.sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(signed_text.data()), signed_text.size(), tag,
           &tag_size) == nullptr ||
      tag_size != kTagBytes) {
    // Only an allocation inside OpenSSL can fail here.
    throw std::bad_alloc();
  }
  return Base64Url(tag, tag_size);
}

bool TagMatches(std::string_view key, std::string_view signed_text, std::string_view tag) {
  if (key.empty()) return false;
  const std::string expected = TagText(key, signed_text);
  return SameBytes(expected, tag);
}

// A plain decimal count: digits only, no sign, no blanks; nullopt for
// anything else or a number too large.
std::optional<int64_t> Decimal(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string SignedText(std::string_view cookie_name, std::string_view encoded_value,
                       int64_t issued) {
  std::string text;
  text.reserve(cookie_name.size() + encoded_value.size() + 22);
  text.append(cookie_name);
  text.push_back('=');
  text.append(encoded_value);
  text.push_back(kTagSeparator);
  text.append(std::to_string(issued));
  return text;
}

}  // namespace

void RequireSigning() { CryptoLibrary(); }

SessionKeys SessionKeysFromEnvironment() {
  SessionKeys keys;
  keys.current = platform::GetEnv("QUILLON_SESSION_KEY").value_or(std::string());
  if (!keys.signing()) return keys;
  keys.old = platform::GetEnv("QUILLON_SESSION_KEY_OLD").value_or(std::string());
  if (const auto text = platform::GetEnv("QUILLON_SESSION_MAX_AGE")) {
    keys.max_age = Decimal(*text).value_or(kDefaultSessionMaxAge);
  }
  return keys;
}

bool IsSecretSetting(std::string_view upper_name) {
  return upper_name == "QUILLON_SESSION_KEY" || upper_name == "QUILLON_SESSION_KEY_OLD";
}

std::string SessionTag(std::string_view key, std::string_view cookie_name,
                       std::string_view encoded_value, int64_t issued) {
  std::string text(1, kTagSeparator);
  text.append(std::to_string(issued));
  text.push_back(kTagSeparator);
  text.append(TagText(key, SignedText(cookie_name, encoded_value, issued)));
  return text;
}

std::optional<VerifiedCookie> VerifySessionCookie(const SessionKeys& keys,
                                                  std::string_view cookie_name,
                                                  std::string_view raw_value, int64_t now) {
  const size_t tag_at = raw_value.rfind(kTagSeparator);
  if (tag_at == std::string_view::npos || raw_value.size() - tag_at - 1 != kTagText) {
    return std::nullopt;
  }
  const std::string_view signed_value = raw_value.substr(0, tag_at);
  const size_t issued_at = signed_value.rfind(kTagSeparator);
  if (issued_at == std::string_view::npos) return std::nullopt;
  const std::optional<int64_t> issued = Decimal(signed_value.substr(issued_at + 1));
  if (!issued) return std::nullopt;
  std::string signed_text;
  signed_text.reserve(cookie_name.size() + 1 + signed_value.size());
  signed_text.append(cookie_name);
  signed_text.push_back('=');
  signed_text.append(signed_value);
  const std::string_view tag = raw_value.substr(tag_at + 1);
  // Both keys are always tried, so that the time taken does not tell
  // which one matched.
  const bool current = TagMatches(keys.current, signed_text, tag);
  const bool old = TagMatches(keys.old, signed_text, tag);
  if (!current && !old) return std::nullopt;
  if (*issued > now + kSessionClockSkew || now - *issued > keys.max_age) return std::nullopt;
  return VerifiedCookie{signed_value.substr(0, issued_at), *issued};
}

}  // namespace quillon::server

#include "server/session_signing.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <new>

#include "quillon/platform/files.h"

namespace quillon::server {
namespace {

constexpr size_t kTagBytes = 32;
// 32 bytes in base64url without padding.
constexpr size_t kTagText = 43;
constexpr char kTagSeparator = '.';
constexpr char kBase64Url[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

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

// The tag in base64url, without the separator.
std::string TagText(std::string_view key, std::string_view cookie_name,
                    std::string_view encoded_value) {
  std::string message;
  message.reserve(cookie_name.size() + 1 + encoded_value.size());
  message.append(cookie_name);
  message.push_back('=');
  message.append(encoded_value);
  unsigned char tag[EVP_MAX_MD_SIZE];
  unsigned int tag_size = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), tag,
           &tag_size) == nullptr ||
      tag_size != kTagBytes) {
    // Only an allocation inside OpenSSL can fail here.
    throw std::bad_alloc();
  }
  return Base64Url(tag, tag_size);
}

bool TagMatches(std::string_view key, std::string_view cookie_name, std::string_view encoded_value,
                std::string_view tag) {
  if (key.empty()) return false;
  const std::string expected = TagText(key, cookie_name, encoded_value);
  return tag.size() == expected.size() &&
         CRYPTO_memcmp(expected.data(), tag.data(), expected.size()) == 0;
}

}  // namespace

SessionKeys SessionKeysFromEnvironment() {
  SessionKeys keys;
  keys.current = platform::GetEnv("QUILLON_SESSION_KEY").value_or(std::string());
  if (keys.signing()) keys.old = platform::GetEnv("QUILLON_SESSION_KEY_OLD").value_or(std::string());
  return keys;
}

std::string SessionTag(std::string_view key, std::string_view cookie_name,
                       std::string_view encoded_value) {
  std::string text(1, kTagSeparator);
  text.append(TagText(key, cookie_name, encoded_value));
  return text;
}

std::optional<std::string_view> VerifySessionCookie(const SessionKeys& keys,
                                                    std::string_view cookie_name,
                                                    std::string_view raw_value) {
  const size_t separator = raw_value.rfind(kTagSeparator);
  if (separator == std::string_view::npos || raw_value.size() - separator - 1 != kTagText) {
    return std::nullopt;
  }
  const std::string_view value = raw_value.substr(0, separator);
  const std::string_view tag = raw_value.substr(separator + 1);
  // Both keys are always tried, so that the time taken does not tell
  // which one matched.
  const bool current = TagMatches(keys.current, cookie_name, value, tag);
  const bool old = TagMatches(keys.old, cookie_name, value, tag);
  if (current || old) return value;
  return std::nullopt;
}

}  // namespace quillon::server

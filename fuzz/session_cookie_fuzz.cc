// The signed session cookie reader on arbitrary cookie names and values.
// Input: a flag byte, the cookie name up to the first '\n', then the
// value. Properties: a value the reader accepts is its encoded part
// followed by the tag one of the keys makes for it, issued within the
// allowed window; a tag made for any name and encoded value is accepted
// with exactly that value and time; and changing one byte of such a
// cookie makes the reader refuse it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/session_signing.h"

using quillon::server::SessionKeys;
using quillon::server::SessionTag;
using quillon::server::VerifySessionCookie;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t end = input.find('\n');
  const std::string_view name = input.substr(0, end);
  const std::string_view value =
      end == std::string_view::npos ? std::string_view() : input.substr(end + 1);

  SessionKeys keys;
  keys.current = "current key";
  if (flags & 1) keys.old = "old key";
  keys.max_age = 3600;
  const int64_t now = 1'700'000'000;

  if (auto seen = VerifySessionCookie(keys, name, value, now)) {
    if (value.substr(0, seen->encoded.size()) != seen->encoded) std::abort();
    const std::string tail(value.substr(seen->encoded.size()));
    if (tail != SessionTag(keys.current, name, seen->encoded, seen->issued) &&
        (keys.old.empty() || tail != SessionTag(keys.old, name, seen->encoded, seen->issued))) {
      std::abort();
    }
    if (seen->issued < now - keys.max_age || seen->issued > now + 300) std::abort();
  }

  // Taking the value as an encoded value, its own tag must be accepted...
  const int64_t issued = now - static_cast<int64_t>((flags >> 1) % 120) * 30;  // within max_age
  const std::string cookie = std::string(value) + SessionTag(keys.current, name, value, issued);
  const auto back = VerifySessionCookie(keys, name, cookie, now);
  if (!back || back->encoded != value || back->issued != issued) std::abort();
  // ... and no change of one byte may keep it good.
  std::string changed = cookie;
  const size_t at = (static_cast<size_t>(flags) * 7919u) % changed.size();
  changed[at] = static_cast<char>(changed[at] ^ 0x20);
  if (VerifySessionCookie(keys, name, changed, now)) std::abort();
  return 0;
}

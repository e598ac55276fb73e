// DecodeValue (vector and byte-wise paths) against a plain reading of the
// value encoding, and the round trip through EncodeValue. The first input byte picks the code page.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/encoding_internal.h"
#include "quillon/core/encoding.h"
#include "quillon/platform/codepage.h"

namespace {

using quillon::platform::CodePage;

int Digit(uint8_t c) { return c < 'A' ? c - '0' : (c & ~0x20) - 55; }

// The walk written out one step at a time, for comparison.
std::string Reference(std::string_view text, const CodePage& cp) {
  const size_t end = std::min(text.find('\0'), text.size());
  std::string out;
  for (size_t i = 0; i < end;) {
    const auto b = static_cast<uint8_t>(text[i]);
    if (cp.IsLeadByte(b)) return std::string(text.substr(0, end));
    if (b == '+') {
      out += ' ';
      ++i;
    } else if (b == '%' && end - i >= 3) {
      out += static_cast<char>(16 * Digit(text[i + 1]) + Digit(text[i + 2]));
      i += 3;
    } else {
      out += static_cast<char>(b);
      ++i;
    }
  }
  return out;
}

bool EncodedAlphabetOnly(std::string_view text) {
  for (char c : text) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    c == '+' || c == '%';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const CodePage& cp = CodePage::Get((data[0] & 1) ? CodePage::kJapanese : CodePage::kUtf8);
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  const std::string encoded = quillon::core::EncodeValue(input);
  if (encoded.size() > 3 * input.size() || !EncodedAlphabetOnly(encoded)) std::abort();
  if (quillon::core::DecodeValue(encoded, cp) != input) std::abort();

  // Exact-size copies without a terminator: ASan reports any read past the
  // text or write past the n + 1 output bytes. Both decoder paths must give
  // what the plain walk gives.
  const std::vector<char> text(input.begin(), input.end());
  const std::string expected = Reference(input, cp);
  for (bool vector : {false, true}) {
    std::vector<char> out(text.size() + 1);
    const size_t n = quillon::core::internal::DecodeValueWith(
        std::string_view(text.data(), text.size()), out.data(), cp, vector);
    if (n > text.size() || out[n] != '\0') std::abort();
    if (std::string_view(out.data(), n) != expected) std::abort();
  }
  return 0;
}

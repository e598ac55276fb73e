// DecodeHex on arbitrary text (never past the end, one byte per started
// pair) and the round trip through EncodeHex.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/core/encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (quillon::core::DecodeHex(quillon::core::EncodeHex(input)) != input) std::abort();

  const std::vector<char> text(input.begin(), input.end());
  const std::string bytes = quillon::core::DecodeHex(std::string_view(text.data(), text.size()));
  const size_t end = std::min(input.find('\0'), input.size());
  const size_t expected = end > 3 ? (end - 3 + 1) / 2 : 0;
  if (bytes.size() != expected) std::abort();
  return 0;
}

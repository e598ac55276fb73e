// ScanCookiePairs on arbitrary HTTP_COOKIE texts (first byte: bit 0 picks
// code page 932, else 65001). Properties: no name holds "=", no value holds
// "; ", and the pairs joined back with "=" and "; " are the text's start.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quillon/core/encoding.h"
#include "quillon/platform/codepage.h"
#include "server/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  using quillon::platform::CodePage;
  const CodePage& cp = CodePage::Get((data[0] & 1) ? CodePage::kJapanese : CodePage::kUtf8);
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::string joined;
  for (const auto& [name, value] : quillon::server::ScanCookiePairs(text, cp)) {
    if (name.find('=') != std::string::npos) std::abort();
    if (value.find("; ") != std::string::npos) std::abort();
    if (!joined.empty()) joined += "; ";
    joined += name + "=" + value;
    // What GetCookie and the session variables do with a value.
    (void)quillon::core::DecodeValue(value, cp);
  }
  if (text.compare(0, joined.size(), joined) != 0) std::abort();
  return 0;
}

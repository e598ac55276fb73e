// The linear boundary search against the character walk it replaces: the
// same position for any text, needle and start, in both code pages.
//   byte 0: bit 0 code page 932 (else 65001); byte 1: the start position;
//   then the needle up to the first '\n' and the text after it.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "quillon/platform/codepage.h"
#include "server/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  using quillon::platform::CodePage;
  const CodePage& cp = CodePage::Get((data[0] & 1) ? CodePage::kJapanese : CodePage::kUtf8);
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t cut = rest.find('\n');
  const std::string_view needle = rest.substr(0, cut);
  const std::string_view text =
      cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  // A start that is a character boundary, as every caller passes.
  size_t from = 0;
  for (size_t steps = data[1]; steps > 0 && from < text.size(); --steps) {
    from += cp.CharLength(text, from);
  }
  if (quillon::server::FindOnCharacters(text, needle, from, cp) != cp.Find(text, needle, from)) {
    std::abort();
  }
  return 0;
}

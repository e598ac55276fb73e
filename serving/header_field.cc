#include "quillon/serving/header_field.h"

namespace quillon::serving {

bool IsHttpToken(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    const bool alnum = (b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
    if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

std::optional<std::string_view> HeaderFieldProblem(std::string_view name, std::string_view value) {
  if (!IsHttpToken(name)) {
    return "a header name must be a token (letters, digits and !#$%&'*+-.^_`|~, no colon)";
  }
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    return "a header value may not hold CR, LF or NUL: it would start another header line";
  }
  return std::nullopt;
}

std::optional<std::string_view> RedirectStatusText(int status) {
  switch (status) {
    case 301: return "301 Moved Permanently";
    case 302: return "302 Found";
    case 303: return "303 See Other";
    case 307: return "307 Temporary Redirect";
    case 308: return "308 Permanent Redirect";
    default: return std::nullopt;
  }
}

}  // namespace quillon::serving

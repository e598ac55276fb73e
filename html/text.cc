// Code-page helpers and text escaping.

#include "html/internal.h"

namespace quillon::html {

namespace {

bool HasHighByte(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

const platform::CodePage& CodePageOf(const Document* doc) {
  return doc ? doc->code_page() : platform::ProcessCodePage();
}

void UpperInPlace(const platform::CodePage& cp, std::string* text) {
  // UTF-8 never has a-z inside a multibyte character, and ASCII text has no
  // multibyte characters at all: both take the byte loop.
  if (cp.number() != platform::CodePage::kJapanese || !HasHighByte(*text)) {
    for (char& c : *text) c = AsciiUpper(c);
    return;
  }
  cp.ToUpperInPlace(text);
}

std::string Upper(const platform::CodePage& cp, std::string_view text) {
  std::string upper(text);
  UpperInPlace(cp, &upper);
  return upper;
}

bool EqualsIgnoreCase(const platform::CodePage& cp, std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (cp.number() != platform::CodePage::kJapanese || (!HasHighByte(a) && !HasHighByte(b))) {
    for (size_t i = 0; i < a.size(); ++i) {
      if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    }
    return true;
  }
  return Upper(cp, a) == Upper(cp, b);
}

namespace {

// UTF-16 units of the character of `length` bytes at text[pos].
size_t UnitsOf(const platform::CodePage& cp, std::string_view text, size_t pos, size_t length) {
  // A well-formed four-byte UTF-8 sequence is a code point above the BMP:
  // a surrogate pair. Everything else, damaged sequences included, gives
  // one unit (a character or its single replacement).
  if (cp.number() != platform::CodePage::kJapanese && length == 4 &&
      static_cast<unsigned char>(text[pos]) >= 0xF0) {
    return 2;
  }
  return 1;
}

}  // namespace

size_t Utf16Length(const platform::CodePage& cp, std::string_view text) {
  size_t units = 0;
  for (size_t pos = 0; pos < text.size();) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++units;
      ++pos;
      continue;
    }
    size_t length = cp.CharLength(text, pos);
    units += UnitsOf(cp, text, pos, length);
    pos += length;
  }
  return units;
}

size_t BytesForUtf16(const platform::CodePage& cp, std::string_view text, size_t units) {
  size_t pos = 0;
  size_t done = 0;
  while (pos < text.size() && done < units) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++done;
      ++pos;
      continue;
    }
    size_t length = cp.CharLength(text, pos);
    size_t char_units = UnitsOf(cp, text, pos, length);
    if (done + char_units > units) break;  // a position inside a surrogate pair
    done += char_units;
    pos += length;
  }
  return pos;
}

std::string Escape(std::string_view text) {
  size_t extra = 0;
  for (char c : text) {
    switch (c) {
      case '&': extra += 4; break;
      case '<': case '>': extra += 3; break;
      case '"': extra += 5; break;
      case '\'': extra += 5; break;
      default: break;
    }
  }
  if (extra == 0) return std::string(text);
  std::string out;
  out.reserve(text.size() + extra);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#x27;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace quillon::html

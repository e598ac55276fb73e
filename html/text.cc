// Code-page helpers, element-name tables and the node pool.
#include <new>

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

bool IsEmptyElement(std::string_view n) {
  // Every tag is classified as it is created: dispatch on the length first.
  switch (n.size()) {
    case 2:
      return n == "HR" || n == "BR" || n == "LI" || n == "LH" || n == "DT" || n == "DD";
    case 3:
      return n == "IMG" || n == "COL";
    case 4:
      return n == "META" || n == "AREA" || n == "BASE" || n == "LINK" || n == "?XML";
    case 5:
      return n == "INPUT" || n == "IMAGE" || n == "FRAME" || n == "PARAM";
    case 6:
      return n == "OPTION";
    default:
      return false;
  }
}

bool IsNestable(std::string_view n) {
  return n == "TABLE" || n == "TR" || n == "TH" || n == "TD" || n == "DL" || n == "DD" ||
         n == "DT";
}

std::pmr::memory_resource* NodePool() {
  // Tag and collection objects come in two sizes; a pool keeps their blocks
  // on free lists for reuse. It is never destroyed, so tags that outlive
  // static destruction (held by a host until exit) can still be released.
  static auto* pool = new std::pmr::synchronized_pool_resource(
      std::pmr::pool_options{0, 256}, std::pmr::new_delete_resource());
  return pool;
}

std::pmr::memory_resource* ChunkSource() {
  // Documents come and go (one or more per request in a serving loop); the
  // chunks their pools were given stay here for the next document instead
  // of going back to the system and being faulted in again, page by page.
  // What is kept is the most that the documents alive at one time held.
  static auto* chunks = new std::pmr::synchronized_pool_resource(
      std::pmr::pool_options{0, size_t{8} << 20}, std::pmr::new_delete_resource());
  return chunks;
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

}  // namespace quillon::html

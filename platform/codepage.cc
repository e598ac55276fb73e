#include "quillon/platform/codepage.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <bit>
#include <iterator>
#include <limits>
#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codepage_internal.h"

namespace quillon::platform {
namespace {

// glibc's "CP932" (the Windows table: 0x8160 <-> U+FF5E) as lookup tables,
// written by tools/cp932_table_gen.cc. Converting through tables needs no
// lock and no descriptor, and platform_test holds them against glibc.
#include "cp932_table.inc"

constexpr char16_t kReplacement = 0xFFFD;

// --- ASCII runs ---------------------------------------------------------------
// Text at the automation boundary is mostly ASCII (markup, names, encoded
// values), so both directions first copy the run of ASCII characters 16 at a
// time. Each returns the length of the ASCII run it converted; `out` has room
// for all `n` characters, so a vector store that also covers the first
// non-ASCII character is harmless: that slot is written again afterwards.

#if defined(__SSE2__)
size_t WidenAscii(const char* in, size_t n, char16_t* out) {
  const __m128i zero = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(bytes, zero));
    const int high = _mm_movemask_epi8(bytes);
    if (high != 0) return i + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(high)));
  }
  // A short value (a name, a word) is mostly this step and a short tail.
  if (i + 8 <= n) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
    const int high = _mm_movemask_epi8(bytes) & 0xFF;
    if (high != 0) return i + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(high)));
    i += 8;
  }
  for (; i < n && static_cast<uint8_t>(in[i]) < 0x80; ++i) out[i] = static_cast<uint8_t>(in[i]);
  return i;
}

size_t NarrowAscii(const char16_t* in, size_t n, char* out) {
  // Adding 0x7F80 with unsigned saturation sets a unit's top bit exactly when
  // the unit is 0x80 or more; the top bit of the high byte shows in the mask.
  const __m128i bias = _mm_set1_epi16(0x7F80);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8));
    const int wide = _mm_movemask_epi8(_mm_adds_epu16(_mm_or_si128(low, high), bias)) & 0xAAAA;
    if (wide != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
  }
  if (i + 8 <= n) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    if ((_mm_movemask_epi8(_mm_adds_epu16(units, bias)) & 0xAAAA) == 0) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(units, units));
      i += 8;
    }
  }
  for (; i < n && in[i] < 0x80; ++i) out[i] = static_cast<char>(in[i]);
  return i;
}
#else
size_t WidenAscii(const char* in, size_t n, char16_t* out) {
  size_t i = 0;
  for (; i < n && static_cast<uint8_t>(in[i]) < 0x80; ++i) out[i] = static_cast<uint8_t>(in[i]);
  return i;
}

size_t NarrowAscii(const char16_t* in, size_t n, char* out) {
  size_t i = 0;
  for (; i < n && in[i] < 0x80; ++i) out[i] = static_cast<char>(in[i]);
  return i;
}
#endif

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool IsShiftJisTrail(uint8_t byte) {
  return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// The longest well-formed prefix of a UTF-8 sequence (Unicode's "maximal
// subpart"), so that a damaged sequence never swallows the byte after it;
// the decoder below replaces exactly these subparts.
size_t Utf8Length(std::string_view text, size_t pos) {
  const auto lead = static_cast<uint8_t>(text[pos]);
  if (lead < 0xC2 || lead > 0xF4) return 1;
  size_t trail_count = 1;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xF0) {
    trail_count = 3;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else if (lead >= 0xE0) {
    trail_count = 2;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  }
  size_t length = 1;
  while (length <= trail_count && pos + length < text.size()) {
    const auto byte = static_cast<uint8_t>(text[pos + length]);
    if (byte < low || byte > high) break;
    low = 0x80;
    high = 0xBF;
    ++length;
  }
  return length;
}

// The converters below share one shape: they read `text` from *pos on and
// write to `out` until the text ends or `capacity` could be exceeded by the
// next character, advance *pos past what they read and return the length
// written. They stop only between characters, so a caller can convert a
// long text through a small buffer. kMaxUnits/kMaxBytes: the most one step
// writes.

// UTF-8 -> UTF-16. A well-formed character is decoded; each maximal
// ill-formed subpart (the bytes Utf8Length takes) becomes one U+FFFD. No
// sequence gives more units than it has bytes.
constexpr size_t kUtf8MaxUnits = 2;

size_t Utf8ToUtf16(std::string_view text, size_t* pos, char16_t* out, size_t capacity) {
  const char* in = text.data();
  const size_t n = text.size();
  size_t i = *pos;
  size_t o = 0;
  while (i < n && o + kUtf8MaxUnits <= capacity) {
    const auto lead = static_cast<uint8_t>(in[i]);
    if (lead < 0x80) {
      const size_t run = WidenAscii(in + i, std::min(n - i, capacity - o), out + o);
      i += run;
      o += run;
      continue;
    }
    // Most non-ASCII text (Japanese among it) is three-byte characters.
    if (lead >= 0xE0 && lead <= 0xEF && i + 2 < n) {
      const auto second = static_cast<uint8_t>(in[i + 1]);
      const auto third = static_cast<uint8_t>(in[i + 2]);
      if ((second & 0xC0) == 0x80 && (third & 0xC0) == 0x80 && (lead != 0xE0 || second >= 0xA0) &&
          (lead != 0xED || second < 0xA0)) {
        out[o++] = static_cast<char16_t>((lead & 0x0F) << 12 | (second & 0x3F) << 6 | (third & 0x3F));
        i += 3;
        continue;
      }
    }
    size_t trail_count;
    char32_t code;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail_count = 1;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail_count = 2;
      code = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail_count = 3;
      code = lead & 0x07;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      out[o++] = kReplacement;
      ++i;
      continue;
    }
    size_t length = 1;
    while (length <= trail_count && i + length < n) {
      const auto byte = static_cast<uint8_t>(in[i + length]);
      if (byte < low || byte > high) break;
      code = code << 6 | (byte & 0x3F);
      low = 0x80;
      high = 0xBF;
      ++length;
    }
    i += length;
    if (length != trail_count + 1) {
      out[o++] = kReplacement;
    } else if (code >= 0x10000) {
      code -= 0x10000;
      out[o++] = static_cast<char16_t>(0xD800 + (code >> 10));
      out[o++] = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out[o++] = static_cast<char16_t>(code);
    }
  }
  *pos = i;
  return o;
}

// UTF-16 -> UTF-8; an unpaired surrogate becomes '?'. At most three bytes
// per unit.
constexpr size_t kUtf8MaxBytes = 4;

size_t Utf16ToUtf8(std::u16string_view text, size_t* pos, char* out, size_t capacity) {
  const char16_t* in = text.data();
  const size_t n = text.size();
  size_t i = *pos;
  size_t o = 0;
  while (i < n && o + kUtf8MaxBytes <= capacity) {
    char32_t code = in[i];
    if (code < 0x80) {
      const size_t run = NarrowAscii(in + i, std::min(n - i, capacity - o), out + o);
      i += run;
      o += run;
      continue;
    }
    ++i;
    if (code < 0x800) {
      out[o++] = static_cast<char>(0xC0 | code >> 6);
      out[o++] = static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0xD800 || code > 0xDFFF) {
      out[o++] = static_cast<char>(0xE0 | code >> 12);
      out[o++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out[o++] = static_cast<char>(0x80 | (code & 0x3F));
    } else if (IsHighSurrogate(static_cast<char16_t>(code)) && i < n && IsLowSurrogate(in[i])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (in[i++] - 0xDC00);
      out[o++] = static_cast<char>(0xF0 | code >> 18);
      out[o++] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out[o++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out[o++] = static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out[o++] = '?';
    }
  }
  *pos = i;
  return o;
}

// Code page 932 in both directions, built once from the generated tables.
class Cp932Tables {
 public:
  Cp932Tables() {
    for (int byte = 0; byte < 0x80; ++byte) single_[byte] = static_cast<char16_t>(byte);
    for (int byte = 0x80; byte < 0x100; ++byte) single_[byte] = kCp932Single[byte - 0x80];
    int row = 0;
    for (int byte = 0; byte < 0x100; ++byte) {
      const bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
      lead_row_[byte] = static_cast<int16_t>(lead ? row++ : -1);
    }
    // The bytes glibc leaves without a character read as the platform's own
    // 932 table has them, so that text which came in with them (a value
    // name, say) goes back out as the same bytes.
    for (const auto& [byte, unit] : kBestFitSingles) single_[byte] = unit;

    // Writing: the first code that reads as a unit, then the units glibc
    // writes otherwise (preferred duplicates, look-alikes), then the
    // platform's additions above.
    for (int byte = 0x80; byte < 0x100; ++byte) {
      const char16_t unit = kCp932Single[byte - 0x80];
      if (unit != 0 && encode_[unit] == 0) encode_[unit] = static_cast<uint16_t>(byte);
    }
    for (int lead = 0; lead < 0x100; ++lead) {
      if (lead_row_[lead] < 0) continue;
      for (int trail = 0x40; trail <= 0xFC; ++trail) {
        const char16_t unit = kCp932Pairs[lead_row_[lead] * kTrails + (trail - 0x40)];
        if (unit != 0 && encode_[unit] == 0) encode_[unit] = static_cast<uint16_t>(lead << 8 | trail);
      }
    }
    for (const Cp932Override& entry : kCp932Overrides) encode_[entry.unit] = entry.code;
    for (const auto& [byte, unit] : kBestFitSingles) encode_[unit] = byte;
  }

  // One unit per character at most.
  static constexpr size_t kMaxUnits = 1;

  size_t ToUtf16(std::string_view text, size_t* pos, char16_t* out, size_t capacity) const {
    const char* in = text.data();
    const size_t n = text.size();
    size_t i = *pos;
    size_t o = 0;
    while (i < n && o + kMaxUnits <= capacity) {
      const auto byte = static_cast<uint8_t>(in[i]);
      if (byte < 0x80) {
        const size_t run = WidenAscii(in + i, std::min(n - i, capacity - o), out + o);
        i += run;
        o += run;
        continue;
      }
      const int row = lead_row_[byte];
      if (row < 0) {
        const char16_t unit = single_[byte];
        out[o++] = unit != 0 ? unit : kReplacement;
        ++i;
      } else if (i + 1 < n && IsShiftJisTrail(static_cast<uint8_t>(in[i + 1]))) {
        const char16_t unit = kCp932Pairs[row * kTrails + (static_cast<uint8_t>(in[i + 1]) - 0x40)];
        out[o++] = unit != 0 ? unit : kReplacement;  // an unassigned pair is one character
        i += 2;
      } else {
        out[o++] = kReplacement;  // a lead byte without its trail byte
        ++i;
      }
    }
    *pos = i;
    return o;
  }

  // One '?' per code point without a 932 form; at most two bytes per unit.
  static constexpr size_t kMaxBytes = 2;

  size_t FromUtf16(std::u16string_view text, size_t* pos, char* out, size_t capacity) const {
    const char16_t* in = text.data();
    const size_t n = text.size();
    size_t i = *pos;
    size_t o = 0;
    while (i < n && o + kMaxBytes <= capacity) {
      const char16_t unit = in[i];
      if (unit < 0x80) {
        const size_t run = NarrowAscii(in + i, std::min(n - i, capacity - o), out + o);
        i += run;
        o += run;
        continue;
      }
      ++i;
      const uint16_t code = encode_[unit];
      if (code == 0) {
        // Nothing beyond the BMP has a 932 form: a pair is one '?', except
        // the tag characters U+E0000-U+E007F, which glibc's converter
        // leaves out (they only label a language).
        if (IsHighSurrogate(unit) && i < n && IsLowSurrogate(in[i])) {
          const bool tag = unit == 0xDB40 && in[i] <= 0xDC7F;
          ++i;
          if (tag) continue;
        }
        out[o++] = '?';
      } else if (code < 0x100) {
        out[o++] = static_cast<char>(code);
      } else {
        out[o++] = static_cast<char>(code >> 8);
        out[o++] = static_cast<char>(code & 0xFF);
      }
    }
    *pos = i;
    return o;
  }

 private:
  static constexpr int kTrails = 0xFC - 0x40 + 1;
  static constexpr std::pair<uint8_t, char16_t> kBestFitSingles[] = {
      {0x80, 0x0080}, {0xA0, 0xF8F0}, {0xFD, 0xF8F1}, {0xFE, 0xF8F2}, {0xFF, 0xF8F3}};

  char16_t single_[0x100] = {};
  int16_t lead_row_[0x100] = {};
  uint16_t encode_[0x10000] = {};
};

const Cp932Tables& Cp932() {
  static const Cp932Tables tables;
  return tables;
}

std::string NormalizeCharsetName(const char* name) {
  std::string normal;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '-' || *p == '_') continue;
    normal += (*p >= 'a' && *p <= 'z') ? static_cast<char>(*p - 'a' + 'A') : *p;
  }
  return normal;
}

int DecideProcessCodePage() {
  // What setlocale(LC_CTYPE, "") would choose, asked of a private locale
  // object so that the process's own locale stays as the host set it. When
  // the named locale is missing, setlocale would fail and keep C: 65001.
  locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  const char* codeset =
      locale != static_cast<locale_t>(0) ? nl_langinfo_l(CODESET, locale) : nullptr;
  const int decided = CodePageFromEnvironment(std::getenv("QUILLON_CODEPAGE"), codeset);
  if (locale != static_cast<locale_t>(0)) freelocale(locale);
  return decided;
}

}  // namespace

int CodePageFromEnvironment(const char* env_value, const char* codeset) {
  if (env_value != nullptr) {
    if (std::strcmp(env_value, "932") == 0) return CodePage::kJapanese;
    if (std::strcmp(env_value, "65001") == 0) return CodePage::kUtf8;
  }
  if (codeset == nullptr) return CodePage::kUtf8;
  const std::string name = NormalizeCharsetName(codeset);
  for (const char* japanese : {"SHIFTJIS", "SJIS", "CP932", "WINDOWS31J", "MS932"}) {
    if (name == japanese) return CodePage::kJapanese;
  }
  return CodePage::kUtf8;
}

const CodePage& CodePage::Get(int number) {
  static const CodePage japanese(kJapanese);
  static const CodePage utf8(kUtf8);
  return number == kJapanese ? japanese : utf8;
}

bool CodePage::IsLeadByte(uint8_t byte) const {
  if (number_ == kJapanese) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
  }
  return byte >= 0xC2 && byte <= 0xF4;
}

size_t CodePage::CharLength(std::string_view text, size_t pos) const {
  if (pos >= text.size()) return 0;
  if (number_ != kJapanese) return Utf8Length(text, pos);
  if (!IsLeadByte(static_cast<uint8_t>(text[pos])) || pos + 1 >= text.size()) {
    return 1;
  }
  return IsShiftJisTrail(static_cast<uint8_t>(text[pos + 1])) ? 2 : 1;
}

std::string CodePage::ToUpper(std::string_view text) const {
  std::string upper(text);
  ToUpperInPlace(&upper);
  return upper;
}

void CodePage::ToUpperInPlace(std::string* text) const {
  for (size_t pos = 0; pos < text->size();) {
    const size_t length = CharLength(*text, pos);
    char& c = (*text)[pos];
    if (length == 1 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    pos += length;
  }
}

size_t CodePage::Find(std::string_view text, std::string_view needle,
                      size_t from) const {
  if (from > text.size()) return std::string_view::npos;
  if (needle.empty()) return from;
  for (size_t pos = from; pos + needle.size() <= text.size();
       pos += CharLength(text, pos)) {
    if (text.compare(pos, needle.size(), needle) != 0) continue;
    // The match must also end between two characters, or it would take
    // the first half of a double-byte character for the needle's tail.
    size_t end = pos;
    while (end < pos + needle.size()) end += CharLength(text, end);
    if (end == pos + needle.size()) return pos;
  }
  return std::string_view::npos;
}

namespace {

// The first position at or after `pos` whose byte is one of `chars` (at
// most four bytes, all below 0x80) or is 0x80 or more; text.size() when
// there is none. Every byte below 0x80 is a character of its own in both
// code pages, so nothing before that position can belong to a multibyte
// character.
size_t ScanAsciiRun(std::string_view text, size_t pos, std::string_view chars) {
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
#if defined(__SSE2__)
  __m128i wanted[4];
  for (size_t k = 0; k < 4; ++k) {
    wanted[k] = _mm_set1_epi8(chars[k < chars.size() ? k : 0]);
  }
  for (; pos + 16 <= n; pos += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos));
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, wanted[0]), _mm_cmpeq_epi8(v, wanted[1])),
                     _mm_or_si128(_mm_cmpeq_epi8(v, wanted[2]), _mm_cmpeq_epi8(v, wanted[3])));
    // The byte's own top bit marks a possible lead byte.
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(hits, v)));
    if (mask != 0) return pos + static_cast<size_t>(std::countr_zero(mask));
  }
#endif
  for (; pos < n; ++pos) {
    if (in[pos] >= 0x80 || chars.find(static_cast<char>(in[pos])) != chars.npos) return pos;
  }
  return n;
}

}  // namespace

size_t CodePage::FindAnyOf(std::string_view text, std::string_view chars,
                           size_t from) const {
  // Separators are single ASCII bytes everywhere the toolkit looks for them,
  // and the texts it searches (pair lists, encoded values) are mostly ASCII:
  // runs of ASCII are scanned in blocks, and only a byte that may start a
  // multibyte character is stepped over character by character.
  const bool ascii_chars =
      !chars.empty() && chars.size() <= 4 &&
      std::all_of(chars.begin(), chars.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
  size_t pos = from;
  while (pos < text.size()) {
    if (ascii_chars) {
      pos = ScanAsciiRun(text, pos, chars);
      if (pos >= text.size()) break;
      if (static_cast<uint8_t>(text[pos]) < 0x80) return pos;
    }
    const size_t length = CharLength(text, pos);
    if (length == 1 && chars.find(text[pos]) != chars.npos) return pos;
    pos += length;
  }
  return std::string_view::npos;
}

// The caller's buffer holds the documented bound, which no text exceeds, so
// the converters need not stop early for lack of room.
constexpr size_t kUnbounded = std::numeric_limits<size_t>::max() / 2;

size_t CodePage::ToUtf16(std::string_view text, char16_t* out) const {
  size_t pos = 0;
  return number_ == kJapanese ? Cp932().ToUtf16(text, &pos, out, kUnbounded)
                              : Utf8ToUtf16(text, &pos, out, kUnbounded);
}

size_t CodePage::FromUtf16(std::u16string_view text, char* out) const {
  size_t pos = 0;
  return number_ == kJapanese ? Cp932().FromUtf16(text, &pos, out, kUnbounded)
                              : Utf16ToUtf8(text, &pos, out, kUnbounded);
}

// The string forms convert through a buffer on the stack and append it, so
// the result is written once (a sized std::string would be zeroed first)
// and is never larger than needed.
std::u16string CodePage::ToUtf16(std::string_view text) const {
  std::u16string result;
  result.reserve(text.size());
  char16_t buffer[4096];
  for (size_t pos = 0; pos < text.size();) {
    const size_t written = number_ == kJapanese
                               ? Cp932().ToUtf16(text, &pos, buffer, std::size(buffer))
                               : Utf8ToUtf16(text, &pos, buffer, std::size(buffer));
    result.append(buffer, written);
  }
  return result;
}

std::string CodePage::FromUtf16(std::u16string_view text) const {
  std::string result;
  AppendFromUtf16(text, &result);
  return result;
}

void CodePage::AppendFromUtf16(std::u16string_view text, std::string* out) const {
  out->reserve(out->size() + text.size());  // right for ASCII, grown as needed otherwise
  char buffer[8192];
  for (size_t pos = 0; pos < text.size();) {
    const size_t written = number_ == kJapanese
                               ? Cp932().FromUtf16(text, &pos, buffer, std::size(buffer))
                               : Utf16ToUtf8(text, &pos, buffer, std::size(buffer));
    out->append(buffer, written);
  }
}

const CodePage& ProcessCodePage() {
  static const CodePage& page = CodePage::Get(DecideProcessCodePage());
  return page;
}

}  // namespace quillon::platform

#include "quillon/platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "codepage_internal.h"

namespace quillon::platform {
namespace {

// Native byte order, so that iconv reads and writes char16_t arrays as they
// lie in memory. Plain "UTF-16" would add a byte-order mark.
constexpr const char* kUtf16Name =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// glibc's CP932 is the Windows table (0x8160 <-> U+FF5E); its SHIFT_JIS is
// the JIS one and would turn legacy data into different characters.
const char* IconvName(int number) {
  return number == CodePage::kJapanese ? "CP932" : "UTF-8";
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

bool IsAscii(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char16_t c) { return c < 0x80; });
}

// One iconv descriptor with the lock that its shift state needs: a
// descriptor must not be used by two threads at once.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  std::mutex& mutex() { return mutex_; }

  // Converts from *in (advancing it) into out; stops at the first input it
  // cannot convert. Returns the errno of the stop, or 0 when all input was
  // taken. The caller holds mutex().
  int Run(const char** in, size_t* in_left, char* out, size_t* out_used,
          size_t out_size) {
    char* in_ptr = const_cast<char*>(*in);  // iconv's signature, not written
    char* out_ptr = out;
    size_t out_left = out_size;
    size_t rc = iconv(cd_, &in_ptr, in_left, &out_ptr, &out_left);
    int error = rc == static_cast<size_t>(-1) ? errno : 0;
    *in = in_ptr;
    *out_used = out_size - out_left;
    return error;
  }

  void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  std::mutex mutex_;
  iconv_t cd_;
};

// Opened on first use, one per direction and code page, kept for the life
// of the process.
Converter& NarrowToUtf16(int number) {
  if (number == CodePage::kJapanese) {
    static Converter converter(kUtf16Name, IconvName(CodePage::kJapanese));
    return converter;
  }
  static Converter converter(kUtf16Name, IconvName(CodePage::kUtf8));
  return converter;
}

Converter& Utf16ToNarrow(int number) {
  if (number == CodePage::kJapanese) {
    static Converter converter(IconvName(CodePage::kJapanese), kUtf16Name);
    return converter;
  }
  static Converter converter(IconvName(CodePage::kUtf8), kUtf16Name);
  return converter;
}

bool IsShiftJisTrail(uint8_t byte) {
  return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// The longest well-formed prefix of a UTF-8 sequence (Unicode's "maximal
// subpart"), so that a damaged sequence never swallows the byte after it
// and iconv's strict decoder agrees with our character boundaries.
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

size_t CodePage::FindAnyOf(std::string_view text, std::string_view chars,
                           size_t from) const {
  for (size_t pos = from; pos < text.size(); pos += CharLength(text, pos)) {
    if (CharLength(text, pos) == 1 && chars.find(text[pos]) != chars.npos) {
      return pos;
    }
  }
  return std::string_view::npos;
}

std::u16string CodePage::ToUtf16(std::string_view text) const {
  if (IsAscii(text)) return std::u16string(text.begin(), text.end());

  std::u16string result;
  result.reserve(text.size());
  Converter& converter = NarrowToUtf16(number_);
  std::lock_guard<std::mutex> lock(converter.mutex());
  if (converter.ok()) converter.Reset();

  const char* in = text.data();
  size_t in_left = text.size();
  char16_t buffer[512];
  while (in_left > 0) {
    size_t used = 0;
    int error = EBADF;
    if (converter.ok()) {
      error = converter.Run(&in, &in_left, reinterpret_cast<char*>(buffer), &used,
                            sizeof(buffer));
    }
    result.append(buffer, used / sizeof(char16_t));
    if (error == 0 || error == E2BIG) continue;
    // Anything iconv cannot take (an invalid or unfinished character, or no
    // descriptor at all) becomes one U+FFFD per character; this always
    // moves forward, so the loop ends.
    const size_t length = CharLength(text, text.size() - in_left);
    result.push_back(u'\uFFFD');
    in += length;
    in_left -= length;
    if (converter.ok()) converter.Reset();
  }
  return result;
}

std::string CodePage::FromUtf16(std::u16string_view text) const {
  if (IsAscii(text)) return std::string(text.begin(), text.end());

  std::string result;
  result.reserve(text.size() * 2);
  Converter& converter = Utf16ToNarrow(number_);
  std::lock_guard<std::mutex> lock(converter.mutex());
  if (converter.ok()) converter.Reset();

  const char* in = reinterpret_cast<const char*>(text.data());
  size_t in_left = text.size() * sizeof(char16_t);
  char buffer[1024];
  while (in_left > 0) {
    size_t used = 0;
    int error = EBADF;
    if (converter.ok()) {
      error = converter.Run(&in, &in_left, buffer, &used, sizeof(buffer));
    }
    result.append(buffer, used);
    if (error == 0 || error == E2BIG) continue;
    // One '?' per code point that cannot be written: a surrogate pair is
    // one code point, an unpaired surrogate is one unit.
    const size_t index = text.size() - in_left / sizeof(char16_t);
    size_t units = 1;
    if (text[index] >= 0xD800 && text[index] <= 0xDBFF && index + 1 < text.size() &&
        text[index + 1] >= 0xDC00 && text[index + 1] <= 0xDFFF) {
      units = 2;
    }
    result.push_back('?');
    in += units * sizeof(char16_t);
    in_left -= units * sizeof(char16_t);
    if (converter.ok()) converter.Reset();
  }
  return result;
}

const CodePage& ProcessCodePage() {
  static const CodePage& page = CodePage::Get(DecideProcessCodePage());
  return page;
}

}  // namespace quillon::platform

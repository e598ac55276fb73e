// The process code page and the multibyte-aware text services every parser
// shares. Narrow text inside the toolkit is bytes in one code page per
// process: 932 (Japanese double-byte) or 65001 (UTF-8).
#ifndef QUILLON_PLATFORM_CODEPAGE_H_
#define QUILLON_PLATFORM_CODEPAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::platform {

class CodePage {
 public:
  static constexpr int kJapanese = 932;
  static constexpr int kUtf8 = 65001;

  // The two supported code pages; any other number gives the UTF-8 one.
  static const CodePage& Get(int number);

  int number() const { return number_; }

  // True when `byte` starts a multibyte character: in 932 the lead bytes
  // 0x81-0x9F and 0xE0-0xFC; in 65001 the start of a sequence of two or more
  // bytes (0xC2-0xF4).
  bool IsLeadByte(uint8_t byte) const;

  // Length in bytes of the character that starts at text[pos] (1 for a
  // single byte, an unfinished multibyte character at the end counts as
  // the bytes that remain). pos must be < text.size(); 0 otherwise.
  // A lead byte that is not followed by a byte that may continue it is a
  // character of its own, so a separator after a damaged lead byte is still
  // seen: in 932 the trail bytes are 0x40-0x7E and 0x80-0xFC; in 65001 the
  // longest well-formed prefix of a sequence counts as one character.
  size_t CharLength(std::string_view text, size_t pos) const;

  // Upper-cases single-byte a-z; multibyte characters stay whole, so no
  // trail byte is ever changed.
  std::string ToUpper(std::string_view text) const;
  void ToUpperInPlace(std::string* text) const;

  // The first occurrence of `needle` at or after `from` that starts and
  // ends on character boundaries; npos when there is none. `from` is taken
  // to be a character boundary; an empty needle is found at `from`.
  size_t Find(std::string_view text, std::string_view needle, size_t from = 0) const;
  // The first character at or after `from` (on a character boundary) that
  // is one of the single-byte `chars`; npos when there is none.
  size_t FindAnyOf(std::string_view text, std::string_view chars, size_t from = 0) const;

  // UTF-16 <-> this code page. Bytes or units that have no counterpart
  // become U+FFFD / '?' rather than failing: in 65001 one U+FFFD per
  // maximal ill-formed subsequence, in 932 one per byte that starts no
  // character, per lead byte without its trail byte and per unassigned
  // pair; one '?' per unpaired surrogate or unmappable code point (a
  // surrogate pair is one). Embedded NULs are converted like any other
  // character. In 932 the single bytes 0x80, 0xA0 and 0xFD-0xFF read as
  // U+0080, U+F8F0 and U+F8F1-U+F8F3 and are written back as themselves.
  // Thread-safe; no locale or converter state is involved.
  std::u16string ToUtf16(std::string_view text) const;
  std::string FromUtf16(std::u16string_view text) const;
  // FromUtf16 appended to *out, whose room is used as it is (a buffer
  // kept between calls is not allocated again).
  void AppendFromUtf16(std::u16string_view text, std::string* out) const;

  // The same conversions into a caller's buffer, for callers that allocate
  // the result themselves (an automation string). ToUtf16 writes at most
  // text.size() units, FromUtf16 at most MaxNarrowLength(text.size())
  // bytes; both return the length written.
  size_t ToUtf16(std::string_view text, char16_t* out) const;
  size_t FromUtf16(std::u16string_view text, char* out) const;
  size_t MaxNarrowLength(size_t units) const {
    return units * (number_ == kJapanese ? 2 : 3);
  }

 private:
  explicit CodePage(int number) : number_(number) {}
  int number_;
};

// The process's code page: QUILLON_CODEPAGE (932 or 65001) if set, else the
// locale's character set (UTF-8 -> 65001, Shift_JIS/CP932 -> 932, the C or
// POSIX locale -> 65001). Decided once, on first use, and thread-safe; the
// locale is looked up as setlocale(LC_CTYPE, "") would find it, without
// changing the process's own locale.
const CodePage& ProcessCodePage();

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_CODEPAGE_H_

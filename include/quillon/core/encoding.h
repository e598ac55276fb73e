// The value encoding that carries every named value between client and
// server, and the hex byte text of binary recordset fields.
//
// Text here is bytes in the process code page. Routines whose result
// depends on the code page take it as their last argument, defaulting to
// the process's one, so that callers and tests can pick 932 or 65001.
//
// C-string heritage: the peers these texts come from treat them as
// zero-terminated. Every routine below that *reads* text (DecodeValue,
// DecodeHex) therefore takes the first zero byte inside the
// view as the end of the text; bytes after it are ignored. The encoders
// take bytes with an explicit length, zero bytes included.
#ifndef QUILLON_CORE_ENCODING_H_
#define QUILLON_CORE_ENCODING_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "quillon/component/types.h"
#include "quillon/platform/codepage.h"

namespace quillon::core {

// --- Value encoding ------------------------------------------------------------
//
// Encoded text is over 0-9 A-Z a-z + %: ASCII letters and digits are
// copied, a blank becomes "+", every other byte (0x80 and up included)
// becomes "%" and two upper-case hex digits. The result never holds "=",
// "&", "?", blanks or control characters, so it can sit in a pair list.

// Encodes all of `bytes` (zero bytes too). At most 3 x bytes.size() chars.
// Throws std::bad_alloc only.
std::string EncodeValue(std::string_view bytes);
// The same, appended to *out (which is otherwise untouched). On bad_alloc
// *out keeps its old contents.
void AppendEncodedValue(std::string_view bytes, std::string* out);
// Encodes the bytes of `text` up to its first zero byte: how a text value
// (SetStringData, the Result property) is stored.
std::string EncodeText(std::string_view text);
// How many characters EncodeValue makes of `bytes`.
size_t EncodedLength(std::string_view bytes);
// EncodeValue a buffer at a time: encodes as many whole bytes from the
// start of `bytes` as fit in `room` characters at `out`, sets *consumed to
// their number and returns the characters written. Called again on the
// rest, the pieces join to EncodeValue(bytes). Progress is made whenever
// `room` is at least 3 and bytes remain.
size_t EncodeValuePiece(std::string_view bytes, char* out, size_t room, size_t* consumed);

// Decodes `text` (up to its first zero byte or the end of the view) into
// `out`, which must hold at least text.size() + 1 bytes and must not overlap
// the text, writes a zero
// after the decoded bytes and returns their number (the zero not counted).
// The result is never longer than the text.
//
//  - A lead byte of a multibyte character of `cp` met at the walk's current
//    position means the text was never encoded: `out` becomes an exact copy
//    of the whole text and the result is its length ("+" and "%" kept).
//    The two characters that follow a "%" are escape digits, not positions
//    of the walk, so they are not tested.
//  - "+" gives a blank.
//  - "%" h l gives the low 8 bits of 16*d(h) + d(l), where d(c) = c - '0'
//    for c below 'A' and (c & ~0x20) - 55 otherwise (c taken as an unsigned
//    byte). Non-hex characters are not rejected; they go through the same
//    arithmetic, so "%4a" gives 'J' and "%00" gives a zero byte that stays
//    in the result.
//  - An incomplete escape (a "%" with fewer than two characters after it
//    before the end) is an ordinary byte: the "%" is copied and the walk goes
//    on with the next character. Nothing past the end is ever read.
//  - Any other byte is copied.
size_t DecodeValue(std::string_view text, char* out,
                   const platform::CodePage& cp = platform::ProcessCodePage());
// Convenience: the decoded bytes (zero bytes included).
std::string DecodeValue(std::string_view text,
                        const platform::CodePage& cp = platform::ProcessCodePage());
// The same, appended to *out (which is otherwise untouched). Only the room
// the decoded bytes fill is written, so decoding a large value costs the
// memory of its result, not of its text. On bad_alloc *out keeps its old
// contents.
void AppendDecodedValue(std::string_view text, std::string* out,
                        const platform::CodePage& cp = platform::ProcessCodePage());

// --- Hex byte text -------------------------------------------------------------
//
// The prefix backslash, backslash, 'x' (bytes 5C 5C 78), then two
// upper-case hex digits per byte.
inline constexpr std::string_view kHexPrefix = "\\\\x";

// The prefix and the digits of all of `bytes`; the empty input gives the
// prefix alone.
std::string EncodeHex(std::string_view bytes);
// The same, appended to `out`.
void AppendHex(std::string_view bytes, std::string* out);
// The inverse, with the peers' arithmetic: the first three characters are
// skipped whatever they are, then every pair whose first character lies
// inside the text (up to its first zero byte) becomes one byte with the
// digit arithmetic of DecodeValue. A final unpaired digit is combined with
// the terminating zero, which counts as 0 - 48 (low 8 bits kept). A text of
// fewer than four characters gives no bytes.
std::string DecodeHex(std::string_view text);

// `form` values of the byte-array texts: kValueForm selects the value
// encoding, anything else the hex byte text. (The conversions between
// automation byte arrays and these texts are in component/byte_text.h.)
inline constexpr int kValueForm = 1;

}  // namespace quillon::core

#endif  // QUILLON_CORE_ENCODING_H_

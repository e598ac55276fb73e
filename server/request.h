// Request intake: the body read from standard input, the parse of the
// query string and of URL-encoded and multipart bodies into the incoming
// list, and the cookie scanner.
//
// The parsers are the peers' grammar, not RFC 2046's or RFC 6265's: they
// find what a browser sends, keep what they read before a malformed spot
// and never read outside their input. They take everything they look at as
// parameters, so that tests and fuzzers drive exactly the routine a live
// run uses.
#ifndef QUILLON_SERVER_REQUEST_H_
#define QUILLON_SERVER_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/platform/codepage.h"
#include "server/values.h"

namespace quillon::serving {
class CgiIo;
}  // namespace quillon::serving

namespace quillon::server {

using serving::CgiIo;

// Uploaded parts at least this long are kept as body bytes and encoded only
// when a text form is asked for (SaveRequestData); shorter ones are stored
// encoded like every other value.
inline constexpr size_t kRawPartThreshold = 4096;

// Standard input is read in pieces of this size (never past CONTENT_LENGTH).
inline constexpr size_t kReadPiece = 1 << 20;

// CONTENT_LENGTH as the C runtime's atoi reads it: leading white space and
// one sign, then decimal digits up to the first other character; no digit
// gives 0. Values beyond the 64-bit range saturate instead of overflowing.
int64_t ParseContentLength(std::string_view text);

// The first occurrence of `needle` in `text` at or after `from` that
// starts and ends on character boundaries of `cp` (`from` taken to be
// one); npos when there is none, `from` for an empty needle. The same
// result as CodePage::Find, in time linear in the text and the needle:
// matches are found bytewise and only they are checked against the
// character boundaries, which are walked once.
size_t FindOnCharacters(std::string_view text, std::string_view needle, size_t from,
                        const platform::CodePage& cp);

// A request body: its bytes, and the owner that keeps them alive for as
// long as incoming values refer into them.
struct RequestBody {
  std::string_view bytes;
  std::shared_ptr<const void> owner;
};

// A body that owns a copy of `bytes`.
RequestBody CopyBody(std::string_view bytes);

// Reads the request body: up to `length` bytes from `io`, stopping early
// when a read delivers nothing. The result holds exactly the bytes that
// arrived; nothing else is ever parsed. A promised length up to 1 GiB is
// reserved (as untouched address space) at once, beyond that the buffer
// grows with what arrives, so a CONTENT_LENGTH that promises more than
// comes costs nothing. A body that does not fit in memory throws
// std::bad_alloc.
RequestBody ReadBody(CgiIo& io, int64_t length);

// What ParseRequest looks at besides the body.
struct RequestText {
  // GetServerVariable("CONTENT_TYPE"), as received.
  std::string_view content_type;
  // The process's QUERY_STRING when it is set, else the captured one of
  // DebugInit.
  std::string_view query_string;
  // The most pairs the query string and a URL-encoded body may hold
  // together (for a multipart form, the query string alone), and the most
  // parts a multipart body may hold; nullopt for no limit. A request over
  // either throws RequestTooLarge before anything is stored.
  std::optional<size_t> max_pairs;
  std::optional<size_t> max_parts;
};

// One part of a multipart body as ParseMultipart finds it. The texts lie
// in the body.
struct MultipartPart {
  std::string_view field_name;
  std::string_view file_name;
  std::string_view content_type;
  size_t data_offset = 0;  // in the body
  size_t data_size = 0;
};

// The part loop over `body`. Parts are delimited by the boundary text
// after "boundary=" in the content type (quotes and further parameters are
// not removed); a part's data runs from after its blank line to four bytes
// before the next boundary (CR LF "--"), and is empty rather than negative
// when the next boundary follows sooner. A part without a blank line, or
// without "name=" in its header, ends the loop; earlier parts stay. Calls
// `part` for each part in order; false when the content type has no
// "boundary=" (nothing is parsed then).
bool ForEachMultipartPart(std::string_view content_type, std::string_view body,
                          const platform::CodePage& cp,
                          const std::function<void(const MultipartPart&)>& part);

// A multipart body taken apart (ForEachMultipartPart collected).
struct MultipartScan {
  // The '=' characters of the query string: that many blank upload
  // entries stand before the parts' ones.
  size_t query_pairs = 0;
  // False when the content type has no "boundary=": nothing is parsed.
  bool has_boundary = false;
  std::vector<MultipartPart> parts;
};

// (nullopt: no body.)
MultipartScan ScanMultipart(std::string_view content_type, std::string_view query_string,
                            std::optional<std::string_view> body, const platform::CodePage& cp);

// Parses one request into `values`: a multipart body (content type
// containing MULTIPART/FORM-DATA in any case) part by part, anything else
// as the pair text query string + "&" + body up to its first zero byte.
// Names are decoded, values stay encoded. Parts of at least
// `raw_part_threshold` bytes keep referring to `body` (nullptr: no body).
// On std::bad_alloc or RequestTooLarge `values` is unchanged.
// With `release_body`, a body that no entry refers into (a URL-encoded
// one, copied into the pair text) is released as soon as it is copied, so
// that a large form is not held twice while its entries are built.
void ParseRequest(const RequestText& request, RequestBody* body, ServerValues* values,
                  size_t raw_part_threshold = kRawPartThreshold, bool release_body = false);

// The cookie pairs of an HTTP_COOKIE text: the name runs to the next "=",
// the value to the next "; " or the end. A rest without "=" ends the scan.
std::vector<std::pair<std::string, std::string>> ScanCookiePairs(std::string_view text,
                                                                 const platform::CodePage& cp);

// The captured environment of DebugInit: "NAME=VALUE\r\n" lines. A value
// without a line end after it is empty and the scan goes on three bytes
// after its "=".
std::vector<std::pair<std::string, std::string>> ScanDebugEnvironment(std::string_view text);

}  // namespace quillon::server

#endif  // QUILLON_SERVER_REQUEST_H_

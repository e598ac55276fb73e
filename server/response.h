// The response a QServer collects while the script runs and writes in one
// go when it ends: header lines, cookies, expiry, session variables, and a
// text body, a binary body, or none (then the session text).
#ifndef QUILLON_SERVER_RESPONSE_H_
#define QUILLON_SERVER_RESPONSE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/component/types.h"
#include "quillon/platform/codepage.h"

namespace quillon::serving {
class CgiIo;
}  // namespace quillon::serving

namespace quillon::server {

using serving::CgiIo;

// The prefix of the cookies that carry session variables.
inline constexpr std::string_view kSessionCookiePrefix = "__QuillonSV_";

// --- Header text -------------------------------------------------------------
// Text that goes into the header block may hold several header lines, but
// each line after a line end (CR LF, or a lone CR or LF) must be a header
// field: a name of token characters and a colon. A line end at the very
// end, or two in a row, would end the block; a line that starts otherwise
// would smuggle text into it. Throws InvalidHeaderText for those.
void CheckHeaderText(std::string_view text);
// True when `name` is a cookie-name token (visible ASCII, no separators).
bool IsCookieNameToken(std::string_view name);

// --- Dates -----------------------------------------------------------------
// A date as the zone's clock shows it, turned into GMT with the zone's
// offset in force at that date (daylight saving included) and formatted
// with English names. Dates that have no calendar form count as the zero
// date (30 December 1899, 00:00:00). Where the C library cannot place a
// date, the zone's standard bias is used.

// "Thu, 01-Jan-2009 09:00:00 GMT; " (the cookie form, trailing blank).
std::string FormatCookieDate(com::DATE local);
// "Thu, 01 Jan 2009 09:00:00 GMT".
std::string FormatExpiresDate(com::DATE local);
// The current local date and time, to the second.
com::DATE CurrentLocalDate();
// Seconds to add to local standard time to get GMT (the zone's standard
// bias): the C library's `timezone` after tzset(). Dates use the offset in
// force at the date; this is their fallback.
int64_t StandardBiasSeconds();

class Response {
 public:
  // The text body starts in the memory the last response on this thread
  // left (see response.cc).
  Response();
  ~Response();
  Response(const Response&) = delete;
  Response& operator=(const Response&) = delete;

  // WriteString: the text goes on the last line (a first line is made).
  void AppendText(std::string_view text);
  // WriteCRLF: a new empty line.
  void NewLine();
  // The text body itself, for a writer that appends in place (line ends as
  // CR LF; while `*no_text_yet`, a first line end adds nothing, as NewLine
  // would); TextBodyAppended(true) afterwards when anything went in.
  std::string* TextBodyForAppend(bool* no_text_yet) {
    *no_text_yet = !has_text_body_;
    return &text_body_;
  }
  void TextBodyAppended(bool touched) {
    if (touched) has_text_body_ = true;
  }
  void SetBinaryBody(std::string bytes) { binary_body_ = std::move(bytes); }
  // Refuses text that CheckHeaderText refuses.
  void AddHeader(std::string_view line);
  // "Set-Cookie: NAME=ENCODED; [expires=...; ] path=/" (two blanks before
  // "path=/" because the pieces are joined unchanged). A name holding CR
  // or LF is refused (InvalidHeaderText).
  void SetCookie(std::string_view name, std::string_view value,
                 std::optional<com::DATE> expires);
  void SetExpires(com::DATE local) { header_lines_.push_back("Expires: " + FormatExpiresDate(local)); }

  // Session variables: read ignoring case, written by exact name (a name
  // holding CR or LF is refused: InvalidHeaderText).
  std::string SessionVariable(std::string_view name, const platform::CodePage& cp) const;
  void SetSessionVariable(std::string_view name, std::string_view value);
  // A variable read from the request's cookies: its name, decoded value,
  // and the issue time its signed cookie carried (0 without signing).
  struct RequestVariable {
    std::string name;
    std::string value;
    int64_t issued = 0;
  };
  // Appends variables read from the request's cookies; after
  // ReserveSessionVariables(variables.size()) it cannot fail. They go back
  // as cookies only when their names are cookie-name tokens: the visitor
  // chose them, and "a;Secure;Max-Age=9" would come back as attributes.
  void ReserveSessionVariables(size_t more) {
    session_variables_.reserve(session_variables_.size() + more);
    from_request_.reserve(from_request_.size() + more);
    issued_.reserve(issued_.size() + more);
  }
  void AddSessionVariables(std::vector<RequestVariable> variables);
  // How HeaderText writes the session cookies. With a key they carry its
  // tag (server/session_signing.h): a variable read from a signed cookie
  // and not written since keeps its issue time, every other one is issued
  // at `now`; and they are marked HttpOnly and SameSite=Lax, and Secure
  // when `secure` (the request came over HTTPS). Without a key they go out
  // unsigned and unmarked, as before signing existed.
  struct SessionSigning {
    std::string key;
    int64_t now = 0;
    bool secure = false;
  };
  void SetSessionSigning(SessionSigning signing) { signing_ = std::move(signing); }

  const std::vector<std::string>& header_lines() const { return header_lines_; }
  // True once the page wrote any text (even an empty line).
  bool has_text_body() const { return has_text_body_; }
  const std::optional<std::string>& binary_body() const { return binary_body_; }
  const std::vector<std::pair<std::string, std::string>>& session_variables() const {
    return session_variables_;
  }

  // "Content-Type: " + content type + "\r\n", every header line + "\r\n"
  // (with the session variables' cookies after the script's own lines
  // when asked), then "Connection: close\r\n" unless told otherwise; no
  // empty line.
  std::string HeaderText(std::string_view content_type, bool with_session_cookies,
                         bool close_connection = true) const;
  // The text body: every line followed by "\r\n".
  std::string TextBody() const;

  // The whole response on `io`: the header block with the session cookies
  // and its empty line, then the binary body, the text body, or
  // `session_text` when neither was written; then the output is flushed.
  // False when the output refused bytes; nothing was written after that.
  bool Write(CgiIo& io, std::string_view content_type, std::string_view session_text) const;

 private:
  std::vector<std::string> header_lines_;
  // The text body as it goes out, without the last line's end: a page of a
  // thousand lines is then one growing string, not a thousand of them.
  std::string text_body_;
  bool has_text_body_ = false;
  std::optional<std::string> binary_body_;
  std::vector<std::pair<std::string, std::string>> session_variables_;
  // Parallel to session_variables_: true for those read from the request,
  // and the issue time of each (0: issue it when written).
  std::vector<bool> from_request_;
  std::vector<int64_t> issued_;
  SessionSigning signing_;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_RESPONSE_H_

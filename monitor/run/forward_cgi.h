// The forwarding CGI mode: the monitor stands where the web server expects
// a server application, collects one request (RFC 3875 environment and
// body), hands it to the project's debug object, which runs under the
// developer's debugger, and writes its answer back as the CGI response.
#ifndef QUILLON_MONITOR_RUN_FORWARD_CGI_H_
#define QUILLON_MONITOR_RUN_FORWARD_CGI_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "monitor/run/startup.h"
#include "quillon/component/variant.h"

namespace quillon::monitor {

// Where the request comes from and the answer goes to.
struct CgiStreams {
  EnvLookup env;
  // Reads up to `size` bytes of the request body into `buffer`; returns the
  // count, 0 at the end of the input or on a read error.
  std::function<size_t(char* buffer, size_t size)> read;
  // Writes all of `bytes` to the response.
  std::function<void(std::string_view bytes)> write;
  // Pushes what was written out to the web server.
  std::function<void()> flush;
};

// Standard input and output of the process, unbuffered, with the process
// environment.
CgiStreams ProcessCgiStreams();

// The variables passed on, in this order.
inline constexpr const char* kForwardedVariables[] = {
    "AUTH_TYPE",       "CONTENT_LENGTH",     "CONTENT_TYPE",    "GATEWAY_INTERFACE",
    "LOGON_USER",      "PATH_INFO",          "PATH_TRANSLATED", "QUERY_STRING",
    "REMOTE_ADDR",     "REMOTE_HOST",        "REQUEST_METHOD",  "SCRIPT_MAP",
    "SCRIPT_NAME",     "SERVER_NAME",        "SERVER_PORT",     "SERVER_PORT_SECURE",
    "SERVER_PROTOCOL", "SERVER_SOFTWARE",    "URL",             "HTTP_ACCEPT",
    "HTTP_COOKIE",     "HTTP_ACCEPT_LANGUAGE", "HTTP_CONNECTION", "HTTP_HOST",
    "HTTP_USER_AGENT",
};

// "NAME=value\r\n" for every variable of kForwardedVariables that is set,
// values unchanged (bytes of the process code page) but for CR and LF,
// which are written as blanks: a value the visitor partly writes
// (PATH_INFO, QUERY_STRING) must not add lines of its own.
std::string CollectEnvironmentText(const EnvLookup& env);

// The largest body the call can carry: what is left of one message
// (com::kMaxMessageBytes) beside an environment text of
// `environment_units` UTF-16 units and the rest of the call.
uint64_t MaxForwardedBody(size_t environment_units);

// The request body as StartDebug takes it. CONTENT_LENGTH's leading decimal
// number n (as the C library reads it; a value that is no number, is
// negative or is 0 means no body) gives a byte array of n + 1 elements:
// the bytes read in pieces of at most kBodyPiece bytes until n have arrived
// or a read returns 0, then zeros (the bytes not received and the final
// one). No body gives EMPTY. A length above `limit` is refused before
// anything is allocated or read.
inline constexpr size_t kBodyPiece = 256;
enum class BodyResult { kRead, kTooLarge, kNoMemory };
BodyResult ReadRequestBody(const CgiStreams& io, uint64_t limit, com::Variant* body);

// `text` with "&", "<", ">" and '"' written as character references, for
// the texts of the error page that others write (an exception's
// description may quote the visitor's input).
std::u16string EscapeHtml(std::u16string_view text);

// The error page: header, empty line, the fixed HTML with `message` in it,
// written and flushed, in the process code page.
void WriteErrorPage(const CgiStreams& io, std::u16string_view message);

// Runs the whole mode for `project_name` (the result of the project lookup,
// "" when none matched): collect, call, write. The debug object is created
// under ForwardingTrust(io.env). Results of the call:
// - answer: the header text in the process code page, "\r\n", then the body
//   (a byte array as all its bytes, a string in the process code page,
//   anything else nothing), flushed;
// - creation failed: error page with 1001 "<BR>" description "<BR>" 1003;
// - the object reported an error: error page with "<ProgID> : <description>";
// - any other failure: error page with 1002.
// The description and the ProgID are escaped (EscapeHtml). A body longer
// than MaxForwardedBody gives an error page saying so, one whose array
// cannot be allocated the platform's out-of-memory description; no object
// is created then.
void RunForwardingCgi(std::string_view project_name, const CgiStreams& io);

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_RUN_FORWARD_CGI_H_

// The HTTP transport of the client control (libcurl underneath): one
// request per call, no connection kept between calls.
//
// Errors: HttpError carries the transport's own numeric code (libcurl's
// CURLcode: 6 unresolvable host, 7 refused, 28 time-out, 60 certificate,
// ...), which the control reports to scripts. A status code is no error
// here; callers judge it.
#ifndef QUILLON_PLATFORM_HTTP_H_
#define QUILLON_PLATFORM_HTTP_H_

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform {

struct HttpEndpoint {
  std::string agent;  // the User-Agent header
  std::string host;
  int port = 80;
  // "host:port" of an HTTP proxy, or "" for a direct connection. The
  // environment's proxy variables are never consulted.
  std::string proxy;
  // TLS: the server's certificate must come from a trusted issuer, be
  // valid today and name `host`. The trusted issuers are the system's, or
  // those of the file QUILLON_CA_BUNDLE names.
  bool tls = false;
  // With tls: forgive a certificate's dates and a host-name mismatch, but
  // nothing else (an unknown issuer still fails): the rule of old, for a
  // site that depends on it.
  bool lenient_tls = false;
  // A hung server must not block a caller forever: the connection must be
  // made within connect_timeout_s, and the transfer fails when less than
  // one byte arrives per second for stall_timeout_s seconds.
  long connect_timeout_s = 60;
  long stall_timeout_s = 300;
};

class HttpError : public std::runtime_error {
 public:
  HttpError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

struct HttpResponse {
  long status = 0;
  std::string body;
};

// The request target is sent exactly as given: no path is normalised, no
// fragment dropped, nothing escaped, an empty target stays empty. Through a
// proxy (plain HTTP) a target that starts with "/" is preceded by
// "http://host:port", the form a proxy needs; any other target goes as
// given there too. A target holding CR, LF or NUL would split the request
// line and is refused with CURLE_URL_MALFORMAT (3).

// POST `body` to `target` with "Accept: text/*" and no Content-Type, and
// read the whole answer.
HttpResponse HttpPost(const HttpEndpoint& endpoint, std::string_view target,
                      std::string_view body);
// A request body made while it is sent: `size` bytes in all, of which
// `read` fills up to `room` bytes at `buffer` with what comes next and
// returns their number (0 only once all `size` bytes were given), so a
// large body is never made whole in memory.
struct HttpBodySource {
  uint64_t size = 0;
  std::function<size_t(char* buffer, size_t room)> read;
};
// The same POST with the body read from `body`.
HttpResponse HttpPost(const HttpEndpoint& endpoint, std::string_view target,
                      const HttpBodySource& body);
// Where an answer goes as it arrives: `announced` is called once, before
// the first piece, with the length the server announced (-1 when it
// announced none), then `piece` with every piece in order. Neither is
// called for an empty answer.
struct HttpAnswerSink {
  std::function<void(int64_t length)> announced;
  std::function<void(std::string_view piece)> piece;
};
// The same, with the answer handed to `sink` instead of collected (the
// response's body stays empty).
HttpResponse HttpPost(const HttpEndpoint& endpoint, std::string_view target,
                      const HttpBodySource& body, const HttpAnswerSink& sink);

// GET `target` over plain HTTP (endpoint.tls is ignored) with no header of
// its own. `on_status` is called once with the status before any body
// byte; the body then goes to `sink` piece by piece (only when on_status
// returned true). Returns the status.
long HttpGet(const HttpEndpoint& endpoint, std::string_view target,
             const std::function<bool(long status)>& on_status,
             const std::function<void(std::string_view piece)>& sink);

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_HTTP_H_

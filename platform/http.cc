#include "quillon/platform/http.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "quillon/component/runtime.h"

namespace quillon::platform {
namespace {

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

CurlHandle NewHandle() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CurlHandle curl(curl_easy_init());
  if (!curl) throw std::bad_alloc();
  return curl;
}

// Bodies up to this size are joined and handed to libcurl whole.
constexpr size_t kJoinedBodyLimit = 64 * 1024;

void Append(HeaderList* list, const char* line) {
  curl_slist* grown = curl_slist_append(list->get(), line);
  if (grown == nullptr) throw std::bad_alloc();
  (void)list->release();
  list->reset(grown);
}

// The certificate's dates are forgiven (a client talking to an intranet
// server with a lapsed certificate keeps working); every other fault stands.
// OpenSSL keeps checking after a forgiven error, so the error is cleared
// or libcurl would refuse the handshake afterwards.
int ForgiveDates(int preverify_ok, X509_STORE_CTX* ctx) {
  if (preverify_ok != 0) return 1;
  const int error = X509_STORE_CTX_get_error(ctx);
  if (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID) {
    X509_STORE_CTX_set_error(ctx, X509_V_OK);
    return 1;
  }
  return 0;
}

CURLcode SetUpLenientTls(CURL* /*curl*/, void* ssl_ctx, void* /*user*/) {
  SSL_CTX_set_verify(static_cast<SSL_CTX*>(ssl_ctx), SSL_VERIFY_PEER, ForgiveDates);
  return CURLE_OK;
}

// "http://host:port" (https with TLS), without a path.
std::string Origin(const HttpEndpoint& endpoint, bool tls) {
  std::string url = tls ? "https://" : "http://";
  // A numeric IPv6 address needs its brackets in a URL.
  const bool ipv6 = endpoint.host.find(':') != std::string::npos;
  if (ipv6) url += '[';
  url += endpoint.host;
  if (ipv6) url += ']';
  url += ':' + std::to_string(endpoint.port);
  return url;
}

void Check(CURLcode code) {
  if (code != CURLE_OK) throw HttpError(static_cast<int>(code), curl_easy_strerror(code));
}

// What goes into the request line. libcurl would build it from the URL,
// and a URL is normalised on the way ("/a/../b" becomes "/b", a fragment
// is dropped, other bytes are escaped): the target is the caller's, so it
// is set whole instead. A proxy that forwards plain HTTP needs the
// absolute form; one that tunnels TLS sees the origin's form.
std::string RequestTarget(const HttpEndpoint& endpoint, bool tls, std::string_view target) {
  if (target.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    throw HttpError(CURLE_URL_MALFORMAT,
                    "the request target holds CR, LF or NUL, which would split the request");
  }
  if (!endpoint.proxy.empty() && !tls && !target.empty() && target.front() == '/') {
    return Origin(endpoint, tls).append(target);
  }
  return std::string(target);
}

void SetCommon(CURL* curl, const HttpEndpoint& endpoint, bool tls, const std::string& url,
               const std::string& target) {
  Check(curl_easy_setopt(curl, CURLOPT_URL, url.c_str()));
  Check(curl_easy_setopt(curl, CURLOPT_REQUEST_TARGET, target.c_str()));
  Check(curl_easy_setopt(curl, CURLOPT_USERAGENT, endpoint.agent.c_str()));
  // An empty proxy disables the environment's proxy variables, and an
  // empty exception list keeps no_proxy from sending around the proxy
  // that is set: the endpoint alone decides.
  Check(curl_easy_setopt(curl, CURLOPT_PROXY, endpoint.proxy.c_str()));
  Check(curl_easy_setopt(curl, CURLOPT_NOPROXY, ""));
  Check(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
  Check(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, endpoint.connect_timeout_s));
  Check(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L));
  Check(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, endpoint.stall_timeout_s));
  if (tls) {
    // Sites with a private CA name its certificates here; the system's
    // store is used otherwise.
    if (const char* bundle = std::getenv("QUILLON_CA_BUNDLE"); bundle != nullptr && *bundle) {
      Check(curl_easy_setopt(curl, CURLOPT_CAINFO, bundle));
    }
    Check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L));
    if (endpoint.lenient_tls) {
      Check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L));
      Check(curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &SetUpLenientTls));
    } else {
      Check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L));
    }
  }
}

// Exceptions must not cross libcurl's C frames: a callback that fails
// stores what it threw and stops the transfer, and the caller rethrows it.
struct PostState {
  CURL* curl;
  std::string body;
  bool sized = false;
  std::exception_ptr error;
  const HttpBodySource* source = nullptr;
  // Where the answer goes instead of `body`, when set.
  const HttpAnswerSink* sink = nullptr;
  uint64_t left = 0;  // request body bytes still to send
};

// Room reserved up front for an answer whose length the server announced;
// a larger announcement is believed only as far as this, and the rest
// grows as it arrives.
constexpr curl_off_t kMaxAnnouncedReserve = curl_off_t{1} << 30;

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<PostState*>(user);
  try {
    if (!state->sized) {
      // A large answer is put in its place once instead of being copied at
      // every doubling of the buffer.
      state->sized = true;
      curl_off_t length = -1;
      if (curl_easy_getinfo(state->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) {
        length = -1;
      }
      if (state->sink != nullptr) {
        state->sink->announced(length < 0 ? -1 : static_cast<int64_t>(length));
      } else if (length > 0) {
        state->body.reserve(static_cast<size_t>(std::min(length, kMaxAnnouncedReserve)));
        com::AdviseLargeBuffer(state->body.data(), state->body.capacity());
      }
    }
    if (state->sink != nullptr) {
      state->sink->piece(std::string_view(data, size * count));
    } else {
      state->body.append(data, size * count);
    }
    return size * count;
  } catch (...) {
    state->error = std::current_exception();
    return 0;
  }
}

// Hands libcurl the request body a buffer at a time, so that a large body
// is never made whole. A source that ends early or runs over its announced
// size would send a request the server misreads: the transfer is stopped.
size_t SupplyBody(char* buffer, size_t size, size_t count, void* user) {
  auto* state = static_cast<PostState*>(user);
  try {
    const size_t room = static_cast<size_t>(std::min<uint64_t>(size * count, state->left));
    size_t written = 0;
    // A source may leave a few bytes of room unused (an escape that does
    // not fit); the rest comes with the next call.
    while (written < room) {
      const size_t n = state->source->read(buffer + written, room - written);
      if (n > room - written) throw std::logic_error("the request body overran its buffer");
      if (n == 0) break;
      written += n;
    }
    if (written == 0 && room != 0) {
      throw std::logic_error("the request body is shorter than announced");
    }
    state->left -= written;
    return written;
  } catch (...) {
    state->error = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

struct GetState {
  CURL* curl;
  const std::function<bool(long)>* on_status;
  const std::function<void(std::string_view)>* sink;
  bool status_seen = false;
  bool wanted = false;
  std::exception_ptr error;
};

size_t DeliverBody(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<GetState*>(user);
  try {
    if (!state->status_seen) {
      long status = 0;
      curl_easy_getinfo(state->curl, CURLINFO_RESPONSE_CODE, &status);
      state->status_seen = true;
      state->wanted = (*state->on_status)(status);
    }
    if (state->wanted) (*state->sink)(std::string_view(data, size * count));
    return size * count;
  } catch (...) {
    state->error = std::current_exception();
    return 0;
  }
}

}  // namespace

namespace {

HttpResponse Post(const HttpEndpoint& endpoint, std::string_view target, const HttpBodySource& body,
                  const HttpAnswerSink* sink) {
  CurlHandle curl = NewHandle();
  const std::string url = Origin(endpoint, endpoint.tls) + "/";
  SetCommon(curl.get(), endpoint, endpoint.tls, url, RequestTarget(endpoint, endpoint.tls, target));
  HeaderList headers;
  Append(&headers, "Accept: text/*");
  // The body is a pair list the server reads whatever its type; the
  // original sent no Content-Type, and neither does this.
  Append(&headers, "Content-Type:");
  // No 100-continue round trip for large bodies.
  Append(&headers, "Expect:");
  Check(curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get()));
  Check(curl_easy_setopt(curl.get(), CURLOPT_POST, 1L));
  PostState state;
  state.curl = curl.get();
  state.source = &body;
  state.sink = sink;
  state.left = body.size;
  // A small body goes out joined, in the request's first packet as libcurl
  // sends given fields; a large one is read while it is sent.
  std::string joined;
  if (body.size <= kJoinedBodyLimit) {
    joined.resize(static_cast<size_t>(body.size));
    for (size_t at = 0; at < joined.size();) {
      const size_t n = SupplyBody(joined.data() + at, 1, joined.size() - at, &state);
      if (state.error) std::rethrow_exception(state.error);
      at += n;
    }
    Check(curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, joined.data()));
  } else {
    Check(curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, &SupplyBody));
    Check(curl_easy_setopt(curl.get(), CURLOPT_READDATA, &state));
  }
  Check(curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.size)));
  Check(curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &CollectBody));
  Check(curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &state));
  const CURLcode done = curl_easy_perform(curl.get());
  if (state.error) std::rethrow_exception(state.error);
  Check(done);
  HttpResponse response;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &response.status);
  response.body = std::move(state.body);
  return response;
}

}  // namespace

HttpResponse HttpPost(const HttpEndpoint& endpoint, std::string_view target,
                      const HttpBodySource& body) {
  return Post(endpoint, target, body, nullptr);
}

HttpResponse HttpPost(const HttpEndpoint& endpoint, std::string_view target,
                      const HttpBodySource& body, const HttpAnswerSink& sink) {
  return Post(endpoint, target, body, &sink);
}

HttpResponse HttpPost(const HttpEndpoint& endpoint, std::string_view target,
                      std::string_view body) {
  HttpBodySource source;
  source.size = body.size();
  source.read = [&body](char* buffer, size_t room) {
    const size_t n = std::min(room, body.size());
    if (n != 0) std::memcpy(buffer, body.data(), n);
    body.remove_prefix(n);
    return n;
  };
  return HttpPost(endpoint, target, source);
}

long HttpGet(const HttpEndpoint& endpoint, std::string_view target,
             const std::function<bool(long)>& on_status,
             const std::function<void(std::string_view)>& sink) {
  CurlHandle curl = NewHandle();
  const std::string url = Origin(endpoint, false) + "/";
  // No header of its own: there is no cache here to bypass.
  SetCommon(curl.get(), endpoint, false, url, RequestTarget(endpoint, false, target));
  Check(curl_easy_setopt(curl.get(), CURLOPT_HTTPGET, 1L));
  GetState state{curl.get(), &on_status, &sink, false, false, nullptr};
  Check(curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &DeliverBody));
  Check(curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &state));
  const CURLcode done = curl_easy_perform(curl.get());
  if (state.error) std::rethrow_exception(state.error);
  Check(done);
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (!state.status_seen) state.wanted = on_status(status);  // an empty body
  return status;
}

}  // namespace quillon::platform

// The serving loop of quillon/serving/loop.h.
#include "quillon/serving/loop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "serving/fastcgi_io.h"
#include "serving/fastcgi_library.h"

namespace quillon::serving {
namespace {

constexpr std::string_view kFailedPage =
    "Status: 500 Internal Server Error\r\n"
    "Content-Type: text/plain\r\n"
    "Connection: close\r\n\r\n"
    "500 Internal Server Error\r\n";

// The CgiIo the objects of one request see. It remembers whether any of
// the response went out (so that a failure answers 500 only while that is
// still possible), drops writes once the page has been given up, and
// refuses everything after the request has ended: libfcgi reuses the
// request's streams for the next one, which an object kept beyond its
// request must never reach.
class RequestIo final : public CgiIo {
 public:
  explicit RequestIo(std::shared_ptr<CgiIo> inner) : inner_(std::move(inner)) {}

  std::optional<std::string> GetEnv(const std::string& name) const override {
    return inner_ ? inner_->GetEnv(name) : std::nullopt;
  }
  size_t ReadInput(char* buffer, size_t size) override {
    return inner_ ? inner_->ReadInput(buffer, size) : 0;
  }
  bool WriteOutput(std::string_view bytes) override {
    if (!inner_ || abandoned_) return false;
    wrote_ = true;
    return inner_->WriteOutput(bytes);
  }
  bool FlushOutput() override {
    if (!inner_ || abandoned_) return false;
    return inner_->FlushOutput();
  }
  bool ClosesConnection() const override { return !inner_ || inner_->ClosesConnection(); }

  // The loop answers a failed request itself, once the page has given up.
  void Fail() override { Abandon(); }
  void Abandon() { abandoned_ = true; }
  // The failure answer, when nothing of a response has been written.
  void AnswerFailure() {
    if (!inner_ || wrote_) return;
    wrote_ = true;
    if (inner_->WriteOutput(kFailedPage)) inner_->FlushOutput();
  }
  void Close() { inner_.reset(); }

 private:
  std::shared_ptr<CgiIo> inner_;
  bool abandoned_ = false;
  bool wrote_ = false;
};

// The request being answered, for AbandonCurrentResponse.
RequestIo* g_current = nullptr;

// Makes `io` the current request for the life of the scope.
class CurrentRequest {
 public:
  explicit CurrentRequest(const std::shared_ptr<RequestIo>& io) {
    CgiIo::SetCurrent(io);
    g_current = io.get();
  }
  ~CurrentRequest() {
    g_current = nullptr;
    CgiIo::SetCurrent(nullptr);
  }
  CurrentRequest(const CurrentRequest&) = delete;
  CurrentRequest& operator=(const CurrentRequest&) = delete;
};

template <typename Log>
void AnswerOne(std::shared_ptr<CgiIo> inner, const std::function<void()>& request, Log log) {
  auto io = std::make_shared<RequestIo>(std::move(inner));
  {
    CurrentRequest current(io);
    try {
      request();
    } catch (const std::exception& error) {
      log(std::string("quillon: the request failed: ") + error.what());
      io->Abandon();
      io->AnswerFailure();
    } catch (...) {
      log("quillon: the request failed with an unknown exception");
      io->Abandon();
      io->AnswerFailure();
    }
  }
  io->Close();
}

// libfcgi ends a connection gracefully: it shuts its side down and then
// waits until the web server has closed its own, so that no byte left
// unread turns the close into a reset that could cost the server the end
// of the answer. That wait puts the process to sleep once more per request
// and costs a wake-up (a quarter of a small page's time, measured). Here
// the connection is kept open on a duplicate of its descriptor, shut down
// for writing at once, and closed once the server has closed its side -
// looked at without blocking after each later request. Only a backlog of
// servers that keep their ends open makes the loop wait, as libfcgi would.
class DeferredCloses {
 public:
  explicit DeferredCloses(const FastCgiLibrary& fcgi) : fcgi_(fcgi) {}
  DeferredCloses(const DeferredCloses&) = delete;
  DeferredCloses& operator=(const DeferredCloses&) = delete;
  ~DeferredCloses() {
    for (int fd : open_) WaitAndClose(fd);
  }

  // FCGX_Finish_r, with the close deferred.
  void Finish(FCGX_Request* request) {
    // ipcFd and keepConnection are libfcgi's own fields (it offers no
    // accessor): a connection the server keeps for more requests is left
    // to the library, and a duplicate that cannot be made changes nothing.
    int kept = -1;
    if (request->ipcFd >= 0 && !request->keepConnection) {
      kept = ::fcntl(request->ipcFd, F_DUPFD_CLOEXEC, 0);
      // Detached, the library closes its descriptor without the wait.
      if (kept >= 0 && fcgi_.Detach(request) != 0) {
        ::close(kept);
        kept = -1;
      }
    }
    fcgi_.Finish(request);
    if (kept < 0) return;
    ::shutdown(kept, SHUT_WR);
    CloseFinished();
    if (open_.size() >= kMaxOpen) {
      WaitAndClose(open_.front());
      open_.pop_front();
    }
    open_.push_back(kept);
  }

 private:
  static constexpr size_t kMaxOpen = 64;

  // Reads what the server still sent; true once it has closed its side
  // (or the connection failed), when closing cannot reset anything.
  static bool Drained(int fd) {
    char scrap[512];
    for (;;) {
      const ssize_t n = ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
      if (n > 0) continue;
      if (n < 0 && errno == EINTR) continue;
      return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
  }

  void CloseFinished() {
    std::erase_if(open_, [](int fd) {
      if (!Drained(fd)) return false;
      ::close(fd);
      return true;
    });
  }

  // libfcgi's own way: up to two seconds for the server to close.
  static void WaitAndClose(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (!Drained(fd) && ::poll(&p, 1, 2000) > 0) {
    }
    ::close(fd);
  }

  const FastCgiLibrary& fcgi_;
  std::deque<int> open_;
};

}  // namespace

void AbandonCurrentResponse() {
  if (g_current != nullptr) g_current->Abandon();
}

void FailCurrentRequest() { CgiIo::Current()->Fail(); }

void ServeRequests(const std::function<void()>& request) {
  // libfcgi's own test (FCGX_IsCGI), made without loading it: a CGI start
  // never maps the library.
  if (!IsFastCgiListener(STDIN_FILENO)) {
    AnswerOne(CgiIo::Process(), request, [](const std::string& text) {
      std::fprintf(stderr, "%s\n", text.c_str());
    });
    return;
  }
  std::string why;
  const FastCgiLibrary* fcgi = LoadFastCgi(&why);
  if (fcgi == nullptr) {
    // Nothing can answer the web server: say why where its log shows it.
    std::fprintf(stderr, "quillon: started as FastCGI, but %s\n", why.c_str());
    return;
  }
  // A client that went away mid-answer must not end the process: the write
  // fails and the next request is served.
  ::signal(SIGPIPE, SIG_IGN);
  if (fcgi->Init() != 0) return;
  FCGX_Request request_state;
  if (fcgi->InitRequest(&request_state, 0, 0) != 0) return;
  DeferredCloses closes(*fcgi);
  while (fcgi->Accept(&request_state) >= 0) {
    auto io = std::make_shared<FastCgiIo>(*fcgi, &request_state);
    AnswerOne(io, request, [&io](const std::string& text) { io->LogError(text); });
    closes.Finish(&request_state);
  }
  fcgi->Free(&request_state, 1);
}

}  // namespace quillon::serving

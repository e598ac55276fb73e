// The process's CgiIo and the current request.
#include "quillon/serving/cgi_io.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "quillon/platform/files.h"

namespace quillon::serving {
namespace {

// The process's environment and standard streams. It remembers whether a
// response has begun, so that a failure after that point changes nothing:
// a second header block would only end up in the first one's body.
class ProcessIo final : public CgiIo {
 public:
  bool WriteOutput(std::string_view bytes) override {
    wrote_ = true;
    return CgiIo::WriteOutput(bytes);
  }
  void Fail() override {
    if (!wrote_) MarkFailed();
  }

 private:
  bool wrote_ = false;
};

// Only the serving loop's thread sets it; objects are single-threaded.
std::shared_ptr<CgiIo>& CurrentIo() {
  static std::shared_ptr<CgiIo> io;
  return io;
}

}  // namespace

CgiIo::~CgiIo() = default;

std::optional<std::string> CgiIo::GetEnv(const std::string& name) const {
  // getenv would take "A=B" or "A\0B" for a shorter name.
  if (name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) return std::nullopt;
  return platform::GetEnv(name);
}

size_t CgiIo::ReadInput(char* buffer, size_t size) {
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer, size);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return 0;
  }
}

bool CgiIo::WriteOutput(std::string_view bytes) {
  // Through stdio, so that anything the program printed itself keeps its
  // place; Linux streams never translate line ends.
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size()) return true;
  // The reader has gone: what stdio still holds would only fail again (or
  // raise SIGPIPE) when the process exits.
  __fpurge(stdout);
  return false;
}

bool CgiIo::FlushOutput() {
  if (std::fflush(stdout) == 0) return true;
  __fpurge(stdout);
  return false;
}

bool CgiIo::ClosesConnection() const { return true; }

void CgiIo::Fail() { MarkFailed(); }

bool CgiIo::ClaimFailureAnswer() {
  if (!failed_ || failure_answered_) return false;
  failure_answered_ = true;
  return true;
}

std::shared_ptr<CgiIo> CgiIo::Process() {
  static const std::shared_ptr<CgiIo> io = std::make_shared<ProcessIo>();
  return io;
}

std::shared_ptr<CgiIo> CgiIo::Current() {
  const std::shared_ptr<CgiIo>& io = CurrentIo();
  return io ? io : Process();
}

void CgiIo::SetCurrent(std::shared_ptr<CgiIo> io) { CurrentIo() = std::move(io); }

}  // namespace quillon::serving

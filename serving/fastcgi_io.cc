#include "serving/fastcgi_io.h"

#include <fastcgi.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace quillon::serving {

std::optional<std::string> FastCgiIo::GetEnv(const std::string& name) const {
  // A name with "=" would match the tail of another parameter's pair, and
  // one with a zero byte a shorter name.
  if (name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) return std::nullopt;
  const char* value = fcgi_.GetParam(name.c_str(), request_->envp);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

size_t FastCgiIo::ReadInput(char* buffer, size_t size) {
  // libfcgi counts in int; it returns fewer bytes only at the end of the
  // input or on an error.
  const int chunk = static_cast<int>(std::min<size_t>(size, INT_MAX));
  const int got = fcgi_.GetStr(buffer, chunk, request_->in);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

namespace {

// libfcgi copies its output into records of at most 8 KiB and writes each
// one on its own: a 90 KB page took eleven system calls. Output at least
// this large goes out as records of up to 64 KiB, all in one call.
constexpr size_t kDirectOutput = 16 * 1024;
// The largest record content that keeps the next record's header aligned
// to eight bytes, so that no record needs padding.
constexpr size_t kRecordContent = FCGI_MAX_LENGTH & ~size_t{7};
constexpr int kMaxRecordsPerCall = 16;

FCGI_Header StdoutHeader(int request_id, size_t length) {
  FCGI_Header h{};
  h.version = FCGI_VERSION_1;
  h.type = FCGI_STDOUT;
  h.requestIdB1 = static_cast<unsigned char>((request_id >> 8) & 0xff);
  h.requestIdB0 = static_cast<unsigned char>(request_id & 0xff);
  h.contentLengthB1 = static_cast<unsigned char>((length >> 8) & 0xff);
  h.contentLengthB0 = static_cast<unsigned char>(length & 0xff);
  return h;
}

// Writes every byte of `parts` to `fd`, resuming after short writes.
bool WriteAll(int fd, iovec* parts, int count) {
  while (count > 0) {
    const ssize_t n = ::writev(fd, parts, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto left = static_cast<size_t>(n);
    while (count > 0 && left >= parts->iov_len) {
      left -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
  return true;
}

// Writes `bytes` to `fd` as standard-output records of request
// `request_id`, several records to a call.
bool WriteRecords(int fd, int request_id, std::string_view bytes) {
  while (!bytes.empty()) {
    FCGI_Header headers[kMaxRecordsPerCall];
    iovec parts[2 * kMaxRecordsPerCall];
    int count = 0;
    for (int r = 0; r < kMaxRecordsPerCall && !bytes.empty(); ++r) {
      const size_t n = std::min(bytes.size(), kRecordContent);
      headers[r] = StdoutHeader(request_id, n);
      parts[count++] = {&headers[r], sizeof(FCGI_Header)};
      parts[count++] = {const_cast<char*>(bytes.data()), n};
      bytes.remove_prefix(n);
    }
    if (!WriteAll(fd, parts, count)) return false;
  }
  return true;
}

}  // namespace

bool FastCgiIo::WriteOutput(std::string_view bytes) {
  if (bytes.size() >= kDirectOutput && request_->ipcFd >= 0) {
    // What libfcgi still holds goes first, as its own record; its stream
    // then starts an empty record and ends the output as ever at Finish.
    return fcgi_.FFlush(request_->out) == 0 &&
           WriteRecords(request_->ipcFd, request_->requestId, bytes);
  }
  while (!bytes.empty()) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX));
    if (fcgi_.PutStr(bytes.data(), chunk, request_->out) != chunk) return false;
    bytes.remove_prefix(static_cast<size_t>(chunk));
  }
  return true;
}

bool FastCgiIo::FlushOutput() { return fcgi_.FFlush(request_->out) == 0; }

void FastCgiIo::LogError(std::string_view text) {
  const int size = static_cast<int>(std::min<size_t>(text.size(), INT_MAX));
  fcgi_.PutStr(text.data(), size, request_->err);
  fcgi_.PutS("\n", request_->err);
  fcgi_.FFlush(request_->err);
}

}  // namespace quillon::serving

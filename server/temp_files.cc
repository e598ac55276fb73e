#include "server/temp_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "quillon/component/errors.h"
#include "quillon/platform/files.h"

namespace quillon::server {
namespace {

// Shared by every object of the process, as the names must not repeat.
std::atomic<uint32_t> temp_file_counter{0};

// Names tried before giving up: enough to step over any files left behind
// by earlier processes with the same id.
constexpr int kNameAttempts = 4096;
// The peers copy in pieces of this size.
constexpr size_t kCopyPiece = 4096;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// The source opened for reading with others denied writing (a shared lock
// that a writer's exclusive lock excludes).
int OpenSource(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

enum class CopyResult { kOk, kReadFailed, kWriteFailed };

CopyResult CopyAll(int from, int to) {
  char buffer[kCopyPiece];
  for (;;) {
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return CopyResult::kReadFailed;
    }
    if (got == 0) return CopyResult::kOk;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, buffer + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return CopyResult::kWriteFailed;
      }
      done += put;
    }
  }
}

bool NameIsFree(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

}  // namespace

std::string TempFileName(const std::string& directory, int process_id, uint32_t counter) {
  char name[32];
  std::snprintf(name, sizeof name, "%04x%04x.TMP", static_cast<unsigned>(process_id), counter);
  return directory + name;
}

std::string CreateTempCopy(const std::string& from) {
  Fd source(from.empty() ? -1 : OpenSource(from));
  if (!from.empty() && source.get() < 0) throw Error(kMsgFileRead);
  const std::string directory = platform::TempDirectory();
  const int process_id = platform::ProcessId();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string path = TempFileName(directory, process_id, temp_file_counter.fetch_add(1));
    if (from.empty()) {
      if (NameIsFree(path)) return path;
      continue;
    }
    Fd copy(platform::CreateExclusive(path));
    if (copy.get() < 0) {
      if (errno == EEXIST) continue;
      throw Error(kMsgFileWrite);
    }
    const CopyResult result = CopyAll(source.get(), copy.get());
    if (result == CopyResult::kOk && copy.Close()) return path;
    platform::RemoveFile(path);
    throw Error(result == CopyResult::kReadFailed ? kMsgFileRead : kMsgFileWrite);
  }
  throw Error(kMsgFileWrite);
}

}  // namespace quillon::server

#include "quillon/platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quillon::platform {
namespace {

// Owns a descriptor; closing on the error paths keeps the errno of the
// failure that the caller reports.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Closes now and reports the result: on some file systems a delayed
  // write error only shows up here.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A non-blocking flock: the toolkit's share modes refuse rather than wait.
bool LockNow(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool IsDirectory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* out) {
  UniqueFd fd(OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (!LockNow(fd.get(), LOCK_SH)) return false;

  // The size is only a hint: the file may be a pipe or a /proc entry that
  // reports 0, so read until end of file.
  std::string content;
  content.resize(info.st_size > 0 ? static_cast<size_t>(info.st_size) + 1 : 4096);
  size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2);
    const ssize_t n = ::read(fd.get(), content.data() + used, content.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  content.resize(used);
  out->swap(content);
  return true;
}

namespace {

bool WriteAll(UniqueFd& fd, std::string_view bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return fd.Close();
}

}  // namespace

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
  // No O_TRUNC: a file that someone else holds must not lose its content
  // before our lock has been granted.
  UniqueFd fd(OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!fd.valid()) return false;
  if (!LockNow(fd.get(), LOCK_EX)) return false;
  // Only a regular file has a length to cut: /dev/null, pipes and
  // terminals refuse ftruncate and simply take the bytes.
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return false;
  if (S_ISREG(info.st_mode) && ::ftruncate(fd.get(), 0) != 0) return false;
  return WriteAll(fd, bytes);
}

bool WriteNewFile(const std::string& path, std::string_view bytes) {
  UniqueFd fd(
      OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return false;
  if (!LockNow(fd.get(), LOCK_EX)) return false;
  return WriteAll(fd, bytes);
}

int CreateExclusive(const std::string& path) {
  return OpenRetrying(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
}

std::string TempDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir == nullptr || *tmpdir == '\0' || !IsDirectory(tmpdir)) return "/tmp/";
  std::string directory(tmpdir);
  while (!directory.empty() && directory.back() == '/') directory.pop_back();
  directory += '/';
  return directory;
}

void RemoveFile(const std::string& path) {
  ::unlink(path.c_str());
}

int ProcessId() {
  return static_cast<int>(::getpid());
}

std::optional<std::string> GetEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace quillon::platform

#include "quillon/platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "quillon/platform/handle.h"

namespace quillon::platform {
namespace {

class RealFileSystem final : public FileSystem {
 public:
  int Open(const char* path, int flags, mode_t mode) override { return ::open(path, flags, mode); }
  int Close(int fd) override { return ::close(fd); }
  ssize_t Read(int fd, void* buffer, size_t size) override { return ::read(fd, buffer, size); }
  ssize_t Write(int fd, const void* data, size_t size) override {
    return ::write(fd, data, size);
  }
  int Stat(int fd, struct stat* info) override { return ::fstat(fd, info); }
  int Lock(int fd, int operation) override { return ::flock(fd, operation); }
  int Truncate(int fd, off_t length) override { return ::ftruncate(fd, length); }
  int Rename(const char* from, const char* to) override { return ::rename(from, to); }
  int Unlink(const char* path) override { return ::unlink(path); }
};

std::atomic<FileSystem*> g_file_system{nullptr};

// A descriptor opened through the file system in use is closed through it.
struct FileSystemFdTraits {
  using Value = int;
  static constexpr int Invalid() noexcept { return -1; }
  static bool Close(int fd) noexcept { return CurrentFileSystem().Close(fd) == 0; }
};
using File = UniqueHandle<FileSystemFdTraits>;

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = CurrentFileSystem().Open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A non-blocking flock: the toolkit's share modes refuse rather than wait.
bool LockNow(int fd, int operation) {
  int rc;
  do {
    rc = CurrentFileSystem().Lock(fd, operation | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool IsDirectory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

FileSystem& FileSystem::Real() {
  static RealFileSystem real;
  return real;
}

FileSystem& CurrentFileSystem() {
  FileSystem* installed = g_file_system.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : FileSystem::Real();
}

ScopedFileSystem::ScopedFileSystem(FileSystem* file_system)
    : previous_(g_file_system.exchange(file_system, std::memory_order_acq_rel)) {}

ScopedFileSystem::~ScopedFileSystem() { g_file_system.store(previous_, std::memory_order_release); }

namespace {

FileIdentity IdentityFrom(const struct stat& info) {
  FileIdentity id;
  id.device = info.st_dev;
  id.inode = info.st_ino;
  id.size = info.st_size;
  id.modified = info.st_mtim;
  id.changed = info.st_ctim;
  return id;
}

}  // namespace

bool IdentityOf(const std::string& path, FileIdentity* identity) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return false;
  *identity = IdentityFrom(info);
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  return ReadWholeFile(path, out, nullptr);
}

bool ReadWholeFile(const std::string& path, std::string* out, FileIdentity* identity) {
  FileSystem& fs = CurrentFileSystem();
  File fd(OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  struct stat info;
  if (fs.Stat(fd.get(), &info) != 0) return false;
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
    const ssize_t n = fs.Read(fd.get(), content.data() + used, content.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  content.resize(used);
  out->swap(content);
  if (identity != nullptr) *identity = IdentityFrom(info);
  return true;
}

namespace {

// Writes all of `bytes` and closes. A regular file that fails part-way is
// cut back to nothing, so that a reader never takes a part of the content
// for all of it.
bool WriteAll(File& fd, std::string_view bytes, bool regular) {
  FileSystem& fs = CurrentFileSystem();
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = fs.Write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      if (regular) fs.Truncate(fd.get(), 0);
      errno = error;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return fd.Close();
}

}  // namespace

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
  FileSystem& fs = CurrentFileSystem();
  // No O_TRUNC: a file that someone else holds must not lose its content
  // before our lock has been granted.
  File fd(OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!fd.valid()) return false;
  if (!LockNow(fd.get(), LOCK_EX)) return false;
  struct stat info;
  if (fs.Stat(fd.get(), &info) != 0) return false;
  // Only a regular file has a length to cut; ftruncate refuses devices and
  // pipes (/dev/null, /dev/stdout), which simply take the bytes.
  const bool regular = S_ISREG(info.st_mode);
  if (regular && fs.Truncate(fd.get(), 0) != 0) return false;
  return WriteAll(fd, bytes, regular);
}

bool WriteNewFile(const std::string& path, std::string_view bytes) {
  File fd(
      OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return false;
  if (!LockNow(fd.get(), LOCK_EX)) return false;
  return WriteAll(fd, bytes, /*regular=*/true);
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
  CurrentFileSystem().Unlink(path.c_str());
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

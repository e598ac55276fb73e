// Whole-file reading and writing with the sharing rules of the toolkit's
// file operations, temporary files, environment and process identity.
#ifndef QUILLON_PLATFORM_FILES_H_
#define QUILLON_PLATFORM_FILES_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace quillon::platform {

// Reads the whole file. "Others denied writing": the file is held with a
// shared advisory lock while it is read, and a file that another writer
// holds fails the read. On failure returns false with errno set, and *out
// is unchanged.
bool ReadWholeFile(const std::string& path, std::string* out);

// What tells one state of a file from another without reading it: its
// device, inode, size and modification and change times.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  struct timespec modified = {};
  struct timespec changed = {};
  friend bool operator==(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
  }
};

// ReadWholeFile, also giving the identity of the file as it was opened.
bool ReadWholeFile(const std::string& path, std::string* out, FileIdentity* identity);
// The identity of the file at `path` now; false (errno set) when it cannot
// be looked at.
bool IdentityOf(const std::string& path, FileIdentity* identity);

// Creates or truncates `path` and writes all of `bytes`; the file is held
// with an exclusive advisory lock while it is written. A file that cannot
// be truncated (a device such as /dev/null, a pipe) is written as it is.
// On failure returns false with errno set; a regular file then holds
// either its old content (the failure came before it was truncated) or
// nothing, never a part of `bytes`.
bool WriteWholeFile(const std::string& path, std::string_view bytes);

// Creates `path`, which must not exist (EEXIST otherwise; a symbolic link
// counts as existing and is never followed), owner-only (0600), and writes
// all of `bytes`. On failure returns false with errno set.
bool WriteNewFile(const std::string& path, std::string_view bytes);

// Creates `path` exclusively (it must not exist) with owner-only
// permissions (0600) and returns its descriptor, or -1 with errno set.
int CreateExclusive(const std::string& path);

// The directory for temporary files with its trailing separator: TMPDIR
// when it names a directory, else "/tmp/".
std::string TempDirectory();

// Removes a file; a missing file is no error.
void RemoveFile(const std::string& path);

int ProcessId();

// The file operations the functions above go through, so that a test can
// make any one of them fail. Each behaves as the system call of the same
// name (fstat for Stat, flock for Lock, ftruncate for Truncate): the same
// result and errno.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual int Open(const char* path, int flags, mode_t mode) = 0;
  virtual int Close(int fd) = 0;
  virtual ssize_t Read(int fd, void* buffer, size_t size) = 0;
  virtual ssize_t Write(int fd, const void* data, size_t size) = 0;
  virtual int Stat(int fd, struct stat* info) = 0;
  virtual int Lock(int fd, int operation) = 0;
  virtual int Truncate(int fd, off_t length) = 0;
  virtual int Rename(const char* from, const char* to) = 0;
  virtual int Unlink(const char* path) = 0;

  // The system's own calls.
  static FileSystem& Real();
};

// The file system in use: FileSystem::Real() unless a ScopedFileSystem
// installed another.
FileSystem& CurrentFileSystem();

// Installs `file_system` until destroyed, then puts back the previous one.
// For tests: install before, and remove after, any other thread uses files.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem* file_system);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

// The process environment; nullopt when the variable is not set.
std::optional<std::string> GetEnv(const std::string& name);

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_FILES_H_

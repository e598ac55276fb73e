#include "server/temp_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>

#include "quillon/component/errors.h"
#include "quillon/platform/codepage.h"
#include "quillon/platform/files.h"
#include "quillon/platform/handle.h"

namespace quillon::server {
namespace {

// Names tried before giving up. A random name is taken by chance about
// never: failing this many in a row means something else is wrong (a full
// or read-only directory fails the create, not this count).
constexpr int kNameAttempts = 64;
// The peers copy in pieces of this size.
constexpr size_t kCopyPiece = 4096;

std::mutex source_mutex;
std::function<uint64_t()> test_source;

// 64 bits from the kernel's generator (getrandom blocks only before the
// pool is first initialised, long before any page runs).
uint64_t RandomValue() {
  {
    std::lock_guard<std::mutex> lock(source_mutex);
    if (test_source) return test_source();
  }
  uint64_t value = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&value);
  size_t got = 0;
  while (got < sizeof value) {
    const ssize_t n = ::getrandom(bytes + got, sizeof value - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // No name that cannot be guessed.
      throw Error(kMsgFileWrite).WithDetail(u" (no random file name could be drawn)");
    }
    got += static_cast<size_t>(n);
  }
  return value;
}

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

// A path as the page gave it, for an English failure's detail.
std::u16string Text(const std::string& path) { return platform::ProcessCodePage().ToUtf16(path); }

bool NameIsFree(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

}  // namespace

std::string TempFileName(const std::string& directory, uint64_t random) {
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.TMP", static_cast<unsigned long long>(random));
  return directory + name;
}

void SetTempNameSourceForTesting(std::function<uint64_t()> source) {
  std::lock_guard<std::mutex> lock(source_mutex);
  test_source = std::move(source);
}

std::string CreateTempCopy(const std::string& from) {
  platform::UniqueFd source(from.empty() ? -1 : OpenSource(from));
  if (!from.empty() && !source) throw Error(kMsgFileRead).WithFile(Text(from));
  const std::string directory = platform::TempDirectory();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string path = TempFileName(directory, RandomValue());
    if (from.empty()) {
      if (NameIsFree(path)) return path;
      continue;
    }
    platform::UniqueFd copy(platform::CreateExclusive(path));
    if (!copy) {
      if (errno == EEXIST) continue;
      throw Error(kMsgFileWrite).WithFile(Text(path));
    }
    const CopyResult result = CopyAll(source.get(), copy.get());
    if (result == CopyResult::kOk && copy.Close()) return path;
    platform::RemoveFile(path);
    if (result == CopyResult::kReadFailed) throw Error(kMsgFileRead).WithFile(Text(from));
    throw Error(kMsgFileWrite).WithFile(Text(path));
  }
  throw Error(kMsgFileWrite)
      .With(u"Directory", Text(directory))
      .WithDetail(u" (no free file name turned up)");
}

}  // namespace quillon::server

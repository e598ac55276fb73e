// Makes the Nth file operation fail, for N = 0, 1, 2 ... until the
// operation completes, and checks after every failure that it reported the
// failure's errno, left no descriptor open and no lock held, and left the
// file whole: its old content, nothing, or (on success) all of the new.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "quillon/platform/files.h"

namespace quillon::platform {
namespace {

// Passes every operation to the real file system, except that operation
// number `fail_at` (from 0) fails with EIO. Writes take at most 64 KiB at
// a time, so that a long write fails part-way too. A failing Close still
// closes (as a delayed write error does).
class FailingFileSystem final : public FileSystem {
 public:
  explicit FailingFileSystem(int fail_at) : fail_at_(fail_at) {}

  bool failed() const { return operations_ > fail_at_; }
  // The name of the operation made to fail; "" when none was.
  const char* failed_operation() const { return failed_operation_; }

  int Open(const char* path, int flags, mode_t mode) override {
    return Fail("Open") ? -1 : real_.Open(path, flags, mode);
  }
  int Close(int fd) override {
    const bool fail = Fail("Close");
    const int rc = real_.Close(fd);
    if (!fail) return rc;
    errno = EIO;
    return -1;
  }
  ssize_t Read(int fd, void* buffer, size_t size) override {
    return Fail("Read") ? -1 : real_.Read(fd, buffer, size);
  }
  ssize_t Write(int fd, const void* data, size_t size) override {
    return Fail("Write") ? -1 : real_.Write(fd, data, std::min<size_t>(size, 64 * 1024));
  }
  int Stat(int fd, struct stat* info) override {
    return Fail("Stat") ? -1 : real_.Stat(fd, info);
  }
  int Lock(int fd, int operation) override {
    return Fail("Lock") ? -1 : real_.Lock(fd, operation);
  }
  int Truncate(int fd, off_t length) override {
    return Fail("Truncate") ? -1 : real_.Truncate(fd, length);
  }
  int Rename(const char* from, const char* to) override {
    return Fail("Rename") ? -1 : real_.Rename(from, to);
  }
  int Unlink(const char* path) override { return Fail("Unlink") ? -1 : real_.Unlink(path); }

 private:
  bool Fail(const char* operation) {
    if (operations_++ != fail_at_) return false;
    failed_operation_ = operation;
    errno = EIO;
    return true;
  }

  FileSystem& real_ = FileSystem::Real();
  int fail_at_;
  int operations_ = 0;
  const char* failed_operation_ = "";
};

int OpenDescriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

bool Unlocked(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

std::string Content(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path, &bytes)) << path;
  return bytes;
}

struct Outcome {
  int n;              // the operation made to fail
  bool ok;            // what the call reported
  bool failed;        // whether operation n was reached
  int error;          // errno after the call
  std::string which;  // its name
};

class FilesFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = TempDirectory() + "quillon-fault-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // For N = 0, 1, ...: `setup` with the real file system, then `op` (true
  // on success) with operation N failing, then `check`; until `op` runs
  // without reaching N. Every round also checks that no descriptor stayed
  // open. Returns the number of failure points.
  template <class Setup, class Op, class Check>
  int FailEachOperationInTurn(Setup setup, Op op, Check check) {
    for (int n = 0; n < 1000; ++n) {
      setup();
      const int descriptors = OpenDescriptors();
      Outcome outcome{n, false, false, 0, ""};
      {
        FailingFileSystem fs(n);
        ScopedFileSystem installed(&fs);
        errno = 0;
        outcome.ok = op();
        outcome.error = errno;
        outcome.failed = fs.failed();
        outcome.which = fs.failed_operation();
      }
      EXPECT_EQ(OpenDescriptors(), descriptors) << "descriptor left open, operation " << n;
      check(outcome);
      if (!outcome.failed || HasFailure()) return n;
    }
    ADD_FAILURE() << "operation never completed";
    return 0;
  }

  std::string dir_;
};

std::string LongText() {
  std::string bytes;
  for (int i = 0; i < 200000; ++i) bytes += static_cast<char>('a' + i % 26);
  return bytes;
}

TEST_F(FilesFaultTest, FailedWriteLeavesOldContentOrNothingAndNoLock) {
  const std::string path = dir_ + "target";
  const std::string bytes = LongText();
  const int points = FailEachOperationInTurn(
      [&] { ASSERT_TRUE(WriteWholeFile(path, "old content")); },
      [&] { return WriteWholeFile(path, bytes); },
      [&](const Outcome& o) {
        EXPECT_TRUE(Unlocked(path)) << "lock left held, operation " << o.n;
        const std::string content = Content(path);
        if (!o.failed) {
          EXPECT_EQ(content, bytes);
          return;
        }
        EXPECT_FALSE(o.ok) << "operation " << o.n << " failed, yet success was reported";
        EXPECT_EQ(o.error, EIO) << "operation " << o.n;
        // A failed close (a delayed write error) comes after the last
        // byte; the file may then look whole, but the failure stands.
        EXPECT_TRUE(content == "old content" || content.empty() ||
                    (o.which == "Close" && content == bytes))
            << o.which << " (operation " << o.n << ") left " << content.size() << " bytes";
      });
  // Open, lock, stat, truncate, four partial writes, close.
  EXPECT_GE(points, 9);
}

TEST_F(FilesFaultTest, FailedWriteOfNewFileLeavesNothingOrAnEmptyFile) {
  const std::string path = dir_ + "new";
  FailEachOperationInTurn(
      [&] { RemoveFile(path); },
      [&] { return WriteWholeFile(path, "fresh"); },
      [&](const Outcome& o) {
        std::error_code ec;
        const bool exists = std::filesystem::exists(path, ec);
        if (!o.failed) {
          EXPECT_EQ(Content(path), "fresh");
          return;
        }
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, EIO) << "operation " << o.n;
        EXPECT_TRUE(!exists || Content(path).empty() ||
                    (o.which == "Close" && Content(path) == "fresh"))
            << o.which << " (operation " << o.n << ")";
      });
}

TEST_F(FilesFaultTest, FailedReadLeavesTheOutputAlone) {
  const std::string path = dir_ + "source";
  const std::string bytes = LongText();
  ASSERT_TRUE(WriteWholeFile(path, bytes));
  std::string out;
  const int points = FailEachOperationInTurn(
      [&] { out = "untouched"; },
      [&] { return ReadWholeFile(path, &out); },
      [&](const Outcome& o) {
        EXPECT_TRUE(Unlocked(path)) << "lock left held, operation " << o.n;
        if (o.ok) {
          // Closing a descriptor that was only read from may fail after
          // the whole content has been read; that costs nothing.
          EXPECT_EQ(out, bytes) << "operation " << o.n;
          return;
        }
        EXPECT_EQ(o.error, EIO) << "operation " << o.n;
        EXPECT_EQ(out, "untouched") << "operation " << o.n;
      });
  // Open, stat, lock, the read and the one that finds the end, close.
  EXPECT_GE(points, 6);
}

TEST_F(FilesFaultTest, FailedExclusiveCreationCreatesNothing) {
  const std::string path = dir_ + "exclusive";
  FailEachOperationInTurn(
      [&] { RemoveFile(path); },
      [&] {
        const int fd = CreateExclusive(path);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
      },
      [&](const Outcome& o) {
        std::error_code ec;
        EXPECT_EQ(std::filesystem::exists(path, ec), !o.failed) << "operation " << o.n;
        if (o.failed) {
          EXPECT_EQ(o.error, EIO);
        }
      });
}

}  // namespace
}  // namespace quillon::platform

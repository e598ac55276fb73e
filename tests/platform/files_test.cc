#include "quillon/platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace quillon::platform {
namespace {

using namespace std::string_literals;

// Each test works in its own directory under the system's temporary one.
class FilesTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = TempDirectory() + "quillon-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + name; }

  static mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
  }

  std::string dir_;
};

// A second open file description holding a lock, as another process would.
class HeldLock {
 public:
  HeldLock(const std::string& path, int operation)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(::flock(fd_, operation | LOCK_NB), 0);
  }
  ~HeldLock() { ::close(fd_); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  int fd_;
};

// A device cannot be truncated; it is written as it is rather than
// refused, so output can go to /dev/null or a terminal.
TEST_F(FilesTest, DevicesAreWrittenWithoutTruncation) {
  EXPECT_TRUE(WriteWholeFile("/dev/null", "discarded"));
}

TEST_F(FilesTest, WriteThenReadKeepsEveryByte) {
  std::string bytes = "a\0b\xff\r\n"s;
  for (int i = 0; i < 200000; ++i) bytes += static_cast<char>(i * 7);
  ASSERT_TRUE(WriteWholeFile(Path("data"), bytes));
  std::string read;
  ASSERT_TRUE(ReadWholeFile(Path("data"), &read));
  EXPECT_EQ(read, bytes);
}

TEST_F(FilesTest, EmptyFileReadsAsEmpty) {
  ASSERT_TRUE(WriteWholeFile(Path("empty"), ""));
  std::string read = "old";
  ASSERT_TRUE(ReadWholeFile(Path("empty"), &read));
  EXPECT_EQ(read, "");
}

TEST_F(FilesTest, WriteReplacesLongerContent) {
  ASSERT_TRUE(WriteWholeFile(Path("f"), "a much longer first content"));
  ASSERT_TRUE(WriteWholeFile(Path("f"), "ab"));
  std::string read;
  ASSERT_TRUE(ReadWholeFile(Path("f"), &read));
  EXPECT_EQ(read, "ab");
}

TEST_F(FilesTest, NewFileGetsModeFromUmask) {
  const mode_t old = ::umask(022);
  const bool written = WriteWholeFile(Path("f"), "x");
  ::umask(old);
  ASSERT_TRUE(written);
  EXPECT_EQ(ModeOf(Path("f")), 0644u);
}

TEST_F(FilesTest, ReadOfMissingFileFailsAndKeepsOutput) {
  std::string read = "unchanged";
  errno = 0;
  EXPECT_FALSE(ReadWholeFile(Path("missing"), &read));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(read, "unchanged");
}

TEST_F(FilesTest, DirectoriesAreNoFiles) {
  std::string read = "unchanged";
  errno = 0;
  EXPECT_FALSE(ReadWholeFile(dir_, &read));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(read, "unchanged");
  errno = 0;
  EXPECT_FALSE(WriteWholeFile(dir_, "x"));
  EXPECT_EQ(errno, EISDIR);
}

TEST_F(FilesTest, WriteIntoMissingDirectoryFails) {
  errno = 0;
  EXPECT_FALSE(WriteWholeFile(Path("no/such/file"), "x"));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, ReadFailsWhileAWriterHoldsTheFile) {
  ASSERT_TRUE(WriteWholeFile(Path("f"), "content"));
  std::string read = "unchanged";
  {
    HeldLock writer(Path("f"), LOCK_EX);
    errno = 0;
    EXPECT_FALSE(ReadWholeFile(Path("f"), &read));
    EXPECT_EQ(errno, EWOULDBLOCK);
    EXPECT_EQ(read, "unchanged");
  }
  EXPECT_TRUE(ReadWholeFile(Path("f"), &read));
  EXPECT_EQ(read, "content");
}

TEST_F(FilesTest, ReadersShareTheFile) {
  ASSERT_TRUE(WriteWholeFile(Path("f"), "content"));
  HeldLock reader(Path("f"), LOCK_SH);
  std::string read;
  EXPECT_TRUE(ReadWholeFile(Path("f"), &read));
  EXPECT_EQ(read, "content");
}

// The content must survive a refused write: truncation waits for the lock.
TEST_F(FilesTest, WriteFailsWhileAReaderHoldsTheFileAndLeavesItWhole) {
  ASSERT_TRUE(WriteWholeFile(Path("f"), "content"));
  {
    HeldLock reader(Path("f"), LOCK_SH);
    errno = 0;
    EXPECT_FALSE(WriteWholeFile(Path("f"), "new"));
    EXPECT_EQ(errno, EWOULDBLOCK);
  }
  std::string read;
  ASSERT_TRUE(ReadWholeFile(Path("f"), &read));
  EXPECT_EQ(read, "content");
}

TEST_F(FilesTest, ReadsFilesThatReportNoSize) {
  std::string read;
  ASSERT_TRUE(ReadWholeFile("/proc/self/status", &read));
  EXPECT_NE(read.find("Pid:"), std::string::npos);
}

TEST_F(FilesTest, CreateExclusiveIsOwnerOnlyAndRefusesExistingNames) {
  const mode_t old = ::umask(0);
  const int fd = CreateExclusive(Path("t"));
  ::umask(old);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "abc", 3), 3);
  EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  ::close(fd);
  EXPECT_EQ(ModeOf(Path("t")), 0600u);

  errno = 0;
  EXPECT_EQ(CreateExclusive(Path("t")), -1);
  EXPECT_EQ(errno, EEXIST);
  std::string read;
  ASSERT_TRUE(ReadWholeFile(Path("t"), &read));
  EXPECT_EQ(read, "abc");
}

TEST_F(FilesTest, CreateExclusiveDoesNotFollowAPlantedLink) {
  ASSERT_EQ(::symlink(Path("target").c_str(), Path("link").c_str()), 0);
  errno = 0;
  EXPECT_EQ(CreateExclusive(Path("link")), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(std::filesystem::exists(Path("target")));
}

TEST_F(FilesTest, RemoveFileRemovesAndToleratesMissing) {
  ASSERT_TRUE(WriteWholeFile(Path("f"), "x"));
  RemoveFile(Path("f"));
  EXPECT_FALSE(std::filesystem::exists(Path("f")));
  RemoveFile(Path("f"));  // already gone: nothing happens
}

// Sets TMPDIR for one case and puts the old value back.
class TempDirectoryTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
  }
  void TearDown() override {
    if (old_) {
      ::setenv("TMPDIR", old_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    FilesTest::TearDown();
  }
  std::string With(const std::string& value) {
    ::setenv("TMPDIR", value.c_str(), 1);
    return TempDirectory();
  }

  std::optional<std::string> old_;
};

TEST_F(TempDirectoryTest, UsesAnExistingDirectoryWithOneSeparator) {
  const std::string base = dir_.substr(0, dir_.size() - 1);
  EXPECT_EQ(With(base), dir_);
  EXPECT_EQ(With(base + "/"), dir_);
  EXPECT_EQ(With(base + "///"), dir_);
  EXPECT_EQ(With("/"), "/");
}

TEST_F(TempDirectoryTest, FallsBackToTmp) {
  ASSERT_TRUE(WriteWholeFile(Path("file"), "x"));
  EXPECT_EQ(With(Path("missing")), "/tmp/");
  EXPECT_EQ(With(Path("file")), "/tmp/");
  EXPECT_EQ(With(""), "/tmp/");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(TempDirectory(), "/tmp/");
}

TEST(ProcessTest, ProcessIdAndEnvironment) {
  EXPECT_EQ(ProcessId(), static_cast<int>(::getpid()));
  ::setenv("QUILLON_TEST_VALUE", "", 1);
  EXPECT_EQ(GetEnv("QUILLON_TEST_VALUE"), std::optional<std::string>(""));
  ::setenv("QUILLON_TEST_VALUE", "a=b", 1);
  EXPECT_EQ(GetEnv("QUILLON_TEST_VALUE"), std::optional<std::string>("a=b"));
  ::unsetenv("QUILLON_TEST_VALUE");
  EXPECT_EQ(GetEnv("QUILLON_TEST_VALUE"), std::nullopt);
}

}  // namespace
}  // namespace quillon::platform

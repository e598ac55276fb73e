// The QServer object through its C++ door: a whole request read from a CGI
// environment, named values, uploads, cookies, temporary copies and the
// debug capture.
#include "quillon/server/qserver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quillon/component/runtime.h"
#include "quillon/core/encoding.h"
#include "quillon/platform/files.h"
#include "server/temp_files.h"
#include "tests/server/fake_io.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/message_language.h"

namespace quillon::server {
namespace {

using namespace std::string_literals;
using testing::FakeIo;
using testing::MakeIo;
namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Runs `f` and returns the message number it throws (0: none).
template <class F>
int ErrorOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

// The description of the error `f` raises; "(no error)" when it raises none.
template <class F>
std::u16string DescriptionOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.Description();
  }
  return u"(no error)";
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "qserver_test.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// TMPDIR for the duration of a test.
class TempDirOverride {
 public:
  explicit TempDirOverride(const std::string& dir) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TempDirOverride() {
    if (old_) {
      setenv("TMPDIR", old_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> old_;
};

std::unique_ptr<QServer> Start(std::map<std::string, std::string> env, std::string input = {}) {
  return QServer::StartCgi(MakeIo(std::move(env), std::move(input)));
}

const std::string kBoundary = "AaB03x";

std::string UploadBody(const std::string& file_bytes) {
  return "--" + kBoundary +
         "\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nMy picture\r\n--" + kBoundary +
         "\r\nContent-Disposition: form-data; name=\"pic\"; filename=\"\xE5\x86\x99.gif\"\r\n"
         "Content-Type: image/gif\r\n\r\n" +
         file_bytes + "\r\n--" + kBoundary + "--\r\n";
}

// --- Intake ------------------------------------------------------------------------------

TEST(Intake, GetWithQueryString) {
  auto s = Start({{"QUERY_STRING", "a=1&b=x%20y"}});
  EXPECT_EQ(s->GetStringData("b", 0), "x y");
  EXPECT_EQ(s->GetDataNameCount(), 2);
  EXPECT_EQ(s->GetDataName(0), "a");
}

TEST(Intake, PostBodyFollowsTheQueryString) {
  auto s = Start({{"QUERY_STRING", "id=7"}, {"CONTENT_LENGTH", "9"}}, "name=Taro");
  EXPECT_EQ(s->GetDataName(0), "id");
  EXPECT_EQ(s->GetDataName(1), "name");
  EXPECT_EQ(s->GetStringData("NAME", 0), "Taro");
}

TEST(Intake, BodyShorterThanPromisedIsWhatArrived) {
  auto s = Start({{"CONTENT_LENGTH", "1000"}}, "a=1&b=2");
  EXPECT_EQ(s->GetDataNameCount(), 2);
  EXPECT_EQ(s->GetStringData("b", 0), "2");
}

TEST(Intake, GarbageOrNegativeLengthMeansNoBody) {
  for (const char* length : {"-20", "abc", ""}) {
    auto io = MakeIo({{"CONTENT_LENGTH", length}, {"QUERY_STRING", "q=1"}}, "x=2");
    auto s = QServer::StartCgi(io);
    EXPECT_EQ(s->GetDataNameCount(), 1) << length;
    EXPECT_EQ(io->consumed, 0u) << length;
  }
}

TEST(Intake, OnlyTheFirstStartReads) {
  auto io = MakeIo({{"QUERY_STRING", "a=1"}});
  auto s = QServer::StartCgi(io);
  s->ReadRequest();
  EXPECT_EQ(s->GetSubIndexCount("a"), 1);
  s->StartOffLineDebug();
  EXPECT_FALSE(s->OffLineDebug()) << "a live run stays live";
}

TEST(Intake, MultipartUploadWithZeroBytes) {
  const std::string gif = "GIF89a\0\0\x01\x80\xFF\0"s;
  const std::string body = UploadBody(gif);
  auto s = Start({{"QUERY_STRING", "x=1"},
                  {"CONTENT_TYPE", "multipart/form-data; boundary=" + kBoundary},
                  {"CONTENT_LENGTH", std::to_string(body.size())}},
                 body);
  EXPECT_EQ(s->GetStringData("title", 0), "My picture");
  EXPECT_EQ(s->GetBinaryData("pic", 0), gif);
  EXPECT_EQ(s->GetStringData("pic", 0), "GIF89a");
  EXPECT_EQ(s->GetULFileName("pic", 0), "\xE5\x86\x99.gif");
  EXPECT_EQ(s->GetULContentType("pic", 0), "image/gif");
  EXPECT_EQ(s->GetULFileName("title", 0), "");
  EXPECT_EQ(s->GetULContentType("title", 0), "");
  EXPECT_EQ(s->GetULFileName("x", 0), "") << "query pairs get blank upload information";

  ScratchDir dir;
  s->GetFileData("pic", 0, dir / "out.gif");
  EXPECT_EQ(ReadFile(dir / "out.gif"), gif);
}

TEST(Intake, LargeUploadSurvivesWhole) {
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) >> 3);
  const std::string body = UploadBody(data);
  auto io = MakeIo({{"CONTENT_TYPE", "multipart/form-data; boundary=" + kBoundary},
                    {"CONTENT_LENGTH", std::to_string(body.size())}},
                   body);
  io->piece = 256;
  auto s = QServer::StartCgi(io);
  EXPECT_EQ(s->GetBinaryData("pic", 0), data);
  ScratchDir dir;
  s->GetFileData("pic", 0, dir / "out");
  EXPECT_EQ(ReadFile(dir / "out"), data);
  s->SaveRequestData(dir / "req");
  EXPECT_EQ(ReadFile(dir / "req"), "\r\ntitle=My+picture&pic=" + core::EncodeValue(data));
}

TEST(Intake, UploadInfoOfAClientPost) {
  auto s = Start({{"QUERY_STRING", "f=abc&f_file_name_=C%3A%5Cx.txt&f_file_type_=text%2Fplain&g=1"}});
  EXPECT_EQ(s->GetULFileName("f", 0), "C:\\x.txt");
  EXPECT_EQ(s->GetULContentType("F", 0), "text/plain");
  EXPECT_EQ(ErrorOf([&] { s->GetULFileName("g", 0); }), kMsgMultipartOnly);
  EXPECT_EQ(ErrorOf([&] { s->GetULContentType("nothing", 0); }), kMsgNoParameter);
}

TEST(Intake, ServerVariablesAreLookedUpUpperCased) {
  auto s = Start({{"REQUEST_METHOD", "GET"}});
  EXPECT_EQ(s->GetServerVariable("request_method"), "GET");
  EXPECT_EQ(s->GetServerVariable("HTTP_NOTHING"), "");
}

TEST(Intake, FailedStartLeavesEverythingEmpty) {
  class FailingIo : public FakeIo {
    size_t ReadInput(char*, size_t) override { throw std::bad_alloc(); }
  };
  auto io = std::make_shared<FailingIo>();
  io->env = {{"CONTENT_LENGTH", "10"},
             {"QUERY_STRING", "a=1"},
             {"HTTP_COOKIE", "__QuillonSV_u=1"}};
  QServer server(io);
  EXPECT_THROW(server.ReadRequest(), std::bad_alloc);
  EXPECT_EQ(server.GetDataNameCount(), 0);
  EXPECT_EQ(server.SessionVariable("u"), "");
}

TEST(Intake, FailedStartAnswers500AndNothingElse) {
  class FailingIo : public FakeIo {
    size_t ReadInput(char*, size_t) override { throw std::bad_alloc(); }
  };
  auto io = std::make_shared<FailingIo>();
  io->env = {{"CONTENT_LENGTH", "10"}, {"HTTP_COOKIE", "__QuillonSV_u=1"}};
  EXPECT_THROW(QServer::StartCgi(io), std::bad_alloc);
  const std::string head =
      "Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n"
      "Connection: close\r\n\r\n";
  EXPECT_EQ(io->output, head);
  // Also when the page goes on with the object: its end adds nothing.
  io->output.clear();
  {
    QServer server(io);
    EXPECT_THROW(server.ReadRequest(), std::bad_alloc);
    server.SetStringData("a", "1");
    server.WriteString("late");
  }
  EXPECT_EQ(io->output, head);
}

TEST(Intake, ZeroBytesInDecodedNamesEndTheName) {
  ScratchDir dir;
  auto s = Start({{"QUERY_STRING", "n%00m=1&after=2"}});
  EXPECT_EQ(s->GetDataName(0), "n");
  EXPECT_EQ(s->GetStringData("n", 0), "1");
  s->SaveRequestData(dir / "req.dat");
  EXPECT_EQ(ReadFile(dir / "req.dat"), "\r\nn=1&after=2");
  // The saved text replays with every pair.
  QServer replay(MakeIo());
  replay.StartOffLineDebug();
  replay.DebugInit("CONTENT_TYPE=application/x-www-form-urlencoded\r\n", ReadFile(dir / "req.dat"));
  EXPECT_EQ(replay.GetStringData("after", 0), "2");
}

TEST(Intake, FilesThatCannotBeTruncatedAreWritten) {
  auto s = Start({{"QUERY_STRING", "a=1"}});
  EXPECT_NO_THROW(s->GetFileData("a", 0, "/dev/null"));
  EXPECT_NO_THROW(s->SaveRequestData("/dev/null"));
}

// --- Named values ---------------------------------------------------------------------------

TEST(NamedValues, ErrorsCarryTheirNumbers) {
  auto s = Start({{"QUERY_STRING", "x=1&X=2"}});
  EXPECT_EQ(s->GetSubIndexCount("x"), 2);
  EXPECT_EQ(s->GetStringData("x", 1), "2");
  EXPECT_EQ(ErrorOf([&] { s->GetDataName(-1); }), kMsgBadIndex);
  EXPECT_EQ(ErrorOf([&] { s->GetDataName(2); }), kMsgBadIndex);
  try {
    s->GetStringData("x", 2);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kMsgNoParameter);
    EXPECT_TRUE(e.composed());
    EXPECT_EQ(e.appended(), u"x");
  }
  EXPECT_EQ(ErrorOf([&] { s->GetBinaryData("none", 0); }), kMsgNoParameter);
}

// Under QUILLON_MESSAGES=en each failure names what the call was given; the
// number and the Japanese description do not change with the setting.
TEST(NamedValues, EnglishFailuresNameWhatTheCallWasGiven) {
  ScratchDir dir;
  const std::string missing = dir / "missing.bin";
  const std::string unwritable = dir / "no/such/dir";
  const std::u16string missing16 = com::Utf8ToUtf16(missing);
  const std::u16string unwritable16 = com::Utf8ToUtf16(unwritable);
  auto s = Start({{"QUERY_STRING", "g=1&x=1&X=2"}});
  quillon::testing::ExpectFailuresInBothLanguages({
      {"WriteFromFile", [&] { s->WriteFromFile(missing); }, kMsgFileRead,
       u"The file does not exist or cannot be read. File: " + missing16, u""},
      {"GetFileData", [&] { s->GetFileData("g", 0, unwritable); }, kMsgFileWrite,
       u"The file cannot be written. File: " + unwritable16, u""},
      {"SaveRequestData", [&] { s->SaveRequestData(unwritable); }, kMsgFileWrite,
       u"The file cannot be written. File: " + unwritable16, u""},
      {"CreateTempCopy", [&] { s->CreateTempCopy(missing); }, kMsgFileRead,
       u"The file does not exist or cannot be read. File: " + missing16, u""},
      {"GetULFileName", [&] { s->GetULFileName("g", 0); }, kMsgMultipartOnly,
       u"This method can be used only for requests from a multipart form. Parameter name: g",
       u""},
      // Names keep their case: g, x and X.
      {"GetDataName", [&] { s->GetDataName(3); }, kMsgBadIndex,
       u"The index is not valid. Index: 3 (3 names)", u""},
      {"GetStringData", [&] { s->GetStringData("x", 2); }, kMsgNoParameter,
       u"The CGI parameter does not exist. Parameter name: x, sub-index 2 (2 values by that name)",
       u"x"},
  });
}

TEST(NamedValues, FailingSetLeavesTheOutgoingListAlone) {
  auto io = MakeIo();
  {
    QServer s(io);
    s.SetStringData("a", "1");
    EXPECT_EQ(ErrorOf([&] { s.SetFileData("b", "/nonexistent/quillon"); }), kMsgFileRead);
  }
  EXPECT_NE(io->output.find("QServerParams:a=1&QServerResult="), std::string::npos);
}

TEST(NamedValues, UrlEncodeAndDecode) {
  QServer s(MakeIo());
  EXPECT_EQ(s.URLEncode("a b&c"), "a+b%26c");
  EXPECT_EQ(s.URLDecode("%41%62+c"), "Ab c");
  EXPECT_EQ(s.URLDecode("x%00y"), "x");
  s.StartOffLineDebug();
}

// --- Cookies ----------------------------------------------------------------------------------

TEST(Cookies, SessionVariablesComeFromTheRequestAndGoBack) {
  auto io = MakeIo({{"HTTP_COOKIE", "__QuillonSV_user=Taro%20Y; other=1; __quillonsv_x=2"}});
  {
    auto s = QServer::StartCgi(io);
    EXPECT_EQ(s->SessionVariable("USER"), "Taro Y");
    EXPECT_EQ(s->SessionVariable("x"), "") << "the prefix is case-sensitive";
    s->WriteString("page");
  }
  EXPECT_NE(io->output.find("Set-Cookie: __QuillonSV_user=Taro+Y;  path=/\r\n"), std::string::npos)
      << io->output;
}

TEST(Cookies, ResponseCookieWinsOverTheBrowsersCopy) {
  auto s = Start({{"HTTP_COOKIE", "id=old; Name=%41"}});
  EXPECT_EQ(s->GetCookie("name"), "A");
  EXPECT_EQ(s->GetCookie("ID"), "old");
  s->SetCookie("id", "new value", std::nullopt);
  EXPECT_EQ(s->GetCookie("id"), "new value");
  EXPECT_EQ(s->GetCookie("missing"), "");
}

// --- Temporary copies ---------------------------------------------------------------------------

TEST(TempCopies, CopiesOwnerOnlyAndDeletesAtTheEnd) {
  ScratchDir dir;
  TempDirOverride tmp(dir.path().string());
  const std::string source = dir / "source.bin";
  const std::string bytes(10000, '\x5A');
  ASSERT_TRUE(platform::WriteWholeFile(source, bytes + "\0tail"s));
  std::string copy;
  std::string reserved;
  {
    QServer s(MakeIo());
    copy = s.CreateTempCopy(source);
    EXPECT_EQ(fs::path(copy).parent_path(), dir.path());
    EXPECT_EQ(ReadFile(copy), bytes + "\0tail"s);
    struct stat info;
    ASSERT_EQ(::stat(copy.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    reserved = s.CreateTempCopy("");
    EXPECT_NE(reserved, copy);
    EXPECT_FALSE(fs::exists(reserved)) << "an empty source creates no file";
    s.StartOffLineDebug();
  }
  EXPECT_FALSE(fs::exists(copy));
}

// Names follow no pattern: planting the names a process id and a counter
// would give (8,192 of them made every upload fail) changes nothing.
TEST(TempCopies, NamesAreRandomSoPlantedNamesCannotStopACopy) {
  ScratchDir dir;
  TempDirOverride tmp(dir.path().string());
  const std::string source = dir / "source.txt";
  ASSERT_TRUE(platform::WriteWholeFile(source, "data"));
  for (unsigned counter = 0; counter < 8192; ++counter) {
    char name[32];
    std::snprintf(name, sizeof name, "%04x%04x.TMP", static_cast<unsigned>(::getpid()), counter);
    const int fd = ::open((dir / name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  QServer s(MakeIo());
  s.StartOffLineDebug();
  std::set<std::string> names;
  for (int i = 0; i < 8; ++i) {
    const std::string copy = s.CreateTempCopy(source);
    const std::string name = fs::path(copy).filename().string();
    EXPECT_EQ(name.size(), 20u) << name;
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), 16u) << name;
    EXPECT_TRUE(name.ends_with(".TMP")) << name;
    EXPECT_EQ(ReadFile(copy), "data");
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 8u);
}

// A random name someone holds (a link, a file) is skipped, never followed
// or overwritten.
TEST(TempCopies, TakenNamesAreSkippedAndNeverFollowed) {
  ScratchDir dir;
  TempDirOverride tmp(dir.path().string());
  const std::string source = dir / "source.txt";
  ASSERT_TRUE(platform::WriteWholeFile(source, "data"));
  const std::string victim = dir / "victim";
  ASSERT_TRUE(platform::WriteWholeFile(victim, "precious"));
  const std::string dir_slash = dir.path().string() + "/";
  std::vector<uint64_t> values = {0xA, 0xB, 0xC, 0xD};
  size_t next = 0;
  SetTempNameSourceForTesting([&] { return values[next++ % values.size()]; });
  ASSERT_EQ(::symlink(victim.c_str(), TempFileName(dir_slash, 0xA).c_str()), 0);
  ASSERT_TRUE(platform::WriteWholeFile(TempFileName(dir_slash, 0xB), "theirs"));
  {
    QServer s(MakeIo());
    s.StartOffLineDebug();
    const std::string copy = s.CreateTempCopy(source);
    EXPECT_EQ(copy, TempFileName(dir_slash, 0xC));
    EXPECT_EQ(ReadFile(copy), "data");
    next = 0;
    EXPECT_EQ(s.CreateTempCopy(""), TempFileName(dir_slash, 0xD)) << "only a free name";
  }
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(ReadFile(TempFileName(dir_slash, 0xB)), "theirs");
  // Every name taken: the copy fails instead of trying for ever.
  values = {0xB};
  {
    QServer s(MakeIo());
    s.StartOffLineDebug();
    EXPECT_EQ(ErrorOf([&] { s.CreateTempCopy(source); }), kMsgFileWrite);
    quillon::testing::ScopedMessages english("en");
    EXPECT_EQ(DescriptionOf([&] { s.CreateTempCopy(source); }),
              u"The file cannot be written. Directory: " + com::Utf8ToUtf16(dir_slash) +
                  u" (no free file name turned up)");
  }
  SetTempNameSourceForTesting(nullptr);
}

TEST(TempCopies, UnreadableSourceOrUnwritableCopyFail) {
  QServer s(MakeIo());
  s.StartOffLineDebug();
  EXPECT_EQ(ErrorOf([&] { s.CreateTempCopy("/nonexistent/quillon/source"); }), kMsgFileRead);
  ScratchDir dir;
  EXPECT_EQ(ErrorOf([&] { s.CreateTempCopy(dir.path().string()); }), kMsgFileRead)
      << "a directory is no file";
  const std::string source = dir / "s";
  ASSERT_TRUE(platform::WriteWholeFile(source, "x"));
  // Nothing can be created in /proc, not even by root.
  TempDirOverride tmp("/proc");
  EXPECT_EQ(ErrorOf([&] { s.CreateTempCopy(source); }), kMsgFileWrite);
  // In English the failure names the copy it could not create.
  quillon::testing::ScopedMessages english("en");
  const std::u16string text = DescriptionOf([&] { s.CreateTempCopy(source); });
  EXPECT_TRUE(text.starts_with(u"The file cannot be written. File: /proc/") &&
              text.ends_with(u".TMP"))
      << com::Utf16ToUtf8(text);
}

TEST(TempCopies, ReservedNameIsCreatedExclusivelyOnFirstWrite) {
  ScratchDir dir;
  TempDirOverride tmp(dir.path().string());
  const std::string victim = dir / "victim";
  ASSERT_TRUE(platform::WriteWholeFile(victim, "precious"));
  auto s = Start({{"QUERY_STRING", "a=bytes"}});
  // Someone plants a link at the free name before the page writes there.
  const std::string planted = s->CreateTempCopy("");
  EXPECT_FALSE(fs::exists(planted));
  ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);
  EXPECT_EQ(ErrorOf([&] { s->GetFileData("a", 0, planted); }), kMsgFileWrite);
  EXPECT_EQ(ErrorOf([&] { s->SaveRequestData(planted); }), kMsgFileWrite);
  EXPECT_EQ(ReadFile(victim), "precious");

  // Untouched names are created owner-only, and later writes replace.
  for (bool save : {false, true}) {
    const std::string mine = s->CreateTempCopy("");
    if (save) {
      s->SaveRequestData(mine);
    } else {
      s->GetFileData("a", 0, mine);
    }
    struct stat info;
    ASSERT_EQ(::lstat(mine.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    s->GetFileData("a", 0, mine);
    EXPECT_EQ(ReadFile(mine), "bytes");
  }
}

TEST(TempCopies, NoTempFileOutlivesAClientThatWentAway) {
  // The web server's client went away mid-response: the server closes the
  // program's pipe (the write fails with EPIPE and raises SIGPIPE) and may
  // send SIGTERM as well. Neither may end the process before its copies
  // are deleted; a SIGTERM still ends it afterwards.
  class TermMidWrite : public CgiIo {
   public:
    bool WriteOutput(std::string_view) override {
      ::raise(SIGTERM);
      return false;
    }
  };
  for (const bool term : {false, true}) {
    SCOPED_TRACE(term ? "SIGTERM" : "closed pipe");
    ScratchDir dir;
    const std::string source = dir / "source";
    ASSERT_TRUE(platform::WriteWholeFile(source, std::string(1000, 'x')));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      setenv("TMPDIR", dir.path().c_str(), 1);
      {
        // The process's own environment and stdout, or one that is told
        // to stop while it writes.
        QServer server(term ? std::make_shared<TermMidWrite>() : nullptr);
        server.CreateTempCopy(source);
        server.CreateTempCopy("");
        server.WriteString(std::string(1 << 20, 'y'));
      }
      // Still alive, and no SIGPIPE left pending to strike later.
      sigset_t pending;
      sigpending(&pending);
      ::_exit(sigismember(&pending, SIGPIPE) == 1 ? 3 : 0);
    }
    ::close(fds[1]);
    int status = 0;
    ASSERT_TRUE(quillon::testing::WaitChild(child, &status)) << "the writing child did not end";
    if (term) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
      EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    size_t left = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      left += entry.path().filename() != "source" ? 1 : 0;
    }
    EXPECT_EQ(left, 0u);
  }
}

TEST(TempCopies, RefusedWriteEndsTheResponseAndStillDeletes) {
  ScratchDir dir;
  TempDirOverride tmp(dir.path().string());
  auto io = MakeIo();
  io->closed = true;
  std::string copy;
  {
    QServer server(io);
    ASSERT_TRUE(platform::WriteWholeFile(dir / "s", "x"));
    copy = server.CreateTempCopy(dir / "s");
    server.WriteString("page");
  }
  EXPECT_EQ(io->output, "");
  EXPECT_EQ(io->flushes, 0) << "nothing is attempted after the refused write";
  EXPECT_FALSE(fs::exists(copy));
}

// --- Debug capture --------------------------------------------------------------------------------

constexpr char kCapturedEnv[] =
    "REQUEST_METHOD=POST\r\nCONTENT_TYPE=application/x-www-form-urlencoded\r\n"
    "QUERY_STRING=a=1\r\n";

TEST(DebugCapture, ReplaysACapturedRequest) {
  QServer s(MakeIo());
  s.StartOffLineDebug();
  EXPECT_TRUE(s.OffLineDebug());
  s.DebugInit(kCapturedEnv, "b=2");
  EXPECT_EQ(s.GetDataNameCount(), 2);
  EXPECT_EQ(s.GetStringData("a", 0), "1");
  EXPECT_EQ(s.GetServerVariable("request_method"), "POST");
  // A second capture appends.
  s.DebugInit("QUERY_STRING=c=3\r\n", std::nullopt);
  EXPECT_EQ(s.GetDataNameCount(), 3);
}

// A PATH_INFO that smuggled line ends past the forwarder cannot stand in
// for the variables the web server sets after it.
TEST(DebugCapture, ANameGivenTwiceTakesItsLastValue) {
  QServer s(MakeIo());
  s.StartOffLineDebug();
  s.DebugInit(
      "PATH_INFO=/x\r\nREMOTE_ADDR=10.9.9.9\r\nREQUEST_METHOD=POST\r\n"
      "CONTENT_TYPE=text/plain\r\n"
      "REMOTE_ADDR=127.0.0.1\r\nREQUEST_METHOD=GET\r\n"
      "CONTENT_TYPE=application/x-www-form-urlencoded\r\n",
      "b=2");
  EXPECT_EQ(s.GetServerVariable("REMOTE_ADDR"), "127.0.0.1");
  EXPECT_EQ(s.GetServerVariable("request_method"), "GET");
  EXPECT_EQ(s.GetServerVariable("PATH_INFO"), "/x");
  EXPECT_EQ(s.GetStringData("b", 0), "2") << "the body was parsed with the last CONTENT_TYPE";
}

TEST(DebugCapture, ProcessEnvironmentComesFirst) {
  QServer s(MakeIo({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "own=1"}}));
  s.StartOffLineDebug();
  s.DebugInit(kCapturedEnv, std::nullopt);
  EXPECT_EQ(s.GetServerVariable("REQUEST_METHOD"), "GET");
  EXPECT_EQ(s.GetDataName(0), "own");
}

TEST(DebugCapture, MultipartThroughTheCapturedContentType) {
  const std::string body = UploadBody("\0\x01"s);
  QServer s(MakeIo());
  s.StartOffLineDebug();
  s.DebugInit("CONTENT_TYPE=multipart/form-data; boundary=" + kBoundary + "\r\n", body);
  EXPECT_EQ(s.GetBinaryData("pic", 0), "\0\x01"s);
  EXPECT_EQ(s.GetULContentType("pic", 0), "image/gif");
}

TEST(DebugCapture, LiveObjectIgnoresDebugInit) {
  auto s = Start({});
  s->DebugInit(kCapturedEnv, "b=2");
  EXPECT_FALSE(s->OffLineDebug());
  EXPECT_EQ(s->GetDataNameCount(), 0);
}

TEST(DebugCapture, DebugExitHandsOverHeaderAndBody) {
  QServer s(MakeIo());
  s.StartOffLineDebug();
  s.AddHeader("X-A: 1");
  s.SetSessionVariable("u", "1");
  s.SetStringData("x", "y");
  QServer::DebugResponse r = s.DebugExit();
  EXPECT_EQ(r.header, "Content-Type: text/html\r\nX-A: 1\r\nConnection: close\r\n");
  EXPECT_FALSE(r.binary);
  EXPECT_EQ(r.body, "QServerParams:x=y&QServerResult=");

  s.WriteString("line");
  EXPECT_EQ(s.DebugExit().body, "line\r\n");
  s.WriteBinary("\0b"s);
  r = s.DebugExit();
  EXPECT_TRUE(r.binary);
  EXPECT_EQ(r.body, "\0b"s);
}

TEST(DebugCapture, SaveRequestDataWritesTheRequestDataText) {
  auto s = Start({{"QUERY_STRING", "a=1&b=x%20y"}});
  ScratchDir dir;
  s->SaveRequestData(dir / "req.dat");
  EXPECT_EQ(ReadFile(dir / "req.dat"), "\r\na=1&b=x%20y");
  EXPECT_EQ(ErrorOf([&] { s->SaveRequestData(dir / "missing/dir/file"); }), kMsgFileWrite);
}

// --- Handles ------------------------------------------------------------------------------------------

TEST(Handles, ReachLiveObjectsOnly) {
  int32_t first_handle = 0;
  {
    QServer a(MakeIo());
    QServer b(MakeIo());
    a.StartOffLineDebug();
    b.StartOffLineDebug();
    first_handle = a.InternalPointer();
    EXPECT_NE(first_handle, 0);
    EXPECT_NE(first_handle, b.InternalPointer());
    EXPECT_EQ(QServer::FromHandle(first_handle), &a);
    QServer::FromHandle(b.InternalPointer())->AppendBodyText("via handle");
    EXPECT_EQ(b.DebugExit().body, "via handle\r\n");
  }
  EXPECT_EQ(QServer::FromHandle(first_handle), nullptr);
}

}  // namespace
}  // namespace quillon::server

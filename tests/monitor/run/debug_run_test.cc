// The debug runs: the forwarding CGI mode byte for byte, the interactive
// run through its callbacks, the response kind, and one forwarding run as
// a real CGI process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "monitor/run/debug_call.h"
#include "monitor/run/forward_cgi.h"
#include "monitor/run/interactive.h"
#include "monitor/run/run_messages.h"
#include "quillon/component/bstr.h"
#include "quillon/component/remote.h"
#include "quillon/component/runtime.h"
#include "quillon/platform/codepage.h"
#include "test_support.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/message_language.h"

namespace quillon::monitor {
namespace {

using namespace std::string_literals;

// The monitor's messages as its string table holds them (UTF-8 here).
const std::string kText1001 =
    "サーバ・アプリケーションの呼び出しに失敗しました。 返されたメッセージは以下のとおりです。\n\n";
const std::string kText1002 =
    "サーバ・アプリケーションからエラーが返されました。 "
    "サーバ・アプリケーションが強制終了させられたか、正常に稼動していない可能性があります。";
const std::string kText1003 =
    "\nサーバアプリケーションのデバッグ機能の使用をオンにしている場合、Visual "
    "Basicの開発環境でプログラムが実行されている必要があります。\nIISおよびPWSでは、\"自動的な"
    "パスワードの同期\"をオフにすることで回避できる場合があります。";

std::string ErrorPage(const std::string& message) {
  return "Content-type: text/html\r\n"
         "\r\n"
         "<HTML><HEAD><TITLE>エラー</TITLE></HEAD>\r\n"
         "<BODY bgcolor=white><FONT size=4 color=#800000>\r\n"
         "サーバ・アプリケーション実行エラー<BR><BR>\r\n" +
         message + "<BR>\r\n</FONT></BODY></HTML>";
}

TEST(MonitorMessages, TextsAsTheTableHoldsThem) {
  EXPECT_EQ(com::Utf16ToUtf8(MonitorMessage(100)),
            "OLE の初期化に失敗しました。OLE ﾗｲﾌﾞﾗﾘが正しいﾊﾞｰｼﾞｮﾝのものか確認してください。");
  EXPECT_EQ(com::Utf16ToUtf8(MonitorMessage(1001)), kText1001);
  EXPECT_EQ(com::Utf16ToUtf8(MonitorMessage(1002)), kText1002);
  EXPECT_EQ(com::Utf16ToUtf8(MonitorMessage(1003)), kText1003);
  EXPECT_TRUE(MonitorMessage(1004).empty());
  EXPECT_EQ(com::Utf16ToUtf8(DescribeFailure(com::REGDB_E_CLASSNOTREG)), "Class not registered");
  EXPECT_EQ(com::Utf16ToUtf8(DescribeFailure(com::MakeHresult(0x80010108))),
            "The object invoked has disconnected from its clients.");
  EXPECT_EQ(com::Utf16ToUtf8(DescribeFailure(com::MakeHresult(0x8badf00d))),
            "Unknown error 0x8BADF00D");
}

TEST(MonitorMessages, EnglishUnderQuillonMessages) {
  quillon::testing::ScopedMessages english("en");
  EXPECT_EQ(com::Utf16ToUtf8(MonitorMessage(1002)),
            "The server application returned an error. It may have been killed, or it may not "
            "be running properly.");
  EXPECT_TRUE(MonitorMessage(1001).ends_with(u"\n\n")) << "the reason follows on its own";
  EXPECT_TRUE(MonitorMessage(1003).starts_with(u"\nWhen debugging is turned on"));
  EXPECT_TRUE(MonitorMessage(1004).empty());
}

// A CGI request in memory: environment, a body that arrives in pieces of at
// most `max_piece` bytes, and the response written.
struct FakeCgi {
  std::map<std::string, std::string> env;
  std::string input;
  size_t max_piece = 1 << 20;
  size_t pos = 0;
  size_t largest_request = 0;
  std::string output;
  int flushes = 0;

  CgiStreams Streams() {
    CgiStreams io;
    io.env = [this](const char* name) -> std::optional<std::string> {
      auto it = env.find(name);
      if (it == env.end()) return std::nullopt;
      return it->second;
    };
    io.read = [this](char* buffer, size_t size) {
      largest_request = std::max(largest_request, size);
      const size_t n = std::min({size, max_piece, input.size() - pos});
      std::copy_n(input.data() + pos, n, buffer);
      pos += n;
      return n;
    };
    io.write = [this](std::string_view bytes) { output.append(bytes); };
    io.flush = [this] { ++flushes; };
    return io;
  }
};

TEST(ForwardingCgi, AnswersAsTheDebugObjectSays) {
  const std::string echo_head = "Content-Type: text/plain\r\n\r\n";
  const struct {
    const char* name;
    std::string project;
    std::map<std::string, std::string> env;
    std::string input;
    size_t max_piece;
    std::string output;
  } cases[] = {
      {"GET without a body passes EMPTY", "Echo",
       {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1&b=%41"}}, "", 1 << 20,
       echo_head + "ENV[QUERY_STRING=a=1&b=%41\r\nREQUEST_METHOD=GET\r\n]BODY[EMPTY]"},
      {"CONTENT_LENGTH 0 passes EMPTY", "Echo",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "0"}}, "ignored", 1 << 20,
       echo_head + "ENV[CONTENT_LENGTH=0\r\nREQUEST_METHOD=POST\r\n]BODY[EMPTY]"},
      {"five bytes give six elements ending in zero", "Echo",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "5"}}, "hello, and more", 1 << 20,
       echo_head + "ENV[CONTENT_LENGTH=5\r\nREQUEST_METHOD=POST\r\n]BODY[6:hello\0]"s},
      {"short body keeps zeros", "Echo",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "6"}}, "he", 1 << 20,
       echo_head + "ENV[CONTENT_LENGTH=6\r\nREQUEST_METHOD=POST\r\n]BODY[7:he\0\0\0\0\0]"s},
      {"body arriving in small pieces", "Echo",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "600"}}, std::string(600, 'x'), 7,
       echo_head + "ENV[CONTENT_LENGTH=600\r\nREQUEST_METHOD=POST\r\n]BODY[601:" +
           std::string(600, 'x') + "\0]"s},
      {"negative length is no body", "Echo", {{"CONTENT_LENGTH", "-5"}}, "hello", 1 << 20,
       echo_head + "ENV[CONTENT_LENGTH=-5\r\n]BODY[EMPTY]"},
      {"only the listed variables, in their order, values raw", "Echo",
       {{"HTTP_USER_AGENT", "ua x"}, {"PATH", "/bin"}, {"AUTH_TYPE", "Basic"},
        {"HTTP_COOKIE", "s=1; t=%20"}, {"SERVER_PORT", ""}, {"URL", "/app"}},
       "", 1 << 20,
       echo_head + "ENV[AUTH_TYPE=Basic\r\nSERVER_PORT=\r\nURL=/app\r\nHTTP_COOKIE=s=1; t=%20\r\n"
                   "HTTP_USER_AGENT=ua x\r\n]BODY[EMPTY]"},
      {"string body in the code page", "Text", {}, "", 1 << 20,
       "Content-Type: text/html\r\nConnection: close\r\n\r\n<P>日本語 QServerParams:</P>"},
      {"byte array from lower to upper bound", "Gif", {}, "", 1 << 20,
       "Content-Type: image/gif\r\n\r\nGIF89a\0\x01"s},
      {"unknown project", "", {}, "", 1 << 20,
       ErrorPage(kText1001 + "<BR>Invalid class string<BR>" + kText1003)},
      {"library of the class missing", "Missing", {}, "", 1 << 20,
       ErrorPage(kText1001 + "<BR>DLL for class not found<BR>" + kText1003)},
      {"exception information", "Excep", {}, "", 1 << 20,
       ErrorPage("Excep.QuillonDebug : テストの例外")},
      {"error object", "ErrInfo", {}, "", 1 << 20,
       ErrorPage("ErrInfo.QuillonDebug : Object error text")},
      {"failure without an error", "Disconnected", {}, "", 1 << 20, ErrorPage(kText1002)},
      {"no StartDebug", "NoMethod", {}, "", 1 << 20, ErrorPage(kText1002)},
      {"length beyond any array", "Echo", {{"CONTENT_LENGTH", "99999999999999999999"}}, "",
       1 << 20,
       // 256 MiB, less the call (64) and the environment text (37 units).
       ErrorPage("The request body is larger than a debug call can carry (268435318 bytes).")},
      {"line ends in forwarded values become blanks", "Echo",
       {{"PATH_INFO", "/a\r\nREMOTE_ADDR=10.9.9.9\r\nREQUEST_METHOD=POST"},
        {"QUERY_STRING", "x\ny\r"},
        {"REMOTE_ADDR", "127.0.0.1"},
        {"REQUEST_METHOD", "GET"}},
       "", 1 << 20,
       echo_head + "ENV[PATH_INFO=/a  REMOTE_ADDR=10.9.9.9  REQUEST_METHOD=POST\r\n"
                   "QUERY_STRING=x y \r\nREMOTE_ADDR=127.0.0.1\r\nREQUEST_METHOD=GET\r\n]"
                   "BODY[EMPTY]"},
      {"an error quoting the visitor is escaped, and so is the ProgID", "R<&\">",
       {{"QUERY_STRING", "v=<script>alert(\"x&y\")</script>"}}, "", 1 << 20,
       ErrorPage("R&lt;&amp;&quot;&gt;.QuillonDebug : QUERY_STRING=v=&lt;script&gt;alert("
                 "&quot;x&amp;y&quot;)&lt;/script&gt;\r\n")},
  };
  for (const auto& c : cases) {
    FakeCgi cgi;
    cgi.env = c.env;
    cgi.input = c.input;
    cgi.max_piece = c.max_piece;
    RunForwardingCgi(c.project, cgi.Streams());
    EXPECT_EQ(cgi.output, c.output) << c.name;
    EXPECT_GE(cgi.flushes, 1) << c.name;
    EXPECT_LE(cgi.largest_request, kBodyPiece) << c.name;
  }
}

// A CONTENT_LENGTH above what one call can carry is refused before any
// array is made or any byte read: the header alone once cost gigabytes.
TEST(ForwardingCgi, OversizedLengthIsRefusedBeforeAllocatingOrReading) {
  // The limit: 256 MiB less the call (64) and twice the environment text
  // ("CONTENT_LENGTH=" + the value + CR LF).
  const struct {
    const char* length;
    const char* limit;
  } cases[] = {
      {"1000000000", "268435338"},
      {"268435457", "268435340"},
      {"4294967296", "268435338"},
      {"99999999999999999999", "268435318"},
  };
  for (const auto& c : cases) {
    const long arrays = com::LiveArrayCount();
    FakeCgi cgi;
    cgi.env = {{"CONTENT_LENGTH", c.length}};
    RunForwardingCgi("Echo", cgi.Streams());
    const std::string expected = ErrorPage(
        "The request body is larger than a debug call can carry (" + std::string(c.limit) +
        " bytes).");
    EXPECT_TRUE(cgi.output == expected) << c.length << ": " << cgi.output.substr(0, 400);
    EXPECT_EQ(cgi.largest_request, 0u) << c.length << ": the body was read";
    EXPECT_EQ(com::LiveArrayCount(), arrays) << c.length;
  }
  EXPECT_EQ(MaxForwardedBody(0), 268435456u - 64u);
  EXPECT_EQ(MaxForwardedBody(200u << 20), 0u);
}

// The forwarding mode runs as the web server's user, shared by every other
// program the web server runs: an endpoint of that user is not trusted,
// only the users it is told of.
TEST(ForwardingCgi, CallsOnlyDebugObjectsOfTheUsersItIsTold) {
  const std::string runtime = testing::TestDir() + "/trust-run";
  ::setenv("QUILLON_RUNTIME_DIR", runtime.c_str(), 1);
  const std::string project = "Pub" + std::to_string(::getpid());
  com::ComPtr<com::IDispatch> echo;
  ASSERT_EQ(com::CreateObjectByProgId(u"Echo.QuillonDebug", echo.put()), com::S_OK);
  com::PublishOptions publish;
  publish.serve_on_thread = true;
  std::unique_ptr<com::Publication> publication;
  ASSERT_EQ(com::PublishObject(DebugProgId(project), echo.get(), publish, &publication), com::S_OK);

  const std::string self = std::to_string(::geteuid());
  const std::string ini = testing::TestDir() + "/trust.ini";
  const std::string answered = "Content-Type: text/plain\r\n\r\nENV[]BODY[EMPTY]";
  const std::string refused =
      ErrorPage(kText1001 + "<BR>Access is denied.<BR>" + kText1003);
  const struct {
    const char* name;
    std::map<std::string, std::string> env;
    std::string ini;
    std::string output;
  } cases[] = {
      {"its own user, named nowhere", {}, "", refused},
      {"named in QUILLON_TRUST_USERS", {{"QUILLON_TRUST_USERS", "nobody," + self}}, "", answered},
      {"named in Quillon.ini", {{"QUILLON_INI", ini}}, "[Debug]\nTrustUsers = nobody, " + self + "\n",
       answered},
      {"Quillon.ini names someone else", {{"QUILLON_INI", ini}}, "[debug]\ntrustusers=nobody\n",
       refused},
  };
  for (const auto& c : cases) {
    testing::WriteFile(ini, c.ini);
    FakeCgi cgi;
    cgi.env = c.env;
    RunForwardingCgi(project, cgi.Streams());
    EXPECT_EQ(cgi.output, c.output) << c.name;
  }
  publication.reset();
  ::unsetenv("QUILLON_RUNTIME_DIR");
}

TEST(ForwardingCgi, AnEarlierErrorObjectIsNotTakenForTheCall) {
  com::ComPtr<com::ICreateErrorInfo> create;
  ASSERT_EQ(com::CreateErrorInfo(create.put()), com::S_OK);
  create->SetDescription(u"stale");
  com::ComPtr<com::IErrorInfo> info;
  ASSERT_EQ(create.As(com::IID_IErrorInfo, &info), com::S_OK);
  com::SetErrorInfo(0, info.get());

  FakeCgi cgi;
  RunForwardingCgi("Disconnected", cgi.Streams());
  EXPECT_EQ(cgi.output, ErrorPage(kText1002));
}

TEST(ForwardingCgi, LeavesNoStringsOrArraysBehind) {
  const long strings = com::LiveStringCount();
  const long arrays = com::LiveArrayCount();
  for (const char* project : {"Echo", "Text", "Gif", "Excep", "ErrInfo", "Disconnected", ""}) {
    FakeCgi cgi;
    cgi.env = {{"CONTENT_LENGTH", "3"}};
    cgi.input = "abc";
    RunForwardingCgi(project, cgi.Streams());
  }
  EXPECT_EQ(com::LiveStringCount(), strings);
  EXPECT_EQ(com::LiveArrayCount(), arrays);
}

com::Variant StringVariant(std::u16string_view text) { return com::Variant::String(text); }

TEST(ResponseKind, ChosenFromHeaderOrBody) {
  com::Variant gif_bytes = com::Variant::Bytes(std::string_view("GIF89a"));
  const struct {
    std::u16string header;
    com::Variant body;
    std::u16string kind;
  } cases[] = {
      {u"Content-Type: image/gif\r\nConnection: close\r\n", gif_bytes, u"gif"},
      {u"Content-Type: image/png", gif_bytes, u"png"},
      {u"Content-Type: text/html; charset=x\r\n", gif_bytes, u"html;"},
      {u"Content-Type: application/\r\n", gif_bytes, u".DAT"},
      {u"X: 1\r\n", gif_bytes, u".DAT"},
      {u"Content-Type: none\r\nX: a/b\r\n", gif_bytes, u".DAT"},
      {u"content-type: image/gif\r\n", gif_bytes, u".DAT"},
      {u"Content-Type: image/gif\r\n", com::Variant::Bytes(std::string_view()), u".DAT"},
      {u"Content-Type: image/gif\r\n", com::Variant::RefTo(gif_bytes.get()), u"gif"},
      {u"Content-Type: image/gif\r\n", StringVariant(u"QServerParams:a=1&QServerResult="), u".RES"},
      {u"", StringVariant(u"<HTML></HTML>"), u".HTML"},
      {u"Content-Type: image/gif\r\n", StringVariant(u""), u".DAT"},
      {u"Content-Type: image/gif\r\n", com::Variant(), u".DAT"},
      {u"Content-Type: image/gif\r\n", com::Variant::I4(5), u".DAT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseResponseKind(c.header, *c.body.get()), c.kind)
        << com::Utf16ToUtf8(c.header) << " / vt " << c.body.vt();
  }
}

TEST(InteractiveDebug, RunsTheRequestThroughTheDebugObject) {
  const struct {
    const char* name;
    std::string project;
    InteractiveDebugResult result;
    std::string message;
    std::string header;
    std::string body;  // a byte array's bytes or a string's text
    std::string kind;
  } cases[] = {
      {"answer", "Echo", InteractiveDebugResult::kAnswered, "", "Content-Type: text/plain\r\n",
       "ENV[REMOTE_ADDR=127.0.0.1&X=a+b]BODY[10:x=1&y=%41\0]"s, "plain"},
      {"string answer", "Text", InteractiveDebugResult::kAnswered, "",
       "Content-Type: text/html\r\nConnection: close\r\n", "<P>日本語 QServerParams:</P>",
       ".RES"},
      {"creation failed", "", InteractiveDebugResult::kCreateFailed,
       kText1001 + "Invalid class string" + kText1003, "", "", ""},
      {"object error", "Excep", InteractiveDebugResult::kObjectError,
       "Excep.QuillonDebug : テストの例外", "", "", ""},
      {"error object", "ErrInfo", InteractiveDebugResult::kObjectError,
       "ErrInfo.QuillonDebug : Object error text", "", "", ""},
      {"other failure", "Disconnected", InteractiveDebugResult::kOtherFailure, kText1002, "", "",
       ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> messages;
    int responses = 0;
    DebugResponse seen;
    InteractiveDebugCallbacks callbacks;
    callbacks.edit_request = [] {
      return EditedRequest{"REMOTE_ADDR=127.0.0.1&X=a+b", "x=1&y=%41"};
    };
    callbacks.show_message = [&](const std::u16string& text) {
      messages.push_back(com::Utf16ToUtf8(text));
    };
    callbacks.edit_response = [&](const DebugResponse& response) {
      ++responses;
      seen.header = response.header;
      seen.body = response.body;
      seen.kind = response.kind;
    };
    EXPECT_EQ(RunInteractiveDebug(c.project, callbacks), c.result) << c.name;
    if (c.message.empty()) {
      EXPECT_TRUE(messages.empty()) << c.name;
      ASSERT_EQ(responses, 1) << c.name;
      EXPECT_EQ(com::Utf16ToUtf8(seen.header), c.header) << c.name;
      std::string body;
      if (!com::Variant::GetBytes(*seen.body.get(), &body) && seen.body.vt() == com::VT_BSTR) {
        body = com::Utf16ToUtf8(com::Bstr::View(seen.body.get()->bstrVal));
      }
      EXPECT_EQ(body, c.body) << c.name;
      EXPECT_EQ(com::Utf16ToUtf8(seen.kind), c.kind) << c.name;
    } else {
      EXPECT_EQ(responses, 0) << c.name;
      ASSERT_EQ(messages.size(), 1u) << c.name;
      EXPECT_EQ(messages[0], c.message) << c.name;
    }
  }
}

// --- One forwarding run as a real CGI process -----------------------------------

struct ProcessResult {
  int status = -1;
  std::string output;
};

// Starts `program` as `argv0` with exactly `env` (plus the sanitizers'
// settings), feeds `input` to its standard input and collects its output.
ProcessResult RunCgi(const std::string& program, const std::string& argv0,
                     std::vector<std::string> env, const std::string& input) {
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "LD_LIBRARY_PATH"}) {
    if (const char* value = std::getenv(keep)) env.push_back(std::string(keep) + "=" + value);
  }
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(argv0.c_str()), nullptr};
    ::execve(program.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  // The probe reads CONTENT_LENGTH bytes at most; a pipe holds this much.
  (void)!::write(in[1], input.data(), input.size());
  ::close(in[1]);
  ProcessResult result;
  EXPECT_TRUE(quillon::testing::ReadToEnd(out[0], &result.output)) << program << " never finished";
  ::close(out[0]);
  EXPECT_TRUE(quillon::testing::WaitChild(pid, &result.status)) << program << " did not end";
  return result;
}

TEST(ForwardingCgiProcess, ForwardsARealRequestInTheJapaneseCodePage) {
  // The program is started under a path with a blank, as the web server
  // would start a copy of the monitor placed in its script directory.
  const std::string dir = testing::TestDir() + "/Cgi Bin";
  std::filesystem::create_directories(dir);
  const std::string script = dir + "/Probe.CGI";
  std::filesystem::remove(script);
  std::filesystem::create_symlink(QUILLON_CGI_PROBE, script);
  std::string lower = script;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  const platform::CodePage& cp932 = platform::CodePage::Get(platform::CodePage::kJapanese);
  auto sjis = [&](const std::string& utf8) { return cp932.FromUtf16(com::Utf8ToUtf16(utf8)); };

  const struct {
    const char* name;
    std::string ini;
    std::string output;
  } cases[] = {
      {"project found",
       "[Debug]\nNumProjects=2\nProject1=Other\nOther=/srv/other.cgi\nProject2=Echo\nEcho=" +
           lower + "\n",
       "Content-Type: text/plain\r\n\r\nENV[CONTENT_LENGTH=5\r\nQUERY_STRING=a=1\r\n"
       "REQUEST_METHOD=POST\r\n]BODY[6:hello\0]"s},
      {"string answer converted", "[Debug]\nNumProjects=1\nProject1=Text\nText=" + lower + "\n",
       "Content-Type: text/html\r\nConnection: close\r\n\r\n" +
           sjis("<P>日本語 QServerParams:</P>")},
      {"no project", "[Debug]\nNumProjects=1\nProject1=Echo\nEcho=/srv/else.cgi\n",
       sjis(ErrorPage(kText1001 + "<BR>Invalid class string<BR>" + kText1003))},
  };
  for (const auto& c : cases) {
    const std::string ini = testing::TestDir() + "/cgi.ini";
    testing::WriteFile(ini, c.ini);
    const ProcessResult result =
        RunCgi(QUILLON_CGI_PROBE, script,
               {"QUILLON_REGISTRY=" + testing::RegistryPath(), "QUILLON_INI=" + ini,
                "QUILLON_CODEPAGE=932", "REQUEST_METHOD=POST", "CONTENT_LENGTH=5",
                "QUERY_STRING=a=1", "GATEWAY_INTERFACE_X=no"},
               "hello");
    ASSERT_TRUE(WIFEXITED(result.status)) << c.name;
    EXPECT_EQ(WEXITSTATUS(result.status), 0) << c.name;
    EXPECT_EQ(result.output, c.output) << c.name;
  }
}

}  // namespace
}  // namespace quillon::monitor

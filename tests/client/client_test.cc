// The client control's plain object and its automation surface: defaults,
// UseSSL's effect on the port, persistence across versions, the companion
// entries, and the exchange against a canned HTTP server on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/client_control.h"
#include "quillon/client/client.h"
#include "quillon/component/bstr.h"
#include "quillon/component/errors.h"
#include "quillon/core/encoding.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/message_language.h"

namespace quillon::client {
namespace {

using namespace std::string_literals;

// Answers one request with `response` and keeps what was asked.
class CannedServer {
 public:
  explicit CannedServer(std::string response) : response_(std::move(response)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 1);
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CannedServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }
  // Connects and hangs up at once: the server's one accept returns, for a
  // test whose client never came.
  static void Poke(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::close(fd);
  }
  const std::string& request() {
    thread_.join();
    thread_ = std::thread([] {});
    return request_;
  }

 private:
  void Serve() {
    // A client that never comes, or stops sending, ends the wait.
    quillon::testing::LimitSocketWaits(listener_);
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    quillon::testing::LimitSocketWaits(fd);
    char buffer[65536];
    size_t expected = std::string::npos;
    while (request_.size() < expected) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      request_.append(buffer, static_cast<size_t>(n));
      const size_t end = request_.find("\r\n\r\n");
      if (end != std::string::npos && expected == std::string::npos) {
        size_t length = 0;
        const size_t at = request_.find("Content-Length: ");
        if (at != std::string::npos && at < end) length = std::stoul(request_.substr(at + 16));
        expected = end + 4 + length;
      }
    }
    if (::send(fd, response_.data(), response_.size(), MSG_NOSIGNAL) < 0) response_.clear();
    ::shutdown(fd, SHUT_WR);
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
    ::close(fd);
  }

  std::string response_;
  int listener_ = -1;
  int port_ = 0;
  std::string request_;
  std::thread thread_;
};

std::string Http(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

int ErrorNumber(const std::function<void()>& f, std::u16string* appended = nullptr) {
  try {
    f();
  } catch (const Error& e) {
    if (appended != nullptr) *appended = e.appended();
    return e.number();
  }
  return 0;
}

TEST(ClientProperties, DefaultsAndTheUseSslPort) {
  Client c;
  EXPECT_EQ(c.AgentName(), "Quillon.QClient (Win32 I)");
  EXPECT_EQ(c.PortNo(), 80);
  EXPECT_EQ(c.ProxyPort(), 8080);
  EXPECT_FALSE(c.OffLineDebug());
  EXPECT_FALSE(c.UseSSL());
  c.SetPortNo(8000);
  c.SetUseSSL(true);
  EXPECT_EQ(c.PortNo(), 443) << "a port chosen before is overwritten";
  c.SetPortNo(8443);
  EXPECT_EQ(c.PortNo(), 8443) << "one set afterwards stays";
  c.SetUseSSL(false);
  EXPECT_EQ(c.PortNo(), 80);
}

TEST(ClientPersistence, VersionDecidesWhetherUseSslLoads) {
  struct Case {
    const char* what;
    std::optional<int32_t> version;
    bool use_ssl_loaded;
  } cases[] = {{"version 2.x", 0x00020001, false},
               {"version 3.0", 0x00030000, true},
               {"current version", 0x00030004, true},
               {"no version saved", std::nullopt, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    com::Module module;
    auto control = com::Object<ClientControl>::Create(module);
    com::PropertyMap saved{{u"UseSSL", com::Variant::Bool(true)},
                           {u"PortNo", com::Variant::I2(8443)},
                           {u"ServerName", com::Variant::String(u"example")}};
    if (c.version) saved.emplace_back(u"_Version", com::Variant::I4(*c.version));
    ASSERT_EQ(control->LoadProperties(saved, com::LoadKind::kPropertyBag), com::S_OK);
    EXPECT_EQ(control->plain().UseSSL(), c.use_ssl_loaded);
    EXPECT_EQ(control->plain().PortNo(), 8443) << "loading does not move the port";
    EXPECT_EQ(control->plain().ServerName(), "example");
    EXPECT_EQ(control->plain().ProxyPort(), 8080) << "missing values take their defaults";
  }
}

TEST(ClientPersistence, SaveWritesTheVersionAndEveryProperty) {
  com::Module module;
  auto control = com::Object<ClientControl>::Create(module);
  control->plain().SetUseSSL(true);
  com::PropertyMap saved;
  control->SaveProperties(&saved);
  auto again = com::Object<ClientControl>::Create(module);
  ASSERT_EQ(again->LoadProperties(saved, com::LoadKind::kStream), com::S_OK);
  EXPECT_TRUE(again->plain().UseSSL());
  EXPECT_EQ(again->plain().PortNo(), 443);
  EXPECT_EQ(saved.front().first, u"_Version");
  EXPECT_EQ(saved.front().second.get()->lVal, 0x00030004);
}

TEST(ClientData, CompanionEntriesNameTheFileAndItsType) {
  const std::string path = (std::filesystem::temp_directory_path() / "quillon-photo.JPG").string();
  std::ofstream(path, std::ios::binary) << "\xFF\xD8\xFF\xE0 not really a photo";
  Client c;
  c.SetBinaryData("png", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR"s);
  c.SetFileData("photo", path);
  const auto& names = c.store().outgoing_names();
  ASSERT_EQ(names.size(), 6u);
  EXPECT_EQ(names[1], "png_file_name_");
  EXPECT_EQ(names[2], "png_file_type_");
  EXPECT_EQ(names[4], "photo_file_name_");
  const auto& values = c.store().outgoing_values();
  EXPECT_EQ(values[1], "");
  EXPECT_EQ(values[2], "image%2Fpng");
  EXPECT_EQ(values[5], "image%2Fjpeg") << "from the name's extension, case folded";
  EXPECT_EQ(ErrorNumber([&] { c.SetFileData("gone", path + ".missing"); }), kMsgFileRead);
  std::filesystem::remove(path);
}

struct Answer {
  const char* what;
  int status;
  std::string body;
  int error;                // 0: success
  std::string result;       // on success
  int32_t names_after;      // GetDataNameCount afterwards
};

TEST(ClientSession, AnswersAndTheirOutcomes) {
  const Answer answers[] = {
      {"the bare session text", 200, "QServerParams:QServerResult=OK", 0, "OK", 1},
      {"text before the marker", 200, "<p>page</p>QServerParams:QServerResult=%E6%97%A5&x=1", 0,
       "日", 2},
      {"status 399 is an answer", 399, "QServerParams:QServerResult=fine", 0, "fine", 1},
      {"no marker", 200, "Script error", kMsgNoClientData, "", 0},
      {"no result", 200, "QServerParams:a=1&A=2&a=3", kMsgNoClientData, "", 2},
      {"status 404", 404, "Not Found", kMsgServerError, "", 1},
  };
  for (const Answer& a : answers) {
    SCOPED_TRACE(a.what);
    Client c;
    // A previous exchange's value, to see what a failure leaves.
    c.store().FillIncoming("old=1", false);
    CannedServer server(Http(a.status, a.body));
    c.SetServerName("127.0.0.1");
    c.SetPortNo(static_cast<int16_t>(server.port()));
    c.SetAppName("/cgi-bin/page");
    c.SetStringData("name", "Taro Yamada");
    c.SetStringData("empty", "");
    std::string result;
    std::u16string appended;
    EXPECT_EQ(ErrorNumber([&] { result = c.ProcessSession(); }, &appended), a.error);
    EXPECT_EQ(result, a.result);
    EXPECT_EQ(c.GetDataNameCount(), a.names_after);
    if (a.error == kMsgServerError) {
      EXPECT_EQ(appended, u"404");
    }
    if (a.error == kMsgNoClientData && a.body.find("QServerParams:") == std::string::npos) {
      EXPECT_EQ(appended, u"\n\nScript error") << "the page's own text is shown";
    }
    const std::string& request = server.request();
    EXPECT_EQ(request.rfind("POST /cgi-bin/page HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(request.find("\r\nAccept: text/*\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nUser-Agent: Quillon.QClient (Win32 I)\r\n"), std::string::npos);
    EXPECT_EQ(request.find("Content-Type"), std::string::npos);
    EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), "name=Taro+Yamada&empty=");
  }
}

// A value far larger than any form: it is encoded while the body is sent
// and decoded while the answer arrives, with or without a length
// announced, text before the marker and bytes after a zero byte (which
// ends the answer) included.
TEST(ClientSession, LargeValuesTravelWholeBothWays) {
  std::string bytes(1 << 19, '\0');
  uint32_t seed = 1;
  for (char& c : bytes) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  const std::string session = "<p>page</p>QServerParams:Blob=" + core::EncodeValue(bytes) +
                              "&Note=ok&QServerResult=OK";
  for (const bool announced : {true, false}) {
    SCOPED_TRACE(announced ? "Content-Length" : "closed at the end");
    const std::string answer = session + "\0&Late=1"s;
    CannedServer server(announced ? Http(200, answer)
                                  : "HTTP/1.1 200 X\r\nConnection: close\r\n\r\n" + answer);
    Client c;
    c.SetServerName("127.0.0.1");
    c.SetPortNo(static_cast<int16_t>(server.port()));
    c.SetAppName("/page");
    c.SetStringData("name", "Taro");
    c.SetBinaryData("Blob", bytes);
    const std::string expected_body = c.store().RequestBody();
    ASSERT_GT(expected_body.size(), 1u << 20);
    ASSERT_EQ(c.ProcessSession(), "OK");
    EXPECT_EQ(c.GetBinaryData("Blob", 0), bytes);
    EXPECT_EQ(c.GetStringData("Note", 0), "ok");
    EXPECT_EQ(c.GetSubIndexCount("Late"), 0) << "nothing after the zero byte counts";
    EXPECT_EQ(c.GetDataNameCount(), 3);
    const std::string& request = server.request();
    const size_t head_end = request.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos);
    EXPECT_NE(request.substr(0, head_end).find("\r\nContent-Length: " +
                                               std::to_string(expected_body.size())),
              std::string::npos);
    EXPECT_TRUE(request.compare(head_end + 4, std::string::npos, expected_body) == 0)
        << "the body differs from the joined outgoing list";
  }
}

TEST(ClientSession, DistinctNamesKeepCaseAndOrder) {
  CannedServer server(Http(200, "QServerParams:a=1&A=2&a=3&QServerResult=x"));
  Client c;
  c.SetServerName("127.0.0.1");
  c.SetPortNo(static_cast<int16_t>(server.port()));
  ASSERT_EQ(c.ProcessSession(), "x");
  EXPECT_EQ(c.GetDataNameCount(), 3);
  EXPECT_EQ(c.GetDataName(0), "a");
  EXPECT_EQ(c.GetDataName(1), "A");
  EXPECT_EQ(c.GetSubIndexCount("a"), 3);
  EXPECT_EQ(c.GetStringData("A", 2), "3");
}

// A port nobody listens on: bind one, learn it, close it.
int ClosedPort() {
  CannedServer probe("");
  return probe.port();
}

TEST(ClientSession, TransportFailuresCarryTheirNumber) {
  Client c;
  c.SetServerName("127.0.0.1");
  c.SetPortNo(static_cast<int16_t>(ClosedPort()));
  std::u16string appended;
  EXPECT_EQ(ErrorNumber([&] { c.ProcessSession(); }, &appended), kMsgConnectFailed);
  EXPECT_EQ(appended, u"7") << "connection refused";
}

TEST(ClientDownload, BytesOrAFileAndNoFileOnAFailure) {
  const std::string body(1024, 'x');
  {
    CannedServer server(Http(200, body));
    Client c;
    c.SetServerName("127.0.0.1");
    c.SetPortNo(static_cast<int16_t>(server.port()));
    c.SetUseSSL(true);  // still plain HTTP, to PortNo
    c.SetPortNo(static_cast<int16_t>(server.port()));
    std::optional<std::string> got = c.Download("/files/a.bin", "");
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, body);
    const std::string& request = server.request();
    EXPECT_EQ(request.rfind("GET /files/a.bin HTTP/1.1\r\n", 0), 0u);
    // No header of its own: there is no local cache to bypass.
    EXPECT_EQ(request.find("Cache-Control"), std::string::npos) << request;
    EXPECT_EQ(request.find("Pragma"), std::string::npos) << request;
  }
  const std::string local = (std::filesystem::temp_directory_path() / "quillon-dl.bin").string();
  std::filesystem::remove(local);
  {
    CannedServer server(Http(200, ""));
    Client c;
    c.SetServerName("127.0.0.1");
    c.SetPortNo(static_cast<int16_t>(server.port()));
    EXPECT_FALSE(c.Download("empty", local));
    EXPECT_TRUE(std::filesystem::exists(local)) << "an empty body still makes the file";
    EXPECT_EQ(std::filesystem::file_size(local), 0u);
  }
  std::filesystem::remove(local);
  {
    CannedServer server(Http(404, "missing"));
    Client c;
    c.SetServerName("127.0.0.1");
    c.SetPortNo(static_cast<int16_t>(server.port()));
    std::u16string appended;
    EXPECT_EQ(ErrorNumber([&] { c.Download("gone", local); }, &appended), kMsgServerError);
    EXPECT_EQ(appended, u"404");
    EXPECT_FALSE(std::filesystem::exists(local));
  }
}

TEST(ClientControlSurface, ErrorsFollowTheClientConvention) {
  com::Module module;
  auto control = com::Object<ClientControl>::Create(module);
  com::Bstr name;
  EXPECT_EQ(control->GetDataName(5, name.put()), com::MakeHresult(0x800A0000u + 10004));
  com::ComPtr<com::IErrorInfo> info;
  ASSERT_EQ(com::GetErrorInfo(0, info.put()), com::S_OK);
  com::DWORD help = 0;
  info->GetHelpContext(&help);
  EXPECT_EQ(help, 0x60000u + 10004);
  // The offline exchange without a monitor: no result, 10032.
  control->put_OffLineDebug(com::VARIANT_TRUE);
  com::Bstr result;
  EXPECT_EQ(control->ProcessSession(result.put()), com::MakeHresult(0x800A0000u + 10032));
}


// Under QUILLON_MESSAGES=en the control's failures name what the call was
// given and keep the client convention: the same code and, for a bare
// message, the same help context.
TEST(ClientControlSurface, EnglishDescriptionsKeepTheClientConvention) {
  quillon::testing::ScopedMessages english("en");
  com::Module module;
  auto control = com::Object<ClientControl>::Create(module);
  const std::string missing =
      (std::filesystem::temp_directory_path() / "quillon-no-such-file.bin").string();
  com::Bstr missing_name(com::Utf8ToUtf16(missing));
  com::Bstr name(u"nm");
  com::Bstr out;
  const struct Case {
    const char* what;
    std::function<com::HRESULT()> call;
    int number;
    std::u16string english;
  } cases[] = {
      {"GetDataName", [&] { return control->GetDataName(5, out.put()); }, 10004,
       u"The index is not valid. Index: 5 (0 names)"},
      {"GetStringData", [&] { return control->GetStringData(name.get(), 0, out.put()); }, 10005,
       u"The CGI parameter does not exist. Parameter name: nm"},
      {"SetFileData", [&] { return control->SetFileData(name.get(), missing_name.get()); },
       10002, u"The file does not exist or cannot be read. File: " + com::Utf8ToUtf16(missing)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t n = static_cast<uint32_t>(c.number);
    EXPECT_EQ(static_cast<uint32_t>(c.call()), 0x800A0000u + n);
    com::ComPtr<com::IErrorInfo> info;
    ASSERT_EQ(com::GetErrorInfo(0, info.put()), com::S_OK);
    com::DWORD help = 0;
    info->GetHelpContext(&help);
    EXPECT_EQ(help, 0x60000u + n) << "still a bare message";
    com::Bstr description;
    info->GetDescription(description.put());
    EXPECT_EQ(description.view(), c.english);
    EXPECT_EQ(com::MessageNumberOf(info.get()), c.number);
  }
}

TEST(ClientSession, EnglishTransportFailuresSayWhatHappened) {
  quillon::testing::ScopedMessages english("en");
  Client c;
  c.SetServerName("127.0.0.1");
  c.SetPortNo(static_cast<int16_t>(ClosedPort()));
  try {
    c.ProcessSession();
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kMsgConnectFailed);
    EXPECT_EQ(e.appended(), u"7");
    // The transport's own words follow the code.
    const std::u16string text = e.Description();
    EXPECT_TRUE(text.starts_with(u"Connecting to the HTTP server failed. Error code: 7 (") &&
                text.ends_with(u")") && text.size() > 55)
        << com::Utf16ToUtf8(text);
  }
  // A download whose local file cannot be made names the file.
  CannedServer server(Http(200, "x"));
  c.SetPortNo(static_cast<int16_t>(server.port()));
  const std::string local = "/nonexistent/quillon/dl.bin";
  try {
    c.Download("a.bin", local);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kMsgReadFailed);
    EXPECT_EQ(e.Description(),
              u"Reading the data returned by the HTTP server failed. File: /nonexistent/quillon/dl.bin");
  }
}

// --- The request target, proxies ---------------------------------------------------

// The request line a POST (ProcessSession) or a GET (Download) of `target`
// sends; "" when the call failed before anything was sent.
std::string RequestLine(const std::string& target, bool download, int* error = nullptr) {
  CannedServer server(Http(200, "QServerParams:QServerResult=OK"));
  Client c;
  c.SetServerName("127.0.0.1");
  c.SetPortNo(static_cast<int16_t>(server.port()));
  c.SetAppName(target);
  const int number = ErrorNumber([&] {
    if (download) {
      c.Download(target, "");
    } else {
      c.ProcessSession();
    }
  });
  if (error != nullptr) *error = number;
  if (number != 0) {
    // Nothing went out: let the canned server go.
    CannedServer::Poke(server.port());
  }
  const std::string& request = server.request();
  return request.substr(0, request.find("\r\n"));
}

TEST(ClientTarget, IsSentAsGiven) {
  const std::string targets[] = {
      "/a/../b/./c.cgi",       // not normalised
      "/page.cgi#frag",        // the fragment stays
      "/\xC3\xA9t\xC3\xA9.cgi",  // bytes, not escapes
      "/x?a=1&b=%20&c",        // the query as it is
      "/with space.cgi",
      "relative.cgi",
      "",                      // blank: an empty target, no transport error
  };
  for (const bool download : {false, true}) {
    for (const std::string& target : targets) {
      SCOPED_TRACE((download ? "GET " : "POST ") + target);
      EXPECT_EQ(RequestLine(target, download),
                (download ? "GET " : "POST ") + target + " HTTP/1.1");
    }
  }
}

TEST(ClientTarget, LineBreaksAreRefusedBeforeAnythingIsSent) {
  for (const bool download : {false, true}) {
    for (const std::string target : {"/a\r\nX-Evil: 1", "/a\nb", "/a\rb"}) {
      int error = 0;
      EXPECT_EQ(RequestLine(target, download, &error), "");
      EXPECT_EQ(error, kMsgConnectFailed);
    }
  }
}

// Sets environment variables for one scope.
class EnvScope {
 public:
  explicit EnvScope(std::vector<std::pair<std::string, std::string>> vars)
      : vars_(std::move(vars)) {
    for (const auto& [name, value] : vars_) ::setenv(name.c_str(), value.c_str(), 1);
  }
  ~EnvScope() {
    for (const auto& [name, value] : vars_) ::unsetenv(name.c_str());
  }
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> vars_;
};

TEST(ClientProxy, TheEnvironmentNeverDecides) {
  // A proxy nobody listens on, named by every proxy variable.
  int dead_port;
  {
    CannedServer probe("");
    dead_port = probe.port();
  }
  const std::string dead = "http://127.0.0.1:" + std::to_string(dead_port);
  struct Case {
    const char* what;
    bool through_proxy;
    std::vector<std::pair<std::string, std::string>> env;
  };
  const Case cases[] = {
      // The configured proxy is used even where no_proxy would bypass it.
      {"no_proxy names the host", true, {{"no_proxy", "example.invalid"}}},
      {"NO_PROXY names the host", true, {{"NO_PROXY", "example.invalid"}}},
      {"no_proxy is everything", true, {{"no_proxy", "*"}}},
      // Without a proxy the connection is direct whatever the environment says.
      {"http_proxy set", false, {{"http_proxy", dead}, {"HTTP_PROXY", dead}, {"all_proxy", dead}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EnvScope env(c.env);
    CannedServer server(Http(200, "QServerParams:QServerResult=OK"));
    Client client;
    if (c.through_proxy) {
      // The canned server is the proxy; the host itself is unresolvable.
      client.SetServerName("example.invalid");
      client.SetPortNo(8081);
      client.SetProxyServer("127.0.0.1");
      client.SetProxyPort(static_cast<int16_t>(server.port()));
    } else {
      client.SetServerName("127.0.0.1");
      client.SetPortNo(static_cast<int16_t>(server.port()));
    }
    client.SetAppName("/cgi-bin/page?a=1#f");
    std::string result;
    EXPECT_EQ(ErrorNumber([&] { result = client.ProcessSession(); }), 0);
    EXPECT_EQ(result, "OK");
    if (result.empty()) CannedServer::Poke(server.port());  // it never came
    const std::string& request = server.request();
    // A proxy is asked for the whole URL, the target's bytes after it.
    EXPECT_EQ(request.substr(0, request.find("\r\n")),
              c.through_proxy ? "POST http://example.invalid:8081/cgi-bin/page?a=1#f HTTP/1.1"
                              : "POST /cgi-bin/page?a=1#f HTTP/1.1");
  }
}

// --- The offline exchange ---------------------------------------------------------------

TEST(ClientOffline, TheMonitorsFailuresReachTheCallerUnchanged) {
  const ForwardedError reported(static_cast<int32_t>(0x80004005), u"ValueError: closed", u"Quillon.QMonitor", 7);
  com::Module module;
  auto control = com::Object<ClientControl>::Create(module);
  control->plain().SetOffLineDebug(true);
  control->plain().SetOfflineExchange([&](const std::string&) -> std::string { throw reported; });
  // The plain object hands it on as it is ...
  try {
    control->plain().ProcessSession();
    ADD_FAILURE() << "no failure";
  } catch (const ForwardedError& e) {
    EXPECT_EQ(e.code(), reported.code());
  }
  // ... and the control reports it with the monitor's code and information.
  com::Bstr result;
  EXPECT_EQ(control->ProcessSession(result.put()), com::MakeHresult(0x80004005));
  com::ComPtr<com::IErrorInfo> info;
  ASSERT_EQ(com::GetErrorInfo(0, info.put()), com::S_OK);
  com::Bstr description, source;
  com::DWORD help = 0;
  info->GetDescription(description.put());
  info->GetSource(source.put());
  info->GetHelpContext(&help);
  EXPECT_EQ(description.view(), u"ValueError: closed");
  EXPECT_EQ(source.view(), u"Quillon.QMonitor");
  EXPECT_EQ(help, 7u);
}

TEST(ClientOffline, AnAnswerWithoutAResultIs10032) {
  const std::pair<const char*, std::string> answers[] = {
      {"no monitor", ""},
      {"result removed", "x=1"},
  };
  for (const auto& [what, answer] : answers) {
    SCOPED_TRACE(what);
    Client c;
    c.SetOffLineDebug(true);
    c.SetOfflineExchange([&](const std::string&) { return answer; });
    EXPECT_EQ(ErrorNumber([&] { c.ProcessSession(); }), kMsgNoClientData);
  }
}

}  // namespace
}  // namespace quillon::client

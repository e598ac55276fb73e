// The client control's plain object and its automation surface: defaults,
// UseSSL's effect on the port, persistence across versions, the companion
// entries, and the exchange against a canned HTTP server on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "client/client_control.h"
#include "quillon/client/client.h"
#include "quillon/component/bstr.h"
#include "quillon/component/errors.h"
#include "tests/support/bounded_wait.h"

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
    if (::write(fd, response_.data(), response_.size()) < 0) response_.clear();
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

TEST(ClientSession, TransportFailuresCarryTheirNumber) {
  // A port nobody listens on: bind one, learn it, close it.
  int port;
  {
    CannedServer probe("");
    port = probe.port();
  }
  Client c;
  c.SetServerName("127.0.0.1");
  c.SetPortNo(static_cast<int16_t>(port));
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
    EXPECT_NE(request.find("Cache-Control: no-cache"), std::string::npos);
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

}  // namespace
}  // namespace quillon::client

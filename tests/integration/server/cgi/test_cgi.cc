// A CGI program for the integration suite, on the C++ door of QServer. The
// path after the program's name picks what it does:
//   /echo         every incoming value as "name=value" lines (text/plain)
//   /upload-info  every name with its upload file name, content type and
//                 size
//   /upload-file  the value named "file" written to a temporary copy with
//                 GetFileData and sent back with WriteFromFile
//   /session      counts visits in a session variable, sets a cookie
//   /client       answers a client control: every value back, and Result
//   /binary       all 256 byte values with WriteBinary
//   /file         the file named by the value "path" with WriteFromFile
//   /throw        writes a body and a temporary copy, then lets an
//                 exception escape main
#include <charconv>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "quillon/server/qserver.h"

namespace {

// The visit counter a session cookie carries: the visitor controls it, so
// anything that is not a small count starts afresh instead of aborting.
int VisitsAfter(const std::string& count) {
  int value = 0;
  const char* end = count.data() + count.size();
  const auto [at, error] = std::from_chars(count.data(), end, value);
  if (count.empty() || error != std::errc() || at != end || value < 0 || value > 1000000) return 1;
  return value + 1;
}

using quillon::server::QServer;

// One text line per call; WriteCRLF starts the next line, and every line
// gets its line end at output.
void Line(QServer& s, const std::string& text, bool* first) {
  if (!*first) s.WriteCRLF();
  *first = false;
  s.WriteString(text);
}

void Echo(QServer& s) {
  s.SetContentType("text/plain");
  bool first = true;
  for (int32_t i = 0; i < s.GetDataNameCount(); ++i) {
    const std::string name = s.GetDataName(i);
    for (int32_t sub = 0; sub < s.GetSubIndexCount(name); ++sub) {
      Line(s, name + "=" + s.GetStringData(name, sub), &first);
    }
  }
}

void UploadInfo(QServer& s) {
  s.SetContentType("text/plain");
  bool first = true;
  for (int32_t i = 0; i < s.GetDataNameCount(); ++i) {
    const std::string name = s.GetDataName(i);
    Line(s,
         name + "|" + s.GetULFileName(name, 0) + "|" + s.GetULContentType(name, 0) + "|" +
             std::to_string(s.GetBinaryData(name, 0).size()),
         &first);
  }
}

void UploadFile(QServer& s) {
  const std::string copy = s.CreateTempCopy("");
  s.GetFileData("file", 0, copy);
  s.SetContentType(s.GetULContentType("file", 0));
  s.AddHeader("X-File-Name: " + s.GetULFileName("file", 0));
  s.WriteFromFile(copy);
}

void Session(QServer& s) {
  const std::string count = s.SessionVariable("count");
  const int visits = VisitsAfter(count);
  s.SetSessionVariable("count", std::to_string(visits));
  s.SetCookie("plain", "v " + std::to_string(visits));
  s.WriteString("visits=" + std::to_string(visits));
  s.WriteCRLF();
  s.WriteString("plain=" + s.GetCookie("plain") + ";other=" + s.GetCookie("other"));
}

void Client(QServer& s) {
  for (int32_t i = 0; i < s.GetDataNameCount(); ++i) {
    const std::string name = s.GetDataName(i);
    s.SetBinaryData(name, s.GetBinaryData(name, 0));
  }
  s.SetResult("OK " + std::to_string(s.GetDataNameCount()));
}

void Binary(QServer& s) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
  s.SetContentType("application/octet-stream");
  s.WriteBinary(bytes);
}

}  // namespace

int main() {
  std::unique_ptr<QServer> server;
  try {
    server = QServer::StartCgi();
  } catch (const std::bad_alloc&) {
    // The failed start has answered 500 already; this is its body.
    std::fputs("request too large for memory\r\n", stdout);
    return 0;
  }
  QServer& s = *server;
  const std::string mode = s.GetServerVariable("PATH_INFO");
  try {
    if (mode == "/echo") {
      Echo(s);
    } else if (mode == "/upload-info") {
      UploadInfo(s);
    } else if (mode == "/upload-file") {
      UploadFile(s);
    } else if (mode == "/session") {
      Session(s);
    } else if (mode == "/client") {
      Client(s);
    } else if (mode == "/binary") {
      Binary(s);
    } else if (mode == "/file") {
      s.WriteFromFile(s.GetStringData("path", 0));
    } else if (mode == "/throw") {
      s.WriteString("half a page");
      s.SetStringData("x", "y");
      std::fprintf(stderr, "temporary copy: %s\n", s.CreateTempCopy("/proc/self/cmdline").c_str());
      throw std::runtime_error("the page failed");
    }
  } catch (const quillon::Error& e) {
    s.AddHeader("Status: 500 Internal Server Error");
    s.WriteString("error " + std::to_string(e.number()));
  }
  return 0;
}

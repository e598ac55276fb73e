// A page on the serving loop for the integration suite: run as CGI or
// started by lighttpd as a FastCGI application. Every answer begins with
// the line "pid=<process id>", so that a test can tell one long-lived
// process from one process per request. PATH_INFO picks the rest:
//   /echo     every incoming value as "name=value" lines and the count of
//             names, the session variable "count" (incremented and set) and
//             the cookie "seen" as the request carried it
//   /upload   the value "file" written to a temporary copy: "copy=<path>"
//             and "size=<bytes>"; the copy must be gone after the request
//   /slow     holds the value "content" in a temporary copy for a second,
//             then answers "done=1"
//   /fail     starts a page (body, header, cookie, a temporary copy), then
//             throws
//   /die      ends the process in the middle of the page (a debugged
//             program that crashes or is killed)
//   /big      the value "size" (a count of bytes) of text after the first
//             line: the letters a to y over and over, a line end after
//             every 60th byte
//   /libraries "fcgi=1" when libfcgi is mapped into the process, "crypto=1"
//             when libcrypto is (0 when not)
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "quillon/server/serve.h"

using quillon::server::QServer;

namespace {

void Echo(QServer& s) {
  s.WriteString("names=" + std::to_string(s.GetDataNameCount()));
  for (int32_t i = 0; i < s.GetDataNameCount(); ++i) {
    const std::string name = s.GetDataName(i);
    for (int32_t sub = 0; sub < s.GetSubIndexCount(name); ++sub) {
      s.WriteCRLF();
      s.WriteString(name + "=" + s.GetStringData(name, sub));
    }
  }
  const std::string count = s.SessionVariable("count");
  s.SetSessionVariable("count", count.empty() ? "1" : std::to_string(std::stoi(count) + 1));
  s.WriteCRLF();
  s.WriteString("session=" + count + ";seen=" + s.GetCookie("seen"));
  s.SetCookie("seen", "yes");
}

void Upload(QServer& s) {
  const std::string copy = s.CreateTempCopy("");
  s.GetFileData("file", 0, copy);
  s.WriteString("copy=" + copy);
  s.WriteCRLF();
  s.WriteString("size=" + std::to_string(s.GetBinaryData("file", 0).size()));
}

// Whether a file whose name contains `name` is mapped into this process.
bool Mapped(const std::string& name) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find(name) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

int main() {
  quillon::server::Serve([](QServer& s) {
    s.SetContentType("text/plain");
    s.WriteString("pid=" + std::to_string(::getpid()));
    s.WriteCRLF();
    const std::string mode = s.GetServerVariable("PATH_INFO");
    if (mode == "/echo") {
      Echo(s);
    } else if (mode == "/upload") {
      Upload(s);
    } else if (mode == "/slow") {
      const std::string copy = s.CreateTempCopy("");
      s.GetFileData("content", 0, copy);
      s.WriteString("copy=" + copy);
      s.WriteCRLF();
      ::sleep(1);
      s.WriteString("done=1");
    } else if (mode == "/big") {
      const size_t size = std::stoul(s.GetStringData("size", 0));
      std::string text(size, ' ');
      for (size_t i = 0; i < size; ++i)
        text[i] = i % 61 == 60 ? '\n' : static_cast<char>('a' + i % 25);
      s.WriteString(text);
    } else if (mode == "/libraries") {
      s.WriteString(std::string("fcgi=") + (Mapped("/libfcgi.so") ? "1" : "0"));
      s.WriteCRLF();
      s.WriteString(std::string("crypto=") + (Mapped("/libcrypto.so") ? "1" : "0"));
    } else if (mode == "/die") {
      std::_Exit(3);
    } else if (mode == "/fail") {
      s.AddHeader("X-Half-Made: 1");
      s.SetCookie("half", "made");
      s.WriteString("copy=" + s.CreateTempCopy(""));
      throw std::runtime_error("the page failed on purpose");
    } else {
      s.WriteString("unknown mode " + mode);
    }
  });
  return 0;
}

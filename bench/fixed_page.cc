// fastcgi_vs_php.sh: the bytes of a page, fixed, answered through QServer
// on the serving loop; run both as CGI and over FastCGI. With no page work
// at all, the two figures are the most that FastCGI can gain over a
// process per request for those bytes, for this toolkit on this machine:
// a page doing any work gains less, because the work costs the same both
// ways.
//
// The page is the file FIXED_PAGE names, else the program's own path with
// ".page" added (a CGI program gets no variables of its own from the web
// server). It is read once, before the first request.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "quillon/server/serve.h"

int main(int, char** argv) {
  const char* named = std::getenv("FIXED_PAGE");
  const std::string path = named != nullptr ? named : std::string(argv[0]) + ".page";
  std::ifstream file(path, std::ios::binary);
  if (!file) return 1;
  std::string page{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  // The response ends the last line itself.
  if (page.ends_with("\r\n")) page.resize(page.size() - 2);
  quillon::server::Serve([&page](quillon::server::QServer& server) {
    server.AppendBodyText(page);
  });
  return 0;
}

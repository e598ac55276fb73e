// cgi_startup.sh: a whole QServer CGI process answering a small GET (the
// library loaded, the request read, a page written).
#include <string>

#include "quillon/server/qserver.h"

int main() {
  auto server = quillon::server::QServer::StartCgi();
  const std::string name =
      server->GetSubIndexCount("name") > 0 ? server->GetStringData("name", 0) : "nobody";
  server->WriteString("<html><body><p>Hello, " + name + "!</p></body></html>");
  return 0;
}

// hello_fcgi: the page of hello.cc on the serving loop. The same program
// answers one request when the web server runs it as CGI and every request
// of its life when the web server starts it as a FastCGI application, e.g.
// lighttpd:
//
//   server.modules += ("mod_fastcgi")
//   fastcgi.server = ("/hello" => (( "socket" => "/run/quillon/hello.sock",
//                                    "bin-path" => "/usr/lib/quillon/hello_fcgi",
//                                    "check-local" => "disable" )))
//
//   GET /hello?name=Taro   ->  an HTML page that greets Taro
//   a QClient control posting "name=Taro&session=1"
//                          ->  QServerParams:greeting=Hello%2C+Taro&QServerResult=OK
#include <string>

#include "quillon/html/document.h"  // Escape
#include "quillon/server/serve.h"

int main() {
  // A new, started QServer per request; the response goes out when the
  // function returns.
  quillon::server::Serve([](quillon::server::QServer& server) {
    std::string name = "world";
    if (server.GetSubIndexCount("name") > 0) name = server.GetStringData("name", 0);

    if (server.GetSubIndexCount("session") > 0) {
      server.SetStringData("greeting", "Hello, " + name);
      server.SetResult("OK");
      return;
    }
    server.WriteString("<html><body><p>Hello, " + quillon::html::Escape(name) + "!</p></body></html>");
  });
  return 0;
}

// hello: the smallest useful QServer page, as a CGI program.
//
//   GET /cgi-bin/hello?name=Taro   ->  an HTML page that greets Taro
//   a QClient control posting "name=Taro&session=1"
//                                  ->  the session text the control reads:
//                                      QServerParams:greeting=Hello%2C+Taro&QServerResult=OK
//
// Build it with the toolkit (target qserver_hello), put it into a web
// server's cgi-bin, and call it with a browser or curl.
#include <memory>
#include <new>
#include <string>

#include "quillon/html/document.h"  // Escape
#include "quillon/server/qserver.h"

int main() {
  // Reads the request now (query string, form body, cookies) and writes the
  // response when `server` goes away at the end of main. A request too
  // large for memory has been answered with a 500 already, one over
  // QUILLON_MAX_REQUEST_BYTES with a 413; there is nothing left to do.
  std::unique_ptr<quillon::server::QServer> server;
  try {
    server = quillon::server::QServer::StartCgi();
  } catch (const std::bad_alloc&) {
    return 1;
  } catch (const quillon::server::RequestTooLarge&) {
    return 1;
  }

  // Values are looked up by name, ignoring case; FormValue gives the first
  // one, or nothing when the request has none.
  const std::string name = server->FormValue("name").value_or("world");

  if (server->FormValue("session")) {
    // A client control is asking: answer with named values and a result,
    // and write no body of our own, so that the session text is sent.
    server->SetStringData("greeting", "Hello, " + name);
    server->SetResult("OK");
    return 0;
  }

  // A browser is asking: a page. Content-Type is "text/html" by default.
  server->WriteString("<html><body><p>Hello, " + quillon::html::Escape(name) + "!</p></body></html>");
  return 0;
}

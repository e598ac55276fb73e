// The serving loop for C++ pages: the same page program answers one request
// when the web server starts it as CGI and every request of its life when
// the web server starts it as a FastCGI application. The loop itself lives
// in the serving library (quillon/serving/loop.h); this is its QServer form.
//
//   int main() {
//     quillon::server::Serve([](quillon::server::QServer& srv) {
//       srv.WriteString("Hello, " + srv.GetStringData("name", 0));
//     });
//   }
//
// Each request gets a new QServer: nothing of one request (values, headers,
// cookies, session variables, temporary files) is seen by the next. A page
// that throws answers its request with "Status: 500 Internal Server Error"
// (text/plain), the error text goes to the web server's error log, and the
// loop goes on. A crash ends the process; the web server starts a new one.
// SIGTERM (how a web server stops its FastCGI processes) ends the loop once
// the request in progress has been answered and its files deleted.
//
// With QUILLON_DEBUG_PROJECT set, Serve publishes the project's debug
// object instead and answers the requests the monitor forwards (see
// quillon/server/debug.h), until the process is stopped.
//
// Threading: none. The loop and the pages run on the calling thread.
#ifndef QUILLON_SERVER_SERVE_H_
#define QUILLON_SERVER_SERVE_H_

#include <functional>

#include "quillon/component/types.h"
#include "quillon/server/qserver.h"
#include "quillon/serving/loop.h"

namespace quillon::server {

// Runs `page` once per request with a started QServer (ReadRequest done);
// the response is written when the page returns. A start that fails (the
// body does not fit in memory) has answered 500 itself and the page is not
// called. Returns when the web server closes the socket (FastCGI) or after
// the one request (CGI).
QUILLON_EXPORT void Serve(const std::function<void(QServer&)>& page);

// The loop for hosts that make their QServer themselves (see
// quillon/serving/loop.h).
using serving::AbandonCurrentResponse;
using serving::FailCurrentRequest;
using serving::ServeRequests;

}  // namespace quillon::server

#endif  // QUILLON_SERVER_SERVE_H_

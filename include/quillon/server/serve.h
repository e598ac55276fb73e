// The serving loop: the same page program answers one request when the web
// server starts it as CGI and every request of its life when the web server
// starts it as a FastCGI application (decided as libfcgi decides it: a
// FastCGI application finds a listening socket on standard input).
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
// the request in progress has been answered and its files deleted: libfcgi
// installs that handling when the program has none of its own.
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

namespace quillon::server {

// Runs `page` once per request with a started QServer (ReadRequest done);
// the response is written when the page returns. A start that fails (the
// body does not fit in memory) has answered 500 itself and the page is not
// called. Returns when the web server closes the socket (FastCGI) or after
// the one request (CGI).
QUILLON_EXPORT void Serve(const std::function<void(QServer&)>& page);

// The loop for hosts that make their QServer themselves (the automation
// class does, through its default constructor): `request` runs once per
// request, and while it runs CgiIo::Current() is that request, so that a
// QServer made without a CgiIo reads it and writes its answer to it. When
// `request` returns, the request ends: an object still alive then writes
// nothing more to it. When `request` throws, the request is answered with
// 500 unless something of a response has been written already.
QUILLON_EXPORT void ServeRequests(const std::function<void()>& request);

// For a host whose page failed while its QServer is still alive: what the
// current request's objects write from now on is dropped, so that their
// release does not send the half-made page in place of the 500 answer.
// Nothing happens outside ServeRequests.
QUILLON_EXPORT void AbandonCurrentResponse();

}  // namespace quillon::server

#endif  // QUILLON_SERVER_SERVE_H_

// The serving loop: the same page program answers one request when the web
// server starts it as CGI and every request of its life when the web server
// starts it as a FastCGI application (decided as libfcgi decides it: a
// FastCGI application finds a listening socket on standard input).
//
// Both doors run on it: the server library's Serve (quillon/server/serve.h)
// for C++ pages, and quillon.serve for Python pages. It makes the request
// current (CgiIo::Current) while a page runs, so that the objects the page
// creates read that request and answer it.
//
// A crash ends the process; the web server starts a new one. SIGTERM (how a
// web server stops its FastCGI processes) ends the loop once the request in
// progress has been answered: libfcgi installs that handling when the
// program has none of its own.
//
// Threading: none. The loop and the pages run on the calling thread.
#ifndef QUILLON_SERVING_LOOP_H_
#define QUILLON_SERVING_LOOP_H_

#include <functional>

#include "quillon/component/types.h"
#include "quillon/serving/cgi_io.h"

namespace quillon::serving {

// Runs `request` once per request; while it runs CgiIo::Current() is that
// request. When `request` returns, the request ends: an object still alive
// then writes nothing more to it. When `request` throws, the request is
// answered with "Status: 500 Internal Server Error" (text/plain) unless
// something of a response has been written already, the error text goes to
// the web server's error log, and the loop goes on. Returns when the web
// server closes the socket (FastCGI) or after the one request (CGI).
QUILLON_EXPORT void ServeRequests(const std::function<void()>& request);

// For a host whose page failed while its objects are still alive: what the
// current request's objects write from now on is dropped, so that their
// release does not send the half-made page in place of the 500 answer.
// Nothing happens outside ServeRequests.
QUILLON_EXPORT void AbandonCurrentResponse();

// For a host whose script is ending by an uncaught failure (a classic CGI
// script that never reached its objects' release): the current request
// failed (CgiIo::Fail). Inside ServeRequests it is AbandonCurrentResponse;
// outside, a server object released from now on answers "Status: 500" with
// no body instead of its response, unless part of a response has gone out.
QUILLON_EXPORT void FailCurrentRequest();

}  // namespace quillon::serving

#endif  // QUILLON_SERVING_LOOP_H_

// Where a page's objects read their request and write their response: by
// default the process environment, standard input and standard output (a
// CGI process); inside the serving loop (quillon/serving/loop.h) the
// request the loop is answering.
//
// This library is the serving loop's home. It knows nothing of the objects
// that use it: the server library's QServer reads and writes through a
// CgiIo, and a script host reaches this library directly, never the server
// library's headers.
#ifndef QUILLON_SERVING_CGI_IO_H_
#define QUILLON_SERVING_CGI_IO_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quillon/component/types.h"

namespace quillon::serving {

// The header block that answers a request whose script failed before its
// response was made: no body follows.
inline constexpr std::string_view kFailedRequestHead =
    "Status: 500 Internal Server Error\r\n"
    "Content-Type: text/plain\r\n"
    "Connection: close\r\n\r\n";

// Where a page reads its request and writes its response. A program that
// serves requests some other way (or a test) passes its own.
class QUILLON_EXPORT CgiIo {
 public:
  virtual ~CgiIo();

  // The variable's value; nullopt when it is not set.
  virtual std::optional<std::string> GetEnv(const std::string& name) const;
  // Reads up to `size` bytes of the request body into `buffer`; 0 at the
  // end of the input (or on a read error).
  virtual size_t ReadInput(char* buffer, size_t size);
  // Writes response bytes exactly as given (no line-end translation).
  // False when they cannot be delivered (the web server closed the pipe:
  // EPIPE, or any other write error); the response then ends there and
  // nothing more of it is written. The default discards what stdio still
  // buffers, so that the process's exit does not try again.
  virtual bool WriteOutput(std::string_view bytes);
  // Called once after the last WriteOutput of a response; false as above.
  virtual bool FlushOutput();
  // Whether a response asks the web server to close the visitor's
  // connection ("Connection: close"). A CGI process ends with its response,
  // so the line costs nothing there and is part of the documented output;
  // a persistent application answers false, or the web server would drop
  // every keep-alive connection after one request.
  virtual bool ClosesConnection() const;

  // The script serving this request has failed while objects of the
  // request may still be alive (FailCurrentRequest). The default marks the
  // request failed(): an object that ends from now on answers with
  // kFailedRequestHead in place of its response (the first one only, see
  // ClaimFailureAnswer). The process's own request is marked only while
  // nothing of a response has gone out; the serving loop's request drops
  // what its objects write instead and answers the failure itself.
  virtual void Fail();
  bool failed() const { return failed_; }
  // True for the first caller after Fail(), which then writes the failure
  // answer; false for every later one and while the request has not failed.
  bool ClaimFailureAnswer();

  // The process-wide default (environment, fd 0, stdout).
  static std::shared_ptr<CgiIo> Process();
  // What an object made without a CgiIo uses: the request a serving loop
  // is answering, else Process().
  static std::shared_ptr<CgiIo> Current();
  // Makes `io` the current request (nullptr: none, back to Process()).
  // The serving loop does this; a program of its own loop may too.
  static void SetCurrent(std::shared_ptr<CgiIo> io);

 protected:
  void MarkFailed() { failed_ = true; }

 private:
  bool failed_ = false;
  bool failure_answered_ = false;
};

}  // namespace quillon::serving

#endif  // QUILLON_SERVING_CGI_IO_H_

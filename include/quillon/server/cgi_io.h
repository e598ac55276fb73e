// Where a QServer reads its request and writes its response. Kept apart
// from the QServer facade so that the request parsers and the response
// writer depend on this alone; quillon/server/qserver.h includes it.
#ifndef QUILLON_SERVER_CGI_IO_H_
#define QUILLON_SERVER_CGI_IO_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quillon/component/types.h"

namespace quillon::server {

// Where a QServer reads its request and writes its response: by default
// the process environment, standard input and standard output. A program
// that serves requests some other way (or a test) passes its own.
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

  // The process-wide default (environment, fd 0, stdout).
  static std::shared_ptr<CgiIo> Process();
  // What a QServer made without a CgiIo uses: the request a serving loop
  // (quillon/server/serve.h) is answering, else Process().
  static std::shared_ptr<CgiIo> Current();
  // Makes `io` the current request (nullptr: none, back to Process()).
  // The serving loop does this; a program of its own loop may too.
  static void SetCurrent(std::shared_ptr<CgiIo> io);
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_CGI_IO_H_

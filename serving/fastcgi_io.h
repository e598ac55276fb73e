// A CgiIo over one accepted FastCGI request of libfcgi: the parameters the
// web server sent stand in for the environment, the request's input stream
// for standard input and its output stream for standard output.
#ifndef QUILLON_SERVING_FASTCGI_IO_H_
#define QUILLON_SERVING_FASTCGI_IO_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "quillon/serving/cgi_io.h"
#include "serving/fastcgi_library.h"

namespace quillon::serving {

class FastCgiIo final : public CgiIo {
 public:
  // `request` is accepted and stays so while this object is used; `fcgi`
  // is the loaded library that accepted it.
  FastCgiIo(const FastCgiLibrary& fcgi, FCGX_Request* request) : fcgi_(fcgi), request_(request) {}

  std::optional<std::string> GetEnv(const std::string& name) const override;
  size_t ReadInput(char* buffer, size_t size) override;
  bool WriteOutput(std::string_view bytes) override;
  bool FlushOutput() override;
  bool ClosesConnection() const override { return false; }
  // A line for the web server's error log.
  void LogError(std::string_view text);

 private:
  const FastCgiLibrary& fcgi_;
  FCGX_Request* request_;
};

}  // namespace quillon::serving

#endif  // QUILLON_SERVING_FASTCGI_IO_H_

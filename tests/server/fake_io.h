// A CGI environment in memory: variables, a request body that arrives in
// pieces of a chosen size, and the response bytes as written.
#ifndef QUILLON_TESTS_SERVER_FAKE_IO_H_
#define QUILLON_TESTS_SERVER_FAKE_IO_H_

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "quillon/server/qserver.h"

namespace quillon::server::testing {

class FakeIo : public CgiIo {
 public:
  std::optional<std::string> GetEnv(const std::string& name) const override {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  }
  size_t ReadInput(char* buffer, size_t size) override {
    ++reads;
    const size_t n = std::min({size, piece, input.size() - consumed});
    std::memcpy(buffer, input.data() + consumed, n);
    consumed += n;
    return n;
  }
  bool WriteOutput(std::string_view bytes) override {
    if (closed) return false;
    output.append(bytes);
    return true;
  }
  bool FlushOutput() override {
    ++flushes;
    return !closed;
  }
  bool ClosesConnection() const override { return closes_connection; }

  std::map<std::string, std::string> env;
  std::string input;
  size_t piece = static_cast<size_t>(-1);  // largest piece one read delivers
  size_t consumed = 0;
  int reads = 0;
  std::string output;
  int flushes = 0;
  bool closed = false;  // the reader has gone: every write fails
  bool closes_connection = true;  // false: a persistent application's request
};

inline std::shared_ptr<FakeIo> MakeIo(std::map<std::string, std::string> env = {},
                                      std::string input = {}) {
  auto io = std::make_shared<FakeIo>();
  io->env = std::move(env);
  io->input = std::move(input);
  return io;
}

}  // namespace quillon::server::testing

#endif  // QUILLON_TESTS_SERVER_FAKE_IO_H_

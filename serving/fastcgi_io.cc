#include "serving/fastcgi_io.h"

#include <algorithm>
#include <climits>

namespace quillon::serving {

std::optional<std::string> FastCgiIo::GetEnv(const std::string& name) const {
  // A name with "=" would match the tail of another parameter's pair, and
  // one with a zero byte a shorter name.
  if (name.find_first_of(std::string_view("=\0", 2)) != std::string::npos) return std::nullopt;
  const char* value = fcgi_.GetParam(name.c_str(), request_->envp);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

size_t FastCgiIo::ReadInput(char* buffer, size_t size) {
  // libfcgi counts in int; it returns fewer bytes only at the end of the
  // input or on an error.
  const int chunk = static_cast<int>(std::min<size_t>(size, INT_MAX));
  const int got = fcgi_.GetStr(buffer, chunk, request_->in);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

bool FastCgiIo::WriteOutput(std::string_view bytes) {
  while (!bytes.empty()) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX));
    if (fcgi_.PutStr(bytes.data(), chunk, request_->out) != chunk) return false;
    bytes.remove_prefix(static_cast<size_t>(chunk));
  }
  return true;
}

bool FastCgiIo::FlushOutput() { return fcgi_.FFlush(request_->out) == 0; }

void FastCgiIo::LogError(std::string_view text) {
  const int size = static_cast<int>(std::min<size_t>(text.size(), INT_MAX));
  fcgi_.PutStr(text.data(), size, request_->err);
  fcgi_.PutS("\n", request_->err);
  fcgi_.FFlush(request_->err);
}

}  // namespace quillon::serving

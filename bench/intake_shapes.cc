// intake_shapes.sh: a CGI process that takes in whatever request it gets
// with QServer. With BENCH_ENUMERATE set it then reads every value the way
// a page that lists its form does (GetDataName, GetSubIndexCount,
// GetStringData for each); it answers with the counts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "quillon/server/qserver.h"

int main() {
  auto server = quillon::server::QServer::StartCgi();
  server->SetContentType("text/plain");
  const int32_t names = server->GetDataNameCount();
  uint64_t values = 0;
  uint64_t bytes = 0;
  if (std::getenv("BENCH_ENUMERATE") != nullptr) {
    for (int32_t i = 0; i < names; ++i) {
      const std::string name = server->GetDataName(i);
      const int32_t count = server->GetSubIndexCount(name);
      for (int32_t sub = 0; sub < count; ++sub) {
        bytes += server->GetStringData(name, sub).size();
        ++values;
      }
    }
  }
  server->WriteString(std::to_string(names) + " names, " + std::to_string(values) + " values, " +
                      std::to_string(bytes) + " bytes");
  return 0;
}

// Serve: the serving library's loop with a started QServer per request.
#include "quillon/server/serve.h"

#include <cstdlib>

#include "quillon/server/debug.h"

namespace quillon::server {

void Serve(const std::function<void(QServer&)>& page) {
  // The developer's run under a debugger: the monitor forwards the requests.
  if (const char* project = std::getenv(kDebugProjectVariable); project != nullptr && *project) {
    if (com::Failed(ServeDebug(project, page))) std::exit(1);
    return;
  }
  ServeRequests([&page] {
    QServer server;
    // A failed start has answered 500 itself; its error is logged.
    server.ReadRequest();
    try {
      page(server);
    } catch (...) {
      // The half-made page must not go out when `server` ends below.
      AbandonCurrentResponse();
      throw;
    }
  });
}

}  // namespace quillon::server

// The QServer side of a debug run: the page runs on an offline-debug
// QServer behind the serving library's debug object.
#include <cstdio>
#include <string>
#include <utility>

#include "quillon/server/debug.h"
#include "server/qserver_object.h"

namespace quillon::server {

using com::BSTR;
using com::HRESULT;
using com::VARIANT;

DebugHandler PageDebugHandler(std::function<void(QServer&)> page) {
  return [page = std::move(page)](BSTR environment, const VARIANT& body, BSTR* header,
                                  VARIANT* response_body) -> HRESULT {
    QServer server;
    server.StartOffLineDebug();
    DebugInitFromVariants(server, environment, body);
    page(server);
    DebugExitToVariants(server, header, response_body);
    return com::S_OK;
  };
}

HRESULT ServeDebug(std::string_view project, const std::function<void(QServer&)>& page) {
  std::unique_ptr<com::Publication> publication;
  const HRESULT hr = PublishDebugObject(project, PageDebugHandler(page), {}, &publication);
  if (com::Failed(hr)) {
    std::fprintf(stderr, "quillon: cannot publish %.*s.QuillonDebug (0x%08X)\n",
                 static_cast<int>(project.size()), project.data(), static_cast<unsigned>(hr));
    return hr;
  }
  std::fprintf(stderr, "quillon: %.*s.QuillonDebug waits for the monitor at %s\n",
               static_cast<int>(project.size()), project.data(), publication->path().c_str());
  publication->Serve();
  return com::S_OK;
}

}  // namespace quillon::server

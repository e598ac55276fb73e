// A page program under a debugger. The web server runs the monitor
// (qmonitor) as the page's CGI program; the monitor forwards each request
// to the project's debug object "<project>.QuillonDebug", which this
// program publishes while it runs under gdb (or pdb). The object's
// StartDebug runs the page on a QServer started for offline debugging
// (DebugInit takes the forwarded environment and body) and answers with
// what DebugExit gives; the monitor writes that to the web server. A
// breakpoint in the page stops the browser's request until the developer
// continues.
//
// Serve() does this by itself when QUILLON_DEBUG_PROJECT names the project,
// so the page code does not change:
//
//   QUILLON_DEBUG_PROJECT=Sample QUILLON_ALLOW_USERS=www-data gdb ./page
//
// Who may call: this user, and the users named in QUILLON_ALLOW_USERS (the
// web server's, whose CGI child is the monitor); see
// quillon/component/remote.h for the endpoint and its checks.
#ifndef QUILLON_SERVER_DEBUG_H_
#define QUILLON_SERVER_DEBUG_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/remote.h"
#include "quillon/component/types.h"
#include "quillon/server/qserver.h"

namespace quillon::server {

// The variable that turns Serve() into a debug run.
inline constexpr char kDebugProjectVariable[] = "QUILLON_DEBUG_PROJECT";

// One forwarded request for hosts that make their server objects
// themselves (the Python module): the environment text and body exactly as
// StartDebug received them; fills the response header text and body. A
// failure is reported as the returned code with error information set (the
// monitor shows "<ProgID> : <description>").
using DebugHandler =
    std::function<com::HRESULT(com::BSTR environment, const com::VARIANT& body,
                               com::BSTR* header, com::VARIANT* response_body)>;

// Publishes "<project>.QuillonDebug" with `handler` behind StartDebug.
// `allow_users` adds to QUILLON_ALLOW_USERS. Results as for
// com::PublishObject; serve the calls with (*publication)->Serve() or
// ProcessPending on the publishing thread.
QUILLON_EXPORT com::HRESULT PublishDebugObject(std::string_view project, DebugHandler handler,
                                               const std::vector<std::string>& allow_users,
                                               std::unique_ptr<com::Publication>* publication);

// The handler that runs `page` on a plain QServer: StartOffLineDebug,
// DebugInit, page, DebugExit. An exception from the page fails the call
// with its text as the description.
QUILLON_EXPORT DebugHandler PageDebugHandler(std::function<void(QServer&)> page);

// Publishes the project's debug object for `page` and serves forwarded
// requests until the process is stopped. Prints where it listens to
// standard error. Returns the publication's failure.
QUILLON_EXPORT com::HRESULT ServeDebug(std::string_view project,
                                       const std::function<void(QServer&)>& page);

}  // namespace quillon::server

#endif  // QUILLON_SERVER_DEBUG_H_

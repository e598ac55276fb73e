// A page program under a debugger. The web server runs the monitor
// (qmonitor) as the page's CGI program; the monitor forwards each request
// to the project's debug object "<project>.QuillonDebug", which the page
// program publishes while it runs under gdb (or pdb). The object's
// StartDebug hands the forwarded environment text and body to a handler,
// which runs the page on a server object started for offline debugging and
// answers with what that object's DebugExit gives; the monitor writes that
// to the web server. A breakpoint in the page stops the browser's request
// until the developer continues.
//
// Who may call: this user, and the users named in QUILLON_ALLOW_USERS (the
// web server's, whose CGI child is the monitor); see
// quillon/component/remote.h for the endpoint and its checks.
#ifndef QUILLON_SERVING_DEBUG_OBJECT_H_
#define QUILLON_SERVING_DEBUG_OBJECT_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/remote.h"
#include "quillon/component/types.h"

namespace quillon::serving {

// The variable that turns a serving loop into a debug run: it names the
// project whose debug object the program publishes.
inline constexpr char kDebugProjectVariable[] = "QUILLON_DEBUG_PROJECT";

// One forwarded request: the environment text and body exactly as
// StartDebug received them; fills the response header text and body. A
// failure is reported as the returned code with error information set (the
// monitor shows "<ProgID> : <description>"). A quillon::Error or a
// std::exception escaping it fails the call with its text.
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

}  // namespace quillon::serving

#endif  // QUILLON_SERVING_DEBUG_OBJECT_H_

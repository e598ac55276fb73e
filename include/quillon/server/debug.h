// A page program under a debugger (see quillon/serving/debug_object.h for
// how the monitor forwards a request to the project's debug object): the
// QServer form, where the page runs on a QServer started for offline
// debugging.
//
// Serve() does this by itself when QUILLON_DEBUG_PROJECT names the project,
// so the page code does not change:
//
//   QUILLON_DEBUG_PROJECT=Sample QUILLON_ALLOW_USERS=www-data gdb ./page
#ifndef QUILLON_SERVER_DEBUG_H_
#define QUILLON_SERVER_DEBUG_H_

#include <functional>
#include <string_view>

#include "quillon/component/types.h"
#include "quillon/server/qserver.h"
#include "quillon/serving/debug_object.h"

namespace quillon::server {

using serving::DebugHandler;
using serving::kDebugProjectVariable;
using serving::PublishDebugObject;

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

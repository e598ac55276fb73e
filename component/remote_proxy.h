// The calling side's proxies, for the program starter (remote_start.cc).
#ifndef QUILLON_COMPONENT_REMOTE_PROXY_H_
#define QUILLON_COMPONENT_REMOTE_PROXY_H_

#include "quillon/component/interfaces.h"
#include "quillon/platform/handle.h"

namespace quillon::com {

// The single-use class object of a started program that has announced
// itself on `connection`: its CreateInstance hands out the one object.
// Returns one reference; throws std::bad_alloc.
IClassFactory* NewRemoteClassFactory(platform::UniqueFd connection);

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_REMOTE_PROXY_H_

// The server library's object and lock counts.
#ifndef QUILLON_SERVER_MODULE_H_
#define QUILLON_SERVER_MODULE_H_

#include "quillon/component/object.h"

namespace quillon::server {

com::Module& ServerModule();

}  // namespace quillon::server

#endif  // QUILLON_SERVER_MODULE_H_

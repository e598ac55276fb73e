// What the runtime's own sources share and nobody else needs.
#ifndef QUILLON_COMPONENT_RUNTIME_INTERNAL_H_
#define QUILLON_COMPONENT_RUNTIME_INTERNAL_H_

#include "quillon/component/object.h"

namespace quillon::com {

// Objects the runtime itself creates (error information, streams, bags).
Module& RuntimeModule();

// Whether the calling thread holds an error object (SetErrorInfo), without
// taking it.
bool HasErrorInfo();

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_RUNTIME_INTERNAL_H_

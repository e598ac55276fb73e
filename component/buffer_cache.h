// The runtime's cache of freed string and array buffers (see "Large
// buffers" in quillon/component/runtime.h).
#ifndef QUILLON_COMPONENT_BUFFER_CACHE_H_
#define QUILLON_COMPONENT_BUFFER_CACHE_H_

#include <cstddef>

namespace quillon::com::internal {

// A malloc block of at least `size` bytes whose contents are undefined, or
// nullptr when memory runs out. A kept block is taken when one fits (not
// more than about twice the size asked for); a new large block is advised
// to use huge pages.
void* AllocateBuffer(size_t size);
// Gives back a block of AllocateBuffer (or of malloc, calloc or realloc):
// kept when it is large enough and the cache has room, freed otherwise.
// nullptr is ignored.
void ReleaseBuffer(void* block);

}  // namespace quillon::com::internal

#endif  // QUILLON_COMPONENT_BUFFER_CACHE_H_

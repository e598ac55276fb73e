// Decoder entry points for tests and fuzz targets: the same walk with the
// vector path allowed or not, so that both paths are checked on every
// machine that has the vector one.
#ifndef QUILLON_CORE_ENCODING_INTERNAL_H_
#define QUILLON_CORE_ENCODING_INTERNAL_H_

#include <cstddef>
#include <string_view>

#include "quillon/platform/codepage.h"

namespace quillon::core::internal {

// DecodeValue; `allow_vector` false forces the byte-at-a-time walk.
size_t DecodeValueWith(std::string_view text, char* out, const platform::CodePage& cp,
                       bool allow_vector);

}  // namespace quillon::core::internal

#endif  // QUILLON_CORE_ENCODING_INTERNAL_H_

// The refusal of header text that would break the response's header block.
#ifndef QUILLON_SERVER_INVALID_HEADER_H_
#define QUILLON_SERVER_INVALID_HEADER_H_

#include <stdexcept>

#include "quillon/component/types.h"

namespace quillon::server {

// A header text that would end the header block or start a line that is
// not a header field (a CR or LF not followed by "Name:"), or a cookie or
// session-variable name holding CR or LF. AddHeader, SetContentType,
// SetCookie and SetSessionVariable refuse it with this exception and
// change nothing.
class QUILLON_EXPORT InvalidHeaderText : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_INVALID_HEADER_H_

// What a single response header line may hold, for the page helpers of both
// doors (QServer::AddHeaderField and Redirect; the Python host's
// srv.header() and srv.redirect()). A header line built from visitor text
// must never become two: a CR or LF in it would let the visitor add
// "Set-Cookie:" or end the header block and write the page.
#ifndef QUILLON_SERVING_HEADER_FIELD_H_
#define QUILLON_SERVING_HEADER_FIELD_H_

#include <optional>
#include <string_view>

#include "quillon/component/types.h"

namespace quillon::serving {

// True when `text` is an RFC 9110 token (a field name): one or more of the
// visible ASCII characters other than the separators.
QUILLON_EXPORT bool IsHttpToken(std::string_view text);

// Why "name: value" cannot be one header line, or nullopt when it can: the
// name must be a token, the value must hold no CR, LF or NUL byte.
QUILLON_EXPORT std::optional<std::string_view> HeaderFieldProblem(std::string_view name,
                                                                  std::string_view value);

// The text after "Status: " for a redirect with `status` ("302 Found"), or
// nullopt for a status that is no redirect a browser follows (301, 302,
// 303, 307 and 308 are).
QUILLON_EXPORT std::optional<std::string_view> RedirectStatusText(int status);

}  // namespace quillon::serving

#endif  // QUILLON_SERVING_HEADER_FIELD_H_

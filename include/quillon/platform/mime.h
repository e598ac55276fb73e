// Content-type detection for the client's "_file_type_" companion entries:
// from data (libmagic) or from a file name alone (/etc/mime.types).
#ifndef QUILLON_PLATFORM_MIME_H_
#define QUILLON_PLATFORM_MIME_H_

#include <string>
#include <string_view>

namespace quillon::platform {

// The content type libmagic reports for `data` ("application/x-empty" for
// no data); "" when detection is not available.
std::string MimeTypeOfData(std::string_view data);

// The content type /etc/mime.types (or `table_path`) gives the file name's
// extension, compared without regard to case; "" when the name has no
// extension or the table does not know it.
std::string MimeTypeOfFileName(std::string_view file_name,
                               const std::string& table_path = "/etc/mime.types");

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_MIME_H_

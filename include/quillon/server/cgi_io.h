// Where a QServer reads its request and writes its response: the serving
// library's CgiIo (quillon/serving/cgi_io.h), named here as well because
// QServer's constructor takes one.
#ifndef QUILLON_SERVER_CGI_IO_H_
#define QUILLON_SERVER_CGI_IO_H_

#include "quillon/serving/cgi_io.h"

namespace quillon::server {

using serving::CgiIo;

}  // namespace quillon::server

#endif  // QUILLON_SERVER_CGI_IO_H_

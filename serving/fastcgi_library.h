// libfcgi, loaded only when the process finds itself started as a FastCGI
// application. A CGI page is a fresh process per request and most of its
// time is the dynamic loader's: a library it never calls must not be mapped
// and relocated on every request.
//
// The entry points are typed from libfcgi's own header, so a signature that
// changed there fails to compile here instead of failing at run time.
#ifndef QUILLON_SERVING_FASTCGI_LIBRARY_H_
#define QUILLON_SERVING_FASTCGI_LIBRARY_H_

#include <fcgiapp.h>

#include <string>

namespace quillon::serving {

// The soname of Debian's libfcgi (package libfcgi0ldbl).
inline constexpr char kFastCgiLibraryName[] = "libfcgi.so.0";

struct FastCgiLibrary {
  decltype(&FCGX_Init) Init;
  decltype(&FCGX_InitRequest) InitRequest;
  decltype(&FCGX_Accept_r) Accept;
  decltype(&FCGX_Finish_r) Finish;
  decltype(&FCGX_Detach) Detach;
  decltype(&FCGX_Free) Free;
  decltype(&FCGX_GetParam) GetParam;
  decltype(&FCGX_GetStr) GetStr;
  decltype(&FCGX_PutStr) PutStr;
  decltype(&FCGX_PutS) PutS;
  decltype(&FCGX_FFlush) FFlush;
};

// Whether descriptor `fd` is a listening socket, the sign (as libfcgi reads
// it) that the web server started this process as a FastCGI application:
// getpeername fails with ENOTCONN. A pipe, a connected socket, a file or a
// closed descriptor mean CGI.
bool IsFastCgiListener(int fd);

// libfcgi's entry points, loaded on the first call and kept for the life
// of the process; null when the library or one of its entries cannot be
// found, with the reason (for the web server's log) in *why.
const FastCgiLibrary* LoadFastCgi(std::string* why);

}  // namespace quillon::serving

#endif  // QUILLON_SERVING_FASTCGI_LIBRARY_H_

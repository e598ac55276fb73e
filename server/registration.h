// The server library's registration, for its DllRegisterServer and
// DllUnregisterServer: type library QServerLib, then QServer, QHtmlDoc,
// HtmlTag, HtmlTags, QServerPropPage and QHtmlDocPropPage. `library_path` is
// the library's own file (LibraryPathOf an address inside it). Results:
// S_OK, SELFREG_E_TYPELIB (0x80040200), SELFREG_E_CLASS (0x80040201).
#ifndef QUILLON_SERVER_REGISTRATION_H_
#define QUILLON_SERVER_REGISTRATION_H_

#include <span>
#include <string>

#include "quillon/component/registration.h"

namespace quillon::server {

com::HRESULT RegisterQServerLibrary(const std::string& library_path);
com::HRESULT UnregisterQServerLibrary();

// The descriptions behind the functions above.
const com::TypeLibraryDescription& QServerTypeLibrary();
std::span<const com::ClassDescription> QServerClasses();

}  // namespace quillon::server

#endif  // QUILLON_SERVER_REGISTRATION_H_

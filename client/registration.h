// The client library's registration: type library QClientLib first, then
// QClientCtrl and QClientPropPage. Results as for any component library:
// S_OK, SELFREG_E_TYPELIB (0x80040200), SELFREG_E_CLASS (0x80040201).
#ifndef QUILLON_CLIENT_REGISTRATION_H_
#define QUILLON_CLIENT_REGISTRATION_H_

#include <span>
#include <string>

#include "quillon/component/registration.h"

namespace quillon::client {

com::HRESULT RegisterQClientLibrary(const std::string& library_path);
com::HRESULT UnregisterQClientLibrary();

const com::TypeLibraryDescription& QClientTypeLibrary();
std::span<const com::ClassDescription> QClientClasses();

}  // namespace quillon::client

#endif  // QUILLON_CLIENT_REGISTRATION_H_

// What the runtime's own sources share and nobody else needs.
#ifndef QUILLON_COMPONENT_RUNTIME_INTERNAL_H_
#define QUILLON_COMPONENT_RUNTIME_INTERNAL_H_

#include <string>
#include <string_view>

#include "quillon/component/object.h"

namespace quillon::com {

// Objects the runtime itself creates (error information, streams, bags).
Module& RuntimeModule();

// Whether the calling thread holds an error object (SetErrorInfo), without
// taking it.
bool HasErrorInfo();

// The class the registry names for `progid` (following CurVer one level)
// and, when `in_process` is given, whether the class has an in-process
// library. CO_E_CLASSSTRING when the registry does not know the name;
// the publications are not asked.
HRESULT RegisteredClassId(const std::string& progid, CLSID* clsid, bool* in_process);

// A ProgID that the registry does not know but a live publication serves
// gets a class identity of its own (fixed per name, kept for the process),
// so that CLSIDFromProgID + CoCreateInstance reach the publication too.
// CO_E_CLASSSTRING when nothing is published under the name.
HRESULT PublishedClassId(const std::string& progid, CLSID* clsid);
// The class object of such an identity: each CreateInstance connects to the
// publication. REGDB_E_CLASSNOTREG for any other identity.
HRESULT GetPublishedClassObject(REFCLSID clsid, REFIID iid, void** object);

// A zero-terminated text as a view; empty for null.
std::u16string_view TextOf(const OLECHAR* text);

// Loads the component library at `path` as CoGetClassObject does (once per
// process, unloaded again only by CoFreeUnusedLibraries) and gives an
// address inside it. CO_E_DLLNOTFOUND / CO_E_ERRORINDLL as there.
HRESULT LoadComponentLibrary(const std::string& path, void** address);

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_RUNTIME_INTERNAL_H_

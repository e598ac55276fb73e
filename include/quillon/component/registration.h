// Registration of component libraries in the class registry, and the four
// entry points every component library exports.
//
// A library's registration is data: a type library description and a list
// of class descriptions, turned into registry keys by one function and
// removed again by its counterpart. Each registration or unregistration is
// one registry transaction, so a host never sees half a library and two
// libraries registering at the same moment do not disturb each other.
//
// What a class description writes under the class root (the keys a host
// reads):
//
//   <ProgID>                    @ = display name, \CLSID @ = {clsid}
//   <VersionIndependentProgID>  @ = display name, \CLSID @ = {clsid},
//                               \CurVer @ = <ProgID>
//   CLSID\{clsid}               @ = display name, and as described:
//     ProgID, VersionIndependentProgID   (@ = the ProgIDs)
//     Programmable, Control, Insertable  (keys without values)
//     InprocServer32             @ = library path, "ThreadingModel"
//     (or LocalServer32          @ = program path, for a local server)
//     ToolboxBitmap32            @ = "<library path>,<resource number>"
//     MiscStatus                 @ = "0", \1 @ = "<status>"
//     TypeLib                    @ = {libid}
//     Version                    @ = "<version>"
//     Verb\1                     @ = "<verb text>"
//
// and a type library description:
//
//   TypeLib\{libid}\<version>              @ = help string
//     <locale in hex>\win32                @ = library path
//     FLAGS                                @ = "0"
//     HELPDIR                              @ = the library's directory
//   Interface\{iid}                        @ = interface name
//     TypeLib                              @ = {libid}, "Version" = version
//
// Unregistration deletes exactly the values the description writes and then
// every key on their paths that is left empty; keys and values written by
// anyone else survive.
#ifndef QUILLON_COMPONENT_REGISTRATION_H_
#define QUILLON_COMPONENT_REGISTRATION_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quillon/component/types.h"

namespace quillon::com {

// The entry points of a component library, as CoGetClassObject,
// CoFreeUnusedLibraries and qreg find them with dlsym.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

struct InterfaceDescription {
  IID iid;
  std::string name;
};

struct TypeLibraryDescription {
  GUID libid;
  std::string version;  // "3.4"
  LCID locale;
  std::string help_string;
  std::vector<InterfaceDescription> interfaces;
};

struct ClassDescription {
  CLSID clsid;
  std::string display_name;
  std::string progid;                     // versioned; "" = none
  std::string version_independent_progid;  // "" = none
  // Whether the class key names its ProgIDs (property pages do not).
  bool progid_values = true;
  bool programmable = false;
  bool control = false;
  bool insertable = false;
  // A program's class: LocalServer32 = the path given at registration,
  // instead of InprocServer32 and its threading model.
  bool local_server = false;
  std::string threading_model = "Apartment";
  std::optional<int> toolbox_bitmap;  // resource number in the library
  std::optional<uint32_t> misc_status;
  std::optional<GUID> typelib;
  std::string version;  // "" = none
  std::string verb;     // verb 1; "" = none
};

// Registers the classes (and the type library, when given) with
// InprocServer32 = `library_path`, made absolute against the current
// directory when relative. Results: S_OK; SELFREG_E_TYPELIB when the type
// library's keys cannot be written (an empty path, or the registry cannot
// be read or written: the type library is written first); SELFREG_E_CLASS
// when a class's keys cannot be built (exhausted memory while adding the
// classes). Nothing is written on failure.
QUILLON_RUNTIME_API HRESULT RegisterComponentLibrary(const std::string& library_path,
                                                     const TypeLibraryDescription* typelib,
                                                     std::span<const ClassDescription> classes);
// Removes what RegisterComponentLibrary writes for the same descriptions.
// Nothing registered is no failure. Results as for registration.
QUILLON_RUNTIME_API HRESULT UnregisterComponentLibrary(const TypeLibraryDescription* typelib,
                                                       std::span<const ClassDescription> classes);

// Why the calling thread's last registration or unregistration failed (the
// registry's own words), or "" after a success. For tools that report it.
QUILLON_RUNTIME_API std::string LastRegistrationError();

}  // namespace quillon::com

// What a component library defines and exports (QUILLON_EXPORT, C linkage).
extern "C" {
// The class object of `clsid`, asked for as `iid`; CLASS_E_CLASSNOTAVAILABLE
// for a class the library does not serve.
QUILLON_EXPORT quillon::com::HRESULT DllGetClassObject(quillon::com::REFCLSID clsid,
                                                       quillon::com::REFIID iid, void** object);
// S_OK when no object of the library is alive and no lock is held.
QUILLON_EXPORT quillon::com::HRESULT DllCanUnloadNow();
QUILLON_EXPORT quillon::com::HRESULT DllRegisterServer();
QUILLON_EXPORT quillon::com::HRESULT DllUnregisterServer();
}

#endif  // QUILLON_COMPONENT_REGISTRATION_H_

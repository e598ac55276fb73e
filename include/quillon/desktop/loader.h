// The component libraries' way to the desktop library without linking a
// GUI toolkit: libquillon-desktop.so (entry.h) is loaded with dlopen only
// when a host asks for a dialog or creates a property page, so that a CGI
// program that never does never maps it.
//
// The library is looked for in $QUILLON_DESKTOP_LIB when that is set and
// not empty, else beside the shared object that calls (libqserver.so,
// libqclient.so). Once loaded it stays loaded: a GUI toolkit cannot be
// unloaded safely.
#ifndef QUILLON_DESKTOP_LOADER_H_
#define QUILLON_DESKTOP_LOADER_H_

#include <cstdint>
#include <optional>
#include <string>

#include "quillon/component/types.h"

namespace quillon::desktop {

inline constexpr char kDesktopLibraryName[] = "libquillon-desktop.so";
inline constexpr char kDesktopLibraryVariable[] = "QUILLON_DESKTOP_LIB";

// The path the desktop library is loaded from (see above).
std::string DesktopLibraryPath();

// Shows the about box `which` (QuillonDesktopAbout) modally and returns
// nullopt once it is closed, or the reason it could not be shown, as a
// text for the user: the library is missing or incomplete, there is no
// display, or the dialog failed.
std::optional<std::u16string> ShowDesktopAboutBox(int32_t which);

// The AboutBox member of the controls: shows the about box `which`, or
// throws com::Error(kMsgUnexpected) with the reason appended on a line of
// its own, which each class's error convention reports (a server object as
// 0x80020009, the client control as 0x800A0000 + 10035).
void RunAboutBox(int32_t which);

// The class object of a property page class (QServerPropPage,
// QHtmlDocPropPage, QClientPropPage), served by the desktop library. When
// the library cannot be loaded: CLASS_E_CLASSNOTAVAILABLE, with error
// information that says why.
com::HRESULT GetPageClassObject(com::REFCLSID clsid, com::REFIID iid, void** object);

}  // namespace quillon::desktop

#endif  // QUILLON_DESKTOP_LOADER_H_

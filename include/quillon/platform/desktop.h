// Dialogs for the component libraries without linking a GUI toolkit: the
// desktop library (libquillon-desktop.so, include/quillon/desktop/entry.h)
// is loaded with dlopen only when a host asks for a dialog, so that a CGI
// program that never does never maps it.
//
// The library is looked for in $QUILLON_DESKTOP_LIB when that is set and
// not empty, else beside the shared object that calls (libqserver.so,
// libqclient.so). Once loaded it stays loaded: a GUI toolkit cannot be
// unloaded safely.
#ifndef QUILLON_PLATFORM_DESKTOP_H_
#define QUILLON_PLATFORM_DESKTOP_H_

#include <cstdint>
#include <optional>
#include <string>

namespace quillon::platform {

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
// throws Error(kMsgUnexpected) with the reason appended on a line of its
// own, which each class's error convention reports (a server object as
// 0x80020009, the client control as 0x800A0000 + 10035).
void RunAboutBox(int32_t which);

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_DESKTOP_H_

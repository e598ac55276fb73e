// The C entry points of libquillon-desktop.so, the toolkit's only piece that
// links a GUI toolkit. The component libraries never link it: they load it
// with dlopen when a host asks for a dialog or a property page (loader.h),
// so that a CGI program never maps a GUI library. Besides these entry
// points it exports DllGetClassObject for the three property page classes
// (IPropertyPage objects) and DllCanUnloadNow (never: S_FALSE).
//
// Every entry point:
//   - returns S_OK (0) when the dialog ran, or a failure code with a
//     NUL-terminated description in `error` (cut to `error_size` code
//     units, which may be 0 with `error` null);
//   - uses the host's application object when it has one, and otherwise
//     creates one on first use, kept for the life of the process;
//   - never aborts the host: without a usable display it fails with
//     E_FAIL and the text "ダイアログを表示できません。…" before touching Qt;
//   - must be called on the thread of the host's application object (or,
//     without one, always the same thread); any other thread gets
//     RPC_E_WRONG_THREAD (0x8001010E).
#ifndef QUILLON_DESKTOP_ENTRY_H_
#define QUILLON_DESKTOP_ENTRY_H_

#include <cstddef>
#include <cstdint>

#include "quillon/component/interfaces.h"

// Which about box QuillonDesktopAboutBox shows.
enum QuillonDesktopAbout : int32_t {
  // QServer and QHtmlDoc: "Quillon Server Modules", both control bitmaps.
  kQuillonAboutServerModules = 0,
  // QClientCtrl: the control's icon.
  kQuillonAboutClientControl = 1,
};

#define QUILLON_DESKTOP_ENTRY __attribute__((visibility("default")))

extern "C" {

// Shows the about box `which` modally, owned by the active window, and
// returns when it is closed. An unknown `which`: E_INVALIDARG.
QUILLON_DESKTOP_ENTRY int32_t QuillonDesktopAboutBox(int32_t which, char16_t* error,
                                                     size_t error_size);

// Shows a modal property frame with one tab per page class in `pages`
// (QServerPropPage, QHtmlDocPropPage, QClientPropPage) editing the
// `object_count` objects, all reached through IDispatch only; OK and Apply
// write every field of a changed page to every object. An unknown page
// class: CLASS_E_CLASSNOTAVAILABLE; no page or no object: E_INVALIDARG.
QUILLON_DESKTOP_ENTRY int32_t QuillonDesktopShowPropertyPages(
    const quillon::com::CLSID* pages, uint32_t page_count, quillon::com::IDispatch* const* objects,
    uint32_t object_count, char16_t* error, size_t error_size);

// Creates the object registered under `progid`, asks it for its property
// pages (ISpecifyPropertyPages) and shows them as above. A class that
// cannot be created fails with the creation's code; an object without
// pages with E_NOINTERFACE.
QUILLON_DESKTOP_ENTRY int32_t QuillonDesktopInspect(const char16_t* progid, char16_t* error,
                                                    size_t error_size);

}  // extern "C"

// The symbols' types, for dlsym.
using QuillonDesktopAboutBoxFn = decltype(&QuillonDesktopAboutBox);
using QuillonDesktopShowPropertyPagesFn = decltype(&QuillonDesktopShowPropertyPages);
using QuillonDesktopInspectFn = decltype(&QuillonDesktopInspect);

#endif  // QUILLON_DESKTOP_ENTRY_H_

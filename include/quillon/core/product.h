// Constants both component libraries share: the product's name, their type
// libraries' version, locale and help file, the controls' miscellaneous status, and the
// monitor's identity.
#ifndef QUILLON_CORE_PRODUCT_H_
#define QUILLON_CORE_PRODUCT_H_

#include <cstdint>

#include "quillon/component/types.h"

namespace quillon::ids {

using com::Guid;
using com::DISPID;

// Type libraries: locale 0x409, version 3.4, help file "QUILLON.HLP",
// help context 1.
inline constexpr uint16_t kTypeLibMajor = 3;
inline constexpr uint16_t kTypeLibMinor = 4;
inline constexpr com::LCID kTypeLibLocale = 0x409;
inline constexpr char16_t kHelpFile[] = u"QUILLON.HLP";
inline constexpr uint32_t kTypeLibHelpContext = 1;

// The product's name as its dialogs show it, and the version they print.
inline constexpr char16_t kProductName[] = u"Quillon";
inline constexpr char16_t kProductVersionText[] = u"Version 3.4.0000";

// Miscellaneous status of the controls: set client site first, invisible at
// run time, activate when visible, inside-out, cannot link inside, recompose
// on resize.
inline constexpr uint32_t kControlMiscStatus = 132497;

// The monitor's automation class, which the client control creates for its
// offline exchange.
inline constexpr com::CLSID CLSID_QMonitorDoc = Guid("{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}");
inline constexpr char16_t kProgIdQMonitor[] = u"Quillon.QMonitor";

}  // namespace quillon::ids

#endif  // QUILLON_CORE_PRODUCT_H_

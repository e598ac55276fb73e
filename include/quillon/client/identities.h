// The identities the client library publishes: its type library, classes,
// interfaces, ProgIDs and the application name its errors carry.
#ifndef QUILLON_CLIENT_IDENTITIES_H_
#define QUILLON_CLIENT_IDENTITIES_H_

#include "quillon/core/product.h"

namespace quillon::ids {

inline constexpr com::GUID LIBID_QClientLib = Guid("{92B7D140-934B-11D2-A69F-00A0C93ED440}");

inline constexpr com::CLSID CLSID_QClient = Guid("{92B7D149-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::CLSID CLSID_QClientPropPage = Guid("{92B7D14A-934B-11D2-A69F-00A0C93ED440}");

inline constexpr com::IID DIID_QClientDispatch = Guid("{92B7D147-934B-11D2-A69F-00A0C93ED440}");
inline constexpr com::IID DIID_QClientEvents = Guid("{92B7D148-934B-11D2-A69F-00A0C93ED440}");

inline constexpr char16_t kProgIdQClient[] = u"QClient.QClientCtrl.2";
inline constexpr char16_t kProgIdQClientPropPage[] = u"Quillon.QClientPropPage.1";

// The client control's application name: the source of its errors.
inline constexpr char16_t kClientAppName[] = u"QClient";

}  // namespace quillon::ids

#endif  // QUILLON_CLIENT_IDENTITIES_H_

// The client library's type library, QClientLib: the enumeration
// qlDatabaseTypeConstants, the dispatch interfaces QClientDispatch and
// QClientEvents, and the control's class QClient. Known to the runtime
// while the library is loaded.
#ifndef QUILLON_CLIENT_TYPE_LIBRARY_H_
#define QUILLON_CLIENT_TYPE_LIBRARY_H_

#include "quillon/component/typeinfo.h"

namespace quillon::client {

const com::TypeLibraryModel& QClientTypeLibraryModel();

}  // namespace quillon::client

#endif  // QUILLON_CLIENT_TYPE_LIBRARY_H_

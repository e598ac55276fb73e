// The server library's type library, QServerLib: the enumeration
// qlDatabaseTypeConstants, the interfaces IQServer, _IQServerEvents,
// IQHtmlDoc, _IQHtmlDocEvents, IHtmlTag and IHtmlTags, and the classes
// QServer, QHtmlDoc, HtmlTag and HtmlTags. Known to the runtime while the
// library is loaded.
#ifndef QUILLON_SERVER_TYPE_LIBRARY_H_
#define QUILLON_SERVER_TYPE_LIBRARY_H_

#include "quillon/component/typeinfo.h"

namespace quillon::server {

const com::TypeLibraryModel& QServerTypeLibraryModel();

}  // namespace quillon::server

#endif  // QUILLON_SERVER_TYPE_LIBRARY_H_

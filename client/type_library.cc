// QClientLib: the client library's type information, described over the
// control's member table (quillon/component/typeinfo.h).
#include "client/type_library.h"

#include "client/client_control.h"
#include "quillon/client/identities.h"
#include "quillon/recordset/type_constants.h"

namespace quillon::client {
namespace {

// The control fires no events.
constexpr com::MemberTable kEvents{u"QClientEvents", &ids::DIID_QClientEvents, {}};

constexpr const com::EnumDescription* kEnums[] = {&recordset::kDatabaseTypeConstants};

constexpr com::InterfaceModel kInterfaces[] = {
    {&kClientMembers.table, false},
    {&kEvents, false},
};

constexpr com::CoclassModel kClasses[] = {
    {u"QClient", &ids::CLSID_QClient, u"QClient Control", &kClientMembers.table, &kEvents, true},
};

const com::TypeLibraryModel kModel{
    u"QClientLib",
    ids::LIBID_QClientLib,
    ids::kTypeLibMajor,
    ids::kTypeLibMinor,
    ids::kTypeLibLocale,
    u"QClient 3.4 Type Library",
    ids::kHelpFile,
    ids::kTypeLibHelpContext,
    kEnums,
    kInterfaces,
    kClasses,
    &ClientModule(),
};

const com::TypeLibraryRegistration kRegistration(kModel);

}  // namespace

const com::TypeLibraryModel& QClientTypeLibraryModel() { return kModel; }

}  // namespace quillon::client

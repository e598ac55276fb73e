// QServerLib: the server library's type information, described over the
// member tables of its classes (quillon/component/typeinfo.h).
#include "server/type_library.h"

#include "quillon/recordset/type_constants.h"
#include "quillon/server/identities.h"
#include "server/html_objects.h"
#include "server/module.h"
#include "server/qserver_object.h"

namespace quillon::server {
namespace {

using com::CoclassModel;
using com::InterfaceModel;

// The event interfaces declare no members.
constexpr com::MemberTable kQServerEvents{u"_IQServerEvents", &ids::DIID__IQServerEvents, {}};
constexpr com::MemberTable kQHtmlDocEvents{u"_IQHtmlDocEvents", &ids::DIID__IQHtmlDocEvents, {}};

constexpr const com::EnumDescription* kEnums[] = {&recordset::kDatabaseTypeConstants};

constexpr InterfaceModel kInterfaces[] = {
    {&kQServerMembers.table, true},   {&kQServerEvents, false},
    {&kQHtmlDocMembers.table, true},  {&kQHtmlDocEvents, false},
    {&kHtmlTagMembers.table, true},   {&kHtmlTagsMembers.table, true},
};

constexpr CoclassModel kClasses[] = {
    {u"QServer", &ids::CLSID_QServer, u"QServer Control", &kQServerMembers.table,
     &kQServerEvents, true},
    {u"QHtmlDoc", &ids::CLSID_QHtmlDoc, u"QHtmlDoc Control", &kQHtmlDocMembers.table,
     &kQHtmlDocEvents, true},
    {u"HtmlTag", &ids::CLSID_HtmlTag, u"HtmlTag Object", &kHtmlTagMembers.table},
    {u"HtmlTags", &ids::CLSID_HtmlTags, u"HtmlTags Collection", &kHtmlTagsMembers.table},
};

const com::TypeLibraryModel kModel{
    u"QServerLib",
    ids::LIBID_QServerLib,
    ids::kTypeLibMajor,
    ids::kTypeLibMinor,
    ids::kTypeLibLocale,
    u"QServer 3.4 Type Library",
    ids::kHelpFile,
    ids::kTypeLibHelpContext,
    kEnums,
    kInterfaces,
    kClasses,
    &ServerModule(),
};

const com::TypeLibraryRegistration kRegistration(kModel);

}  // namespace

const com::TypeLibraryModel& QServerTypeLibraryModel() { return kModel; }

}  // namespace quillon::server

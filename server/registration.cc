// What the server library writes into the class registry: its type library
// and its six classes.
#include "server/registration.h"

#include <string>
#include <vector>

#include "quillon/component/runtime.h"
#include "quillon/server/identities.h"
#include "server/type_library.h"

namespace quillon::server {

using com::ClassDescription;
using com::CLSID;
using com::HRESULT;
using com::TypeLibraryDescription;

namespace {

constexpr char kPropertiesVerb[] = "プロパティー(&P),0,2";
// The toolbox bitmaps of the controls: resource numbers in their libraries.
constexpr int kQServerToolboxBitmap = 106;
constexpr int kQHtmlDocToolboxBitmap = 102;

ClassDescription ServerObject(const CLSID& clsid, const char* name, const char16_t* progid,
                              const char16_t* independent) {
  ClassDescription c;
  c.clsid = clsid;
  c.display_name = name;
  c.progid = com::Utf16ToUtf8(progid);
  c.version_independent_progid = com::Utf16ToUtf8(independent);
  c.programmable = true;
  c.typelib = ids::LIBID_QServerLib;
  return c;
}

ClassDescription ServerControl(const CLSID& clsid, const char* name, const char16_t* progid,
                               const char16_t* independent, int bitmap, const char* version) {
  ClassDescription c = ServerObject(clsid, name, progid, independent);
  c.control = true;
  c.insertable = true;
  c.toolbox_bitmap = bitmap;
  c.misc_status = ids::kControlMiscStatus;
  c.version = version;
  c.verb = kPropertiesVerb;
  return c;
}

ClassDescription ServerPropertyPage(const CLSID& clsid, const char* name, const char16_t* progid,
                                    const char16_t* independent) {
  ClassDescription c = ServerObject(clsid, name, progid, independent);
  c.progid_values = false;
  c.typelib.reset();
  return c;
}

}  // namespace

const TypeLibraryDescription& QServerTypeLibrary() {
  static const TypeLibraryDescription typelib = com::RegistrationOf(QServerTypeLibraryModel());
  return typelib;
}

std::span<const ClassDescription> QServerClasses() {
  static const std::vector<ClassDescription> classes{
      ServerControl(ids::CLSID_QServer, "QServer Control", ids::kProgIdQServer,
                    ids::kProgIdQServerIndependent, kQServerToolboxBitmap, "3.4"),
      ServerControl(ids::CLSID_QHtmlDoc, "QHtmlDoc Control", ids::kProgIdQHtmlDoc,
                    ids::kProgIdQHtmlDocIndependent, kQHtmlDocToolboxBitmap, "3.3"),
      ServerObject(ids::CLSID_HtmlTag, "HtmlTag Object", ids::kProgIdHtmlTag,
                   ids::kProgIdHtmlTagIndependent),
      ServerObject(ids::CLSID_HtmlTags, "HtmlTags Collection", ids::kProgIdHtmlTags,
                   ids::kProgIdHtmlTagsIndependent),
      ServerPropertyPage(ids::CLSID_QServerPropPage, "QServerPropPage Class",
                         ids::kProgIdQServerPropPage, ids::kProgIdQServerPropPageIndependent),
      ServerPropertyPage(ids::CLSID_QHtmlDocPropPage, "QHtmlDoc Property Page",
                         ids::kProgIdQHtmlDocPropPage, ids::kProgIdQHtmlDocPropPageIndependent),
  };
  return classes;
}

HRESULT RegisterQServerLibrary(const std::string& library_path) {
  return com::RegisterComponentLibrary(library_path, &QServerTypeLibrary(), QServerClasses());
}

HRESULT UnregisterQServerLibrary() {
  return com::UnregisterComponentLibrary(&QServerTypeLibrary(), QServerClasses());
}

}  // namespace quillon::server

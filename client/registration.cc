// What the client library writes into the class registry: its type library,
// the control and its property page.
#include "client/registration.h"

#include <string>
#include <vector>

#include "client/type_library.h"
#include "quillon/client/identities.h"
#include "quillon/component/runtime.h"

namespace quillon::client {

using com::ClassDescription;
using com::HRESULT;
using com::TypeLibraryDescription;

namespace {
// The control's toolbox bitmap: a resource number in the library.
constexpr int kToolboxBitmap = 1;
}  // namespace

const TypeLibraryDescription& QClientTypeLibrary() {
  static const TypeLibraryDescription typelib = com::RegistrationOf(QClientTypeLibraryModel());
  return typelib;
}

std::span<const ClassDescription> QClientClasses() {
  static const std::vector<ClassDescription> classes = [] {
    ClassDescription control;
    control.clsid = ids::CLSID_QClient;
    control.display_name = "QClient Control";
    control.progid = com::Utf16ToUtf8(ids::kProgIdQClient);
    control.control = true;
    control.toolbox_bitmap = kToolboxBitmap;
    control.misc_status = ids::kControlMiscStatus;
    control.typelib = ids::LIBID_QClientLib;
    control.version = "3.4";

    ClassDescription page;
    page.clsid = ids::CLSID_QClientPropPage;
    page.display_name = "QClient Property Page";
    page.progid = com::Utf16ToUtf8(ids::kProgIdQClientPropPage);
    page.progid_values = false;
    return std::vector<ClassDescription>{control, page};
  }();
  return classes;
}

HRESULT RegisterQClientLibrary(const std::string& library_path) {
  return com::RegisterComponentLibrary(library_path, &QClientTypeLibrary(), QClientClasses());
}

HRESULT UnregisterQClientLibrary() {
  return com::UnregisterComponentLibrary(&QClientTypeLibrary(), QClientClasses());
}

}  // namespace quillon::client

// The library's entry points: class objects for its six classes, the
// unload check and self-registration.
#include "quillon/component/registration.h"

#include "quillon/server/identities.h"
#include "server/registration.h"
#include "quillon/component/object.h"
#include "quillon/desktop/loader.h"
#include "server/html_objects.h"
#include "server/module.h"
#include "server/qserver_object.h"

namespace quillon::server {

com::Module& ServerModule() {
  static com::Module module;
  return module;
}

}  // namespace quillon::server

using quillon::com::HRESULT;

extern "C" HRESULT DllGetClassObject(quillon::com::REFCLSID clsid, quillon::com::REFIID iid,
                                     void** object) {
  namespace com = quillon::com;
  namespace ids = quillon::ids;
  namespace server = quillon::server;
  if (object == nullptr) return com::E_POINTER;
  *object = nullptr;
  com::Module& module = server::ServerModule();
  if (clsid == ids::CLSID_QServer) return com::GetFactory<server::QServerObject>(module, iid, object);
  if (clsid == ids::CLSID_QHtmlDoc) {
    return com::GetFactory<server::QHtmlDocObject>(module, iid, object);
  }
  if (clsid == ids::CLSID_HtmlTag) return com::GetFactory<server::HtmlTagObject>(module, iid, object);
  if (clsid == ids::CLSID_HtmlTags) {
    return com::GetFactory<server::HtmlTagsObject>(module, iid, object);
  }
  // The pages are objects of the desktop library, loaded only now.
  if (clsid == ids::CLSID_QServerPropPage || clsid == ids::CLSID_QHtmlDocPropPage) {
    return quillon::desktop::GetPageClassObject(clsid, iid, object);
  }
  return com::CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT DllCanUnloadNow() { return quillon::server::ServerModule().CanUnloadNow(); }

extern "C" HRESULT DllRegisterServer() {
  try {
    return quillon::server::RegisterQServerLibrary(
        quillon::com::LibraryPathOf(reinterpret_cast<const void*>(&DllRegisterServer)));
  } catch (const std::bad_alloc&) {
    return quillon::com::E_OUTOFMEMORY;
  }
}

extern "C" HRESULT DllUnregisterServer() { return quillon::server::UnregisterQServerLibrary(); }

// The QClient library's entry points.
#include "client/client_control.h"
#include "client/registration.h"
#include "quillon/desktop/loader.h"

using quillon::client::ClientModule;
using quillon::client::RegisterQClientLibrary;
using quillon::client::UnregisterQClientLibrary;
using namespace quillon::com;  // NOLINT(google-build-using-namespace)

extern "C" {

HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid == quillon::ids::CLSID_QClient) {
    return GetFactory<quillon::client::ClientControl>(ClientModule(), iid, object);
  }
  // The page is an object of the desktop library, loaded only now.
  if (clsid == quillon::ids::CLSID_QClientPropPage) {
    return quillon::desktop::GetPageClassObject(clsid, iid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllCanUnloadNow() { return ClientModule().CanUnloadNow(); }

HRESULT DllRegisterServer() {
  return RegisterQClientLibrary(LibraryPathOf(reinterpret_cast<const void*>(&DllRegisterServer)));
}

HRESULT DllUnregisterServer() { return UnregisterQClientLibrary(); }

}  // extern "C"

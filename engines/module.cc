// The engines library's entry points: class objects for its six creatable
// classes, the unload check and self-registration (no type library).
#include "engines/module.h"

#include <new>

#include "engines/automation.h"
#include "quillon/component/object.h"

namespace quillon::engines {

com::Module& EnginesModule() {
  static com::Module module;
  return module;
}

namespace {

constexpr DaoVersion kDao36{&ids::IID_DaoEngine, &ids::IID_DaoDatabase, u"3.6", true};
constexpr DaoVersion kDao35{&ids::IID_DaoEngine, &ids::IID_DaoDatabase, u"3.5", true};
constexpr DaoVersion kDao30{&ids::IID_DaoEngine30, &ids::IID_DaoDatabase30, u"3.0", false};

}  // namespace

}  // namespace quillon::engines

namespace {
namespace engines = quillon::engines;
namespace com = quillon::com;
}  // namespace

using quillon::com::HRESULT;

extern "C" HRESULT DllGetClassObject(quillon::com::REFCLSID clsid, quillon::com::REFIID iid,
                                     void** object) {
  namespace ids = engines::ids;
  if (object == nullptr) return com::E_POINTER;
  *object = nullptr;
  com::Module& module = engines::EnginesModule();
  if (clsid == ids::CLSID_DaoEngine36) {
    return com::GetFactory<engines::DaoEngineObject<engines::kDao36>>(module, iid, object);
  }
  if (clsid == ids::CLSID_DaoEngine35) {
    return com::GetFactory<engines::DaoEngineObject<engines::kDao35>>(module, iid, object);
  }
  if (clsid == ids::CLSID_DaoEngine30) {
    return com::GetFactory<engines::DaoEngineObject<engines::kDao30>>(module, iid, object);
  }
  if (clsid == ids::CLSID_AdoConnection) {
    return com::GetFactory<engines::AdoConnectionObject>(module, iid, object);
  }
  if (clsid == ids::CLSID_AdoRecordset) {
    return com::GetFactory<engines::RecordsetObject<true>>(module, iid, object);
  }
  if (clsid == ids::CLSID_AdoCommand) {
    return com::GetFactory<engines::AdoCommandObject>(module, iid, object);
  }
  return com::CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT DllCanUnloadNow() { return engines::EnginesModule().CanUnloadNow(); }

extern "C" HRESULT DllRegisterServer() {
  try {
    return com::RegisterComponentLibrary(
        com::LibraryPathOf(reinterpret_cast<const void*>(&DllRegisterServer)), nullptr,
        engines::EngineClasses());
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

extern "C" HRESULT DllUnregisterServer() {
  return com::UnregisterComponentLibrary(nullptr, engines::EngineClasses());
}

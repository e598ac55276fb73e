// The grid library's entry points: the class object of the sheet, the
// unload check and self-registration (no type library).
#include <new>

#include "grid/objects.h"
#include "quillon/component/registration.h"

namespace quillon::grid {

com::Module& GridModule() {
  static com::Module module;
  return module;
}

namespace {

template <class T, class R>
void Wrap(R handle, IDispatch** out) {
  auto object = com::Object<T>::Create(GridModule(), std::move(handle));
  *out = object.detach();
}

}  // namespace

void Out(const CellRef& cell, IDispatch** out) { Wrap<CellObject>(cell, out); }
void Out(const std::optional<CellRef>& cell, IDispatch** out) {
  if (cell) {
    Wrap<CellObject>(*cell, out);
  } else {
    *out = nullptr;
  }
}
void Out(const BandRef& band, IDispatch** out) { Wrap<BandObject>(band, out); }
void Out(const PaneRef& pane, IDispatch** out) { Wrap<PaneObject>(pane, out); }
void Out(const ViewRef& view, IDispatch** out) { Wrap<ViewObject>(view, out); }

std::span<const com::ClassDescription> GridClasses() {
  static const std::vector<com::ClassDescription> classes = [] {
    com::ClassDescription c;
    c.clsid = ids::CLSID_Sheet;
    c.display_name = "Quillon stand-in grid sheet";
    c.progid = com::Utf16ToUtf8(ids::kProgIdSheet);
    c.version_independent_progid = com::Utf16ToUtf8(ids::kProgIdSheetIndependent);
    c.programmable = true;
    return std::vector<com::ClassDescription>{c};
  }();
  return classes;
}

}  // namespace quillon::grid

using quillon::com::HRESULT;

extern "C" HRESULT DllGetClassObject(quillon::com::REFCLSID clsid, quillon::com::REFIID iid,
                                     void** object) {
  namespace com = quillon::com;
  namespace grid = quillon::grid;
  if (object == nullptr) return com::E_POINTER;
  *object = nullptr;
  if (clsid == grid::ids::CLSID_Sheet) {
    return com::GetFactory<grid::SheetObject>(grid::GridModule(), iid, object);
  }
  return com::CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT DllCanUnloadNow() { return quillon::grid::GridModule().CanUnloadNow(); }

extern "C" HRESULT DllRegisterServer() {
  namespace com = quillon::com;
  try {
    return com::RegisterComponentLibrary(
        com::LibraryPathOf(reinterpret_cast<const void*>(&DllRegisterServer)), nullptr,
        quillon::grid::GridClasses());
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

extern "C" HRESULT DllUnregisterServer() {
  return quillon::com::UnregisterComponentLibrary(nullptr, quillon::grid::GridClasses());
}

// Object creation: ProgID and CLSID lookups in the registry, loading of
// in-process component libraries and their class objects, and starting of
// programs registered as local servers (remote.cc).
#include <dlfcn.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "component/runtime_internal.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/registration.h"
#include "quillon/component/registry.h"
#include "quillon/component/remote.h"
#include "quillon/component/runtime.h"

namespace quillon::com {
namespace {

// One loaded component library. Entries are shared so that a caller can use
// one after dropping the table lock; `calls` keeps CoFreeUnusedLibraries
// from unloading a library while its DllGetClassObject runs (the class
// object it returns counts as a live object of the library from then on).
struct LoadedLibrary {
  void* handle = nullptr;
  DllGetClassObjectFn get_class_object = nullptr;
  DllCanUnloadNowFn can_unload_now = nullptr;
  int calls = 0;
};

struct LibraryTable {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<LoadedLibrary>> by_path;
};

LibraryTable& Libraries() {
  static LibraryTable* table = new LibraryTable;  // outlives static destructors
  return *table;
}

HRESULT LoadRegistry(std::shared_ptr<const registry::Tree>* tree) {
  return registry::LoadShared(registry::DefaultPath(), tree);
}

std::string ClassKey(REFCLSID clsid) { return "CLSID\\" + FormatGuid(clsid); }

// The library at `path`, loaded once per process. dlopen is called outside
// the table lock: a library's constructors may create objects themselves.
HRESULT GetLibrary(const std::string& path, std::shared_ptr<LoadedLibrary>* out) {
  LibraryTable& table = Libraries();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.by_path.find(path);
    if (it != table.by_path.end()) {
      *out = it->second;
      ++(*out)->calls;
      return S_OK;
    }
  }
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return CO_E_DLLNOTFOUND;
  auto get = reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
  if (get == nullptr) {
    ::dlclose(handle);
    return CO_E_ERRORINDLL;
  }
  auto entry = std::make_shared<LoadedLibrary>();
  entry->handle = handle;
  entry->get_class_object = get;
  entry->can_unload_now = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
  std::lock_guard<std::mutex> lock(table.mutex);
  auto [it, inserted] = table.by_path.try_emplace(path, entry);
  if (!inserted) {
    // Another thread loaded it meanwhile; dlopen counted our reference.
    ::dlclose(handle);
  }
  *out = it->second;
  ++(*out)->calls;
  return S_OK;
}

void EndCall(const std::shared_ptr<LoadedLibrary>& library) {
  std::lock_guard<std::mutex> lock(Libraries().mutex);
  --library->calls;
}

HRESULT ClsidFromProgIdUtf8(const std::string& progid, CLSID* clsid) {
  const HRESULT hr = RegisteredClassId(progid, clsid, nullptr);
  // Not registered: perhaps a running program publishes it (a page
  // program's debug object).
  return hr == CO_E_CLASSSTRING ? PublishedClassId(progid, clsid) : hr;
}

}  // namespace

HRESULT LoadComponentLibrary(const std::string& path, void** address) {
  std::shared_ptr<LoadedLibrary> library;
  if (HRESULT hr = GetLibrary(path, &library); Failed(hr)) return hr;
  *address = reinterpret_cast<void*>(library->get_class_object);
  EndCall(library);
  return S_OK;
}

HRESULT RegisteredClassId(const std::string& progid, CLSID* clsid, bool* in_process) {
  std::shared_ptr<const registry::Tree> tree;
  if (HRESULT hr = LoadRegistry(&tree); Failed(hr)) return hr;
  auto lookup = [&](const std::string& key) -> bool {
    auto value = tree->GetValue(key + "\\CLSID");
    return value && ParseGuid(*value, clsid);
  };
  // A version-independent ProgID without its own CLSID names its current
  // version; one level only, so a CurVer loop cannot hang the caller.
  bool found = lookup(progid);
  if (!found) {
    if (auto current = tree->GetValue(progid + "\\CurVer")) found = lookup(*current);
  }
  if (!found) return CO_E_CLASSSTRING;
  if (in_process != nullptr) {
    auto path = tree->GetValue(ClassKey(*clsid) + "\\InprocServer32");
    *in_process = path && !path->empty();
  }
  return S_OK;
}

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid) {
  if (progid == nullptr || clsid == nullptr) return E_INVALIDARG;
  try {
    const std::string name = Utf16ToUtf8(progid);
    // A ProgID is one key name; anything else cannot name a class.
    if (name.empty() || name.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
    return ClsidFromProgIdUtf8(name, clsid);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
  if (text == nullptr || clsid == nullptr) return E_INVALIDARG;
  if (text[0] == u'{') {
    try {
      return ParseGuid(Utf16ToUtf8(text), clsid) ? S_OK : CO_E_CLASSSTRING;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  return CLSIDFromProgID(text, clsid);
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progid) {
  if (progid == nullptr) return E_INVALIDARG;
  *progid = nullptr;
  try {
    std::shared_ptr<const registry::Tree> tree;
    if (HRESULT hr = LoadRegistry(&tree); Failed(hr)) return hr;
    auto value = tree->GetValue(ClassKey(clsid) + "\\ProgID");
    if (!value || value->empty()) return REGDB_E_CLASSNOTREG;
    const std::u16string text = Utf8ToUtf16(*value);
    const size_t bytes = (text.size() + 1) * sizeof(char16_t);
    auto* block = static_cast<OLECHAR*>(CoTaskMemAlloc(bytes));
    if (block == nullptr) return E_OUTOFMEMORY;
    std::memcpy(block, text.c_str(), bytes);
    *progid = block;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* /*reserved*/, REFIID iid,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  try {
    std::shared_ptr<const registry::Tree> tree;
    if (HRESULT hr = LoadRegistry(&tree); Failed(hr)) return hr;
    auto path = tree->GetValue(ClassKey(clsid) + "\\InprocServer32");
    const bool inproc = path && !path->empty();
    if ((context & CLSCTX_LOCAL_SERVER) != 0) {
      if (HRESULT hr = GetPublishedClassObject(clsid, iid, object); hr != REGDB_E_CLASSNOTREG) {
        return hr;
      }
    }
    if ((context & CLSCTX_INPROC_SERVER) == 0 || !inproc) {
      // A program's class (LocalServer32): every request starts its own
      // process, whose single-use class object hands out one instance.
      auto command = tree->GetValue(ClassKey(clsid) + "\\LocalServer32");
      if ((context & CLSCTX_LOCAL_SERVER) == 0 || !command || command->empty()) {
        return REGDB_E_CLASSNOTREG;
      }
      ComPtr<IClassFactory> factory;
      if (HRESULT hr = StartLocalServer(*command, clsid, factory.put()); Failed(hr)) return hr;
      return factory->QueryInterface(iid, object);
    }

    std::shared_ptr<LoadedLibrary> library;
    if (HRESULT hr = GetLibrary(*path, &library); Failed(hr)) return hr;
    struct CallGuard {
      const std::shared_ptr<LoadedLibrary>& library;
      ~CallGuard() { EndCall(library); }
    } guard{library};
    return library->get_class_object(clsid, iid, object);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  if (HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.put_void());
      Failed(hr)) {
    return hr;
  }
  return factory->CreateInstance(outer, iid, object);
}

// Objects are apartment-threaded: call this on the thread that created and
// released the library's objects. A library whose last object is being
// released on another thread at this moment could still be executing its
// Release when it is unloaded.
void CoFreeUnusedLibraries() {
  std::vector<void*> unload;
  {
    LibraryTable& table = Libraries();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto it = table.by_path.begin(); it != table.by_path.end();) {
      LoadedLibrary& library = *it->second;
      if (library.calls == 0 && library.can_unload_now != nullptr &&
          library.can_unload_now() == S_OK) {
        unload.push_back(library.handle);
        it = table.by_path.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Outside the lock: a library's destructors may call back into the runtime.
  for (void* handle : unload) ::dlclose(handle);
}

}  // namespace quillon::com

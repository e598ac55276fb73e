// Registration scripts: class and type library descriptions turned into
// registry keys.
#include "quillon/component/registration.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "quillon/component/registry.h"
#include "quillon/component/runtime.h"

namespace quillon::com {
namespace {

// One entry of a script: a value to set, or (value empty) a key that exists
// only to be present, such as "Programmable".
struct Write {
  std::string key;
  std::string name;
  std::optional<std::string> value;
};

using Script = std::vector<Write>;

void AddValue(Script* script, std::string key, std::string value, std::string name = {}) {
  script->push_back(Write{std::move(key), std::move(name), std::move(value)});
}

void AddKey(Script* script, std::string key) {
  script->push_back(Write{std::move(key), {}, std::nullopt});
}

std::string LocaleKey(LCID locale) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%x", static_cast<unsigned>(locale));
  return buffer;
}

Script TypeLibraryScript(const TypeLibraryDescription& typelib, const std::string& path) {
  Script script;
  const std::string libid = FormatGuid(typelib.libid);
  const std::string version_key = "TypeLib\\" + libid + "\\" + typelib.version;
  AddValue(&script, version_key, typelib.help_string);
  AddValue(&script, version_key + "\\" + LocaleKey(typelib.locale) + "\\win32", path);
  AddValue(&script, version_key + "\\FLAGS", "0");
  AddValue(&script, version_key + "\\HELPDIR",
           std::filesystem::path(path).parent_path().string());
  for (const InterfaceDescription& itf : typelib.interfaces) {
    const std::string key = "Interface\\" + FormatGuid(itf.iid);
    AddValue(&script, key, itf.name);
    AddValue(&script, key + "\\TypeLib", libid);
    AddValue(&script, key + "\\TypeLib", typelib.version, "Version");
  }
  return script;
}

Script ClassScript(const ClassDescription& c, const std::string& path) {
  Script script;
  const std::string clsid = FormatGuid(c.clsid);
  if (!c.progid.empty()) {
    AddValue(&script, c.progid, c.display_name);
    AddValue(&script, c.progid + "\\CLSID", clsid);
  }
  if (!c.version_independent_progid.empty()) {
    AddValue(&script, c.version_independent_progid, c.display_name);
    AddValue(&script, c.version_independent_progid + "\\CLSID", clsid);
    if (!c.progid.empty()) AddValue(&script, c.version_independent_progid + "\\CurVer", c.progid);
  }
  const std::string key = "CLSID\\" + clsid;
  AddValue(&script, key, c.display_name);
  if (c.progid_values) {
    if (!c.progid.empty()) AddValue(&script, key + "\\ProgID", c.progid);
    if (!c.version_independent_progid.empty()) {
      AddValue(&script, key + "\\VersionIndependentProgID", c.version_independent_progid);
    }
  }
  if (c.programmable) AddKey(&script, key + "\\Programmable");
  if (c.local_server) {
    AddValue(&script, key + "\\LocalServer32", path);
  } else {
    AddValue(&script, key + "\\InprocServer32", path);
    if (!c.threading_model.empty()) {
      AddValue(&script, key + "\\InprocServer32", c.threading_model, "ThreadingModel");
    }
  }
  if (c.control) AddKey(&script, key + "\\Control");
  if (c.insertable) AddKey(&script, key + "\\Insertable");
  if (c.toolbox_bitmap) {
    AddValue(&script, key + "\\ToolboxBitmap32", path + "," + std::to_string(*c.toolbox_bitmap));
  }
  if (c.misc_status) {
    AddValue(&script, key + "\\MiscStatus", "0");
    AddValue(&script, key + "\\MiscStatus\\1", std::to_string(*c.misc_status));
  }
  if (c.typelib) AddValue(&script, key + "\\TypeLib", FormatGuid(*c.typelib));
  if (!c.version.empty()) AddValue(&script, key + "\\Version", c.version);
  if (!c.verb.empty()) AddValue(&script, key + "\\Verb\\1", c.verb);
  return script;
}

HRESULT Apply(registry::Tree& tree, const Script& script) {
  for (const Write& w : script) {
    const HRESULT hr =
        w.value ? tree.SetValue(w.key, w.name, *w.value) : tree.CreateKey(w.key);
    if (Failed(hr)) return hr;
  }
  return S_OK;
}

std::string FoldAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Deletes the script's values, then every key on the script's paths that
// is left without values and subkeys, deepest first.
void Remove(registry::Tree& tree, const Script& script) {
  std::vector<std::string> keys;
  std::unordered_set<std::string> seen;
  for (const Write& w : script) {
    if (w.value) tree.DeleteValue(w.key, w.name);
    for (size_t end = w.key.size(); end != std::string::npos && end > 0;
         end = w.key.rfind('\\', end - 1)) {
      std::string key = w.key.substr(0, end);
      if (seen.insert(FoldAscii(key)).second) keys.push_back(std::move(key));
    }
  }
  std::stable_sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
  });
  for (const std::string& key : keys) tree.DeleteKeyIfEmpty(key);
}

thread_local std::string last_error;

HRESULT Finish(HRESULT hr, std::string error) {
  if (Succeeded(hr)) {
    last_error.clear();
    return S_OK;
  }
  last_error = std::move(error);
  // The type library is written first, so a store that cannot be read or
  // written fails there; the step's own codes pass through.
  if (hr == SELFREG_E_TYPELIB || hr == SELFREG_E_CLASS) return hr;
  return SELFREG_E_TYPELIB;
}

}  // namespace

std::string LastRegistrationError() { return last_error; }

HRESULT RegisterComponentLibrary(const std::string& library_path,
                                 const TypeLibraryDescription* typelib,
                                 std::span<const ClassDescription> classes) {
  std::string error;
  std::string path;
  try {
    if (library_path.empty()) return Finish(SELFREG_E_TYPELIB, "no library path");
    path = std::filesystem::absolute(library_path).lexically_normal().string();
  } catch (const std::exception& e) {
    return Finish(SELFREG_E_TYPELIB, e.what());
  }
  const HRESULT hr = registry::Transact(
      registry::DefaultPath(),
      [&](registry::Tree& tree) -> HRESULT {
        try {
          if (typelib != nullptr && Failed(Apply(tree, TypeLibraryScript(*typelib, path)))) {
            error = "cannot write the type library's keys";
            return SELFREG_E_TYPELIB;
          }
        } catch (const std::bad_alloc&) {
          error = "out of memory";
          return SELFREG_E_TYPELIB;
        }
        for (const ClassDescription& c : classes) {
          try {
            if (Failed(Apply(tree, ClassScript(c, path)))) {
              error = "cannot write the keys of " + c.display_name;
              return SELFREG_E_CLASS;
            }
          } catch (const std::bad_alloc&) {
            error = "out of memory";
            return SELFREG_E_CLASS;
          }
        }
        return S_OK;
      },
      &error);
  return Finish(hr, error);
}

HRESULT UnregisterComponentLibrary(const TypeLibraryDescription* typelib,
                                   std::span<const ClassDescription> classes) {
  std::string error;
  // Keys do not depend on the library's path, and values are removed by
  // name, so any path gives the same script.
  const std::string path = "/";
  const HRESULT hr = registry::Transact(
      registry::DefaultPath(),
      [&](registry::Tree& tree) -> HRESULT {
        try {
          if (typelib != nullptr) Remove(tree, TypeLibraryScript(*typelib, path));
        } catch (const std::bad_alloc&) {
          error = "out of memory";
          return SELFREG_E_TYPELIB;
        }
        for (const ClassDescription& c : classes) {
          try {
            Remove(tree, ClassScript(c, path));
          } catch (const std::bad_alloc&) {
            error = "out of memory";
            return SELFREG_E_CLASS;
          }
        }
        return S_OK;
      },
      &error);
  return Finish(hr, error);
}

}  // namespace quillon::com

// quillon-stubgen: writes the type stub (.pyi) of the Python module from
// the type information of the component libraries, so that an editor
// completes every class's members with their parameter names and types.
//
//   quillon-stubgen OUT.pyi BASE.pyi LIBRARY...
//
// BASE.pyi holds the module's own functions and classes; the generator
// appends the enumerations (and quillon.constants), one class per
// interface the libraries serve, and CreateObject overloads that map each
// registered ProgID to its class's interface. The libraries are registered
// in a private registry of their own and created as a design-time host
// creates them; nothing outside a temporary directory is touched.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "interface_text.h"
#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/persistence.h"
#include "quillon/component/registration.h"
#include "quillon/component/registry.h"
#include "quillon/component/runtime.h"
#include "quillon/component/typeinfo.h"

namespace {

namespace com = quillon::com;
using quillon::python::PyEnum;
using quillon::python::PyInterface;
using quillon::python::PyMember;
using quillon::python::PyParam;

bool IsKeyword(const std::string& name) {
  static const std::set<std::string> kKeywords = {
      "False", "None",   "True",    "and",      "as",   "assert", "async",  "await",
      "break", "class",  "continue", "def",     "del",  "elif",   "else",   "except",
      "finally", "for",  "from",    "global",   "if",   "import", "in",     "is",
      "lambda", "nonlocal", "not",  "or",       "pass", "raise",  "return", "try",
      "while", "with",   "yield"};
  return kKeywords.count(name) != 0;
}

std::string Identifier(const std::string& name) { return IsKeyword(name) ? name + "_" : name; }

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Params(const PyMember& m) {
  std::string out = "self";
  bool optional = false;
  for (const PyParam& p : m.params) {
    optional = optional || p.optional;
    out += ", " + Identifier(p.name) + ": " + p.type + (optional ? " = ..." : "");
  }
  return out;
}

void WriteInterface(std::ostream& out, const std::string& class_name, const std::string& base,
                    const PyInterface& itf) {
  out << "\nclass " << class_name << "(" << base << "):\n";
  out << "    " << Quoted(itf.name + (itf.dual ? " (dual interface)" : " (dispatch interface)") +
                          (itf.doc.empty() ? "" : ": " + itf.doc))
      << "\n";
  for (const PyMember& m : itf.members) {
    const std::string name = Identifier(m.name);
    if (m.IsAttribute()) {
      if (m.writable) {
        out << "    " << name << ": " << m.result << "\n";
      } else {
        out << "    @property\n    def " << name << "(self) -> " << m.result << ": ...\n";
      }
    } else if (m.IsIndexed()) {
      out << "    " << name << ": IndexedProperty[" << m.result << "]\n";
    } else {
      out << "    def " << name << "(" << Params(m) << ") -> "
          << quillon::python::ResultAnnotation(m) << ": ...\n";
    }
  }
}

struct Interface {
  std::string library;
  PyInterface description;
};

int Fail(const std::string& what) {
  std::cerr << "quillon-stubgen: " << what << "\n";
  return 1;
}

com::ComPtr<com::IDispatch> Create(const com::CLSID& clsid) {
  com::ComPtr<com::IDispatch> object;
  if (com::Failed(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER,
                                        com::IID_IDispatch, object.put_void()))) {
    return nullptr;
  }
  // As a design-time host starts a control: a server object started so
  // neither reads a request nor writes a response.
  com::ComPtr<com::IPersistPropertyBag> bag;
  if (com::Succeeded(object->QueryInterface(com::IID_IPersistPropertyBag, bag.put_void()))) {
    bag->Load(com::MakePropertyBag().get(), nullptr);
  }
  return object;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Fail("usage: quillon-stubgen OUT.pyi BASE.pyi LIBRARY...");
  const std::filesystem::path out_path = argv[1];
  std::ifstream base_file(argv[2], std::ios::binary);
  if (!base_file) return Fail(std::string("cannot read ") + argv[2]);
  std::stringstream base;
  base << base_file.rdbuf();

  const std::filesystem::path scratch =
      std::filesystem::temp_directory_path() / ("quillon-stubgen-" + std::to_string(getpid()));
  std::filesystem::create_directories(scratch);
  struct Cleanup {
    std::filesystem::path dir;
    ~Cleanup() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } cleanup{scratch};
  setenv("QUILLON_REGISTRY", (scratch / "registry").c_str(), 1);
  setenv("QUILLON_DESKTOP_LIB", (scratch / "none.so").c_str(), 1);

  std::vector<std::string> libraries;
  for (int i = 3; i < argc; ++i) {
    std::error_code ec;
    libraries.push_back(std::filesystem::canonical(argv[i], ec).string());
    if (ec) return Fail(std::string("no library ") + argv[i]);
    void* handle = dlopen(libraries.back().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return Fail(dlerror());
    // A library without classes of its own to register (the serving
    // library's debug object) is only loaded: its tables still count.
    auto reg = reinterpret_cast<com::DllRegisterServerFn>(dlsym(handle, "DllRegisterServer"));
    if (reg != nullptr && com::Failed(reg())) {
      return Fail("cannot register " + libraries.back() + ": " + com::LastRegistrationError());
    }
  }
  auto ours = [&](const std::string& path) {
    std::error_code ec;
    const std::string canonical = std::filesystem::canonical(path, ec).string();
    return !ec && std::find(libraries.begin(), libraries.end(), canonical) != libraries.end();
  };

  // Interfaces and enumerations: the type libraries' own, then every table
  // the libraries serve that no type library lists.
  std::map<std::string, Interface> interfaces;  // by interface name
  std::map<std::string, PyEnum> enums;
  auto add_info = [&](com::ITypeInfo* info, const std::string& library) {
    com::TYPEATTR* attr = nullptr;
    if (com::Failed(info->GetTypeAttr(&attr))) return;
    const com::TYPEKIND kind = attr->typekind;
    info->ReleaseTypeAttr(attr);
    if (kind == com::TKIND_ENUM) {
      PyEnum e;
      if (com::Succeeded(quillon::python::DescribeEnum(info, &e))) enums.emplace(e.name, e);
    } else if (kind == com::TKIND_DISPATCH || kind == com::TKIND_INTERFACE) {
      Interface itf{library, {}};
      if (com::Succeeded(quillon::python::DescribeInterface(info, &itf.description)) &&
          !itf.description.members.empty()) {
        interfaces.emplace(itf.description.name, itf);
      }
    }
  };
  for (const std::string& library : libraries) {
    com::ComPtr<com::ITypeLib> lib;
    const std::u16string path = com::Utf8ToUtf16(library);
    if (com::Failed(com::LoadTypeLib(path.c_str(), lib.put()))) continue;
    for (com::UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
      com::ComPtr<com::ITypeInfo> info;
      if (com::Succeeded(lib->GetTypeInfo(i, info.put()))) add_info(info.get(), library);
    }
  }
  for (const com::RegisteredTable& t : com::RegisteredMemberTables()) {
    if (!ours(t.library)) continue;
    com::ComPtr<com::ITypeInfo> info;
    if (com::Succeeded(com::GetTypeInfoOfTable(*t.table, info.put()))) {
      add_info(info.get(), t.library);
    }
  }
  if (interfaces.empty()) return Fail("the libraries describe no interface");

  // Class names: the interface's, unless the module already has that name
  // (the engines' Error interface and quillon.Error); then the library's
  // name comes first. Each class's docstring names its interface.
  // A class of the base marked "# base of <interface>" is what the module
  // gives for that interface's objects (quillon.ServerObject for IQServer).
  std::set<std::string> taken;
  std::map<std::string, std::string> bases;  // interface -> base class
  {
    std::istringstream lines(base.str());
    std::string line;
    while (std::getline(lines, line)) {
      const size_t mark = line.find("# base of ");
      if (line.rfind("class ", 0) == 0 && mark != std::string::npos) {
        const std::string rest = line.substr(6);
        bases[line.substr(mark + 10)] = rest.substr(0, rest.find_first_of("(:"));
      }
      for (const char* prefix : {"class ", "def "}) {
        if (line.rfind(prefix, 0) == 0) {
          const std::string rest = line.substr(std::strlen(prefix));
          taken.insert(rest.substr(0, rest.find_first_of("(:[ ")));
        }
      }
      const size_t colon = line.find(':');
      if (!line.empty() && line[0] != ' ' && line[0] != '#' && colon != std::string::npos) {
        taken.insert(line.substr(0, colon));
      }
    }
  }
  auto class_name = [&](const Interface& itf) {
    const std::string name = Identifier(itf.description.name);
    if (taken.count(name) == 0) return name;
    std::string stem = std::filesystem::path(itf.library).stem().string();
    if (stem.rfind("lib", 0) == 0) stem = stem.substr(3);
    std::string prefix;
    bool upper = true;
    for (char c : stem) {
      if (c == '-' || c == '_' || c == '.') {
        upper = true;
        continue;
      }
      prefix += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
      upper = false;
    }
    return prefix + "_" + name;
  };

  // ProgIDs of the registered classes, by the interface their objects answer.
  std::map<std::string, std::vector<std::string>> progids;  // interface -> ProgIDs
  std::shared_ptr<const com::registry::Tree> tree;
  if (com::Failed(com::registry::LoadShared(com::registry::DefaultPath(), &tree))) {
    return Fail("cannot read the private registry");
  }
  for (const std::string& key : tree->SubkeyNames("CLSID")) {
    auto path = tree->GetValue("CLSID\\" + key + "\\InprocServer32");
    com::CLSID clsid{};
    if (!path || !ours(*path) || !com::ParseGuid(key, &clsid)) continue;
    com::ComPtr<com::IDispatch> object = Create(clsid);
    if (!object) continue;
    com::ComPtr<com::ITypeInfo> info;
    if (com::Failed(object->GetTypeInfo(0, 0, info.put()))) continue;
    com::Bstr name;
    info->GetDocumentation(com::MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
    auto& list = progids[name.utf8()];
    for (const char* value : {"ProgID", "VersionIndependentProgID"}) {
      auto progid = tree->GetValue("CLSID\\" + key + "\\" + value);
      if (progid && !progid->empty()) list.push_back(*progid);
    }
    list.push_back(key);
  }

  std::ostringstream out;
  out << "# The type stub of the module `quillon`, written by quillon-stubgen from the\n"
         "# type information of the component libraries; do not edit.\n"
      << base.str();
  out << "\n# --- Enumerations (also in quillon.constants) ---------------------------\n";
  for (const auto& [name, e] : enums) {
    out << "\nclass _" << name << "(IntEnum):\n";
    for (const auto& [constant, value] : e.values) {
      out << "    " << Identifier(constant) << " = " << value << "\n";
    }
  }
  out << "\nclass _Constants:\n";
  out << "    " << Quoted("quillon.constants: every enumeration's constants, and each "
                          "enumeration as an IntEnum.")
      << "\n";
  for (const auto& [name, e] : enums) {
    out << "    " << Identifier(name) << " = _" << name << "\n";
    for (const auto& [constant, value] : e.values) {
      out << "    " << Identifier(constant) << ": Final = " << value << "\n";
    }
  }
  out << "\nconstants: _Constants\n";

  out << "\n# --- Interfaces ---------------------------------------------------------\n";
  for (const auto& [name, itf] : interfaces) {
    auto base_class = bases.find(name);
    WriteInterface(out, class_name(itf), base_class != bases.end() ? base_class->second : "Dispatch",
                   itf.description);
  }

  out << "\n# --- Creation -----------------------------------------------------------\n";
  for (const auto& [name, list] : progids) {
    auto it = interfaces.find(name);
    if (it == interfaces.end()) continue;
    out << "\n@overload\ndef CreateObject(progid: Literal[";
    for (size_t i = 0; i < list.size(); ++i) out << (i > 0 ? ", " : "") << Quoted(list[i]);
    out << "]) -> " << class_name(it->second) << ": ...\n";
  }
  out << "\n@overload\ndef CreateObject(progid: str) -> Dispatch: ...\n";

  const std::filesystem::path temp = out_path.string() + ".tmp";
  {
    std::ofstream file(temp, std::ios::binary);
    file << out.str();
    if (!file) return Fail("cannot write " + temp.string());
  }
  std::filesystem::rename(temp, out_path);
  return 0;
}

// The toolkit's component libraries loaded as a host loads them: each
// registered by its own DllRegisterServer into a private registry, then
// reached through the registry. Also the text form of member tables that
// the files under tests/golden/members/ hold, and its reader.
//
// QUILLON_COMPONENT_LIBRARIES names the libraries, "stem=path|stem=path|";
// QUILLON_GOLDEN_DIR the directory of the checked-in tables.
#ifndef QUILLON_TESTS_COMPONENT_COMPONENT_LIBRARIES_H_
#define QUILLON_TESTS_COMPONENT_COMPONENT_LIBRARIES_H_

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "quillon/component/dispatch.h"
#include "quillon/component/registration.h"
#include "quillon/component/registry.h"
#include "quillon/component/runtime.h"
#include "quillon/component/typeinfo.h"

namespace quillon::testing {

struct ComponentLibrary {
  std::string stem;  // "qserver": golden files are <stem>.<interface>.txt
  std::string path;
};

inline std::vector<ComponentLibrary> ComponentLibraries() {
  std::vector<ComponentLibrary> out;
  std::string list = QUILLON_COMPONENT_LIBRARIES;
  std::stringstream in(list);
  std::string item;
  while (std::getline(in, item, '|')) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    out.push_back({item.substr(0, eq), item.substr(eq + 1)});
  }
  return out;
}

// The library a shared-object path belongs to, or nullptr.
inline const ComponentLibrary* LibraryOfPath(const std::vector<ComponentLibrary>& libraries,
                                             const std::string& path) {
  std::error_code ec;
  for (const ComponentLibrary& library : libraries) {
    if (std::filesystem::equivalent(library.path, path, ec)) return &library;
  }
  return nullptr;
}

// A private registry with every component library registered, and the
// desktop library out of reach (an AboutBox then fails at once instead of
// waiting for a user). Kept for the whole test program.
class RegisteredLibraries : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("quillon-libraries-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    setenv("QUILLON_REGISTRY", (dir_ / "registry").c_str(), 1);
    setenv("QUILLON_DESKTOP_LIB", (dir_ / "no-desktop.so").c_str(), 1);
    for (const ComponentLibrary& library : ComponentLibraries()) {
      void* handle = dlopen(library.path.c_str(), RTLD_NOW | RTLD_LOCAL);
      ASSERT_NE(handle, nullptr) << dlerror();
      // A library that serves objects without registering classes (the
      // serving library's debug object) is only loaded.
      auto reg = reinterpret_cast<com::DllRegisterServerFn>(dlsym(handle, "DllRegisterServer"));
      if (reg == nullptr) continue;
      ASSERT_EQ(reg(), com::S_OK) << library.path << ": " << com::LastRegistrationError();
    }
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  static std::filesystem::path Directory() { return dir_; }

 private:
  static inline std::filesystem::path dir_;
};

// --- The text form of a member table --------------------------------------------

inline std::string TypeName(com::VARTYPE vt, const com::EnumDescription* e = nullptr) {
  std::string prefix = (vt & com::VT_BYREF) != 0 ? "ByRef " : "";
  if (e != nullptr) return prefix + com::Utf16ToUtf8(e->name);
  switch (vt & ~com::VT_BYREF) {
    case com::VT_EMPTY: return prefix + "void";
    case com::VT_I2: return prefix + "Integer";
    case com::VT_I4: return prefix + "Long";
    case com::VT_R4: return prefix + "Single";
    case com::VT_R8: return prefix + "Double";
    case com::VT_BSTR: return prefix + "String";
    case com::VT_BOOL: return prefix + "Boolean";
    case com::VT_VARIANT: return prefix + "Variant";
    case com::VT_DISPATCH: return prefix + "Object";
    case com::VT_UNKNOWN: return prefix + "Unknown";
    default: return prefix + "vt" + std::to_string(vt);
  }
}

inline std::string KindName(com::WORD kind) {
  switch (kind) {
    case com::DISPATCH_PROPERTYGET: return "get";
    case com::DISPATCH_PROPERTYPUT: return "put";
    default: return "method";
  }
}

inline std::string Dump(const com::MemberTable& table) {
  std::ostringstream out;
  out << com::Utf16ToUtf8(table.interface_name) << "\n";
  for (const com::MemberInfo& m : table.members) {
    out << m.dispid << " " << KindName(m.kind) << " " << com::Utf16ToUtf8(m.name) << "(";
    for (size_t i = 0; i < m.param_count; ++i) {
      if (i > 0) out << ", ";
      std::u16string_view name = m.ParamName(i);
      const com::EnumDescription* e = m.param_enums != nullptr ? m.param_enums[i] : nullptr;
      out << (name.empty() ? "value" : com::Utf16ToUtf8(name)) << " As "
          << TypeName(m.param_types[i], e);
    }
    out << ") As " << TypeName(m.result) << "; required " << int{m.required}
        << (m.hidden ? "; hidden" : "") << "\n";
  }
  return out.str();
}

// One line of a checked-in table: a member in the documented order.
struct GoldenParam {
  std::string name;
  std::string type;  // "Long", "ByRef Variant", "qlDatabaseTypeConstants", ...
};
struct GoldenMember {
  com::DISPID dispid = 0;
  com::WORD kind = 0;
  std::string name;
  std::vector<GoldenParam> params;
  std::string result;
  std::string line;
};
struct GoldenTable {
  std::string interface_name;
  std::vector<GoldenMember> members;
};

inline std::string GoldenPath(const std::string& file) {
  return std::string(QUILLON_GOLDEN_DIR) + "/" + file + ".txt";
}

inline std::optional<std::string> ReadGoldenText(const std::string& file) {
  std::ifstream in(GoldenPath(file), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::optional<GoldenTable> ParseGolden(const std::string& text) {
  std::istringstream in(text);
  GoldenTable table;
  if (!std::getline(in, table.interface_name)) return std::nullopt;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    GoldenMember m;
    m.line = line;
    std::istringstream fields(line);
    std::string kind;
    if (!(fields >> m.dispid >> kind)) return std::nullopt;
    m.kind = kind == "get"   ? com::DISPATCH_PROPERTYGET
             : kind == "put" ? com::DISPATCH_PROPERTYPUT
                             : com::DISPATCH_METHOD;
    const size_t name_at = line.find(' ', line.find(' ') + 1) + 1;
    const size_t open = line.find('(', name_at);
    const size_t close = line.find(')', open);
    const size_t as = line.find(" As ", close);
    const size_t semicolon = line.find(';', as);
    if (open == std::string::npos || close == std::string::npos || as == std::string::npos ||
        semicolon == std::string::npos) {
      return std::nullopt;
    }
    m.name = line.substr(name_at, open - name_at);
    m.result = line.substr(as + 4, semicolon - as - 4);
    std::string params = line.substr(open + 1, close - open - 1);
    size_t at = 0;
    while (at < params.size()) {
      size_t comma = params.find(", ", at);
      if (comma == std::string::npos) comma = params.size();
      const std::string param = params.substr(at, comma - at);
      const size_t param_as = param.find(" As ");
      if (param_as == std::string::npos) return std::nullopt;
      m.params.push_back({param.substr(0, param_as), param.substr(param_as + 4)});
      at = comma + 2;
    }
    table.members.push_back(std::move(m));
  }
  return table;
}

}  // namespace quillon::testing

#endif  // QUILLON_TESTS_COMPONENT_COMPONENT_LIBRARIES_H_

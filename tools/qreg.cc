// qreg: registers and unregisters component libraries, shows the class
// registry and sets the few settings kept in it.
//
//   qreg register <library>          load the library, call DllRegisterServer
//   qreg unregister <library>        load the library, call DllUnregisterServer
//   qreg query <ProgID|{CLSID}>      show a class's registration (exit 1: unknown)
//   qreg export                      print the whole registry as text
//   qreg set <key> <name> <value>    set a value (a setting such as the
//                                    client's LenientTLS)
//   qreg unset <key> <name>          remove it
//
// Exit status: 0 success, 1 failure, 2 usage error (with what was expected).
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "quillon/component/registration.h"
#include "quillon/component/registry.h"
#include "quillon/component/runtime.h"

namespace {

using quillon::com::HRESULT;
namespace registry = quillon::com::registry;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: qreg register <library.so>\n"
    "       qreg unregister <library.so>\n"
    "       qreg query <ProgID | {CLSID}>\n"
    "       qreg export\n"
    "       qreg set <key> <name> <value>\n"
    "       qreg unset <key> <name>\n"
    "       qreg --help\n"
    "\n"
    "register    loads the component library and calls its DllRegisterServer\n"
    "unregister  loads the component library and calls its DllUnregisterServer\n"
    "query       shows the registration of a class named by ProgID or {CLSID}\n"
    "            (exit status 1 when the class is unknown)\n"
    "export      prints the whole registry in its file format\n"
    "set         sets the value <name> of <key> (keys are paths joined by\n"
    "            backslashes; the name @ is the key's default value), e.g.\n"
    "            qreg set 'Software\\Quillon\\QClient' LenientTLS 1\n"
    "unset       removes that value (exit status 1 when there was none)\n"
    "\n"
    "The registry is the file named by QUILLON_REGISTRY, else /var/lib/quillon/registry.\n";

// What each command takes after its name, for the usage error.
struct Command {
  const char* name;
  int arguments;
  const char* expected;
};
constexpr Command kCommands[] = {
    {"register", 1, "one component library (qreg register <library.so>)"},
    {"unregister", 1, "one component library (qreg unregister <library.so>)"},
    {"query", 1, "one ProgID or {CLSID} (qreg query <ProgID | {CLSID}>)"},
    {"export", 0, "no arguments (qreg export)"},
    {"set", 3, "a key, a value name and a value (qreg set <key> <name> <value>)"},
    {"unset", 2, "a key and a value name (qreg unset <key> <name>)"},
};

std::string Hex(HRESULT hr) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hr));
  return buffer;
}

int CallEntryPoint(const std::string& argument, const char* entry_point, const char* done) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // An absolute path: the library records where it was loaded from.
  const std::string path = fs::absolute(argument, ec).lexically_normal().string();
  if (ec || !fs::exists(path, ec)) {
    std::fprintf(stderr, "qreg: %s: no such file\n", argument.c_str());
    return kExitFailure;
  }
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "qreg: cannot load %s: %s\n", path.c_str(), ::dlerror());
    return kExitFailure;
  }
  auto entry = reinterpret_cast<quillon::com::DllRegisterServerFn>(::dlsym(handle, entry_point));
  if (entry == nullptr) {
    std::fprintf(stderr, "qreg: %s has no %s entry point\n", path.c_str(), entry_point);
    ::dlclose(handle);
    return kExitFailure;
  }
  const HRESULT hr = entry();
  ::dlclose(handle);
  if (quillon::com::Failed(hr)) {
    const std::string reason = quillon::com::LastRegistrationError();
    std::fprintf(stderr, "qreg: %s of %s failed: %s%s%s\n", entry_point, path.c_str(),
                 Hex(hr).c_str(), reason.empty() ? "" : ": ", reason.c_str());
    return kExitFailure;
  }
  std::printf("%s %s\n", done, path.c_str());
  return 0;
}

bool LoadOrReport(registry::Tree* tree) {
  std::string error;
  if (quillon::com::Failed(registry::Load(registry::DefaultPath(), tree, &error))) {
    std::fprintf(stderr, "qreg: cannot read the registry: %s\n", error.c_str());
    return false;
  }
  return true;
}

int Query(const std::string& name) {
  registry::Tree tree;
  if (!LoadOrReport(&tree)) return kExitFailure;
  quillon::com::CLSID clsid = quillon::com::GUID_NULL;
  const std::u16string wide = quillon::com::Utf8ToUtf16(name);
  const HRESULT hr = quillon::com::CLSIDFromString(wide.c_str(), &clsid);
  const std::string key = "CLSID\\" + quillon::com::FormatGuid(clsid);
  if (quillon::com::Failed(hr) || !tree.KeyExists(key)) {
    if (hr == quillon::com::REGDB_E_READREGDB) {
      std::fprintf(stderr, "qreg: cannot read the registry\n");
      return kExitFailure;
    }
    std::fprintf(stderr, "qreg: %s: no such class\n", name.c_str());
    return kExitFailure;
  }
  auto line = [](const char* label, const std::optional<std::string>& value) {
    if (value) std::printf("%-25s %s\n", label, value->c_str());
  };
  line("CLSID", quillon::com::FormatGuid(clsid));
  line("Name", tree.GetValue(key));
  line("ProgID", tree.GetValue(key + "\\ProgID"));
  line("VersionIndependentProgID", tree.GetValue(key + "\\VersionIndependentProgID"));
  line("InprocServer32", tree.GetValue(key + "\\InprocServer32"));
  line("ThreadingModel", tree.GetValue(key + "\\InprocServer32", "ThreadingModel"));
  line("LocalServer32", tree.GetValue(key + "\\LocalServer32"));
  line("TypeLib", tree.GetValue(key + "\\TypeLib"));
  line("Version", tree.GetValue(key + "\\Version"));
  return 0;
}

int Export() {
  registry::Tree tree;
  if (!LoadOrReport(&tree)) return kExitFailure;
  const std::string text = tree.Export();
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

// The value name as the command line gives it: "@" is the default value.
std::string ValueName(const char* argument) {
  return std::string_view(argument) == "@" ? std::string() : std::string(argument);
}

int Set(const std::string& key, const std::string& name, const std::string& value) {
  std::string error;
  const HRESULT hr = registry::Transact(
      registry::DefaultPath(),
      [&](registry::Tree& tree) { return tree.SetValue(key, name, value); }, &error);
  if (quillon::com::Failed(hr)) {
    const std::string reason = hr == quillon::com::E_INVALIDARG
                                   ? "not a valid key path or value name"
                                   : Hex(hr) + (error.empty() ? "" : ": " + error);
    std::fprintf(stderr, "qreg: cannot set %s in %s: %s\n", name.empty() ? "@" : name.c_str(),
                 key.c_str(), reason.c_str());
    return kExitFailure;
  }
  return 0;
}

int Unset(const std::string& key, const std::string& name) {
  bool existed = false;
  std::string error;
  const HRESULT hr = registry::Transact(
      registry::DefaultPath(),
      [&](registry::Tree& tree) {
        existed = tree.DeleteValue(key, name);
        return quillon::com::S_OK;
      },
      &error);
  if (quillon::com::Failed(hr)) {
    std::fprintf(stderr, "qreg: cannot change the registry: %s%s%s\n", Hex(hr).c_str(),
                 error.empty() ? "" : ": ", error.c_str());
    return kExitFailure;
  }
  if (!existed) {
    std::fprintf(stderr, "qreg: %s has no value %s\n", key.c_str(),
                 name.empty() ? "@" : name.c_str());
    return kExitFailure;
  }
  return 0;
}

// A wrong start: says what was expected, then the usage, on standard error.
int UsageError(const std::string& what) {
  std::fprintf(stderr, "qreg: %s\n\n", what.c_str());
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return UsageError("no command given; expected register, unregister, query, export, set, "
                      "unset or --help");
  }
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const Command* known = nullptr;
  for (const Command& c : kCommands) {
    if (command == c.name) known = &c;
  }
  if (known == nullptr) {
    return UsageError("unknown command \"" + std::string(command) +
                      "\"; expected register, unregister, query, export, set, unset or --help");
  }
  if (argc - 2 != known->arguments) {
    return UsageError(std::string(known->name) + " takes " + known->expected + ", but was given " +
                      std::to_string(argc - 2) + (argc - 2 == 1 ? " argument" : " arguments"));
  }
  if (command == "register") return CallEntryPoint(argv[2], "DllRegisterServer", "registered");
  if (command == "unregister") {
    return CallEntryPoint(argv[2], "DllUnregisterServer", "unregistered");
  }
  if (command == "query") return Query(argv[2]);
  if (command == "export") return Export();
  if (command == "set") return Set(argv[2], ValueName(argv[3]), argv[4]);
  return Unset(argv[2], ValueName(argv[3]));
}

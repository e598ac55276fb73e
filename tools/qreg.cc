// qreg: registers and unregisters component libraries and shows the class
// registry.
//
//   qreg register <library>      load the library, call DllRegisterServer
//   qreg unregister <library>    load the library, call DllUnregisterServer
//   qreg query <ProgID|{CLSID}>  show a class's registration (exit 1: unknown)
//   qreg export                  print the whole registry as text
//
// Exit status: 0 success, 1 failure, 2 usage error.
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
    "       qreg --help\n"
    "\n"
    "register    loads the component library and calls its DllRegisterServer\n"
    "unregister  loads the component library and calls its DllUnregisterServer\n"
    "query       shows the registration of a class named by ProgID or {CLSID}\n"
    "            (exit status 1 when the class is unknown)\n"
    "export      prints the whole registry in its file format\n"
    "\n"
    "The registry is the file named by QUILLON_REGISTRY, else /var/lib/quillon/registry.\n";

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

int Usage() {
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "register" && argc == 3) {
    return CallEntryPoint(argv[2], "DllRegisterServer", "registered");
  }
  if (command == "unregister" && argc == 3) {
    return CallEntryPoint(argv[2], "DllUnregisterServer", "unregistered");
  }
  if (command == "query" && argc == 3) return Query(argv[2]);
  if (command == "export" && argc == 2) return Export();
  std::fprintf(stderr, "qreg: unknown command or wrong arguments: %s\n", argv[1]);
  return Usage();
}

#include "quillon/desktop/loader.h"

#include <dlfcn.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "quillon/component/com_ptr.h"
#include "quillon/component/errors.h"
#include "quillon/component/registration.h"
#include "quillon/component/runtime.h"
#include "quillon/desktop/entry.h"

namespace quillon::desktop {
namespace {

// Room for any description the desktop library gives.
constexpr size_t kErrorCapacity = 1024;

std::u16string Widen(std::string_view text) { return com::Utf8ToUtf16(text); }

// The directory of the shared object this code was linked into, with its
// trailing separator; empty when it cannot be told.
std::string OwnDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&OwnDirectory), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  std::filesystem::path path = info.dli_fname;
  if (path.is_relative()) {
    // The dynamic loader names the main program as it was started (argv[0],
    // relative to a directory the program may since have left); libraries
    // found through $ORIGIN or absolute paths are named absolutely.
    std::error_code ec;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    path = !ec && program.filename() == path.filename() ? program
                                                        : std::filesystem::absolute(path, ec);
    if (ec) return {};
  }
  return path.parent_path().string() + "/";
}

// The entry point `name` of the desktop library, or the reason there is
// none in *why.
void* DesktopEntry(const char* name, std::u16string* why) {
  const std::string path = DesktopLibraryPath();
  // NODELETE: Qt registers exit handlers and threads that outlive any
  // dlclose.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (library == nullptr) {
    const char* detail = dlerror();
    *why = u"デスクトップ部品を読み込めません（" + Widen(path) + u"）。";
    if (detail != nullptr) *why += u"\n" + Widen(detail);
    return nullptr;
  }
  void* entry = dlsym(library, name);
  // The library stays mapped (NODELETE); this only drops the count.
  dlclose(library);
  if (entry == nullptr) {
    *why = u"デスクトップ部品に入口 " + Widen(name) + u" がありません（" + Widen(path) + u"）。";
  }
  return entry;
}

std::optional<std::u16string> Outcome(int32_t code,
                                      const std::array<char16_t, kErrorCapacity>& error) {
  if (code >= 0) return std::nullopt;
  std::u16string text(error.data());
  if (text.empty()) text = u"ダイアログの表示に失敗しました。";
  return text;
}

}  // namespace

std::string DesktopLibraryPath() {
  const char* chosen = std::getenv(kDesktopLibraryVariable);
  if (chosen != nullptr && *chosen != '\0') return chosen;
  return OwnDirectory() + kDesktopLibraryName;
}

std::optional<std::u16string> ShowDesktopAboutBox(int32_t which) {
  std::u16string why;
  auto entry =
      reinterpret_cast<QuillonDesktopAboutBoxFn>(DesktopEntry("QuillonDesktopAboutBox", &why));
  if (entry == nullptr) return why;
  std::array<char16_t, kErrorCapacity> error{};
  return Outcome(entry(which, error.data(), error.size()), error);
}

void RunAboutBox(int32_t which) {
  if (std::optional<std::u16string> why = ShowDesktopAboutBox(which)) {
    throw Error(kMsgUnexpected, u"\n" + *why);
  }
}

com::HRESULT GetPageClassObject(com::REFCLSID clsid, com::REFIID iid, void** object) {
  if (object == nullptr) return com::E_POINTER;
  *object = nullptr;
  std::u16string why;
  auto entry = reinterpret_cast<com::DllGetClassObjectFn>(DesktopEntry("DllGetClassObject", &why));
  if (entry == nullptr) {
    com::ComPtr<com::ICreateErrorInfo> info;
    if (com::Succeeded(com::CreateErrorInfo(info.put()))) {
      info->SetDescription(why.c_str());
      com::ComPtr<com::IErrorInfo> error;
      if (com::Succeeded(info->QueryInterface(com::IID_IErrorInfo, error.put_void()))) {
        com::SetErrorInfo(0, error.get());
      }
    }
    return com::CLASS_E_CLASSNOTAVAILABLE;
  }
  return entry(clsid, iid, object);
}

}  // namespace quillon::desktop

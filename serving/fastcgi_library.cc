#include "serving/fastcgi_library.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

#include <mutex>
#include <optional>

namespace quillon::serving {
namespace {

struct Loaded {
  std::optional<FastCgiLibrary> library;
  std::string why;
};

template <class Fn>
bool Resolve(void* handle, const char* name, Fn* entry, std::string* why) {
  *entry = reinterpret_cast<Fn>(dlsym(handle, name));
  if (*entry != nullptr) return true;
  *why = std::string(kFastCgiLibraryName) + " has no entry " + name;
  return false;
}

Loaded Load() {
  Loaded loaded;
  // Never unloaded: its requests and streams live as long as the loop.
  void* handle = dlopen(kFastCgiLibraryName, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* detail = dlerror();
    loaded.why = std::string("cannot load ") + kFastCgiLibraryName +
                 (detail != nullptr ? std::string(": ") + detail : std::string());
    return loaded;
  }
  FastCgiLibrary f{};
  std::string& why = loaded.why;
  if (Resolve(handle, "FCGX_Init", &f.Init, &why) &&
      Resolve(handle, "FCGX_InitRequest", &f.InitRequest, &why) &&
      Resolve(handle, "FCGX_Accept_r", &f.Accept, &why) &&
      Resolve(handle, "FCGX_Finish_r", &f.Finish, &why) &&
      Resolve(handle, "FCGX_Detach", &f.Detach, &why) &&
      Resolve(handle, "FCGX_Free", &f.Free, &why) &&
      Resolve(handle, "FCGX_GetParam", &f.GetParam, &why) &&
      Resolve(handle, "FCGX_GetStr", &f.GetStr, &why) &&
      Resolve(handle, "FCGX_PutStr", &f.PutStr, &why) &&
      Resolve(handle, "FCGX_PutS", &f.PutS, &why) &&
      Resolve(handle, "FCGX_FFlush", &f.FFlush, &why)) {
    loaded.library = f;
  }
  return loaded;
}

}  // namespace

bool IsFastCgiListener(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  errno = 0;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 && errno == ENOTCONN;
}

const FastCgiLibrary* LoadFastCgi(std::string* why) {
  static std::once_flag once;
  static Loaded loaded;
  std::call_once(once, [] { loaded = Load(); });
  if (!loaded.library) {
    *why = loaded.why;
    return nullptr;
  }
  return &*loaded.library;
}

}  // namespace quillon::serving

// Helper program of the out-of-process tests.
//
//   remote_test_server [fail-early] -Embedding
//       a LocalServer32 program: serves kRemoteTestClsid, whose objects
//       answer Pid (the process id), Echo (the first argument), Hang
//       (sleeps a minute) and Inherited (its standard streams and other
//       open descriptors). "fail-early" exits with 3 before publishing.
//   remote_test_server create-and-vanish
//       creates the test class through the registry, prints the started
//       server's process id and exits without releasing it.
//   remote_test_server call <ProgID>
//       connects to a published object and calls Echo("hi"). Exit status:
//       0 when "hi" came back, 10 refused (E_ACCESSDENIED), 11 not found
//       (CO_E_CLASSSTRING), 12 anything else.
//   remote_test_server publish <ProgID> [<allowed users>]
//       publishes an object answering Pid and Echo, prints "ready" and
//       serves until its standard input ends (or it is killed). Exit
//       status 13 when the publication fails.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "quillon/component/remote.h"
#include "quillon/component/variant.h"
#include "tests/component/remote_test_object.h"

using namespace quillon::com;
using quillon::com::testing::ScriptedObject;

namespace {

int Call(const char* progid) {
  ComPtr<IDispatch> object;
  HRESULT hr = ConnectToPublishedObject(Utf8ToUtf16(progid), object.put());
  if (hr == E_ACCESSDENIED) return 10;
  if (hr == CO_E_CLASSSTRING) return 11;
  if (Failed(hr)) return 12;
  DISPID id = 0;
  std::u16string name = u"Echo";
  LPOLESTR names[] = {name.data()};
  if (Failed(object->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id))) return 12;
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = VT_BSTR;
  arg.bstrVal = SysAllocString(u"hi");
  DISPPARAMS params{&arg, nullptr, 1, 0};
  VARIANT result;
  VariantInit(&result);
  hr = object->Invoke(id, IID_IDispatch, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
  const bool ok = Succeeded(hr) && result.vt == VT_BSTR && std::u16string(result.bstrVal) == u"hi";
  VariantClear(&arg);
  VariantClear(&result);
  if (hr == E_ACCESSDENIED) return 10;
  return ok ? 0 : 12;
}

ComPtr<IDispatch> MakeObject() {
  auto object = ScriptedObject::Create();
  object->Add(u"Pid", [](WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) {
    if (result != nullptr) {
      result->vt = VT_I4;
      result->lVal = static_cast<int32_t>(::getpid());
    }
    return S_OK;
  });
  object->Add(u"Echo", &quillon::com::testing::EchoFirst);
  object->Add(u"Hang", [](WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    ::sleep(60);
    return S_OK;
  });
  // What the program inherited: "<fd 0 target>|<fd 1 target>|<other fds>",
  // the others besides its own socket (3) and the listing's directory.
  object->Add(u"Inherited", [](WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) {
    auto target = [](const char* link) {
      char buf[256];
      ssize_t n = ::readlink(link, buf, sizeof buf);
      return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    };
    std::string text = target("/proc/self/fd/0") + "|" + target("/proc/self/fd/1") + "|";
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd > 3 && fd != ::dirfd(dir)) {
        text += std::string(entry->d_name) + " ";
      }
    }
    ::closedir(dir);
    if (result != nullptr) *result = Variant::Utf8(text).Detach();
    return S_OK;
  });
  return ComPtr<IDispatch>(object.get());
}

}  // namespace

// Creates the registered test class, prints the started server's process
// id and ends without releasing anything, as a crashing client would.
int CreateAndVanish() {
  ComPtr<IDispatch> object;
  if (Failed(CoCreateInstance(quillon::com::testing::kRemoteTestClsid, nullptr, CLSCTX_ALL,
                              IID_IDispatch, object.put_void()))) {
    return 12;
  }
  const int32_t pid = quillon::com::testing::PidOf(object.get());
  if (pid < 0) return 12;
  std::printf("%d\n", pid);
  std::fflush(stdout);
  ::_exit(0);
}

// Publishes until standard input ends.
int Publish(const char* progid, const char* allowed) {
  PublishOptions options;
  options.serve_on_thread = true;
  if (allowed != nullptr) options.allow_users = {allowed};
  std::unique_ptr<Publication> publication;
  if (Failed(PublishObject(Utf8ToUtf16(progid), MakeObject().get(), options, &publication))) {
    return 13;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char byte;
  while (::read(0, &byte, 1) > 0) {
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "call") == 0) return Call(argv[2]);
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "publish") == 0) {
    return Publish(argv[2], argc == 4 ? argv[3] : nullptr);
  }
  if (argc == 2 && std::strcmp(argv[1], "create-and-vanish") == 0) return CreateAndVanish();
  if (!IsEmbeddingStart(argc, argv)) return 2;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "fail-early") == 0) return 3;
  }
  auto* factory = new quillon::com::testing::LambdaFactory(&MakeObject);
  HRESULT hr = RunLocalServer(quillon::com::testing::kRemoteTestClsid, factory);
  factory->Release();
  return Succeeded(hr) ? 0 : 4;
}

// The cost of a late-bound call to another process: Invoke with a small
// string in and the same string out, through the socket proxy to an object
// published by a forked serving process, against the same object called
// directly. The difference is the marshalling and two socket round trips'
// worth of scheduling.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "quillon/component/remote.h"
#include "quillon/component/variant.h"
#include "tests/component/remote_test_object.h"

namespace quillon::com {
namespace {

void CallEcho(benchmark::State& state, IDispatch* object) {
  Variant arg = Variant::Utf8("hello, world");
  DISPPARAMS params{arg.get(), nullptr, 1, 0};
  for (auto _ : state) {
    Variant result;
    HRESULT hr = object->Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD, &params, result.get(),
                                nullptr, nullptr);
    if (Failed(hr) || result.vt() != VT_BSTR) {
      state.SkipWithError("call failed");
      break;
    }
    benchmark::DoNotOptimize(result.get()->bstrVal);
  }
  state.SetItemsProcessed(state.iterations());
}

ComPtr<IDispatch> MakeEcho() {
  auto object = testing::ScriptedObject::Create();
  object->Add(u"Echo", &testing::EchoFirst);
  return ComPtr<IDispatch>(object.get());
}

void BM_InvokeInProcess(benchmark::State& state) {
  ComPtr<IDispatch> object = MakeEcho();
  CallEcho(state, object.get());
}
BENCHMARK(BM_InvokeInProcess);

void BM_InvokeOutOfProcess(benchmark::State& state) {
  char dir[] = "/tmp/quillon-bench-XXXXXX";
  int ready[2];
  if (mkdtemp(dir) == nullptr || pipe(ready) != 0) {
    state.SkipWithError("no temporary directory");
    return;
  }
  setenv("QUILLON_RUNTIME_DIR", (std::string(dir) + "/run").c_str(), 1);
  const std::u16string progid = u"Bench" + Utf8ToUtf16(std::to_string(getpid())) + u".Echo";
  // The serving process: publishes, says so, serves until killed.
  const pid_t server = fork();
  if (server == 0) {
    ComPtr<IDispatch> object = MakeEcho();
    std::unique_ptr<Publication> publication;
    const char ok = Succeeded(PublishObject(progid, object.get(), {}, &publication)) ? 1 : 0;
    if (write(ready[1], &ok, 1) != 1 || !ok) _exit(1);
    publication->Serve();
    _exit(0);
  }
  close(ready[1]);
  char ok = 0;
  ComPtr<IDispatch> proxy;
  if (read(ready[0], &ok, 1) != 1 || !ok || Failed(ConnectToPublishedObject(progid, proxy.put()))) {
    state.SkipWithError("publication failed");
  } else {
    CallEcho(state, proxy.get());
  }
  close(ready[0]);
  proxy.reset();
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_InvokeOutOfProcess)->UseRealTime();

}  // namespace
}  // namespace quillon::com

BENCHMARK_MAIN();

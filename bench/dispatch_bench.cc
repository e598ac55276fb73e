// The generic Invoke's own cost per late-bound call: a member with two
// integers and a result, one with a string in and a string out, a named
// argument, and a property read, called through IDispatch::Invoke with the
// arguments already built (what every script host call pays on top of the
// member's work).
#include <benchmark/benchmark.h>

#include "quillon/component/bstr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/object.h"

namespace quillon::com {
namespace {

constexpr IID IID_IProbe = Guid("{0B0E1A10-0000-4000-8000-0000000000B1}");

struct IProbe : IDispatch {
  virtual HRESULT Add(int32_t a, int32_t b, int32_t* sum) = 0;
  virtual HRESULT Echo(BSTR text, BSTR* same) = 0;
  virtual HRESULT get_Count(int32_t* value) = 0;

 protected:
  ~IProbe() = default;
};

extern const InterfaceTable<IProbe> kProbeTable;

class Probe : public ObjectBase, public DispatchImpl<IProbe, kProbeTable> {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<Probe, IProbe>(IID_IProbe), Entry<Probe, IDispatch, IProbe>(IID_IDispatch)};
  explicit Probe(Module& m) : ObjectBase(m) {}

  HRESULT Add(int32_t a, int32_t b, int32_t* sum) override {
    *sum = a + b;
    return S_OK;
  }
  HRESULT Echo(BSTR text, BSTR* same) override {
    *same = SysAllocStringLen(text, SysStringLen(text));
    return S_OK;
  }
  HRESULT get_Count(int32_t* value) override {
    *value = 7;
    return S_OK;
  }
};

constexpr auto kProbeMembers = Members<IProbe>(Function<&IProbe::Add>(1, u"Add(A, B)"),
                                               Function<&IProbe::Echo>(2, u"Echo(Text)"),
                                               Get<&IProbe::get_Count>(3, u"Count"));
constexpr InterfaceTable<IProbe> kProbeTable{u"IProbe", &IID_IProbe, kProbeMembers};

struct Fixture {
  Module module;
  ComPtr<IDispatch> object{Object<Probe>::Create(module).get()};
};

void BM_InvokeAddPositional(benchmark::State& state) {
  Fixture f;
  VARIANT args[2]{};
  args[0].vt = VT_I4;
  args[0].lVal = 2;
  args[1].vt = VT_I4;
  args[1].lVal = 40;
  DISPPARAMS params{args, nullptr, 2, 0};
  for (auto _ : state) {
    VARIANT out{};
    f.object->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &params, &out, nullptr, nullptr);
    benchmark::DoNotOptimize(out.lVal);
  }
}

void BM_InvokeAddNamed(benchmark::State& state) {
  Fixture f;
  VARIANT args[2]{};
  args[0].vt = VT_I4;
  args[0].lVal = 2;
  args[1].vt = VT_I4;
  args[1].lVal = 40;
  DISPID names[1] = {1};  // B named, A by position
  DISPPARAMS params{args, names, 2, 1};
  for (auto _ : state) {
    VARIANT out{};
    f.object->Invoke(1, GUID_NULL, 0, DISPATCH_METHOD, &params, &out, nullptr, nullptr);
    benchmark::DoNotOptimize(out.lVal);
  }
}

void BM_InvokeEchoString(benchmark::State& state) {
  Fixture f;
  VARIANT arg{};
  arg.vt = VT_BSTR;
  arg.bstrVal = SysAllocString(u"QServerResult");
  DISPPARAMS params{&arg, nullptr, 1, 0};
  for (auto _ : state) {
    VARIANT out{};
    f.object->Invoke(2, GUID_NULL, 0, DISPATCH_METHOD, &params, &out, nullptr, nullptr);
    VariantClear(&out);
  }
  VariantClear(&arg);
}

void BM_InvokePropertyGet(benchmark::State& state) {
  Fixture f;
  DISPPARAMS params{nullptr, nullptr, 0, 0};
  for (auto _ : state) {
    VARIANT out{};
    f.object->Invoke(3, GUID_NULL, 0, DISPATCH_PROPERTYGET, &params, &out, nullptr, nullptr);
    benchmark::DoNotOptimize(out.lVal);
  }
}

BENCHMARK(BM_InvokeAddPositional);
BENCHMARK(BM_InvokeAddNamed);
BENCHMARK(BM_InvokeEchoString);
BENCHMARK(BM_InvokePropertyGet);

}  // namespace
}  // namespace quillon::com

BENCHMARK_MAIN();

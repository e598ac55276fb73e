// A late-bound object whose members are lambdas, for the out-of-process
// tests, their helper program and the remote-call benchmark.
#ifndef QUILLON_TESTS_COMPONENT_REMOTE_TEST_OBJECT_H_
#define QUILLON_TESTS_COMPONENT_REMOTE_TEST_OBJECT_H_

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "quillon/component/com_ptr.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/runtime.h"

namespace quillon::com::testing {

class ScriptedObject final : public IDispatch {
 public:
  using Method = std::function<HRESULT(WORD flags, DISPPARAMS* params, VARIANT* result,
                                       EXCEPINFO* excepinfo, UINT* arg_error)>;

  static ComPtr<ScriptedObject> Create() {
    return ComPtr<ScriptedObject>::Adopt(new ScriptedObject);
  }

  // Members get DISPIDs 1, 2, ... in the order added.
  DISPID Add(std::u16string name, Method method) {
    members_.emplace_back(std::move(name), std::move(method));
    return static_cast<DISPID>(members_.size());
  }
  int calls() const { return calls_.load(); }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (size_t m = 0; m < members_.size(); ++m) {
        if (members_[m].first == names[i]) ids[i] = static_cast<DISPID>(m + 1);
      }
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* arg_error) override {
    ++calls_;
    if (dispid < 1 || static_cast<size_t>(dispid) > members_.size()) return DISP_E_MEMBERNOTFOUND;
    return members_[dispid - 1].second(flags, params, result, excepinfo, arg_error);
  }

 private:
  ScriptedObject() = default;
  ~ScriptedObject() = default;
  std::atomic<ULONG> refs_{1};
  std::atomic<int> calls_{0};
  std::vector<std::pair<std::u16string, Method>> members_;
};

// Copies the first argument (followed when by reference) into the result.
inline HRESULT EchoFirst(WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) {
  if (params->cArgs < 1) return DISP_E_BADPARAMCOUNT;
  if (result == nullptr) return S_OK;
  return VariantCopyInd(result, &params->rgvarg[params->cArgs - 1]);
}

// A class factory handing out objects made by `make`.
class LambdaFactory final : public IClassFactory {
 public:
  explicit LambdaFactory(std::function<ComPtr<IDispatch>()> make) : make_(std::move(make)) {}
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT CreateInstance(IUnknown*, REFIID iid, void** object) override {
    return make_()->QueryInterface(iid, object);
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 private:
  ~LambdaFactory() = default;
  std::atomic<ULONG> refs_{1};
  std::function<ComPtr<IDispatch>()> make_;
};

inline constexpr CLSID kRemoteTestClsid = Guid("{5B0E8D21-7C44-4F0B-9A53-2D6E1F7A0C91}");

// Frames as a client writes them to a started server, byte for byte: the
// length (kind included), the kind, the body.
// Create the class's object.
inline const std::string kCreateFrame("\x01\0\0\0\x14", 5);
// Call its first member (DISPID 1) as a method: locale 0, no arguments,
// neither a result nor exception details wanted.
inline const std::string kCallFirstMemberFrame(
    "\x15\0\0\0\x16"  // 21 bytes, Invoke
    "\x01\0\0\0"      // DISPID 1
    "\0\0\0\0"        // locale
    "\x01\0"          // DISPATCH_METHOD
    "\0\0"            // no result, no exception details
    "\0\0\0\0"        // arguments
    "\0\0\0\0",       // named arguments
    25);

// The process id an object of the helper program reports (its Pid
// member); -1 when the call fails.
inline int32_t PidOf(IDispatch* object) {
  std::u16string name = u"Pid";
  LPOLESTR names[] = {name.data()};
  DISPID id = 0;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT pid;
  VariantInit(&pid);
  if (Failed(object->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id)) ||
      Failed(
          object->Invoke(id, IID_IDispatch, 0, DISPATCH_METHOD, &none, &pid, nullptr, nullptr)) ||
      pid.vt != VT_I4) {
    VariantClear(&pid);
    return -1;
  }
  return pid.lVal;
}

}  // namespace quillon::com::testing

#endif  // QUILLON_TESTS_COMPONENT_REMOTE_TEST_OBJECT_H_

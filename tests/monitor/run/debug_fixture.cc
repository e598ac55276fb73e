// The debug fixture library: DllGetClassObject over the behaviours of
// debug_fixture.h.
#include "debug_fixture.h"

#include <string>

#include "quillon/component/bstr.h"
#include "quillon/component/object.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace quillon::debug_fixture {
namespace {

com::Module library_module;
constexpr com::DISPID kStartDebug = 1;

com::HRESULT FillException(com::EXCEPINFO* info) {
  info->bstrDescription = com::SysAllocString(u"テストの例外");
  info->bstrSource = com::SysAllocString(u"Fixture");
  info->pfnDeferredFillIn = nullptr;
  info->scode = com::E_FAIL;
  return com::S_OK;
}

std::string DescribeBody(const com::VARIANT& v) {
  std::string bytes;
  if (com::Variant::GetBytes(v, &bytes)) return std::to_string(bytes.size()) + ":" + bytes;
  if (v.vt == com::VT_EMPTY) return "EMPTY";
  return "VT" + std::to_string(v.vt);
}

class DebugObject : public com::ObjectBase, public com::IDispatch {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<DebugObject, com::IDispatch>(com::IID_IDispatch)};

  DebugObject(com::Module& m, Behaviour behaviour) : ObjectBase(m), behaviour_(behaviour) {}

  com::HRESULT GetTypeInfoCount(com::UINT* count) override {
    *count = 0;
    return com::S_OK;
  }
  com::HRESULT GetTypeInfo(com::UINT, com::LCID, com::ITypeInfo**) override {
    return com::E_NOTIMPL;
  }
  com::HRESULT GetIDsOfNames(com::REFIID, com::LPOLESTR* names, com::UINT count, com::LCID,
                             com::DISPID* ids) override {
    if (count != 1 || behaviour_ == Behaviour::kNoMethod ||
        std::u16string_view(names[0]) != u"StartDebug") {
      ids[0] = com::DISPID_UNKNOWN;
      return com::DISP_E_UNKNOWNNAME;
    }
    ids[0] = kStartDebug;
    return com::S_OK;
  }

  com::HRESULT Invoke(com::DISPID id, com::REFIID, com::LCID, com::WORD flags,
                      com::DISPPARAMS* params, com::VARIANT*, com::EXCEPINFO* excepinfo,
                      com::UINT*) override {
    if (id != kStartDebug || (flags & com::DISPATCH_METHOD) == 0) return com::DISP_E_MEMBERNOTFOUND;
    // The contract's shape: (String, Variant, ByRef String, ByRef Variant),
    // in reverse order in rgvarg.
    if (params->cArgs != 4 || params->cNamedArgs != 0) return com::DISP_E_BADPARAMCOUNT;
    com::VARIANT* args = params->rgvarg;
    if (args[3].vt != com::VT_BSTR || args[1].vt != (com::VT_BYREF | com::VT_BSTR) ||
        args[0].vt != (com::VT_BYREF | com::VT_VARIANT)) {
      return com::DISP_E_TYPEMISMATCH;
    }
    com::BSTR* header = args[1].pbstrVal;
    com::VARIANT* body = args[0].pvarVal;
    auto answer = [&](std::u16string_view head, com::Variant value) {
      com::SysFreeString(*header);
      *header = com::SysAllocStringLen(head.data(), static_cast<com::UINT>(head.size()));
      com::VariantClear(body);
      *body = value.Detach();
      return com::S_OK;
    };
    switch (behaviour_) {
      case Behaviour::kEcho: {
        const std::string text = "ENV[" + com::Utf16ToUtf8(com::Bstr::View(args[3].bstrVal)) +
                                 "]BODY[" + DescribeBody(args[2]) + "]";
        return answer(u"Content-Type: text/plain\r\n", com::Variant::Bytes(std::string_view(text)));
      }
      case Behaviour::kText:
        return answer(u"Content-Type: text/html\r\nConnection: close\r\n",
                      com::Variant::String(u"<P>日本語 QServerParams:</P>"));
      case Behaviour::kGif:
        return answer(u"Content-Type: image/gif\r\n",
                      com::Variant::Bytes(std::string_view("GIF89a\0\x01", 8), 1));
      case Behaviour::kException:
        if (excepinfo == nullptr) return com::E_FAIL;
        *excepinfo = com::EXCEPINFO{};
        excepinfo->pfnDeferredFillIn = &FillException;
        return com::DISP_E_EXCEPTION;
      case Behaviour::kErrorInfo: {
        com::ComPtr<com::ICreateErrorInfo> create;
        com::CreateErrorInfo(create.put());
        create->SetDescription(u"Object error text");
        create->SetSource(u"Fixture");
        com::ComPtr<com::IErrorInfo> info;
        create.As(com::IID_IErrorInfo, &info);
        com::SetErrorInfo(0, info.get());
        return com::MakeHresult(0x80040000u + 10031u);
      }
      case Behaviour::kRaise:
        if (excepinfo == nullptr) return com::E_FAIL;
        *excepinfo = com::EXCEPINFO{};
        excepinfo->bstrDescription =
            com::SysAllocStringLen(args[3].bstrVal, com::SysStringLen(args[3].bstrVal));
        excepinfo->scode = com::E_FAIL;
        return com::DISP_E_EXCEPTION;
      case Behaviour::kDisconnected:
      case Behaviour::kNoMethod:
        return com::MakeHresult(0x80010108u);
    }
    return com::E_UNEXPECTED;
  }

 private:
  Behaviour behaviour_;
};

class Factory : public com::ObjectBase, public com::IClassFactory {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<Factory, com::IClassFactory>(com::IID_IClassFactory)};

  Factory(com::Module& m, Behaviour behaviour) : ObjectBase(m), behaviour_(behaviour) {}

  com::HRESULT CreateInstance(com::IUnknown* outer, com::REFIID iid, void** object) override {
    *object = nullptr;
    if (outer != nullptr) return com::CLASS_E_NOAGGREGATION;
    auto instance = com::Object<DebugObject>::Create(module(), behaviour_);
    return instance->QueryInterface(iid, object);
  }
  com::HRESULT LockServer(com::BOOL) override { return com::S_OK; }

 private:
  Behaviour behaviour_;
};

}  // namespace
}  // namespace quillon::debug_fixture

using namespace quillon;  // NOLINT(google-build-using-namespace): entry points only

extern "C" QUILLON_EXPORT com::HRESULT DllGetClassObject(com::REFCLSID clsid, com::REFIID iid,
                                                         void** object) {
  *object = nullptr;
  for (int i = 0; i < debug_fixture::kBehaviourCount; ++i) {
    const auto behaviour = static_cast<debug_fixture::Behaviour>(i);
    if (clsid == debug_fixture::ClsidOf(behaviour)) {
      auto factory = com::Object<debug_fixture::Factory>::Create(debug_fixture::library_module,
                                                                 behaviour);
      return factory->QueryInterface(iid, object);
    }
  }
  return com::CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" QUILLON_EXPORT com::HRESULT DllCanUnloadNow() {
  return debug_fixture::library_module.CanUnloadNow();
}

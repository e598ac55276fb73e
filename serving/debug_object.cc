// The debug object of a page program: StartDebug over a handler, published
// under "<project>.QuillonDebug".
#include "quillon/serving/debug_object.h"

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/errors.h"
#include "quillon/component/object.h"
#include "quillon/component/runtime.h"
#include "quillon/platform/codepage.h"

namespace quillon::serving {
namespace {

using com::BSTR;
using com::HRESULT;
using com::VARIANT;

// Not a registered interface: the monitor calls StartDebug by name.
inline constexpr com::IID IID_IQuillonDebug = com::Guid("{5B0E3C52-7A61-4C0B-9E07-2F4D1C8A9B31}");

struct IQuillonDebug : com::IDispatch {
  virtual HRESULT StartDebug(BSTR EnvText, VARIANT Body, BSTR* Header, VARIANT* ResponseBody) = 0;

 protected:
  ~IQuillonDebug() = default;
};

inline constexpr auto kDebugMemberList = com::Members<IQuillonDebug>(com::Method<&IQuillonDebug::StartDebug>(
    1, u"StartDebug(EnvText, Body, Header, ResponseBody)"));
inline constexpr com::InterfaceTable<IQuillonDebug> kDebugMembers{u"IQuillonDebug", &IID_IQuillonDebug,
                                                                  kDebugMemberList};

com::Module& DebugModule() {
  static com::Module module;
  return module;
}

class DebugObject : public com::ObjectBase,
                    public com::DispatchImpl<IQuillonDebug, kDebugMembers>,
                    public com::DispatchMembersImpl<IQuillonDebug, kDebugMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<DebugObject, IQuillonDebug>(IID_IQuillonDebug),
      com::Entry<DebugObject, com::IDispatch, IQuillonDebug>(com::IID_IDispatch),
      com::Entry<DebugObject, com::IDispatchMembers>(com::IID_IDispatchMembers),
  };

  DebugObject(com::Module& module, std::u16string progid, DebugHandler handler)
      : ObjectBase(module), progid_(std::move(progid)), handler_(std::move(handler)) {}

  HRESULT StartDebug(BSTR EnvText, VARIANT Body, BSTR* Header, VARIANT* ResponseBody) override {
    if (Header == nullptr || ResponseBody == nullptr) return com::E_POINTER;
    try {
      return handler_(EnvText, Body, Header, ResponseBody);
    } catch (const Error& e) {
      return Fail(e.Description());
    } catch (const std::bad_alloc&) {
      return com::E_OUTOFMEMORY;
    } catch (const std::exception& e) {
      return Fail(platform::ProcessCodePage().ToUtf16(e.what()));
    }
  }

 private:
  HRESULT Fail(const std::u16string& text) {
    return com::ReportError(com::DISP_E_EXCEPTION, text, progid_, &IID_IQuillonDebug, 0);
  }

  std::u16string progid_;
  DebugHandler handler_;
};

}  // namespace

HRESULT PublishDebugObject(std::string_view project, DebugHandler handler,
                           const std::vector<std::string>& allow_users,
                           std::unique_ptr<com::Publication>* publication) {
  try {
    const std::u16string progid =
        com::Utf8ToUtf16(std::string(project) + ".QuillonDebug");
    auto object = com::Object<DebugObject>::Create(DebugModule(), progid, std::move(handler));
    com::ComPtr<com::IDispatch> dispatch;
    if (HRESULT hr = object->QueryInterface(com::IID_IDispatch, dispatch.put_void()); com::Failed(hr)) {
      return hr;
    }
    com::PublishOptions options;
    options.allow_users = allow_users;
    return com::PublishObject(progid, dispatch.get(), options, publication);
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

}  // namespace quillon::serving

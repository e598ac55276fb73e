#include "monitor/run/debug_call.h"

#include <cstring>

#include "monitor/run/run_messages.h"
#include "quillon/component/remote.h"
#include "quillon/component/bstr.h"
#include "quillon/component/runtime.h"
#include "quillon/platform/codepage.h"

namespace quillon::monitor {
namespace {

// Takes the calling thread's error object, if any, and returns its
// description (empty when it has none).
bool TakeErrorInfo(std::u16string* description) {
  com::ComPtr<com::IErrorInfo> info;
  if (com::GetErrorInfo(0, info.put()) != com::S_OK || !info) return false;
  com::Bstr text;
  if (com::Succeeded(info->GetDescription(text.put()))) *description = text.view();
  return true;
}

void ClearExcepInfo(com::EXCEPINFO* info) {
  com::SysFreeString(info->bstrSource);
  com::SysFreeString(info->bstrDescription);
  com::SysFreeString(info->bstrHelpFile);
  std::memset(info, 0, sizeof *info);
}

}  // namespace

std::u16string DebugProgId(std::string_view project_name) {
  return platform::ProcessCodePage().ToUtf16(project_name) + u".QuillonDebug";
}

com::HRESULT CreateDebugObject(std::u16string_view progid, const com::ConnectOptions& trust,
                               com::ComPtr<com::IDispatch>* object) {
  // A page program under a debugger publishes its object while it runs;
  // a registered class is the other way to be found.
  return com::CreateObjectByProgId(progid, trust, object->put());
}

DebugCallOutcome CallStartDebug(std::u16string_view progid, std::u16string_view environment,
                                const com::Variant& body, const com::ConnectOptions& trust,
                                com::ComPtr<com::IDispatch>* keep) {
  using Kind = DebugCallOutcome::Kind;
  DebugCallOutcome outcome;
  com::ComPtr<com::IDispatch> object;
  outcome.hr = CreateDebugObject(progid, trust, &object);
  if (com::Failed(outcome.hr) || !object) {
    if (com::Succeeded(outcome.hr)) outcome.hr = com::E_NOINTERFACE;
    outcome.kind = Kind::kCreateFailed;
    outcome.description = DescribeFailure(outcome.hr);
    return outcome;
  }

  std::u16string method = u"StartDebug";
  com::LPOLESTR names[] = {method.data()};
  com::DISPID dispid = com::DISPID_UNKNOWN;
  outcome.hr = object->GetIDsOfNames(com::GUID_NULL, names, 1, 0, &dispid);
  if (com::Failed(outcome.hr)) {
    outcome.kind = Kind::kOtherFailure;
    return outcome;
  }

  // Arguments travel in reverse order: the by-reference outs first.
  com::Bstr env_text(environment);
  com::Bstr header;
  com::VARIANT answer;
  com::VariantInit(&answer);
  com::VARIANT args[4];
  for (com::VARIANT& a : args) com::VariantInit(&a);
  args[0].vt = com::VT_BYREF | com::VT_VARIANT;
  args[0].pvarVal = &answer;
  args[1].vt = com::VT_BYREF | com::VT_BSTR;
  args[1].pbstrVal = header.put();
  args[2] = *body.get();  // borrowed: the callee does not own in-arguments
  args[3].vt = com::VT_BSTR;
  args[3].bstrVal = env_text.get();
  com::DISPPARAMS params{args, nullptr, 4, 0};

  {
    std::u16string stale;
    TakeErrorInfo(&stale);
  }
  com::EXCEPINFO excepinfo{};
  com::VARIANT result;
  com::VariantInit(&result);
  com::UINT arg_error = 0;
  outcome.hr = object->Invoke(dispid, com::GUID_NULL, 0, com::DISPATCH_METHOD, &params, &result,
                              &excepinfo, &arg_error);
  com::VariantClear(&result);
  com::Variant answer_owner;
  answer_owner.Adopt(&answer);

  if (outcome.hr == com::DISP_E_EXCEPTION) {
    if (excepinfo.pfnDeferredFillIn != nullptr) excepinfo.pfnDeferredFillIn(&excepinfo);
    outcome.kind = Kind::kObjectError;
    outcome.description = com::Bstr::View(excepinfo.bstrDescription);
    ClearExcepInfo(&excepinfo);
  } else if (com::Failed(outcome.hr)) {
    ClearExcepInfo(&excepinfo);
    outcome.kind = TakeErrorInfo(&outcome.description) ? Kind::kObjectError : Kind::kOtherFailure;
  } else {
    ClearExcepInfo(&excepinfo);
    outcome.kind = Kind::kSuccess;
    outcome.header = header.view();
    outcome.body = std::move(answer_owner);
  }
  if (keep != nullptr) *keep = std::move(object);
  return outcome;
}

}  // namespace quillon::monitor

#include "monitor/run/interactive.h"

#include "monitor/run/debug_call.h"
#include "monitor/run/run_messages.h"
#include "quillon/component/bstr.h"
#include "quillon/platform/codepage.h"

namespace quillon::monitor {
namespace {

std::u16string KindFromContentType(std::u16string_view header) {
  const size_t name = header.find(u"Content-Type");
  if (name == std::u16string_view::npos) return {};
  const size_t mark = header.find_first_of(u"/\r\n", name + 12);
  if (mark == std::u16string_view::npos || header[mark] != u'/') return {};
  const size_t start = mark + 1;
  size_t end = header.find_first_of(u" \r\n", start);
  if (end == std::u16string_view::npos) end = header.size();
  return std::u16string(header.substr(start, end - start));
}

}  // namespace

std::u16string ChooseResponseKind(std::u16string_view header, const com::VARIANT& body) {
  const com::VARIANT* v = &body;
  if (v->vt == (com::VT_BYREF | com::VT_VARIANT) && v->pvarVal != nullptr) v = v->pvarVal;
  std::u16string kind;
  std::string bytes;
  if (com::Variant::GetBytes(*v, &bytes)) {
    if (!bytes.empty()) kind = KindFromContentType(header);
  } else if (v->vt == com::VT_BSTR || v->vt == (com::VT_BYREF | com::VT_BSTR)) {
    const com::BSTR text = v->vt == com::VT_BSTR ? v->bstrVal : *v->pbstrVal;
    const std::u16string_view view = com::Bstr::View(text);
    if (!view.empty()) {
      kind = view.find(u"QServerParams:") != std::u16string_view::npos ? u".RES" : u".HTML";
    }
  }
  return kind.empty() ? u".DAT" : kind;
}

InteractiveDebugResult RunInteractiveDebug(std::string_view project_name,
                                           const InteractiveDebugCallbacks& callbacks) {
  const EditedRequest request = callbacks.edit_request();
  std::string body_bytes = request.parameter_text;
  body_bytes.push_back('\0');
  const com::Variant body = com::Variant::Bytes(std::string_view(body_bytes));

  const platform::CodePage& code_page = platform::ProcessCodePage();
  const std::u16string progid = DebugProgId(project_name);
  com::ComPtr<com::IDispatch> object;  // kept until the response editor closes
  // The developer's own window: publications of the developer's user are
  // the developer's (unlike those a web server's user sees).
  DebugCallOutcome outcome = CallStartDebug(progid, code_page.ToUtf16(request.environment_line),
                                            body, com::ConnectOptions{}, &object);
  using Kind = DebugCallOutcome::Kind;
  switch (outcome.kind) {
    case Kind::kCreateFailed:
      callbacks.show_message(MonitorMessage(1001) + outcome.description + MonitorMessage(1003));
      return InteractiveDebugResult::kCreateFailed;
    case Kind::kObjectError:
      callbacks.show_message(progid + u" : " + outcome.description);
      return InteractiveDebugResult::kObjectError;
    case Kind::kOtherFailure:
      callbacks.show_message(MonitorMessage(1002));
      return InteractiveDebugResult::kOtherFailure;
    case Kind::kSuccess:
      break;
  }
  DebugResponse response;
  response.kind = ChooseResponseKind(outcome.header, *outcome.body.get());
  response.header = std::move(outcome.header);
  response.body = std::move(outcome.body);
  callbacks.edit_response(response);
  return InteractiveDebugResult::kAnswered;
}

}  // namespace quillon::monitor

// The interactive debug run without its dialogs: the developer edits a
// request, the project's debug object answers it, and the answer opens in
// the response editor. The dialogs are callbacks so that the sequence runs
// (and is tested) without a user interface.
#ifndef QUILLON_MONITOR_RUN_INTERACTIVE_H_
#define QUILLON_MONITOR_RUN_INTERACTIVE_H_

#include <functional>
#include <string>
#include <string_view>

#include "quillon/component/variant.h"

namespace quillon::monitor {

// What the request editor leaves: bytes of the process code page.
struct EditedRequest {
  std::string environment_line;  // NAME=encoded value pairs joined by "&"
  std::string parameter_text;    // the CGI parameters in the same form
};

// What the response editor is opened with.
struct DebugResponse {
  std::u16string header;  // as StartDebug returned it
  com::Variant body;      // a byte array, a string, or another variant
  std::u16string kind;    // see ChooseResponseKind
};

struct InteractiveDebugCallbacks {
  // The request editor on an empty request capture; returns when closed.
  std::function<EditedRequest()> edit_request;
  // A message box with `text`.
  std::function<void(const std::u16string& text)> show_message;
  // The response editor; the debug object stays alive until it returns.
  std::function<void(const DebugResponse& response)> edit_response;
};

// The kind of a response, which the response editor uses as file
// extension:
// - a byte-array body: after the first "Content-Type" (exact case) in the
//   header, the first "/", CR or LF; when that is a "/", the text after it
//   up to the next blank, CR, LF or the end ("gif" for image/gif);
// - a string body: ".RES" when it contains "QServerParams:", else ".HTML";
// - ".DAT" when that gives nothing: no such "/" in the header, an empty
//   subtype, an empty body (no bytes or an empty string), another variant.
// By-reference bodies are looked through.
std::u16string ChooseResponseKind(std::u16string_view header, const com::VARIANT& body);

enum class InteractiveDebugResult {
  kAnswered,       // the response editor was shown
  kCreateFailed,   // message: 1001 + description + 1003
  kObjectError,    // message: "<ProgID> : <description>"
  kOtherFailure,   // message: 1002
};

// Runs one interactive debug run for `project_name` (the project lookup's
// result, "" when none matched). The request's environment line goes to
// StartDebug exactly as edited; the body is the parameter text's bytes plus
// one zero byte.
InteractiveDebugResult RunInteractiveDebug(std::string_view project_name,
                                           const InteractiveDebugCallbacks& callbacks);

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_RUN_INTERACTIVE_H_

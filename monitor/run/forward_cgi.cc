#include "monitor/run/forward_cgi.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "monitor/run/debug_call.h"
#include "monitor/run/run_messages.h"
#include "quillon/component/bstr.h"
#include "quillon/component/runtime.h"
#include "quillon/platform/codepage.h"

namespace quillon::monitor {
namespace {

std::string Narrow(std::u16string_view text) { return platform::ProcessCodePage().FromUtf16(text); }

// The response body's bytes: a byte array whole, a string in the process
// code page, anything else nothing.
std::string BodyBytes(const com::VARIANT& body) {
  const com::VARIANT* v = &body;
  if (v->vt == (com::VT_BYREF | com::VT_VARIANT) && v->pvarVal != nullptr) v = v->pvarVal;
  std::string bytes;
  if (com::Variant::GetBytes(*v, &bytes)) return bytes;
  if (v->vt == com::VT_BSTR) return Narrow(com::Bstr::View(v->bstrVal));
  if (v->vt == (com::VT_BYREF | com::VT_BSTR) && v->pbstrVal != nullptr) {
    return Narrow(com::Bstr::View(*v->pbstrVal));
  }
  return {};
}

}  // namespace

CgiStreams ProcessCgiStreams() {
  CgiStreams io;
  io.env = ProcessEnvironment();
  io.read = [](char* buffer, size_t size) -> size_t {
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) return 0;
    }
  };
  io.write = [](std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // the web server went away; nobody is left to tell
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  };
  // Written straight to the descriptor: nothing is held back.
  io.flush = [] {};
  return io;
}

std::string CollectEnvironmentText(const EnvLookup& env) {
  std::string text;
  for (const char* name : kForwardedVariables) {
    if (auto value = env(name)) {
      std::replace_if(
          value->begin(), value->end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
      text += name;
      text += '=';
      text += *value;
      text += "\r\n";
    }
  }
  return text;
}

uint64_t MaxForwardedBody(size_t environment_units) {
  // The call's frame besides the two texts: kind, DISPID, locale, flags,
  // counts, four variant types, the array's bounds, the strings' lengths
  // and the final zero of the body; rounded up.
  constexpr uint64_t kCallBytes = 64;
  const uint64_t taken = kCallBytes + 2 * uint64_t{environment_units};
  return taken >= com::kMaxMessageBytes ? 0 : com::kMaxMessageBytes - taken;
}

BodyResult ReadRequestBody(const CgiStreams& io, uint64_t limit, com::Variant* body) {
  body->Clear();
  const auto length_text = io.env("CONTENT_LENGTH");
  if (!length_text) return BodyResult::kRead;
  errno = 0;
  const long long n = std::strtoll(length_text->c_str(), nullptr, 10);
  const bool overflow = errno == ERANGE && n > 0;
  if (n <= 0 && !overflow) return BodyResult::kRead;
  // Refused before anything is allocated: the header alone costs nothing.
  if (overflow || static_cast<unsigned long long>(n) > limit ||
      static_cast<unsigned long long>(n) >= std::numeric_limits<com::ULONG>::max()) {
    return BodyResult::kTooLarge;
  }
  const auto count = static_cast<size_t>(n);
  com::SAFEARRAY* array =
      com::SafeArrayCreateVector(com::VT_UI1, 0, static_cast<com::ULONG>(count + 1));
  if (array == nullptr) return BodyResult::kNoMemory;
  body->get()->vt = com::VT_ARRAY | com::VT_UI1;
  body->get()->parray = array;
  char* data = static_cast<char*>(array->pvData);
  size_t received = 0;
  while (received < count) {
    const size_t piece = std::min(kBodyPiece, count - received);
    const size_t got = io.read(data + received, piece);
    if (got == 0) break;
    received += std::min(got, piece);
  }
  return BodyResult::kRead;
}

std::u16string EscapeHtml(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    switch (c) {
      case u'&':
        out += u"&amp;";
        break;
      case u'<':
        out += u"&lt;";
        break;
      case u'>':
        out += u"&gt;";
        break;
      case u'"':
        out += u"&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void WriteErrorPage(const CgiStreams& io, std::u16string_view message) {
  std::u16string page =
      u"Content-type: text/html\r\n"
      u"\r\n"
      u"<HTML><HEAD><TITLE>エラー</TITLE></HEAD>\r\n"
      u"<BODY bgcolor=white><FONT size=4 color=#800000>\r\n"
      u"サーバ・アプリケーション実行エラー<BR><BR>\r\n";
  page += message;
  page += u"<BR>\r\n</FONT></BODY></HTML>";
  io.write(Narrow(page));
  io.flush();
}

void RunForwardingCgi(std::string_view project_name, const CgiStreams& io) {
  const std::string environment = CollectEnvironmentText(io.env);
  const std::u16string environment_text = platform::ProcessCodePage().ToUtf16(environment);
  const uint64_t limit = MaxForwardedBody(environment_text.size());
  com::Variant body;
  switch (ReadRequestBody(io, limit, &body)) {
    case BodyResult::kRead:
      break;
    case BodyResult::kTooLarge:
      WriteErrorPage(io,
                     com::Utf8ToUtf16("The request body is larger than a debug call can carry (" +
                                      std::to_string(limit) + " bytes)."));
      return;
    case BodyResult::kNoMemory:
      WriteErrorPage(io, DescribeFailure(com::E_OUTOFMEMORY));
      return;
  }
  const std::u16string progid = DebugProgId(project_name);
  DebugCallOutcome outcome =
      CallStartDebug(progid, environment_text, body, ForwardingTrust(io.env));
  using Kind = DebugCallOutcome::Kind;
  switch (outcome.kind) {
    case Kind::kSuccess: {
      std::string answer = Narrow(outcome.header);
      answer += "\r\n";
      answer += BodyBytes(*outcome.body.get());
      io.write(answer);
      io.flush();
      return;
    }
    case Kind::kCreateFailed:
      body.Clear();
      WriteErrorPage(io, MonitorMessage(1001) + u"<BR>" + EscapeHtml(outcome.description) +
                             u"<BR>" + MonitorMessage(1003));
      return;
    case Kind::kObjectError:
      WriteErrorPage(io, EscapeHtml(progid) + u" : " + EscapeHtml(outcome.description));
      return;
    case Kind::kOtherFailure:
      WriteErrorPage(io, MonitorMessage(1002));
      return;
  }
}

}  // namespace quillon::monitor

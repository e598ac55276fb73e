// A CGI program that uses QServer the way a script host does: created by
// ProgID through the registry, started by loading its (empty) saved
// properties from a stream, called by member name through IDispatch.
//   /echo      every incoming value as "name=value" lines
//   /session   counts visits in the session variable "count"
// A start that fails prints the result code and ends without an object.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/object.h"
#include "quillon/component/persistence.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace {

// The visit counter a session cookie carries: the visitor controls it, so
// anything that is not a small count starts afresh instead of aborting.
int VisitsAfter(const std::string& count) {
  int value = 0;
  const char* end = count.data() + count.size();
  const auto [at, error] = std::from_chars(count.data(), end, value);
  if (count.empty() || error != std::errc() || at != end || value < 0 || value > 1000000) return 1;
  return value + 1;
}

using namespace quillon::com;

Variant Call(IDispatch* object, std::u16string_view name, WORD flags, std::vector<Variant> args) {
  std::vector<VARIANT> raw;
  for (Variant& arg : args) raw.push_back(*arg.get());
  VARIANT result{};
  EXCEPINFO info{};
  const HRESULT hr = InvokeByName(object, name, flags, raw, &result, &info);
  if (Failed(hr)) {
    std::fprintf(stderr, "%s failed: %08X %s\n", Utf16ToUtf8(name).c_str(),
                 static_cast<unsigned>(info.scode ? info.scode : hr),
                 Utf16ToUtf8(Bstr::View(info.bstrDescription)).c_str());
    ClearExcepInfo(&info);
  }
  Variant out;
  out.Adopt(&result);
  return out;
}

std::u16string Text(const Variant& v) {
  return v.vt() == VT_BSTR ? std::u16string(Bstr::View(v.get()->bstrVal)) : std::u16string();
}

int32_t Int(const Variant& v) { return v.vt() == VT_I4 ? v.get()->lVal : 0; }

void Method(IDispatch* s, std::u16string_view name, std::vector<Variant> args = {}) {
  Call(s, name, DISPATCH_METHOD, std::move(args));
}

}  // namespace

int main() {
  CLSID clsid{};
  if (Failed(CLSIDFromProgID(u"QServer.QServer", &clsid))) {
    std::fputs("Content-Type: text/plain\r\n\r\nQServer.QServer is not registered\r\n", stdout);
    return 0;
  }
  ComPtr<IDispatch> server;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                server.put_void());
  ComPtr<IPersistStreamInit> persist;
  if (Succeeded(hr)) hr = server.As(IID_IPersistStreamInit, &persist);
  if (Succeeded(hr)) hr = persist->Load(MakeMemoryStream().get());
  if (Failed(hr)) {
    // A start that failed reading the request has answered 500 already.
    std::printf("start failed: %08X\r\n", static_cast<unsigned>(hr));
    std::fflush(stdout);
    std::_Exit(0);  // no response of the object's own after this one
  }
  IDispatch* s = server.get();
  const std::u16string mode =
      Text(Call(s, u"GetServerVariable", DISPATCH_METHOD, {Variant::String(u"PATH_INFO")}));
  if (mode == u"/echo") {
    Call(s, u"ContentType", DISPATCH_PROPERTYPUT, {Variant::String(u"text/plain")});
    const int32_t count = Int(Call(s, u"GetDataNameCount", DISPATCH_METHOD, {}));
    for (int32_t i = 0; i < count; ++i) {
      const Variant name = Call(s, u"GetDataName", DISPATCH_METHOD, {Variant::I4(i)});
      const int32_t subs = Int(Call(s, u"GetSubIndexCount", DISPATCH_METHOD, {name}));
      for (int32_t sub = 0; sub < subs; ++sub) {
        const Variant value = Call(s, u"GetStringData", DISPATCH_METHOD, {name, Variant::I4(sub)});
        if (i > 0 || sub > 0) Method(s, u"WriteCRLF");
        Method(s, u"WriteString", {Variant::String(Text(name) + u"=" + Text(value))});
      }
    }
  } else if (mode == u"/session") {
    const std::u16string count =
        Text(Call(s, u"SessionVariable", DISPATCH_PROPERTYGET, {Variant::String(u"count")}));
    const int visits = VisitsAfter(Utf16ToUtf8(count));
    const std::u16string text = Utf8ToUtf16(std::to_string(visits));
    Call(s, u"SessionVariable", DISPATCH_PROPERTYPUT,
         {Variant::String(u"count"), Variant::String(text)});
    Method(s, u"WriteString", {Variant::String(u"visits=" + text)});
  }
  return 0;  // releasing the object writes the response
}

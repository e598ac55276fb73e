#include "page_helpers.h"

#include <string>
#include <string_view>

#include "errors.h"
#include "quillon/component/runtime.h"
#include "quillon/serving/header_field.h"

namespace py = pybind11;

namespace quillon::python {
namespace {

constexpr com::WORD kMethod = com::DISPATCH_METHOD;

py::object CallMember(ServerObject& self, const char* member, std::vector<py::handle> args) {
  return self.Call(self.IdOf(member), kMethod, args);
}

// The text of a str argument, as UTF-8 bytes for the header checks (which
// look at ASCII only, so any other character stays what it is).
std::string Utf8Of(const py::str& text) { return com::Utf16ToUtf8(Utf16FromStr(text)); }

void RefuseUnlessOneLine(std::string_view name, const py::str& value) {
  if (const auto problem = serving::HeaderFieldProblem(name, Utf8Of(value))) {
    throw py::value_error(std::string(*problem));
  }
}

void AddHeaderLine(ServerObject& self, const py::str& name, const py::str& value) {
  const py::str line = py::str("{}: {}").format(name, value);
  CallMember(self, "AddHeader", {line});
}

// What the HTML engine needs escaped in text and in quoted parameter
// values, as html.escape(text, quote=True) does it.
std::u16string EscapeHtml(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (const char16_t c : text) {
    switch (c) {
      case u'&': out += u"&amp;"; break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      case u'"': out += u"&quot;"; break;
      case u'\'': out += u"&#x27;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

bool IsServerObject(const com::MemberTable* table) {
  return table != nullptr && table->interface_name != nullptr &&
         std::u16string_view(table->interface_name) == u"IQServer";
}

void RegisterPageHelpers(py::module_& m) {
  py::class_<ServerObject, DispatchObject>(m, "ServerObject", R"doc(
A QServer object: every automation member, and page helpers.

srv.value(name, default="") is the first value of a request field, or
default when the request has none; srv.values(name) all of them as a list.
srv.header(name, value) adds one header line and raises ValueError for a
name that is no token or a value holding CR, LF or NUL (AddHeader takes
several lines by contract, so visitor text must not reach it).
srv.redirect(location, status=302) adds "Status: 302 Found" and
"Location: <location>", refusing CR, LF and NUL the same way.
)doc")
      .def(
          "value",
          [](ServerObject& self, const py::str& name, const py::object& fallback) -> py::object {
            if (CallMember(self, "GetSubIndexCount", {name}).cast<int64_t>() == 0) return fallback;
            return CallMember(self, "GetStringData", {name, py::int_(0)});
          },
          py::arg("name"), py::arg("default") = py::str(""),
          "The first value of request field `name`, or `default` when there is none.")
      .def(
          "values",
          [](ServerObject& self, const py::str& name) {
            const int64_t count = CallMember(self, "GetSubIndexCount", {name}).cast<int64_t>();
            py::list values;
            for (int64_t i = 0; i < count; ++i) {
              values.append(CallMember(self, "GetStringData", {name, py::int_(i)}));
            }
            return values;
          },
          py::arg("name"), "Every value of request field `name`, in the order they came.")
      .def(
          "header",
          [](ServerObject& self, const py::str& name, const py::str& value) {
            const std::string name_text = Utf8Of(name);
            RefuseUnlessOneLine(name_text, value);
            AddHeaderLine(self, name, value);
          },
          py::arg("name"), py::arg("value"),
          "Adds the one header line 'name: value'; ValueError for CR, LF or NUL in it.")
      .def(
          "redirect",
          [](ServerObject& self, const py::str& location, int status) {
            const auto status_text = serving::RedirectStatusText(status);
            if (!status_text) {
              throw py::value_error("a redirect's status is 301, 302, 303, 307 or 308, not " +
                                    std::to_string(status));
            }
            RefuseUnlessOneLine("Location", location);
            AddHeaderLine(self, py::str("Status"), py::str(std::string(*status_text)));
            AddHeaderLine(self, py::str("Location"), location);
          },
          py::arg("location"), py::arg("status") = 302,
          "Sends the visitor to `location` (Status and Location header lines).");

  m.def(
      "escape",
      [](const py::handle& text) -> py::str {
        if (text.is_none()) return py::str("");
        const py::str as_text = py::isinstance<py::str>(text)
                                    ? py::reinterpret_borrow<py::str>(text)
                                    : py::str(text);
        return StrFromUtf16(EscapeHtml(Utf16FromStr(as_text)));
      },
      py::arg("text"),
      R"doc(Text made safe for HTML: & < > " and ' become entities, as
html.escape(text, quote=True) does. The HTML engine writes tag text and
parameter values exactly as given, so every text a visitor supplied (or a
database holds) goes through here. None gives "", anything else its str().)doc");
}

}  // namespace quillon::python

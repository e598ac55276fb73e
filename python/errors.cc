#include "errors.h"

#include <Python.h>
#include <pybind11/eval.h>

#include <cstring>
#include <utility>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/runtime.h"

namespace py = pybind11;

namespace quillon::python {
namespace {

// The exception classes live in Python so that they behave like any other
// Python exception (pickling through args, tracebacks, subclassing). Kept
// for the life of the process: the translator may run during interpreter
// shutdown, after module attributes are gone.
PyObject* g_error = nullptr;
PyObject* g_unknown_name_error = nullptr;
PyObject* g_released_error = nullptr;

constexpr const char kErrorClasses[] = R"py(
class Error(Exception):
    """A failed automation call.

    hresult      the result code, an unsigned 32-bit number (for an exception
                 raised by a member: the member's own code, not 0x80020009)
    description  the object's text, or the platform's text for the code
    source       who raised it (a server object's versioned ProgID, "QClient")
    helpcontext  help context number (0 when none)
    helpfile     help file name ("" when none)
    """

    def __init__(self, hresult=0x80004005, description="", source="", helpcontext=0,
                 helpfile=""):
        super().__init__(hresult, description, source, helpcontext, helpfile)
        self.hresult = hresult & 0xFFFFFFFF
        self.description = description
        self.source = source
        self.helpcontext = helpcontext
        self.helpfile = helpfile

    def __str__(self):
        if self.description:
            return "0x%08X: %s" % (self.hresult, self.description)
        return "0x%08X" % self.hresult


class UnknownNameError(Error, AttributeError):
    """The object has no member of that name (hresult 0x80020006)."""


class ReleasedError(Error, ValueError):
    """The object was released; its wrapper can no longer reach it."""
)py";

py::object MakeInstance(PyObject* cls, const HostError& e) {
  return py::reinterpret_borrow<py::object>(cls)(e.hresult(), StrFromUtf16(e.description()),
                                                 StrFromUtf16(e.source()), e.help_context(),
                                                 StrFromUtf16(e.help_file()));
}

struct Known {
  uint32_t code;
  const char16_t* text;
};

// Texts the platform gives these codes when the object supplies none.
constexpr Known kKnownTexts[] = {
    {0x80004001, u"Not implemented"},
    {0x80004002, u"No such interface supported"},
    {0x80004003, u"Invalid pointer"},
    {0x80004004, u"Operation aborted"},
    {0x80004005, u"Unspecified error"},
    {0x8000FFFF, u"Catastrophic failure"},
    {0x80070005, u"Access is denied."},
    {0x8007000E, u"Not enough memory resources are available to complete this operation."},
    {0x80070057, u"The parameter is incorrect."},
    {0x80010108, u"The object invoked has disconnected from its clients."},
    {0x80020001, u"Unknown interface."},
    {0x80020003, u"Member not found."},
    {0x80020004, u"Parameter not found."},
    {0x80020005, u"Type mismatch."},
    {0x80020006, u"Unknown name."},
    {0x80020007, u"No named arguments."},
    {0x80020008, u"Bad variable type."},
    {0x80020009, u"Exception occurred."},
    {0x8002000A, u"Out of present range."},
    {0x8002000B, u"Invalid index."},
    {0x8002000E, u"Invalid number of parameters."},
    {0x8002000F, u"Parameter not optional."},
    {0x80040110, u"Class does not support aggregation (or class object is remote)"},
    {0x80040111, u"ClassFactory cannot supply requested class"},
    {0x80040150, u"Could not read key from registry"},
    {0x80040151, u"Could not write key to registry"},
    {0x80040154, u"Class not registered"},
    {0x800401F3, u"Invalid class string"},
    {0x800401F8, u"DLL for class not found"},
    {0x800401F9, u"Error in the DLL"},
    {0x80080005, u"Server execution failed"},
};

}  // namespace

std::u16string SystemText(com::HRESULT hr) {
  for (const Known& k : kKnownTexts) {
    if (k.code == static_cast<uint32_t>(hr)) return k.text;
  }
  return {};
}

void ThrowHresult(com::HRESULT hr, std::u16string_view detail) {
  std::u16string text = SystemText(hr);
  if (!detail.empty()) {
    if (!text.empty()) text += u" ";
    text += detail;
  }
  throw HostError(hr, std::move(text));
}

void ThrowWithErrorInfo(com::HRESULT hr) {
  com::ComPtr<com::IErrorInfo> info;
  if (com::GetErrorInfo(0, info.put()) == com::S_OK && info) {
    com::Bstr description, source, help_file;
    com::DWORD help_context = 0;
    info->GetDescription(description.put());
    info->GetSource(source.put());
    info->GetHelpFile(help_file.put());
    info->GetHelpContext(&help_context);
    std::u16string text(description.view());
    if (text.empty()) text = SystemText(hr);
    throw HostError(hr, std::move(text), std::u16string(source.view()), help_context,
                    std::u16string(help_file.view()));
  }
  ThrowHresult(hr);
}

void RegisterErrors(py::module_& m) {
  py::dict scope = m.attr("__dict__");
  py::exec(kErrorClasses, scope);
  g_error = scope["Error"].ptr();
  g_unknown_name_error = scope["UnknownNameError"].ptr();
  g_released_error = scope["ReleasedError"].ptr();
  Py_INCREF(g_error);
  Py_INCREF(g_unknown_name_error);
  Py_INCREF(g_released_error);

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const HostError& e) {
      PyObject* cls = e.kind() == HostError::Kind::kUnknownName ? g_unknown_name_error
                      : e.kind() == HostError::Kind::kReleased  ? g_released_error
                                                                : g_error;
      py::object instance = MakeInstance(cls, e);
      PyErr_SetObject(cls, instance.ptr());
    }
  });
}

}  // namespace quillon::python

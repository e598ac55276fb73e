#include "errors.h"

#include <Python.h>
#include <pybind11/eval.h>

#include <cstring>
#include <utility>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/errors.h"
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

    Error(hresult=0x80004005, description="", source="", helpcontext=0,
          helpfile="", number=None)

    A toolkit failure has a message number; its code follows from the number
    and the convention of the object that failed:

      server objects   0x80040000 + number, or 0x80020009 when a value was
                       appended to the message (10005 with the name)
      client control   0x800A0000 + number, help context 0x60000 + number
                       (0 when a value was appended)

    The descriptions are the toolkit's Japanese messages; with the
    environment variable QUILLON_MESSAGES=en (quillon-serve sets it) they are
    English and name what the call was given (file, index, parameter). The
    codes and numbers are the same in both languages.
    """

    def __init__(self, hresult=0x80004005, description="", source="", helpcontext=0,
                 helpfile="", number=None):
        super().__init__(hresult, description, source, helpcontext, helpfile, number)
        self._hresult = hresult & 0xFFFFFFFF
        self._description = description
        self._source = source
        self._helpcontext = helpcontext
        self._helpfile = helpfile
        self._number = number

    @property
    def hresult(self):
        """The result code as an unsigned 32-bit number: 0x80040000 + number or
        0x80020009 from a server object, 0x800A0000 + number (or | an engine's
        error number) from the client control, a platform code (0x80020005
        type mismatch, 0x80040154 class not registered, ...) otherwise. For an
        exception a member raised, the member's own code, not 0x80020009 as
        such."""
        return self._hresult

    @property
    def description(self):
        """The failure's text: the toolkit's message (with any appended value
        and, under QUILLON_MESSAGES=en, what the call knew), a database
        engine's own text, or the platform's text for the code when the
        object gave none ("" when there is none either)."""
        return self._description

    @property
    def source(self):
        """Who raised it: a server object's versioned ProgID
        ("QServer.QServer.3"), the client control's application name, a
        database engine's source; "" when the failure came with no error
        information."""
        return self._source

    @property
    def helpcontext(self):
        """The help context number: 0x60000 + the message number for a client
        control's bare message, a database engine's own, else 0."""
        return self._helpcontext

    @property
    def helpfile(self):
        """The help file name; "" when none."""
        return self._helpfile

    @property
    def number(self):
        """The toolkit's message number (100, 1001-1003, 10001-10035,
        20001-20099, or a number the toolkit has no text for) of every
        toolkit failure, those whose code is 0x80020009 included; None when
        the failure is not one of the toolkit's messages (a dispatch refusal,
        a database engine's own text, a Python exception of a published
        object)."""
        return self._number

    def __str__(self):
        if self._description:
            return "0x%08X: %s" % (self._hresult, self._description)
        return "0x%08X" % self._hresult


class UnknownNameError(Error, AttributeError):
    """The object has no member of that name (hresult 0x80020006)."""


class ReleasedError(Error, ValueError):
    """The object was released; its wrapper can no longer reach it."""
)py";

py::object MakeInstance(PyObject* cls, const HostError& e) {
  const int32_t number = e.number();
  return py::reinterpret_borrow<py::object>(cls)(
      e.hresult(), StrFromUtf16(e.description()), StrFromUtf16(e.source()), e.help_context(),
      StrFromUtf16(e.help_file()), number != 0 ? py::object(py::int_(number)) : py::none());
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

int32_t HostError::DerivedNumber(uint32_t hresult, uint32_t help_context) {
  const uint32_t low = hresult & 0xFFFFu;
  // A server object's bare message: only numbers the toolkit has a text
  // for, as the same facility holds the platform's own codes
  // (0x80040154 ...).
  if ((hresult & 0xFFFF0000u) == 0x80040000u && !MessageText(static_cast<int>(low)).empty()) {
    return static_cast<int32_t>(low);
  }
  // The client control's bare message names its number twice; a recordset
  // failure (0x800A0000 | the binding's code) does not.
  if ((hresult & 0xFFFF0000u) == 0x800A0000u && low != 0 && help_context == 0x60000u + low) {
    return static_cast<int32_t>(low);
  }
  return 0;
}

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
                    std::u16string(help_file.view()), HostError::Kind::kError,
                    com::MessageNumberOf(info.get()));
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

#include "serve.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "dispatch_object.h"
#include "errors.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/errors.h"
#include "quillon/component/remote.h"
#include "quillon/serving/debug_object.h"
#include "quillon/serving/loop.h"

namespace py = pybind11;

namespace quillon::python {
namespace {

// Gives up the loop's reference at the end of the request whatever the page
// did with the object: the response goes out (or, after a failure, is
// dropped) now and not whenever a reference kept by the page dies. A page
// that kept the object finds it released (quillon.ReleasedError).
class ReleaseAtEnd {
 public:
  explicit ReleaseAtEnd(py::object& srv) : srv_(srv) {}
  ~ReleaseAtEnd() {
    if (py::isinstance<DispatchObject>(srv_)) srv_.cast<DispatchObject&>().Release();
  }
  ReleaseAtEnd(const ReleaseAtEnd&) = delete;
  ReleaseAtEnd& operator=(const ReleaseAtEnd&) = delete;

 private:
  py::object& srv_;
};

// A debugged request: an offline-debug QServer (started from a property
// bag, as a host debugging a page starts it) gets the forwarded request
// through DebugInit, the page runs on it, and DebugExit gives the answer.
// The page's exception fails the call with its text, which the monitor
// shows as "<ProgID> : <text>".
com::HRESULT DebugRequest(py::module_& module, const py::object& page, com::BSTR environment,
                          const com::VARIANT& body, com::BSTR* header,
                          com::VARIANT* response_body) {
  py::gil_scoped_acquire locked;
  py::object srv;
  ReleaseAtEnd release(srv);
  try {
    srv = module.attr("CreateObject")("QServer.QServer");
    module.attr("LoadFromPropertyBag")(srv);
    com::ComPtr<com::IDispatch> object = DispatchOf(srv);
    com::VARIANT init[2];
    init[0].vt = com::VT_BSTR;
    init[0].bstrVal = environment;
    init[1] = body;  // borrowed: neither is cleared here
    com::HRESULT hr =
        com::InvokeByName(object.get(), u"DebugInit", com::DISPATCH_METHOD, init, nullptr, nullptr);
    if (com::Failed(hr)) return hr;
    page(srv);
    com::VARIANT exit[2];
    exit[0].vt = com::VT_BYREF | com::VT_BSTR;
    exit[0].pbstrVal = header;
    exit[1].vt = com::VT_BYREF | com::VT_VARIANT;
    exit[1].pvarVal = response_body;
    return com::InvokeByName(object.get(), u"DebugExit", com::DISPATCH_METHOD, exit, nullptr,
                             nullptr);
  } catch (py::error_already_set& error) {
    // What the developer sees in the browser: the exception as Python
    // prints its last line ("RuntimeError: text"); the traceback goes to
    // standard error below, where the debugger's console is.
    const std::u16string text = com::Utf8ToUtf16(
        py::str(error.type().attr("__name__")).cast<std::string>() + ": " +
        py::str(error.value()).cast<std::string>());
    error.restore();
    PyErr_PrintEx(0);
    return com::ReportError(com::DISP_E_EXCEPTION, text, u"quillon.serve", nullptr, 0);
  }
}

void ServeDebug(py::module_ module, const py::object& page, const std::string& project) {
  std::unique_ptr<com::Publication> publication;
  const com::HRESULT hr = serving::PublishDebugObject(
      project,
      [&module, &page](com::BSTR environment, const com::VARIANT& body, com::BSTR* header,
                       com::VARIANT* response_body) {
        return DebugRequest(module, page, environment, body, header, response_body);
      },
      {}, &publication);
  if (com::Failed(hr)) ThrowHresult(hr, com::Utf8ToUtf16(" (publishing " + project + ".QuillonDebug)"));
  py::print("quillon:", project + ".QuillonDebug", "waits for the monitor at",
            publication->path(), py::arg("file") = py::module_::import("sys").attr("stderr"));
  py::gil_scoped_release unlocked;  // while the loop waits for a request
  publication->Serve();
}

void Serve(py::module_ module, const py::object& page) {
  if (const char* project = std::getenv(serving::kDebugProjectVariable); project && *project) {
    ServeDebug(module, page, project);
    return;
  }
  const py::object create = module.attr("CreateObject");
  const py::object load = module.attr("LoadFromStream");
  py::gil_scoped_release unlocked;  // while the loop waits for a request
  serving::ServeRequests([&] {
    py::gil_scoped_acquire locked;
    py::object srv;
    ReleaseAtEnd release(srv);
    try {
      srv = create("QServer.QServer");
      load(srv);  // reads the current request
      page(srv);
    } catch (py::error_already_set& error) {
      // What the object has collected must not go out when it is released
      // below; the loop answers 500 instead.
      serving::AbandonCurrentResponse();
      std::string text = error.what();
      // The traceback to standard error, as an uncaught exception would.
      error.restore();
      PyErr_PrintEx(0);  // 0: no sys.last_traceback keeping the frame alive
      throw std::runtime_error(text);
    }
  });
}

}  // namespace

void FailRequestOfFailedScript() {
  // The interpreter records an uncaught exception in sys.last_value (and,
  // from 3.12, sys.last_exc) when it prints it, whatever sys.excepthook
  // does; exit handlers run after that. SystemExit is no failure and is
  // not recorded.
  try {
    const py::module_ sys = py::module_::import("sys");
    if (py::hasattr(sys, "last_exc") || py::hasattr(sys, "last_value")) {
      serving::FailCurrentRequest();
    }
  } catch (const py::error_already_set&) {
    // Without sys there is nothing to look at.
  }
}

void RegisterServe(py::module_& m) {
  m.def(
      "serve", [m](const py::object& page) { Serve(m, page); }, py::arg("page"),
      R"doc(Runs page(srv) once per request with a started QServer object.

Started by a web server as a FastCGI application, the program answers every
request of its life; started as CGI, it answers its one request. srv is what
CreateObject("QServer.QServer") and LoadFromStream give, on the current
request; it is released when page returns, which writes the response. A page
that raises answers its request with "500 Internal Server Error" (the
traceback goes to standard error) and the loop goes on.

With QUILLON_DEBUG_PROJECT=<project> in the environment, serve publishes the
debug object "<project>.QuillonDebug" instead and runs page(srv) for every
request the monitor (qmonitor, run by the web server as the page's CGI
program) forwards, so the page can be stepped through under pdb or
debugpy.)doc");
}

}  // namespace quillon::python

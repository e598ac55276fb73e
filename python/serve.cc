#include "serve.h"

#include <stdexcept>
#include <string>

#include "dispatch_object.h"
#include "quillon/server/serve.h"

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

void Serve(py::module_ module, const py::object& page) {
  const py::object create = module.attr("CreateObject");
  const py::object load = module.attr("LoadFromStream");
  py::gil_scoped_release unlocked;  // while the loop waits for a request
  server::ServeRequests([&] {
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
      server::AbandonCurrentResponse();
      std::string text = error.what();
      // The traceback to standard error, as an uncaught exception would.
      error.restore();
      PyErr_PrintEx(0);  // 0: no sys.last_traceback keeping the frame alive
      throw std::runtime_error(text);
    }
  });
}

}  // namespace

void RegisterServe(py::module_& m) {
  m.def(
      "serve", [m](const py::object& page) { Serve(m, page); }, py::arg("page"),
      R"doc(Runs page(srv) once per request with a started QServer object.

Started by a web server as a FastCGI application, the program answers every
request of its life; started as CGI, it answers its one request. srv is what
CreateObject("QServer.QServer") and LoadFromStream give, on the current
request; it is released when page returns, which writes the response. A page
that raises answers its request with "500 Internal Server Error" (the
traceback goes to standard error) and the loop goes on.)doc");
}

}  // namespace quillon::python

// The Python module `quillon`: an automation host for scripts.
//
//   import quillon
//   srv = quillon.CreateObject("QServer.QServer")
//   quillon.LoadFromStream(srv)      # a live CGI run: reads the request
//   srv.WriteString("Hello, " + srv.GetStringData("name", 0))
//   del srv                          # released: the response is written
//
// The same page on the serving loop (CGI or FastCGI, one call per request):
//   quillon.serve(lambda srv: srv.WriteString("Hello"))
//
// Page helpers (page_helpers.h): quillon.escape(text), srv.value(name),
// srv.values(name), srv.header(name, value), srv.redirect(location).
#include <pybind11/pybind11.h>

#include "dispatch_object.h"
#include "errors.h"
#include "page_helpers.h"
#include "publish.h"
#include "serve.h"
#include "values.h"

PYBIND11_MODULE(quillon, m) {
  m.doc() =
      "Automation host: creates components by ProgID and calls them by member name "
      "through IDispatch.";
  quillon::python::RegisterErrors(m);
  quillon::python::RegisterValues(m);
  quillon::python::RegisterDispatch(m);
  quillon::python::RegisterPageHelpers(m);
  quillon::python::RegisterServe(m);
  quillon::python::RegisterPublish(m);
}

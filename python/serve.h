// quillon.serve(page): the serving loop of quillon/serving/loop.h for
// Python pages.
#ifndef QUILLON_PYTHON_SERVE_H_
#define QUILLON_PYTHON_SERVE_H_

#include <pybind11/pybind11.h>

namespace quillon::python {

void RegisterServe(pybind11::module_& m);

// At interpreter exit, before the live objects are released: when the
// script is ending by an uncaught exception (already printed to standard
// error by then), the current request failed, so that a server object
// released next answers 500 instead of reporting success with what the
// script had collected.
void FailRequestOfFailedScript();

}  // namespace quillon::python

#endif  // QUILLON_PYTHON_SERVE_H_

// quillon.serve(page): the serving loop of quillon/server/serve.h for
// Python pages.
#ifndef QUILLON_PYTHON_SERVE_H_
#define QUILLON_PYTHON_SERVE_H_

#include <pybind11/pybind11.h>

namespace quillon::python {

void RegisterServe(pybind11::module_& m);

}  // namespace quillon::python

#endif  // QUILLON_PYTHON_SERVE_H_

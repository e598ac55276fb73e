// The page helpers of the Python door: quillon.escape(text), and what the
// wrapper of a server object (quillon.ServerObject, a quillon.Dispatch)
// offers besides its automation members, for the things every page writes
// by hand:
//
//   name = srv.value("name", default="")      # no exception for a missing field
//   tags = srv.values("tag")                  # every value of a field
//   srv.header("Content-Disposition", text)   # one line: CR/LF refused
//   srv.redirect("/cgi-bin/list.py")          # Status 302 and Location
//
// They are thin: each calls the documented members (GetSubIndexCount,
// GetStringData, AddHeader) through IDispatch like any other call.
#ifndef QUILLON_PYTHON_PAGE_HELPERS_H_
#define QUILLON_PYTHON_PAGE_HELPERS_H_

#include <pybind11/pybind11.h>

#include "dispatch_object.h"

namespace quillon::python {

// The wrapper of a server object (one whose member table is IQServer's).
// Its helper names are lower case: automation names ignore case, so on
// another object `value` would hide a member such as an HTML tag's Value.
class ServerObject : public DispatchObject {
 public:
  using DispatchObject::DispatchObject;
};

// Whether an object with `table` gets a ServerObject wrapper.
bool IsServerObject(const com::MemberTable* table);

// quillon.ServerObject and quillon.escape; after RegisterDispatch.
void RegisterPageHelpers(pybind11::module_& m);

}  // namespace quillon::python

#endif  // QUILLON_PYTHON_PAGE_HELPERS_H_

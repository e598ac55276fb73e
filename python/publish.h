// quillon.publish: a Python object offered to other processes as an
// automation object under a ProgID (a page program's debug object while it
// runs under pdb), and the loop that serves its calls.
//
//   class Debug:
//       def StartDebug(self, env, body, header, resp_body):
//           header.value = "Content-Type: text/html\r\n"
//           resp_body.value = b"<p>hello</p>"
//
//   with quillon.publish("Proj.QuillonDebug", Debug(), allow_users=["www-data"],
//                        members=["StartDebug"]):
//       quillon.serve_objects()
//
// Names: GetIDsOfNames gives each exposed name a DISPID, in the order first
// asked for; names match without regard to case when none has the exact
// spelling. Exposed are the names given as members=[...], or, without
// them, every public attribute (not starting with "_"). A peer of another
// process reaches whatever is exposed: name the members of an object that
// has more than its callers need.
// Calls: a callable attribute is called with the arguments in declaration
// order (as quillon values, see values.h); its return value is the result.
// A plain attribute is read by a property get and set by a property put; a
// callable is never replaced (a put on it is DISP_E_MEMBERNOTFOUND, as for
// a method without a property).
// By-reference arguments arrive as quillon.Ref objects: .value holds the
// caller's value, and whatever the method leaves in .value goes back to the
// caller (converted to the parameter's type for a typed reference).
// An exception escaping the method becomes DISP_E_EXCEPTION with EXCEPINFO
// (source = the ProgID, description = "<Type>: <message>", scode E_FAIL) and
// the same error information.
// Threads: calls run on the thread that serves (serve / serve_objects /
// process_pending), or on the publication's own thread when
// serve_on_thread=True, always holding the interpreter lock.
#ifndef QUILLON_PYTHON_PUBLISH_H_
#define QUILLON_PYTHON_PUBLISH_H_

#include <pybind11/pybind11.h>

namespace quillon::python {

// quillon.publish, quillon.Publication, quillon.Ref, quillon.serve_objects.
void RegisterPublish(pybind11::module_& m);

}  // namespace quillon::python

#endif  // QUILLON_PYTHON_PUBLISH_H_

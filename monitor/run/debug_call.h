// The call into a server application's debug object: create it from its
// ProgID, call its StartDebug method by name, and sort the outcome into the
// cases a debug run reports.
//
// StartDebug(environment text, request body, ByRef header As String,
// ByRef body As Variant): the body is a one-dimensional byte array whose
// last element is a zero byte that is not part of the body, or an empty
// variant when the request has none.
#ifndef QUILLON_MONITOR_RUN_DEBUG_CALL_H_
#define QUILLON_MONITOR_RUN_DEBUG_CALL_H_

#include <string>
#include <string_view>

#include "quillon/component/com_ptr.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/remote.h"
#include "quillon/component/variant.h"

namespace quillon::monitor {

// The debug object's ProgID for a project: the name + ".QuillonDebug".
std::u16string DebugProgId(std::string_view project_name);

// Creates the object named by `progid` and asks it for IDispatch: a
// publication under the name served by a user `trust` accepts, else the
// registry's class. This is the one place that knows how an object is
// created; the failure code is returned as the platform gave it
// (CO_E_CLASSSTRING for an unknown ProgID, REGDB_E_CLASSNOTREG ...).
com::HRESULT CreateDebugObject(std::u16string_view progid, const com::ConnectOptions& trust,
                               com::ComPtr<com::IDispatch>* object);

struct DebugCallOutcome {
  enum class Kind {
    kSuccess,        // header and body hold the answer
    kCreateFailed,   // hr says why; description is DescribeFailure(hr)
    kObjectError,    // the object reported an error; description is its text
    kOtherFailure,   // the call failed without a reported error (hr)
  };
  Kind kind = Kind::kOtherFailure;
  com::HRESULT hr = com::S_OK;
  std::u16string description;
  std::u16string header;
  com::Variant body;
};

// Creates the object (under `trust`) and calls StartDebug with
// `environment` and `body`
// (passed as given: a byte array or EMPTY). An error the object reports is
// either DISP_E_EXCEPTION with its description in the exception
// information (a deferred fill-in is run first), or another failure code
// with an error object left on the calling thread; any error object from
// before the call is cleared first so that it is never taken for the
// call's. The object is released before returning, unless `keep` is given:
// then it receives the object (debug runs that keep it until the answer has
// been looked at).
DebugCallOutcome CallStartDebug(std::u16string_view progid, std::u16string_view environment,
                                const com::Variant& body, const com::ConnectOptions& trust,
                                com::ComPtr<com::IDispatch>* keep = nullptr);

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_RUN_DEBUG_CALL_H_

// quillon.Dispatch: a Python handle on one automation object, reached only
// through GetIDsOfNames and Invoke (plus IDispatchMembers, when the object
// answers it, to learn which parameters are passed by reference).
//
// Lifetime: the wrapper holds one reference, given up when the wrapper dies,
// on _release(), at the end of a with-block, or at interpreter exit (in the
// reverse order of creation, before Python tears its modules down). Calls on
// a released wrapper raise quillon.ReleasedError.
//
// Threads: objects are apartment-threaded; the module releases the
// interpreter lock during each call (a call may wait on the network) and
// relies on the script to call an object from the thread that made it.
#ifndef QUILLON_PYTHON_DISPATCH_OBJECT_H_
#define QUILLON_PYTHON_DISPATCH_OBJECT_H_

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/interfaces.h"
#include "interface_text.h"

namespace quillon::python {

namespace com = quillon::com;

class DispatchObject {
 public:
  explicit DispatchObject(com::ComPtr<com::IDispatch> object);
  ~DispatchObject();
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  // The object, or quillon.ReleasedError once released.
  com::ComPtr<com::IDispatch> Get() const;
  bool released() const { return !object_; }
  // Gives up the reference; later calls are harmless.
  void Release();

  // GetIDsOfNames for one name, remembered per wrapper. Unknown names raise
  // quillon.UnknownNameError.
  com::DISPID IdOf(const std::string& name);
  // The declaration index of each named parameter of member `name`, as the
  // object's GetIDsOfNames gives it; an unknown name raises TypeError.
  std::vector<com::DISPID> ParamPositions(const std::string& name,
                                          const std::vector<std::string>& params);

  // Invoke with arguments in declaration order (for a put, the value last).
  // By-reference parameters (known from the member table) get references;
  // the result is then the tuple (retval, out1, ...), or (out1, ...) when
  // the member has no result (a single out is a one-element tuple).
  pybind11::object Call(com::DISPID dispid, com::WORD flags,
                        const std::vector<pybind11::handle>& args);

  // Raw form: the result variant itself and the out values.
  void CallRaw(com::DISPID dispid, com::WORD flags, const std::vector<pybind11::handle>& args,
               com::VARIANT* result, std::vector<pybind11::object>* outs, bool* has_result);

  // obj.Name: a property's value, or a bound member to call or index.
  pybind11::object GetAttr(pybind11::handle self, const std::string& name);
  void SetAttr(const std::string& name, pybind11::handle value);

  // The member table, when the object publishes one.
  const com::MemberTable* table() const { return table_; }
  // The member table `object` publishes, or nullptr.
  static const com::MemberTable* TableOf(com::IDispatch* object);
  // The object's interface from its type information (asked once), or
  // nullptr when it gives none.
  const PyInterface* Describe();
  // Its member `name` (ignoring case), or nullptr.
  const PyMember* DescribeMember(const std::string& name);
  std::string Repr() const;
  // Object identity: the IUnknown pointer (fixed once asked for).
  uintptr_t Identity();

  // Releases every live wrapper, newest first.
  static void ReleaseAll();

 private:
  com::ComPtr<com::IDispatch> object_;
  const com::MemberTable* table_ = nullptr;
  std::unordered_map<std::string, com::DISPID> ids_;
  std::optional<uintptr_t> identity_;
  std::shared_ptr<const PyInterface> description_;
  bool described_ = false;
  uint64_t serial_;
};

// A Python object for `object` (None for null).
pybind11::object WrapDispatch(com::IDispatch* object);

// The IDispatch behind a quillon.Dispatch value, or nullptr when `value` is
// something else. A released wrapper raises quillon.ReleasedError.
com::ComPtr<com::IDispatch> DispatchOf(pybind11::handle value);

// quillon.Dispatch, its bound members and enumerators, CreateObject,
// LoadFromStream and LoadFromPropertyBag, and quillon.constants (the
// enumerations of the type libraries in reach).
void RegisterDispatch(pybind11::module_& m);

}  // namespace quillon::python

#endif  // QUILLON_PYTHON_DISPATCH_OBJECT_H_

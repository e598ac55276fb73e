#include "publish.h"

#include <poll.h>
#include <pybind11/stl.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "errors.h"
#include "quillon/component/errors.h"
#include "quillon/component/remote.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "values.h"

namespace py = pybind11;

namespace quillon::python {
namespace {

using com::DISPID;
using com::HRESULT;
using com::VARIANT;
using com::VARTYPE;
using com::WORD;

// A by-reference argument as the Python method sees it.
struct Ref {
  py::object value;
};

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Writes `value` into the storage a by-reference argument points at, as the
// parameter's type, freeing what was there.
HRESULT StoreInto(const VARIANT& ref, com::Variant value) {
  const auto base = static_cast<VARTYPE>(ref.vt & ~com::VT_BYREF);
  if (base == com::VT_VARIANT) {
    com::VariantClear(ref.pvarVal);
    *ref.pvarVal = value.Detach();
    return com::S_OK;
  }
  if (value.vt() != base) {
    if (HRESULT hr = com::VariantChangeType(value.get(), value.get(), 0, base); com::Failed(hr)) {
      return hr;
    }
  }
  VARIANT v = value.Detach();
  switch (base) {
    case com::VT_BSTR:
      com::SysFreeString(*ref.pbstrVal);
      *ref.pbstrVal = v.bstrVal;
      return com::S_OK;
    case com::VT_ARRAY | com::VT_UI1:
    case com::VT_ARRAY | com::VT_VARIANT:
      if (*ref.pparray != nullptr) com::SafeArrayDestroy(*ref.pparray);
      *ref.pparray = v.parray;
      return com::S_OK;
    case com::VT_DISPATCH:
    case com::VT_UNKNOWN:
      if (*ref.ppunkVal != nullptr) (*ref.ppunkVal)->Release();
      *ref.ppunkVal = v.punkVal;
      return com::S_OK;
    case com::VT_I1:
    case com::VT_UI1:
      std::memcpy(ref.byref, &v.llVal, 1);
      return com::S_OK;
    case com::VT_I2:
    case com::VT_UI2:
    case com::VT_BOOL:
      std::memcpy(ref.byref, &v.llVal, 2);
      return com::S_OK;
    case com::VT_I4:
    case com::VT_UI4:
    case com::VT_INT:
    case com::VT_UINT:
    case com::VT_ERROR:
    case com::VT_R4:
      std::memcpy(ref.byref, &v.llVal, 4);
      return com::S_OK;
    default:
      std::memcpy(ref.byref, &v.llVal, 8);
      return com::S_OK;
  }
}

// A Python object behind IDispatch (see publish.h for the rules).
class PythonObject final : public com::IDispatch {
 public:
  PythonObject(py::object target, std::u16string progid,
               std::optional<std::vector<std::string>> members)
      : target_(std::move(target)), progid_(std::move(progid)), members_(std::move(members)) {}

  HRESULT QueryInterface(const com::IID& iid, void** object) override {
    if (iid == com::IID_IUnknown || iid == com::IID_IDispatch) {
      *object = static_cast<com::IDispatch*>(this);
      AddRef();
      return com::S_OK;
    }
    *object = nullptr;
    return com::E_NOINTERFACE;
  }
  com::ULONG AddRef() override { return ++refs_; }
  com::ULONG Release() override {
    com::ULONG n = --refs_;
    if (n == 0) {
      py::gil_scoped_acquire locked;
      delete this;
    }
    return n;
  }
  HRESULT GetTypeInfoCount(com::UINT* count) override {
    *count = 0;
    return com::S_OK;
  }
  HRESULT GetTypeInfo(com::UINT, com::LCID, com::ITypeInfo**) override { return com::E_NOTIMPL; }

  HRESULT GetIDsOfNames(const com::IID&, com::LPOLESTR* names, com::UINT count, com::LCID,
                        DISPID* ids) override {
    py::gil_scoped_acquire locked;
    HRESULT hr = com::S_OK;
    try {
      for (com::UINT i = 0; i < count; ++i) {
        ids[i] = Lookup(com::Utf16ToUtf8(names[i]));
        if (ids[i] == com::DISPID_UNKNOWN) hr = com::DISP_E_UNKNOWNNAME;
      }
    } catch (const py::error_already_set&) {
      return com::E_FAIL;
    }
    return hr;
  }

  // Whether a call on this object is running on the calling thread (under
  // the interpreter lock, so the answer cannot change meanwhile).
  bool InCallOnThisThread() const {
    return depth_ > 0 && calling_thread_ == std::this_thread::get_id();
  }

  HRESULT Invoke(DISPID dispid, const com::IID&, com::LCID, WORD flags, com::DISPPARAMS* params,
                 VARIANT* result, com::EXCEPINFO* excepinfo, com::UINT*) override {
    py::gil_scoped_acquire locked;
    struct Depth {
      PythonObject* self;
      explicit Depth(PythonObject* s) : self(s) {
        ++self->depth_;
        self->calling_thread_ = std::this_thread::get_id();
      }
      ~Depth() { --self->depth_; }
    } depth(this);
    if (dispid < 1 || static_cast<size_t>(dispid) > names_.size()) {
      return com::DISP_E_MEMBERNOTFOUND;
    }
    const std::string& name = names_[dispid - 1];
    const com::UINT count = params != nullptr ? params->cArgs : 0;
    try {
      if ((flags & (com::DISPATCH_PROPERTYPUT | com::DISPATCH_PROPERTYPUTREF)) != 0) {
        // A method is no property: a peer must not replace StartDebug.
        if (PyCallable_Check(target_.attr(name.c_str()).ptr())) return com::DISP_E_MEMBERNOTFOUND;
        if (count != 1) return com::DISP_E_BADPARAMCOUNT;
        target_.attr(name.c_str()) = FromVariant(params->rgvarg[0]);
        return com::S_OK;
      }
      if (params != nullptr && params->cNamedArgs > 0) return com::DISP_E_NONAMEDARGS;
      py::object member = target_.attr(name.c_str());
      py::object value;
      if (PyCallable_Check(member.ptr())) {
        if ((flags & com::DISPATCH_METHOD) == 0 && count == 0) {
          return com::DISP_E_MEMBERNOTFOUND;  // a method read as a property
        }
        py::tuple args(count);
        std::vector<std::pair<com::UINT, py::object>> refs;
        for (com::UINT i = 0; i < count; ++i) {
          const VARIANT& arg = params->rgvarg[count - 1 - i];  // declaration order
          if ((arg.vt & com::VT_BYREF) != 0) {
            py::object ref = py::cast(Ref{FromVariant(arg)});
            refs.emplace_back(count - 1 - i, ref);
            args[i] = ref;
          } else {
            args[i] = FromVariant(arg);
          }
        }
        value = member(*args);
        for (auto& [index, ref] : refs) {
          com::Variant out;
          ToVariant(ref.cast<Ref&>().value, out.get());
          if (HRESULT hr = StoreInto(params->rgvarg[index], std::move(out)); com::Failed(hr)) {
            return hr;
          }
        }
      } else {
        if (count != 0) return com::DISP_E_BADPARAMCOUNT;
        value = member;
      }
      if (result != nullptr) {
        com::VariantClear(result);
        ToVariant(value, result);
      }
      return com::S_OK;
    } catch (py::error_already_set& e) {
      return Raised(e, excepinfo);
    } catch (const std::exception& e) {
      // Conversions throw pybind11's own exceptions (TypeError ...).
      return Report(com::Utf8ToUtf16(e.what()), excepinfo);
    }
  }

 private:
  ~PythonObject() = default;

  DISPID Lookup(const std::string& name) {
    if (name.empty() || name[0] == '_') return com::DISPID_UNKNOWN;
    for (size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == name) return static_cast<DISPID>(i + 1);
    }
    const std::string found = members_ ? NamedMember(name) : PublicAttribute(name);
    if (found.empty()) return com::DISPID_UNKNOWN;
    for (size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == found) return static_cast<DISPID>(i + 1);
    }
    names_.push_back(found);
    return static_cast<DISPID>(names_.size());
  }

  // The exposed member `name` stands for: itself, or the one spelled
  // alike but for case; "" when none is (or the object lacks it now).
  std::string NamedMember(const std::string& name) const {
    const std::string* match = nullptr;
    for (const std::string& member : *members_) {
      if (member == name) {
        match = &member;
        break;
      }
      if (match == nullptr && SameIgnoringCase(member, name)) match = &member;
    }
    return match != nullptr && py::hasattr(target_, match->c_str()) ? *match : std::string();
  }

  // The public attribute `name` stands for, found as NamedMember finds it.
  std::string PublicAttribute(const std::string& name) const {
    if (py::hasattr(target_, name.c_str())) return name;
    py::object names = py::module_::import("builtins").attr("dir")(target_);
    for (py::handle attr : names) {
      std::string candidate = attr.cast<std::string>();
      if (!candidate.empty() && candidate[0] != '_' && SameIgnoringCase(candidate, name)) {
        return candidate;
      }
    }
    return {};
  }

  HRESULT Raised(py::error_already_set& e, com::EXCEPINFO* excepinfo) {
    std::u16string text;
    try {
      py::object type_name = e.type().attr("__name__");
      text = Utf16FromStr(type_name) + u": " + Utf16FromStr(py::str(e.value()));
    } catch (...) {
      text = u"Python exception";
    }
    e.restore();
    PyErr_Clear();
    return Report(text, excepinfo);
  }

  HRESULT Report(const std::u16string& text, com::EXCEPINFO* excepinfo) {
    if (excepinfo != nullptr) {
      *excepinfo = com::EXCEPINFO{};
      excepinfo->bstrSource = com::SysAllocStringLen(progid_.data(), progid_.size());
      excepinfo->bstrDescription = com::SysAllocStringLen(text.data(), text.size());
      excepinfo->scode = com::E_FAIL;
    }
    com::ReportError(com::DISP_E_EXCEPTION, text, progid_, &com::IID_IDispatch, 0);
    return com::DISP_E_EXCEPTION;
  }

  py::object target_;
  std::u16string progid_;
  std::optional<std::vector<std::string>> members_;
  std::vector<std::string> names_;
  std::atomic<com::ULONG> refs_{1};
  int depth_ = 0;
  std::thread::id calling_thread_;
};

// quillon.Publication: the live publication; withdrawn by withdraw(), at
// the end of a with-block or when garbage.
class PyPublication;
std::vector<PyPublication*>& Live() {
  static auto* live = new std::vector<PyPublication*>;
  return *live;
}

class PyPublication {
 public:
  PyPublication(std::unique_ptr<com::Publication> publication, PythonObject* object)
      : publication_(std::move(publication)), object_(object) {
    object_->AddRef();
    Live().push_back(this);
  }
  ~PyPublication() {
    Withdraw();
    Close();
    object_->Release();
  }

  // Withdrawn from inside one of its own calls, the publication cannot be
  // destroyed yet (its loop is still on the stack): it stops serving now
  // and is closed once the call has returned.
  void Withdraw() {
    if (!publication_ || withdrawn_) return;
    withdrawn_ = true;
    std::erase(Live(), this);
    publication_->Withdraw();
    if (!object_->InCallOnThisThread() && in_process_pending_ == 0) Close();
  }
  bool live() const { return !withdrawn_; }
  int fileno() const { return publication_ ? publication_->fd() : -1; }
  std::string path() const { return publication_ ? publication_->path() : ""; }
  void ProcessPending(int timeout_ms) {
    if (!publication_ || withdrawn_) return;
    ++in_process_pending_;
    {
      py::gil_scoped_release unlocked;
      publication_->ProcessPending(timeout_ms);
    }
    --in_process_pending_;
    if (withdrawn_ && in_process_pending_ == 0) Close();
  }

 private:
  void Close() {
    if (!publication_) return;
    // The publication's own thread may be waiting for the interpreter lock
    // inside a call: let it finish while we wait for it.
    py::gil_scoped_release unlocked;
    publication_.reset();
  }

  std::unique_ptr<com::Publication> publication_;
  PythonObject* object_;
  bool withdrawn_ = false;
  int in_process_pending_ = 0;
};

std::unique_ptr<PyPublication> Publish(const std::string& progid, py::object target,
                                       const std::vector<std::string>& allow_users,
                                       bool serve_on_thread,
                                       std::optional<std::vector<std::string>> members) {
  if (members) {
    for (const std::string& member : *members) {
      if (member.empty() || member[0] == '_') {
        throw py::value_error("members: '" + member + "' is no public name");
      }
    }
  }
  const std::u16string name = com::Utf8ToUtf16(progid);
  auto* object = new PythonObject(std::move(target), name, std::move(members));
  com::PublishOptions options;
  options.allow_users = allow_users;
  options.serve_on_thread = serve_on_thread;
  std::unique_ptr<com::Publication> publication;
  HRESULT hr = com::PublishObject(name, object, options, &publication);
  if (com::Failed(hr)) {
    object->Release();
    ThrowHresult(hr, u"(" + name + u")");
  }
  auto result = std::make_unique<PyPublication>(std::move(publication), object);
  object->Release();
  return result;
}

// Serves every live publication until none is left or `timeout` seconds
// have passed; Ctrl-C (KeyboardInterrupt) ends it too.
void ServeObjects(std::optional<double> timeout) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::vector<PyPublication*> live = Live();
    if (live.empty()) return;
    if (timeout &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >=
            *timeout) {
      return;
    }
    std::vector<pollfd> fds;
    for (PyPublication* p : live) fds.push_back(pollfd{p->fileno(), POLLIN, 0});
    int ready = 0;
    {
      py::gil_scoped_release unlocked;
      ready = ::poll(fds.data(), fds.size(), 100);
    }
    for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
      // A call may have withdrawn a publication meanwhile.
      if ((fds[i].revents & POLLIN) != 0 && std::count(Live().begin(), Live().end(), live[i]) > 0) {
        live[i]->ProcessPending(0);
      }
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

}  // namespace

void RegisterPublish(py::module_& m) {
  py::class_<Ref>(m, "Ref", "A by-reference argument: read and set .value.")
      .def(py::init([](py::object value) { return Ref{std::move(value)}; }),
           py::arg("value") = py::none())
      .def_readwrite("value", &Ref::value)
      .def("__repr__", [](const Ref& r) {
        return "quillon.Ref(" + py::repr(r.value).cast<std::string>() + ")";
      });

  py::class_<PyPublication>(m, "Publication", "A Python object published under a ProgID.")
      .def("withdraw", &PyPublication::Withdraw)
      .def("fileno", &PyPublication::fileno)
      .def_property_readonly("path", &PyPublication::path)
      .def_property_readonly("live", &PyPublication::live)
      .def("process_pending", &PyPublication::ProcessPending, py::arg("timeout_ms") = 0,
           "Accepts waiting clients and serves at most one call.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PyPublication& self, py::args) { self.Withdraw(); });

  m.def("publish", &Publish, py::arg("progid"), py::arg("obj"),
        py::arg("allow_users") = std::vector<std::string>{}, py::arg("serve_on_thread") = false,
        py::arg("members") = py::none(),
        R"doc(Publishes `obj` as the automation object of `progid` for other processes.

Only the same user may call, and the users named in allow_users (names or
uids; also $QUILLON_ALLOW_USERS). members names what callers reach (e.g.
["StartDebug"]); without it, every public attribute. Methods are called,
other attributes read and set; a method is never replaced by a caller.
Calls are served by serve_objects() or process_pending(), or on a thread of
their own with serve_on_thread=True.)doc");
  m.def("serve_objects", &ServeObjects, py::arg("timeout") = py::none(),
        "Serves the live publications until all are withdrawn (or `timeout` seconds pass).");
}

}  // namespace quillon::python

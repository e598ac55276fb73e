#include "dispatch_object.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <utility>

#include "errors.h"
#include "page_helpers.h"
#include "serve.h"
#include "quillon/component/bstr.h"
#include "quillon/component/object.h"
#include "quillon/component/persistence.h"
#include "quillon/component/remote.h"
#include "quillon/component/runtime.h"
#include "quillon/component/typeinfo.h"
#include "quillon/component/variant.h"
#include "values.h"
#include <pybind11/eval.h>

namespace py = pybind11;

namespace quillon::python {
namespace {

using com::ComPtr;
using com::DISPID;
using com::HRESULT;
using com::VARIANT;
using com::WORD;

// Wrappers alive in this process by creation order, so that interpreter
// exit can release them newest first. Touched only under the interpreter
// lock. Never destroyed: wrappers may die during interpreter shutdown.
std::map<uint64_t, DispatchObject*>& LiveWrappers() {
  static auto* live = new std::map<uint64_t, DispatchObject*>;
  return *live;
}
uint64_t g_next_serial = 1;

constexpr WORD kCallFlags = com::DISPATCH_METHOD | com::DISPATCH_PROPERTYGET;

bool IsDunder(const std::string& name) {
  return name.size() > 4 && name.compare(0, 2, "__") == 0 &&
         name.compare(name.size() - 2, 2, "__") == 0;
}

std::vector<py::handle> Handles(const py::args& args, size_t skip = 0) {
  std::vector<py::handle> out;
  out.reserve(args.size());
  for (size_t i = skip; i < args.size(); ++i) out.push_back(args[i]);
  return out;
}

// Arguments of an index: obj[a] passes a, obj[a, b] passes a and b.
std::vector<py::handle> IndexArgs(const py::object& key) {
  std::vector<py::handle> out;
  if (py::isinstance<py::tuple>(key)) {
    for (py::handle item : key) out.push_back(item);
  } else {
    out.push_back(key);
  }
  return out;
}

// Reports a failed Invoke. A member's own failure arrives as
// DISP_E_EXCEPTION with its code and texts in the EXCEPINFO; everything else
// is the dispatch machinery refusing the call and carries only its code.
[[noreturn]] void ThrowInvokeFailure(HRESULT hr, com::EXCEPINFO* excep, com::UINT arg_error,
                                     size_t arg_count) {
  if (hr == com::DISP_E_EXCEPTION) {
    if (excep->pfnDeferredFillIn != nullptr) excep->pfnDeferredFillIn(excep);
    HRESULT code = excep->scode;
    if (code == 0) {
      // A 16-bit error number is an application-defined error, reported
      // with the control facility as scripting hosts do.
      code =
          excep->wCode != 0 ? com::MakeHresult(0x800A0000u | excep->wCode) : com::DISP_E_EXCEPTION;
    }
    std::u16string description(com::Bstr::View(excep->bstrDescription));
    if (description.empty()) description = SystemText(code);
    HostError error(code, std::move(description),
                    std::u16string(com::Bstr::View(excep->bstrSource)), excep->dwHelpContext,
                    std::u16string(com::Bstr::View(excep->bstrHelpFile)), HostError::Kind::kError,
                    excep->wReserved);
    com::ClearExcepInfo(excep);
    throw error;
  }
  com::ClearExcepInfo(excep);
  // Error information is never part of such a refusal; drop any left over.
  ComPtr<com::IErrorInfo> stale;
  com::GetErrorInfo(0, stale.put());
  std::u16string detail;
  if (arg_error < arg_count && (hr == com::DISP_E_TYPEMISMATCH || hr == com::DISP_E_PARAMNOTFOUND ||
                                hr == com::DISP_E_OVERFLOW || hr == com::DISP_E_PARAMNOTOPTIONAL)) {
    // arg_error counts from the last argument (DISPPARAMS order).
    detail = u"(argument " + com::Utf8ToUtf16(std::to_string(arg_count - arg_error)) + u")";
  }
  ThrowHresult(hr, detail);
}

// obj.Name for a method or an indexed property: call it, or index it.
class BoundMember {
 public:
  BoundMember(py::object owner, std::string name, DISPID dispid)
      : owner_(std::move(owner)), name_(std::move(name)), dispid_(dispid) {}

  // Keyword arguments name parameters as the member declares them; they
  // are placed at their positions, and parameters left between are passed
  // as missing.
  py::object Call(const py::args& args, const py::kwargs& kwargs) {
    std::vector<py::handle> handles = Handles(args);
    if (kwargs.empty()) return Target().Call(dispid_, kCallFlags, handles);
    std::vector<std::string> names;
    std::vector<py::handle> values;
    for (const auto& [key, value] : kwargs) {
      names.push_back(key.cast<std::string>());
      values.push_back(value);
    }
    const std::vector<DISPID> positions = Target().ParamPositions(name_, names);
    const py::object missing = py::module_::import("quillon").attr("Missing");
    const size_t positional = handles.size();
    for (size_t i = 0; i < names.size(); ++i) {
      const auto at = static_cast<size_t>(positions[i]);
      if (at < positional || (at < handles.size() && !handles[at].is(missing))) {
        throw py::type_error(name_ + "() got multiple values for argument '" + names[i] + "'");
      }
      if (handles.size() <= at) handles.resize(at + 1, missing);
      handles[at] = values[i];
    }
    return Target().Call(dispid_, kCallFlags, handles);
  }
  py::object GetItem(const py::object& key) {
    return Target().Call(dispid_, com::DISPATCH_PROPERTYGET, IndexArgs(key));
  }
  void SetItem(const py::object& key, const py::object& value) {
    std::vector<py::handle> args = IndexArgs(key);
    args.push_back(value);
    Target().Call(dispid_, com::DISPATCH_PROPERTYPUT, args);
  }
  std::string Repr() const {
    return "<bound member " + name_ + " of " + py::repr(owner_).cast<std::string>() + ">";
  }
  // help(obj.Member): the member's signature and use, from the object's
  // type information.
  py::object Doc() {
    const PyMember* m = Target().DescribeMember(name_);
    if (m == nullptr) return py::str("A member of " + py::repr(owner_).cast<std::string>() + ".");
    return py::str(MemberHelp(*m));
  }
  // inspect.signature(obj.Member): the declared parameters, optional ones
  // defaulting to quillon.Missing.
  py::object Signature() {
    const PyMember* m = Target().DescribeMember(name_);
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    if (m == nullptr) {
      return inspect.attr("Signature")(py::make_tuple(parameter(
          "args", parameter.attr("VAR_POSITIONAL"))));
    }
    const py::object missing = py::module_::import("quillon").attr("Missing");
    py::list params;
    bool optional_seen = false;
    for (const PyParam& p : m->params) {
      optional_seen = optional_seen || p.optional;
      py::dict options;
      options["annotation"] = py::str(p.type);
      // After an optional parameter every later one may be left out too.
      if (optional_seen) options["default"] = missing;
      params.append(parameter(p.name, parameter.attr("POSITIONAL_OR_KEYWORD"), **options));
    }
    return inspect.attr("Signature")(params,
                                     py::arg("return_annotation") = ResultAnnotation(*m));
  }

 private:
  DispatchObject& Target() { return owner_.cast<DispatchObject&>(); }

  py::object owner_;  // keeps the object alive as long as the member is
  std::string name_;
  DISPID dispid_;
};

// for item in obj: the object's _NewEnum enumerator.
class Enumerator {
 public:
  explicit Enumerator(ComPtr<com::IEnumVARIANT> items) : items_(std::move(items)) {}

  py::object Next() {
    if (!items_) throw py::stop_iteration();
    // Our own reference for the call: another thread may end the iteration
    // while this one waits without the interpreter lock.
    ComPtr<com::IEnumVARIANT> items = items_;
    com::Variant item;
    com::ULONG fetched = 0;
    HRESULT hr;
    {
      py::gil_scoped_release unlocked;
      hr = items->Next(1, item.get(), &fetched);
    }
    if (com::Failed(hr)) ThrowWithErrorInfo(hr);
    if (hr == com::S_FALSE || fetched == 0) {
      items_.reset();  // done: the enumerator is not kept past its end
      throw py::stop_iteration();
    }
    return FromVariant(*item.get());
  }

 private:
  ComPtr<com::IEnumVARIANT> items_;
};

py::object NewEnumerator(DispatchObject& object) {
  com::Variant result;
  std::vector<py::object> outs;
  bool has_result = false;
  object.CallRaw(com::DISPID_NEWENUM, kCallFlags, {}, result.get(), &outs, &has_result);
  const VARIANT* r = result.get();
  com::IUnknown* source =
      (r->vt == com::VT_UNKNOWN || r->vt == com::VT_DISPATCH) ? r->punkVal : nullptr;
  if (source == nullptr) ThrowHresult(com::DISP_E_TYPEMISMATCH, u"(_NewEnum gave no object)");
  ComPtr<com::IEnumVARIANT> items;
  HRESULT hr = source->QueryInterface(com::IID_IEnumVARIANT, items.put_void());
  if (com::Failed(hr)) ThrowHresult(hr, u"(_NewEnum gave no enumerator)");
  return py::cast(Enumerator(std::move(items)));
}

com::PropertyMap ToPropertyMap(const py::object& props) {
  com::PropertyMap map;
  if (props.is_none()) return map;
  if (!py::hasattr(props, "items"))
    throw py::type_error("props must be a mapping of names to values");
  for (py::handle item : props.attr("items")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    if (!py::isinstance<py::str>(pair[0])) throw py::type_error("property names must be str");
    com::Variant value;
    ToVariant(pair[1], value.get());
    map.emplace_back(Utf16FromStr(pair[0]), std::move(value));
  }
  return map;
}

ComPtr<com::IDispatch> RequireDispatch(const py::object& value) {
  ComPtr<com::IDispatch> object = DispatchOf(value);
  if (!object) throw py::type_error("expected a quillon.Dispatch object");
  return object;
}

py::object CreateObject(const std::string& name) {
  const std::u16string text = com::Utf8ToUtf16(name);
  ComPtr<com::IDispatch> object;
  HRESULT hr;
  if (!text.empty() && text[0] != u'{') {
    // A registered in-process class, else a live object published under
    // the name, else a program's class from the registry.
    {
      py::gil_scoped_release unlocked;
      hr = com::CreateObjectByProgId(text, object.put());
    }
  } else {
    com::CLSID clsid{};
    hr = com::CLSIDFromString(text.c_str(), &clsid);
    if (com::Succeeded(hr)) {
      py::gil_scoped_release unlocked;
      hr = com::CoCreateInstance(clsid, nullptr, com::CLSCTX_ALL, com::IID_IDispatch,
                                 object.put_void());
    } else if (hr != com::CO_E_CLASSSTRING) {
      ThrowHresult(hr, u"(" + text + u")");
    }
  }
  if (hr == com::CO_E_CLASSSTRING) {
    // A name the registry does not know is reported as scripting hosts
    // report it: the class is not registered.
    throw HostError(com::REGDB_E_CLASSNOTREG, SystemText(com::REGDB_E_CLASSNOTREG) + u": " + text);
  }
  if (hr == com::E_ACCESSDENIED || hr == com::E_INVALIDARG) ThrowHresult(hr, u"(" + text + u")");
  if (com::Failed(hr)) ThrowWithErrorInfo(hr);
  return WrapDispatch(object.get());
}

void LoadFromStream(const py::object& target, const py::object& props) {
  ComPtr<com::IDispatch> object = RequireDispatch(target);
  com::PropertyMap map = ToPropertyMap(props);
  ComPtr<com::IPersistStreamInit> persist;
  HRESULT hr = object->QueryInterface(com::IID_IPersistStreamInit, persist.put_void());
  if (com::Failed(hr)) ThrowHresult(hr, u"(the object cannot be loaded from a stream)");
  ComPtr<com::IStream> stream = com::MakeMemoryStream();
  hr = com::WritePropertyStream(stream.get(), map);
  if (com::Failed(hr)) ThrowHresult(hr, u"(a property value has no saved form)");
  stream->Seek(0, 0, nullptr);
  {
    py::gil_scoped_release unlocked;
    hr = persist->Load(stream.get());
  }
  if (com::Failed(hr)) ThrowWithErrorInfo(hr);
}

void LoadFromPropertyBag(const py::object& target, const py::object& props) {
  ComPtr<com::IDispatch> object = RequireDispatch(target);
  com::PropertyMap map = ToPropertyMap(props);
  ComPtr<com::IPersistPropertyBag> persist;
  HRESULT hr = object->QueryInterface(com::IID_IPersistPropertyBag, persist.put_void());
  if (com::Failed(hr)) ThrowHresult(hr, u"(the object cannot be loaded from a property bag)");
  ComPtr<com::IPropertyBag> bag = com::MakePropertyBag(std::move(map));
  {
    py::gil_scoped_release unlocked;
    hr = persist->Load(bag.get(), nullptr);
  }
  if (com::Failed(hr)) ThrowWithErrorInfo(hr);
}

// quillon.constants: every enumeration of the type libraries in reach
// (those of the libraries this process has loaded, and those the registry
// names), each constant by name and each enumeration as an IntEnum. Read
// on first use, since the registry may be chosen after import.
void AddEnums(com::ITypeLib* lib, py::module_& constants, py::dict* enums) {
  for (com::UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    com::TYPEKIND kind{};
    if (com::Failed(lib->GetTypeInfoType(i, &kind)) || kind != com::TKIND_ENUM) continue;
    ComPtr<com::ITypeInfo> info;
    if (com::Failed(lib->GetTypeInfo(i, info.put()))) continue;
    PyEnum e;
    if (com::Failed(DescribeEnum(info.get(), &e)) || e.name.empty() ||
        enums->contains(e.name)) {
      continue;
    }
    py::list members;
    for (const auto& [name, value] : e.values) {
      constants.attr(name.c_str()) = py::int_(value);
      members.append(py::make_tuple(name, value));
    }
    py::object type = py::module_::import("enum").attr("IntEnum")(e.name, members);
    type.attr("__module__") = "quillon.constants";
    constants.attr(e.name.c_str()) = type;
    (*enums)[py::str(e.name)] = type;
  }
}

// Module attributes looked up without the module's own __getattr__.
bool Defines(const py::module_& module, const char* name) {
  return module.attr("__dict__").cast<py::dict>().contains(name);
}

void LoadConstants(py::module_ constants) {
  if (Defines(constants, "_loaded")) return;
  constants.attr("_loaded") = true;
  py::dict enums;
  std::vector<ComPtr<com::ITypeLib>> libs;
  {
    py::gil_scoped_release unlocked;
    libs = com::LoadedTypeLibs();
    std::vector<ComPtr<com::ITypeLib>> registered = com::RegisteredTypeLibs();
    libs.insert(libs.end(), registered.begin(), registered.end());
  }
  for (const ComPtr<com::ITypeLib>& lib : libs) AddEnums(lib.get(), constants, &enums);
}

void RegisterConstants(py::module_& m) {
  py::module_ constants = m.def_submodule(
      "constants",
      "The constants of the enumerations that the components' type libraries declare "
      "(qlDatabaseTypeConstants: qlDAO35, qlDAO30, qlADO, qlDAO36, qlDAOPassThrough), "
      "each also as an enum.IntEnum of that name.");
  py::module_::import("sys").attr("modules")["quillon.constants"] = constants;
  py::object holder = constants;
  // Set as attributes: def() would look the names up first, and a lookup
  // through __getattr__ would read the type libraries at import, before
  // a script has chosen its registry.
  constants.attr("__getattr__") = py::cpp_function([holder](const std::string& name) -> py::object {
    py::module_ target = py::reinterpret_borrow<py::module_>(holder);
    if (!Defines(target, "_loaded")) {
      LoadConstants(target);
      if (Defines(target, name.c_str())) return target.attr(name.c_str());
    }
    throw py::attribute_error("module 'quillon.constants' has no attribute '" + name + "'");
  });
  constants.attr("__dir__") = py::cpp_function([holder]() {
    py::module_ target = py::reinterpret_borrow<py::module_>(holder);
    LoadConstants(target);
    py::list names;
    for (auto item : target.attr("__dict__").cast<py::dict>()) {
      const std::string name = item.first.cast<std::string>();
      if (!name.empty() && name[0] != '_') names.append(item.first);
    }
    return names;
  });
}

void ReleaseAtExit() {
  // A script ending by an uncaught exception has failed its request; the
  // objects released below must not answer it as a success.
  FailRequestOfFailedScript();
  // What the script printed goes out before what released objects write.
  for (const char* name : {"stdout", "stderr"}) {
    try {
      py::object stream = py::module_::import("sys").attr(name);
      if (!stream.is_none()) stream.attr("flush")();
    } catch (const py::error_already_set&) {
      // A closed or replaced stream: nothing to flush.
    }
  }
  DispatchObject::ReleaseAll();
}

}  // namespace

// --- DispatchObject -------------------------------------------------------------

DispatchObject::DispatchObject(ComPtr<com::IDispatch> object)
    : object_(std::move(object)), table_(TableOf(object_.get())), serial_(g_next_serial++) {
  LiveWrappers().emplace(serial_, this);
}

const com::MemberTable* DispatchObject::TableOf(com::IDispatch* object) {
  ComPtr<com::IDispatchMembers> members;
  const com::MemberTable* table = nullptr;
  if (object != nullptr &&
      com::Succeeded(object->QueryInterface(com::IID_IDispatchMembers, members.put_void())) &&
      members && com::Succeeded(members->GetMemberTable(&table))) {
    return table;
  }
  return nullptr;
}

DispatchObject::~DispatchObject() { LiveWrappers().erase(serial_); }

ComPtr<com::IDispatch> DispatchObject::Get() const {
  if (!object_) {
    throw HostError(RPC_E_DISCONNECTED, u"The object was released.", {}, 0, {},
                    HostError::Kind::kReleased);
  }
  return object_;
}

void DispatchObject::Release() {
  // Moved out first: the object's final release may take a while (a
  // response object writes its output then) and must see a consistent
  // wrapper if anything looks.
  ComPtr<com::IDispatch> last = std::move(object_);
  table_ = nullptr;
  last.reset();
}

void DispatchObject::ReleaseAll() {
  auto& live = LiveWrappers();
  std::vector<DispatchObject*> order;
  order.reserve(live.size());
  for (auto it = live.rbegin(); it != live.rend(); ++it) order.push_back(it->second);
  for (DispatchObject* wrapper : order) wrapper->Release();
}

DISPID DispatchObject::IdOf(const std::string& name) {
  auto it = ids_.find(name);
  if (it != ids_.end()) return it->second;
  ComPtr<com::IDispatch> object = Get();
  std::u16string wide = com::Utf8ToUtf16(name);
  com::LPOLESTR names[] = {wide.data()};
  DISPID dispid = com::DISPID_UNKNOWN;
  HRESULT hr;
  {
    py::gil_scoped_release unlocked;
    hr = object->GetIDsOfNames(com::GUID_NULL, names, 1, 0, &dispid);
  }
  if (hr == com::DISP_E_UNKNOWNNAME || hr == com::DISP_E_MEMBERNOTFOUND) {
    throw HostError(hr, SystemText(hr) + u" (" + wide + u")", {}, 0, {},
                    HostError::Kind::kUnknownName);
  }
  if (com::Failed(hr)) ThrowHresult(hr, u"(" + wide + u")");
  ids_.emplace(name, dispid);
  return dispid;
}

std::vector<DISPID> DispatchObject::ParamPositions(const std::string& name,
                                                   const std::vector<std::string>& params) {
  ComPtr<com::IDispatch> object = Get();
  std::vector<std::u16string> wide;
  wide.reserve(params.size() + 1);
  wide.push_back(com::Utf8ToUtf16(name));
  for (const std::string& p : params) wide.push_back(com::Utf8ToUtf16(p));
  std::vector<com::LPOLESTR> names;
  for (std::u16string& w : wide) names.push_back(w.data());
  std::vector<DISPID> ids(names.size(), com::DISPID_UNKNOWN);
  {
    py::gil_scoped_release unlocked;
    object->GetIDsOfNames(com::GUID_NULL, names.data(), static_cast<com::UINT>(names.size()), 0,
                          ids.data());
  }
  for (size_t i = 0; i < params.size(); ++i) {
    if (ids[i + 1] < 0) {
      throw py::type_error(name + "() got an unexpected keyword argument '" + params[i] + "'");
    }
  }
  return std::vector<DISPID>(ids.begin() + 1, ids.end());
}

void DispatchObject::CallRaw(DISPID dispid, WORD flags, const std::vector<py::handle>& args,
                             VARIANT* result, std::vector<py::object>* outs, bool* has_result) {
  ComPtr<com::IDispatch> object = Get();
  const bool is_put = (flags & (com::DISPATCH_PROPERTYPUT | com::DISPATCH_PROPERTYPUTREF)) != 0;
  const com::MemberInfo* member = table_ != nullptr ? table_->Find(dispid, flags) : nullptr;

  // Which parameters are by reference (declaration order). Those past the
  // given arguments are passed too, as references to EMPTY, so that
  // `header, body = obj.Outs()` works without arguments.
  size_t count = args.size();
  std::vector<bool> by_ref;
  if (member != nullptr && !is_put) {
    by_ref.assign(member->param_count, false);
    for (size_t i = 0; i < member->param_count; ++i) {
      if ((member->param_types[i] & com::VT_BYREF) != 0) {
        by_ref[i] = true;
        count = std::max(count, i + 1);
      }
    }
  }
  by_ref.resize(std::max(by_ref.size(), count), false);

  // Everything the call owns, cleared whatever happens.
  struct Frame {
    std::vector<VARIANT> slots;    // declaration order
    std::vector<VARIANT> holders;  // what by-reference slots point at
    std::vector<ExplicitVariant*> referred;
    ~Frame() {
      for (VARIANT& v : slots) com::VariantClear(&v);
      for (VARIANT& v : holders) com::VariantClear(&v);
      for (ExplicitVariant* e : referred) e->EndCall();
    }
  } frame;
  frame.slots.resize(count);
  frame.holders.resize(count);
  frame.referred.reserve(count);
  std::vector<ExplicitVariant*> explicit_ref(count, nullptr);

  for (size_t i = 0; i < count; ++i) {
    VARIANT& slot = frame.slots[i];
    if (i < args.size()) {
      py::handle arg = args[i];
      auto* explicit_value =
          py::isinstance<ExplicitVariant>(arg) ? arg.cast<ExplicitVariant*>() : nullptr;
      if (explicit_value != nullptr && explicit_value->byref()) {
        explicit_value->ReferTo(&slot);
        frame.referred.push_back(explicit_value);
        explicit_ref[i] = explicit_value;
      } else if (by_ref[i]) {
        ToVariant(arg, &frame.holders[i]);
        slot.vt = com::VT_BYREF | com::VT_VARIANT;
        slot.pvarVal = &frame.holders[i];
      } else {
        ToVariant(arg, &slot);
      }
    } else if (by_ref[i]) {
      slot.vt = com::VT_BYREF | com::VT_VARIANT;
      slot.pvarVal = &frame.holders[i];
    } else {
      slot.vt = com::VT_ERROR;  // left out in the middle
      slot.scode = com::DISP_E_PARAMNOTFOUND;
    }
  }

  std::vector<VARIANT> reversed(frame.slots.rbegin(), frame.slots.rend());
  DISPID put_id = com::DISPID_PROPERTYPUT;
  com::DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), is_put ? &put_id : nullptr,
                         static_cast<com::UINT>(count), is_put ? 1u : 0u};
  com::EXCEPINFO excep{};
  com::UINT arg_error = ~0u;
  HRESULT hr;
  {
    py::gil_scoped_release unlocked;
    hr = object->Invoke(dispid, com::GUID_NULL, 0, flags, &params, result, &excep, &arg_error);
  }
  if (com::Failed(hr)) ThrowInvokeFailure(hr, &excep, arg_error, count);
  com::ClearExcepInfo(&excep);

  *has_result = member == nullptr || member->result != com::VT_EMPTY;
  if (member != nullptr && !is_put) {
    for (size_t i = 0; i < count; ++i) {
      if (!by_ref[i]) continue;
      outs->push_back(explicit_ref[i] != nullptr ? explicit_ref[i]->value()
                                                 : FromVariant(frame.holders[i]));
    }
  }
}

py::object DispatchObject::Call(DISPID dispid, WORD flags, const std::vector<py::handle>& args) {
  com::Variant result;
  std::vector<py::object> outs;
  bool has_result = false;
  CallRaw(dispid, flags, args, result.get(), &outs, &has_result);
  py::object value = FromVariant(*result.get());
  if (outs.empty()) return value;
  py::tuple all(outs.size() + (has_result ? 1 : 0));
  size_t at = 0;
  if (has_result) all[at++] = value;
  for (py::object& out : outs) all[at++] = std::move(out);
  return all;
}

py::object DispatchObject::GetAttr(py::handle self, const std::string& name) {
  if (IsDunder(name)) throw py::attribute_error(name);
  const DISPID dispid = IdOf(name);
  if (table_ != nullptr) {
    const com::MemberInfo* get = nullptr;
    const com::MemberInfo* method = nullptr;
    for (const com::MemberInfo& m : table_->members) {
      if (m.dispid != dispid) continue;
      if (m.kind == com::DISPATCH_PROPERTYGET) get = &m;
      if (m.kind == com::DISPATCH_METHOD) method = &m;
    }
    if (get != nullptr && method == nullptr && get->required == 0) {
      return Call(dispid, com::DISPATCH_PROPERTYGET, {});
    }
    if (get != nullptr || method != nullptr) {
      return py::cast(BoundMember(py::reinterpret_borrow<py::object>(self), name, dispid));
    }
  }
  // Without a table: read it as a property; what refuses that is a method
  // or needs an index, and is called later.
  try {
    return Call(dispid, com::DISPATCH_PROPERTYGET, {});
  } catch (const HostError& e) {
    const auto code = static_cast<HRESULT>(e.hresult());
    if (code != com::DISP_E_MEMBERNOTFOUND && code != com::DISP_E_BADPARAMCOUNT &&
        code != com::DISP_E_PARAMNOTOPTIONAL) {
      throw;
    }
  }
  return py::cast(BoundMember(py::reinterpret_borrow<py::object>(self), name, dispid));
}

void DispatchObject::SetAttr(const std::string& name, py::handle value) {
  if (IsDunder(name)) throw py::attribute_error("cannot set " + name + " on an automation object");
  Call(IdOf(name), com::DISPATCH_PROPERTYPUT, {value});
}

std::string DispatchObject::Repr() const {
  if (!object_) return "<quillon.Dispatch (released)>";
  std::string kind = "object";
  if (table_ != nullptr && table_->interface_name != nullptr) {
    kind = com::Utf16ToUtf8(table_->interface_name);
  }
  return "<quillon.Dispatch " + kind + ">";
}

uintptr_t DispatchObject::Identity() {
  if (identity_) return *identity_;
  if (!object_) return reinterpret_cast<uintptr_t>(this);
  ComPtr<com::IUnknown> unknown;
  if (com::Failed(object_->QueryInterface(com::IID_IUnknown, unknown.put_void()))) {
    identity_ = reinterpret_cast<uintptr_t>(object_.get());
  } else {
    identity_ = reinterpret_cast<uintptr_t>(unknown.get());
  }
  return *identity_;
}

const PyInterface* DispatchObject::Describe() {
  if (described_) return description_.get();
  described_ = true;
  ComPtr<com::IDispatch> object = Get();
  ComPtr<com::ITypeInfo> info;
  HRESULT hr;
  {
    py::gil_scoped_release unlocked;
    com::UINT count = 0;
    hr = object->GetTypeInfoCount(&count);
    if (com::Succeeded(hr)) hr = count > 0 ? object->GetTypeInfo(0, 0, info.put()) : com::E_NOTIMPL;
  }
  if (com::Failed(hr) || !info) return nullptr;
  auto description = std::make_shared<PyInterface>();
  if (com::Succeeded(DescribeInterface(info.get(), description.get()))) {
    description_ = std::move(description);
  }
  return description_.get();
}

const PyMember* DispatchObject::DescribeMember(const std::string& name) {
  const PyInterface* itf = Describe();
  if (itf == nullptr) return nullptr;
  auto fold = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string wanted = fold(name);
  for (const PyMember& m : itf->members) {
    if (fold(m.name) == wanted) return &m;
  }
  return nullptr;
}

py::object WrapDispatch(com::IDispatch* object) {
  if (object == nullptr) return py::none();
  if (IsServerObject(DispatchObject::TableOf(object))) {
    return py::cast(std::make_unique<ServerObject>(ComPtr<com::IDispatch>(object)));
  }
  return py::cast(std::make_unique<DispatchObject>(ComPtr<com::IDispatch>(object)));
}

ComPtr<com::IDispatch> DispatchOf(py::handle value) {
  if (!py::isinstance<DispatchObject>(value)) return nullptr;
  return value.cast<DispatchObject&>().Get();
}

void RegisterDispatch(py::module_& m) {
  py::class_<DispatchObject>(m, "Dispatch", R"doc(
An automation object, reached by member name through IDispatch.

obj.Name reads a property (or gives a bound member for a method or an
indexed property), obj.Name = v writes one, obj.Name(args) calls a method or
reads an indexed property. obj._get(name, *args), obj._put(name, *args,
value) and obj._invoke(dispid, kind, *args) reach anything else. Members
with by-reference parameters return (retval, out1, ...) or their outs.
)doc")
      .def("__getattr__",
           [](py::object self, const std::string& name) {
             return self.cast<DispatchObject&>().GetAttr(self, name);
           })
      .def("__setattr__", [](DispatchObject& self, const std::string& name,
                             py::object value) { self.SetAttr(name, value); })
      .def("__call__",
           [](DispatchObject& self, py::args args) {
             return self.Call(com::DISPID_VALUE, kCallFlags, Handles(args));
           })
      .def("__getitem__",
           [](DispatchObject& self, py::object key) {
             return self.Call(com::DISPID_VALUE, kCallFlags, IndexArgs(key));
           })
      .def("__setitem__",
           [](DispatchObject& self, py::object key, py::object value) {
             std::vector<py::handle> args = IndexArgs(key);
             args.push_back(value);
             self.Call(com::DISPID_VALUE, com::DISPATCH_PROPERTYPUT, args);
           })
      .def("__iter__", [](DispatchObject& self) { return NewEnumerator(self); })
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](DispatchObject& self, py::args) {
             self.Release();
             return false;
           })
      .def("__eq__",
           [](DispatchObject& self, py::object other) -> py::object {
             if (!py::isinstance<DispatchObject>(other))
               return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             return py::bool_(self.Identity() == other.cast<DispatchObject&>().Identity());
           })
      .def("__hash__", [](DispatchObject& self) { return std::hash<uintptr_t>()(self.Identity()); })
      .def("__repr__", &DispatchObject::Repr)
      .def("__dir__",
           [](py::object self) {
             py::list names = py::module_::import("builtins").attr("object").attr("__dir__")(self);
             DispatchObject& object = self.cast<DispatchObject&>();
             if (const PyInterface* itf = object.Describe()) {
               for (const PyMember& member : itf->members) names.append(py::str(member.name));
             } else if (const com::MemberTable* table = object.table()) {
               for (const com::MemberInfo& member : table->members) {
                 names.append(StrFromUtf16(member.name));
               }
             }
             return py::module_::import("builtins").attr("sorted")(py::set(names));
           })
      .def(
          "_get",
          [](DispatchObject& self, const std::string& name, py::args args) {
            return self.Call(self.IdOf(name), com::DISPATCH_PROPERTYGET, Handles(args));
          },
          py::arg("name"), "Reads property `name`, indexed by the arguments.")
      .def(
          "_put",
          [](DispatchObject& self, const std::string& name, py::args args) {
            if (args.size() == 0) throw py::type_error("_put needs a value");
            self.Call(self.IdOf(name), com::DISPATCH_PROPERTYPUT, Handles(args));
          },
          py::arg("name"), "Writes property `name`: indexes first, the value last.")
      .def(
          "_invoke",
          [](DispatchObject& self, int32_t dispid, int kind, py::args args) {
            if (kind <= 0 || kind > 0xF)
              throw py::value_error("kind is a combination of DISPATCH_* flags");
            return self.Call(dispid, static_cast<WORD>(kind), Handles(args));
          },
          py::arg("dispid"), py::arg("kind"),
          "Invoke by dispatch identifier; for a put the value comes last.")
      .def("_dispid", &DispatchObject::IdOf, py::arg("name"),
           "The dispatch identifier of member `name`.")
      .def(
          "_help",
          [](DispatchObject& self) -> py::object {
            const PyInterface* itf = self.Describe();
            if (itf == nullptr) return py::none();
            return py::str(InterfaceHelp(*itf));
          },
          "The object's interface and members as its type information gives them.")
      .def_property_readonly(
          "_interface",
          [](DispatchObject& self) -> py::object {
            const PyInterface* itf = self.Describe();
            if (itf == nullptr) return py::none();
            return py::str(itf->name);
          },
          "The name of the object's interface, from its type information.")
      .def("_release", &DispatchObject::Release,
           "Gives up the object now; later calls raise quillon.ReleasedError.")
      .def_property_readonly("_released", &DispatchObject::released);

  py::class_<BoundMember>(m, "BoundMember", "A method or indexed property of an object.")
      .def("__call__", &BoundMember::Call)
      .def_property_readonly("__signature__", &BoundMember::Signature)
      .def_property_readonly("_doc", &BoundMember::Doc)
      .def("__getitem__", &BoundMember::GetItem)
      .def("__setitem__", &BoundMember::SetItem)
      .def("__repr__", &BoundMember::Repr);

  py::class_<Enumerator>(m, "Enumerator", "Iterates a collection through its _NewEnum.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &Enumerator::Next);

  m.def("CreateObject", &CreateObject, py::arg("progid"),
        R"doc(Creates the object registered under a ProgID or "{CLSID}".

A live object published under the ProgID (quillon.publish, or any program
using the runtime's publications) is connected to first.

An unknown ProgID raises quillon.Error 0x80040154 (class not registered).)doc");
  m.def("LoadFromStream", &LoadFromStream, py::arg("obj"), py::arg("props") = py::none(),
        "Starts a control from saved properties through its stream persistence.");
  m.def("LoadFromPropertyBag", &LoadFromPropertyBag, py::arg("obj"), py::arg("props") = py::none(),
        "Starts a control from a property bag holding `props`.");

  m.attr("DISPATCH_METHOD") = py::int_(com::DISPATCH_METHOD);
  m.attr("DISPATCH_PROPERTYGET") = py::int_(com::DISPATCH_PROPERTYGET);
  m.attr("DISPATCH_PROPERTYPUT") = py::int_(com::DISPATCH_PROPERTYPUT);
  m.attr("DISPATCH_PROPERTYPUTREF") = py::int_(com::DISPATCH_PROPERTYPUTREF);
  m.attr("DISPID_VALUE") = py::int_(com::DISPID_VALUE);
  m.attr("DISPID_NEWENUM") = py::int_(com::DISPID_NEWENUM);

  // help(obj) and help(obj.Member) describe the object's own interface:
  // an instance answers its own __doc__, the class keeps its docstring.
  py::dict scope;
  scope["Dispatch"] = m.attr("Dispatch");
  scope["BoundMember"] = m.attr("BoundMember");
  py::exec(R"py(
class _InstanceDoc:
    def __init__(self, class_doc, attribute):
        self._class_doc = class_doc
        self._attribute = attribute

    def __get__(self, instance, owner=None):
        if instance is None:
            return self._class_doc
        text = getattr(instance, self._attribute)
        return text() if callable(text) else text

Dispatch.__doc__ = _InstanceDoc(Dispatch.__doc__, "_help")
BoundMember.__doc__ = _InstanceDoc(BoundMember.__doc__, "_doc")
)py",
           scope);

  RegisterConstants(m);

  py::module_::import("atexit").attr("register")(py::cpp_function(&ReleaseAtExit));
}

}  // namespace quillon::python

// Member tables and the one generic Invoke / GetIDsOfNames behind every
// dispatch interface of the toolkit.
//
// A class lists its members once, in the documented order, each bound to the
// C++ method of its interface that implements it, with its parameter names
// in the member's signature text:
//
//   inline constexpr auto kDocMemberList = Members<IDoc>(
//       Get<&IDoc::get_Title>(1, u"Title"),
//       Put<&IDoc::put_Title>(1, u"Title"),
//       Function<&IDoc::Find>(2, u"Find(Name, Start)", {.required = 1}),
//       Method<&IDoc::Clear>(3, u"Clear"));
//   inline constexpr InterfaceTable<IDoc> kDocMembers{u"IDoc", &IID_IDoc, kDocMemberList};
//
// Misuse does not compile: a member of another interface, a table given to
// the wrong interface's DispatchImpl, a (name, kind) or (DISPID, kind) pair
// listed twice, or parameter names that do not match the parameters.
//
// Parameter types come from the method's signature: BSTR, int32_t, int16_t,
// VARIANT_BOOL, double, float, VARIANT (passed as the caller gave it, so the
// callee sees by-reference and missing arguments), IDispatch*, and the
// pointer forms of these for by-reference parameters. A Function or Get
// takes its last pointer parameter as the result. A Put's value is its last
// parameter and is not named (callers pass it as DISPID_PROPERTYPUT).
#ifndef QUILLON_COMPONENT_DISPATCH_H_
#define QUILLON_COMPONENT_DISPATCH_H_

#include <array>
#include <concepts>
#include <cstring>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/runtime.h"
#include "quillon/component/types.h"

namespace quillon::com {

// An enumeration that members take as a parameter type, so that hosts see
// its name and constants (type information). A C++ enum type E is bound to
// its description by a constexpr function `DescribeEnum(E)` returning it,
// declared beside E (found by argument-dependent lookup); such parameters
// travel as 32-bit integers.
struct EnumValue {
  std::u16string_view name;
  int32_t value;
};
struct EnumDescription {
  std::u16string_view name;
  GUID guid;  // GUID_NULL: the enumeration has no identity of its own
  std::span<const EnumValue> values;
};

// Calls the C++ method: args holds `argc` arguments in declaration order
// (missing optional ones as VT_ERROR / DISP_E_PARAMNOTFOUND). On a coercion
// failure *bad_arg is the declaration index of the argument.
using Thunk = HRESULT (*)(void* iface, VARIANT* args, UINT argc, VARIANT* result, UINT* bad_arg);

struct MemberInfo {
  DISPID dispid;
  std::u16string_view name;
  std::u16string_view param_names;  // as declared: "DataName, SubIndex"
  WORD kind;  // DISPATCH_METHOD, DISPATCH_PROPERTYGET or DISPATCH_PROPERTYPUT
  bool hidden;
  const VARTYPE* param_types;  // VT_BYREF set for by-reference parameters
  uint8_t param_count;         // what a caller passes (a put's value last)
  uint8_t required;            // leading parameters that may not be left out
  VARTYPE result;              // VT_EMPTY when the member gives no result
  Thunk thunk;
  // Per parameter: the enumeration it is declared with, or nullptr.
  const EnumDescription* const* param_enums;
  // The slot of the C++ method in its interface's table of virtual
  // functions (IUnknown's three come first), as the compiler laid it out.
  size_t (*slot)();

  // The declaration index of the parameter called `name` (ignoring case),
  // or -1. A put's value has no name.
  QUILLON_RUNTIME_API int ParamIndex(std::u16string_view name) const;
  // The name of parameter `index`; empty past the named ones.
  QUILLON_RUNTIME_API std::u16string_view ParamName(size_t index) const;
};

struct MemberTable {
  const char16_t* interface_name;
  const IID* iid;
  std::span<const MemberInfo> members;

  // The member that serves `dispid` for the given invoke flags, or nullptr.
  QUILLON_RUNTIME_API const MemberInfo* Find(DISPID dispid, WORD flags) const;
  // By name, ignoring case; nullptr when there is none.
  QUILLON_RUNTIME_API const MemberInfo* FindByName(std::u16string_view name) const;
};

// The description of the interface a member table serves: the one of the
// type library that lists the table (typeinfo.h), or, for a table no
// library lists, one made for it alone.
QUILLON_RUNTIME_API HRESULT GetTypeInfoOfTable(const MemberTable& table, ITypeInfo** info);

QUILLON_RUNTIME_API HRESULT DispatchGetIDsOfNames(const MemberTable& table, LPOLESTR* names,
                                                  UINT count, DISPID* dispids);

// Argument checking, coercion and the call. A failing member turns into
// DISP_E_EXCEPTION with EXCEPINFO filled from the error information the
// member recorded (scode = the member's result).
QUILLON_RUNTIME_API HRESULT DispatchInvoke(const MemberTable& table, void* iface, DISPID dispid,
                                           WORD flags, DISPPARAMS* params, VARIANT* result,
                                           EXCEPINFO* excepinfo, UINT* arg_error);

// A member table's members by DISPID. Walking the table on every call was
// a quarter of the dispatch's own time, and a recordset's fields are called
// millions of times in one transfer. DispatchImpl keeps one per table.
class QUILLON_RUNTIME_API MemberIndex {
 public:
  explicit MemberIndex(const MemberTable& table);
  // What the table's Find(dispid, flags) gives.
  const MemberInfo* Find(DISPID dispid, WORD flags) const;

 private:
  static constexpr uint32_t kNone = ~0u;
  struct Entry {
    DISPID dispid;
    uint32_t get = kNone;
    uint32_t method = kNone;
    uint32_t put = kNone;
  };
  const MemberTable& table_;
  // One per DISPID from the lowest to the highest listed (those between
  // that no member has stay empty) when that span is small, as the
  // toolkit's numbering keeps it; otherwise one per listed DISPID, in
  // order, for a binary search.
  std::vector<Entry> entries_;
  int64_t lowest_ = 0;
  bool dense_ = false;
};

// DispatchInvoke over an index of the table.
QUILLON_RUNTIME_API HRESULT DispatchInvoke(const MemberIndex& index, void* iface, DISPID dispid,
                                           WORD flags, DISPPARAMS* params, VARIANT* result,
                                           EXCEPINFO* excepinfo, UINT* arg_error);

// Late-bound calls from C++ (used by hosts and tests): by name, arguments in
// declaration order. Failures leave the EXCEPINFO in *excepinfo when given.
QUILLON_RUNTIME_API HRESULT InvokeByName(IDispatch* object, std::u16string_view name, WORD flags,
                                         std::span<VARIANT> args, VARIANT* result,
                                         EXCEPINFO* excepinfo);
QUILLON_RUNTIME_API void ClearExcepInfo(EXCEPINFO* excepinfo);

namespace dispatch_internal {

template <class T>
struct Arg;

// Coerces *v to `vt` into storage, taking missing optional arguments as the
// type's empty value.
QUILLON_RUNTIME_API HRESULT CoerceArg(VARIANT* v, VARTYPE vt, VARIANT* storage);

template <class Scalar, VARTYPE kVt, auto Field>
struct ScalarArg {
  static constexpr VARTYPE kType = kVt;
  VARIANT storage{};
  HRESULT Prepare(VARIANT* v) { return CoerceArg(v, kVt, &storage); }
  Scalar get() { return storage.*Field; }
  void Finish(VARIANT*) {}
};

template <>
struct Arg<int32_t> : ScalarArg<int32_t, VT_I4, &VARIANT::lVal> {};
template <>
struct Arg<int16_t> : ScalarArg<int16_t, VT_I2, &VARIANT::iVal> {};
template <>
struct Arg<VARIANT_BOOL> : ScalarArg<VARIANT_BOOL, VT_BOOL, &VARIANT::boolVal> {};
template <>
struct Arg<double> : ScalarArg<double, VT_R8, &VARIANT::dblVal> {};
template <>
struct Arg<float> : ScalarArg<float, VT_R4, &VARIANT::fltVal> {};

template <class E>
concept DescribedEnum = std::is_enum_v<E> && requires(E e) {
  { DescribeEnum(e) } -> std::same_as<const EnumDescription&>;
};

template <DescribedEnum E>
struct Arg<E> {
  static constexpr VARTYPE kType = VT_I4;
  static constexpr const EnumDescription* kEnum = &DescribeEnum(E{});
  VARIANT storage{};
  HRESULT Prepare(VARIANT* v) { return CoerceArg(v, VT_I4, &storage); }
  E get() { return static_cast<E>(storage.lVal); }
  void Finish(VARIANT*) {}
};

template <>
struct Arg<BSTR> {
  static constexpr VARTYPE kType = VT_BSTR;
  VARIANT storage{};
  BSTR value = nullptr;
  HRESULT Prepare(VARIANT* v) {
    // Strings are passed through without a copy; only other kinds coerce.
    const VARIANT* d = (v->vt == (VT_BYREF | VT_VARIANT)) ? v->pvarVal : v;
    if (d->vt == VT_BSTR) {
      value = d->bstrVal;
      return S_OK;
    }
    if (d->vt == (VT_BYREF | VT_BSTR)) {
      value = *d->pbstrVal;
      return S_OK;
    }
    HRESULT hr = CoerceArg(v, VT_BSTR, &storage);
    value = storage.bstrVal;
    return hr;
  }
  BSTR get() { return value; }
  void Finish(VARIANT*) { VariantClear(&storage); }
};

template <>
struct Arg<VARIANT> {
  static constexpr VARTYPE kType = VT_VARIANT;
  VARIANT value{};
  HRESULT Prepare(VARIANT* v) {
    value = *v;
    return S_OK;
  }
  VARIANT get() { return value; }
  void Finish(VARIANT*) {}
};

template <>
struct Arg<IDispatch*> {
  static constexpr VARTYPE kType = VT_DISPATCH;
  VARIANT storage{};
  HRESULT Prepare(VARIANT* v) { return CoerceArg(v, VT_DISPATCH, &storage); }
  IDispatch* get() { return storage.pdispVal; }
  void Finish(VARIANT*) { VariantClear(&storage); }
};

// By-reference parameters. The caller's variable is used in place when its
// type matches; otherwise a temporary is passed and, when the caller gave a
// by-reference variant, the result is stored back into it.
QUILLON_RUNTIME_API HRESULT PrepareByRef(VARIANT* v, VARTYPE vt, VARIANT* temp, void** pointer);
QUILLON_RUNTIME_API void FinishByRef(VARIANT* v, VARIANT* temp);

template <class T, VARTYPE kVt>
struct RefArg {
  static constexpr VARTYPE kType = VT_BYREF | kVt;
  VARIANT temp{};
  void* pointer = nullptr;
  HRESULT Prepare(VARIANT* v) { return PrepareByRef(v, kVt, &temp, &pointer); }
  T* get() { return static_cast<T*>(pointer); }
  void Finish(VARIANT* v) { FinishByRef(v, &temp); }
};

template <>
struct Arg<BSTR*> : RefArg<BSTR, VT_BSTR> {};
template <>
struct Arg<VARIANT*> : RefArg<VARIANT, VT_VARIANT> {};
template <>
struct Arg<int32_t*> : RefArg<int32_t, VT_I4> {};
template <>
struct Arg<int16_t*> : RefArg<int16_t, VT_I2> {};
template <>
struct Arg<VARIANT_BOOL*> : RefArg<VARIANT_BOOL, VT_BOOL> {};
template <>
struct Arg<double*> : RefArg<double, VT_R8> {};

// Results: where the member writes, then moved into the caller's VARIANT.
template <class T>
struct Ret;

template <class T, VARTYPE kVt, auto Field>
struct ScalarRet {
  static constexpr VARTYPE kType = kVt;
  T value{};
  T* slot() { return &value; }
  void Store(VARIANT* out) {
    out->vt = kVt;
    out->*Field = value;
  }
};
template <>
struct Ret<int32_t*> : ScalarRet<int32_t, VT_I4, &VARIANT::lVal> {};
template <>
struct Ret<int16_t*> : ScalarRet<int16_t, VT_I2, &VARIANT::iVal> {};
template <>
struct Ret<VARIANT_BOOL*> : ScalarRet<VARIANT_BOOL, VT_BOOL, &VARIANT::boolVal> {};
template <>
struct Ret<double*> : ScalarRet<double, VT_R8, &VARIANT::dblVal> {};
template <>
struct Ret<BSTR*> : ScalarRet<BSTR, VT_BSTR, &VARIANT::bstrVal> {};
template <>
struct Ret<IDispatch**> : ScalarRet<IDispatch*, VT_DISPATCH, &VARIANT::pdispVal> {};
template <>
struct Ret<IUnknown**> : ScalarRet<IUnknown*, VT_UNKNOWN, &VARIANT::punkVal> {};
template <>
struct Ret<VARIANT*> {
  static constexpr VARTYPE kType = VT_VARIANT;
  VARIANT value{};
  VARIANT* slot() { return &value; }
  // Word by word: the member has just written the value as two words,
  // and one 16-byte read of them would wait for both to reach memory.
  void Store(VARIANT* out) {
    uint64_t head;
    uint64_t bits;
    std::memcpy(&head, &value, 8);
    std::memcpy(&bits, &value.llVal, 8);
    // Kept apart, or the compiler joins the two reads into one again.
    asm("" : "+r"(head));
    std::memcpy(out, &head, 8);
    std::memcpy(&out->llVal, &bits, 8);
  }
};

template <class F>
struct Signature;
template <class I, class... A>
struct Signature<HRESULT (I::*)(A...)> {
  using Interface = I;
  using Params = std::tuple<A...>;
  static constexpr size_t kCount = sizeof...(A);
};

template <class P, size_t... Is>
constexpr auto ParamTypes(std::index_sequence<Is...>) {
  return std::array<VARTYPE, sizeof...(Is) + 1>{
      Arg<std::tuple_element_t<Is, P>>::kType..., VT_EMPTY};
}

template <class A>
constexpr const EnumDescription* EnumOf() {
  if constexpr (requires { A::kEnum; }) {
    return A::kEnum;
  } else {
    return nullptr;
  }
}

template <class P, size_t... Is>
constexpr auto ParamEnums(std::index_sequence<Is...>) {
  return std::array<const EnumDescription*, sizeof...(Is) + 1>{
      EnumOf<Arg<std::tuple_element_t<Is, P>>>()..., nullptr};
}

// The slot of a virtual member function, read from its pointer-to-member
// representation under the Itanium C++ ABI (GCC and Clang on every target
// this toolkit builds for): the pointer field holds 1 + the byte offset in
// the table of virtual functions, except on ARM, which keeps the "virtual"
// bit in the adjustment field and the plain offset in the pointer field.
QUILLON_RUNTIME_API size_t VirtualSlotOf(const void* member_pointer, size_t size);

template <auto Fn, bool kHasResult>
struct Binding {
  using Sig = Signature<decltype(Fn)>;
  using I = typename Sig::Interface;
  using P = typename Sig::Params;
  static constexpr size_t kIn = kHasResult ? Sig::kCount - 1 : Sig::kCount;
  static constexpr auto kTypes = ParamTypes<P>(std::make_index_sequence<kIn>());
  static constexpr auto kEnums = ParamEnums<P>(std::make_index_sequence<kIn>());

  static size_t Slot() {
    static constexpr auto kFn = Fn;
    return VirtualSlotOf(&kFn, sizeof kFn);
  }

  static constexpr VARTYPE ResultType() {
    if constexpr (kHasResult) {
      return Ret<std::tuple_element_t<Sig::kCount - 1, P>>::kType;
    } else {
      return VT_EMPTY;
    }
  }

  template <size_t... Is>
  static HRESULT Call(I* self, VARIANT* args, VARIANT* result, UINT* bad_arg,
                      std::index_sequence<Is...>) {
    std::tuple<Arg<std::tuple_element_t<Is, P>>...> prepared;
    HRESULT hr = S_OK;
    size_t failed = 0;
    // Prepare every argument in order, stopping at the first that fails.
    ((Succeeded(hr) ? (hr = std::get<Is>(prepared).Prepare(&args[Is]), failed = Is, 0) : 0), ...);
    if (Failed(hr)) {
      if (bad_arg != nullptr) *bad_arg = static_cast<UINT>(failed);
      // Release what the arguments before the failing one prepared.
      ((Is < failed ? (std::get<Is>(prepared).Finish(&args[Is]), 0) : 0), ...);
      return hr;
    }
    if constexpr (kHasResult) {
      using R = Ret<std::tuple_element_t<Sig::kCount - 1, P>>;
      R ret;
      hr = (self->*Fn)(std::get<Is>(prepared).get()..., ret.slot());
      (std::get<Is>(prepared).Finish(&args[Is]), ...);
      if (Succeeded(hr)) {
        if (result != nullptr) {
          ret.Store(result);
        } else {
          VARIANT discard{};
          ret.Store(&discard);
          VariantClear(&discard);
        }
      }
      return hr;
    } else {
      hr = (self->*Fn)(std::get<Is>(prepared).get()...);
      (std::get<Is>(prepared).Finish(&args[Is]), ...);
      return hr;
    }
  }

  static HRESULT Invoke(void* iface, VARIANT* args, UINT /*argc*/, VARIANT* result,
                        UINT* bad_arg) {
    return Call(static_cast<I*>(iface), args, result, bad_arg, std::make_index_sequence<kIn>());
  }
};

// "Name(First, Second)" split into the name and the parameter list.
struct SignatureText {
  std::u16string_view name;
  std::u16string_view params;
  size_t count = 0;
};

constexpr SignatureText ParseSignature(const char16_t* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  const std::u16string_view s(text, length);
  const size_t open = s.find(u'(');
  if (open == std::u16string_view::npos) return SignatureText{s, {}, 0};
  if (s.back() != u')') throw "a member's signature must end with ')'";
  SignatureText out{s.substr(0, open), s.substr(open + 1, s.size() - open - 2), 0};
  if (!out.params.empty()) {
    out.count = 1;
    for (char16_t c : out.params) out.count += c == u',' ? 1 : 0;
  }
  return out;
}

template <auto Fn, bool kHasResult>
constexpr MemberInfo Make(DISPID id, const char16_t* signature, WORD kind, bool hidden,
                          int required) {
  using B = Binding<Fn, kHasResult>;
  const SignatureText sig = ParseSignature(signature);
  const size_t named = kind == DISPATCH_PROPERTYPUT ? B::kIn - 1 : B::kIn;
  if (sig.count != named) throw "the member's parameter names do not match its parameters";
  if (required > static_cast<int>(B::kIn)) throw "more required parameters than parameters";
  return MemberInfo{id,
                    sig.name,
                    sig.params,
                    kind,
                    hidden,
                    B::kTypes.data(),
                    static_cast<uint8_t>(B::kIn),
                    static_cast<uint8_t>(required < 0 ? B::kIn : static_cast<size_t>(required)),
                    B::ResultType(),
                    &B::Invoke,
                    B::kEnums.data(),
                    &B::Slot};
}

constexpr bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'a' && a[i] <= u'z' ? static_cast<char16_t>(a[i] - 32) : a[i];
    char16_t y = b[i] >= u'a' && b[i] <= u'z' ? static_cast<char16_t>(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace dispatch_internal

// A member bound to a method of interface I.
template <class I>
struct TypedMember {
  MemberInfo info;
};

// The members of interface I in table order; see Members().
template <class I, size_t N>
struct MemberArray {
  std::array<MemberInfo, N> items;
};

// Options of a member: hidden from browsing, and how many leading
// parameters are required (the rest may be left out; -1: all required).
struct MemberOptions {
  bool hidden = false;
  int required = -1;
};

// A method without result.
template <auto Fn>
consteval auto Method(DISPID id, const char16_t* signature, MemberOptions o = {}) {
  using I = typename dispatch_internal::Signature<decltype(Fn)>::Interface;
  return TypedMember<I>{dispatch_internal::Make<Fn, false>(id, signature, DISPATCH_METHOD,
                                                           o.hidden, o.required)};
}
// A method whose last parameter receives its result.
template <auto Fn>
consteval auto Function(DISPID id, const char16_t* signature, MemberOptions o = {}) {
  using I = typename dispatch_internal::Signature<decltype(Fn)>::Interface;
  return TypedMember<I>{dispatch_internal::Make<Fn, true>(id, signature, DISPATCH_METHOD,
                                                          o.hidden, o.required)};
}
template <auto Fn>
consteval auto Get(DISPID id, const char16_t* signature, MemberOptions o = {}) {
  using I = typename dispatch_internal::Signature<decltype(Fn)>::Interface;
  return TypedMember<I>{dispatch_internal::Make<Fn, true>(id, signature, DISPATCH_PROPERTYGET,
                                                          o.hidden, o.required)};
}
template <auto Fn>
consteval auto Put(DISPID id, const char16_t* signature, MemberOptions o = {}) {
  using I = typename dispatch_internal::Signature<decltype(Fn)>::Interface;
  return TypedMember<I>{dispatch_internal::Make<Fn, false>(id, signature, DISPATCH_PROPERTYPUT,
                                                           o.hidden, o.required)};
}

// The table of interface I. Every entry must be a member of I, and no
// (name, kind) or (DISPID, kind) pair may appear twice.
template <class I, class... M>
consteval MemberArray<I, sizeof...(M)> Members(M... members) {
  static_assert((std::is_same_v<M, TypedMember<I>> && ...),
                "every member of a table must belong to the table's interface");
  MemberArray<I, sizeof...(M)> out{{members.info...}};
  for (size_t i = 0; i < out.items.size(); ++i) {
    for (size_t j = i + 1; j < out.items.size(); ++j) {
      const MemberInfo& a = out.items[i];
      const MemberInfo& b = out.items[j];
      if (a.kind != b.kind) continue;
      if (a.dispid == b.dispid) throw "a DISPID is listed twice for the same kind";
      if (dispatch_internal::SameNameIgnoringCase(a.name, b.name)) {
        throw "a name is listed twice for the same kind";
      }
    }
  }
  return out;
}

// A member table typed by its interface, so that it can only serve that
// interface's DispatchImpl.
template <class I>
struct InterfaceTable {
  MemberTable table;

  template <size_t N>
  constexpr InterfaceTable(const char16_t* interface_name, const IID* iid,
                           const MemberArray<I, N>& members)
      : table{interface_name, iid, members.items} {}
  // An interface whose members are not on this platform.
  constexpr InterfaceTable(const char16_t* interface_name, const IID* iid)
      : table{interface_name, iid, {}} {}
};

// The DISPID the table gives `name` (any kind); for code that fires change
// notifications or calls by identifier. Does not compile for a name the
// table lacks.
template <class I, size_t N>
constexpr DISPID DispidOf(const MemberArray<I, N>& members, std::u16string_view name) {
  for (const MemberInfo& m : members.items) {
    if (dispatch_internal::SameNameIgnoringCase(m.name, name)) return m.dispid;
  }
  throw "no member of that name";
}

// Makes a member table known to the runtime while the shared object that
// holds it is loaded, so that tools and tests can list every table in use
// (RegisteredMemberTables, typeinfo.h). DispatchImpl holds one per table.
class QUILLON_RUNTIME_API TableRegistration {
 public:
  explicit TableRegistration(const MemberTable& table);
  ~TableRegistration();
  TableRegistration(const TableRegistration&) = delete;
  TableRegistration& operator=(const TableRegistration&) = delete;

 private:
  const MemberTable& table_;
};

// IDispatch over a static member table, for an interface I (a dual
// interface's abstract class, or a dispatch-only one).
template <class I, const InterfaceTable<I>& kTyped>
class DispatchImpl : public I {
  static constexpr const MemberTable& kTable = kTyped.table;
  // Created when the shared object holding the class is loaded.
  static inline const TableRegistration registered_{kTyped.table};
  // Built at the first call, not at load: a CGI page loads every class of
  // its libraries and calls few.
  static const MemberIndex& Index() {
    static const MemberIndex index{kTyped.table};
    return index;
  }

 protected:
  DispatchImpl() { static_cast<void>(&registered_); }

 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  // The interface's description, built from the member table (typeinfo.h).
  HRESULT GetTypeInfo(UINT index, LCID /*lcid*/, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return GetTypeInfoOfTable(kTable, info);
  }
  HRESULT GetIDsOfNames(REFIID /*iid*/, LPOLESTR* names, UINT count, LCID /*lcid*/,
                        DISPID* dispids) override {
    return DispatchGetIDsOfNames(kTable, names, count, dispids);
  }
  HRESULT Invoke(DISPID dispid, REFIID /*iid*/, LCID /*lcid*/, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_error) override {
    return DispatchInvoke(Index(), static_cast<I*>(this), dispid, flags, params, result,
                          excepinfo, arg_error);
  }

  static const MemberTable& Table() { return kTable; }
};

// IDispatchMembers over the same static table: lets a host learn which
// parameters are by reference (script hosts return their out values). A
// class derives from it and lists
// Entry<C, IDispatchMembers>(IID_IDispatchMembers) in its interface table.
template <class I, const InterfaceTable<I>& kTyped>
class DispatchMembersImpl : public IDispatchMembers {
 public:
  HRESULT GetMemberTable(const MemberTable** table) override {
    if (table == nullptr) return E_POINTER;
    *table = &kTyped.table;
    return S_OK;
  }
};

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_DISPATCH_H_

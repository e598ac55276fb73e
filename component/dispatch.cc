// The generic Invoke behind every member table: argument counting, named
// arguments, missing optionals, coercion, the call, and the hand-over of the
// member's error information to the caller's EXCEPINFO.
#include "quillon/component/dispatch.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/errors.h"
#include "component/runtime_internal.h"

namespace quillon::com {
namespace {

using dispatch_internal::SameNameIgnoringCase;

void FillExcepInfo(HRESULT code, EXCEPINFO* excepinfo) {
  ComPtr<IErrorInfo> info;
  GetErrorInfo(0, info.put());
  if (excepinfo == nullptr) {
    // Hosts that pass no EXCEPINFO read the error object instead.
    if (info) SetErrorInfo(0, info.get());
    return;
  }
  std::memset(excepinfo, 0, sizeof *excepinfo);
  excepinfo->scode = code;
  if (info) {
    info->GetSource(&excepinfo->bstrSource);
    info->GetDescription(&excepinfo->bstrDescription);
    info->GetHelpFile(&excepinfo->bstrHelpFile);
    info->GetHelpContext(&excepinfo->dwHelpContext);
    // The message number has no field of its own; wReserved is this
    // runtime's place for it (0 when the failure has none).
    const int32_t number = MessageNumberOf(info.get());
    if (number > 0 && number <= 0xFFFF) excepinfo->wReserved = static_cast<WORD>(number);
  }
}

// Parameter names are stored as declared, "First, Second".
template <class F>
void ForEachParamName(std::u16string_view list, F&& f) {
  size_t index = 0;
  while (!list.empty()) {
    size_t comma = list.find(u',');
    std::u16string_view name = list.substr(0, comma);
    while (!name.empty() && name.front() == u' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == u' ') name.remove_suffix(1);
    if (f(index++, name)) return;
    if (comma == std::u16string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
}

}  // namespace

std::u16string_view TextOf(const OLECHAR* text) {
  if (text == nullptr) return {};
  size_t n = 0;
  while (text[n] != 0) ++n;
  return {text, n};
}

size_t dispatch_internal::VirtualSlotOf(const void* member_pointer, size_t size) {
  // { ptr, adj }: see the declaration.
  struct Representation {
    uintptr_t ptr;
    ptrdiff_t adj;
  } r{};
  if (size != sizeof r) return SIZE_MAX;
  std::memcpy(&r, member_pointer, sizeof r);
#if defined(__arm__) || defined(__aarch64__)
  if ((r.adj & 1) == 0) return SIZE_MAX;
  return r.ptr / sizeof(void*);
#else
  if ((r.ptr & 1) == 0) return SIZE_MAX;
  return (r.ptr - 1) / sizeof(void*);
#endif
}

int MemberInfo::ParamIndex(std::u16string_view wanted) const {
  int found = -1;
  ForEachParamName(param_names, [&](size_t index, std::u16string_view param) {
    if (!SameNameIgnoringCase(param, wanted)) return false;
    found = static_cast<int>(index);
    return true;
  });
  return found;
}

std::u16string_view MemberInfo::ParamName(size_t wanted) const {
  std::u16string_view found;
  ForEachParamName(param_names, [&](size_t index, std::u16string_view param) {
    if (index != wanted) return false;
    found = param;
    return true;
  });
  return found;
}

const MemberInfo* MemberTable::Find(DISPID dispid, WORD flags) const {
  const MemberInfo* get = nullptr;
  const MemberInfo* method = nullptr;
  const MemberInfo* put = nullptr;
  for (const MemberInfo& m : members) {
    if (m.dispid != dispid) continue;
    if (m.kind == DISPATCH_PROPERTYGET) get = &m;
    if (m.kind == DISPATCH_METHOD) method = &m;
    if (m.kind == DISPATCH_PROPERTYPUT) put = &m;
  }
  if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) return put;
  if ((flags & DISPATCH_METHOD) != 0 && method != nullptr) return method;
  if ((flags & DISPATCH_PROPERTYGET) != 0 && get != nullptr) return get;
  return nullptr;
}

const MemberInfo* MemberTable::FindByName(std::u16string_view name) const {
  for (const MemberInfo& m : members) {
    if (SameNameIgnoringCase(m.name, name)) return &m;
  }
  return nullptr;
}

HRESULT DispatchGetIDsOfNames(const MemberTable& table, LPOLESTR* names, UINT count,
                              DISPID* dispids) {
  if (names == nullptr || dispids == nullptr || count == 0) return E_INVALIDARG;
  const MemberInfo* member = table.FindByName(TextOf(names[0]));
  HRESULT hr = S_OK;
  if (member == nullptr) {
    dispids[0] = DISPID_UNKNOWN;
    hr = DISP_E_UNKNOWNNAME;
  } else {
    dispids[0] = member->dispid;
  }
  // Parameters are named by their declaration index, as hosts expect.
  for (UINT i = 1; i < count; ++i) {
    const int index = member == nullptr ? -1 : member->ParamIndex(TextOf(names[i]));
    dispids[i] = index < 0 ? DISPID_UNKNOWN : index;
    if (index < 0) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

MemberIndex::MemberIndex(const MemberTable& table) : table_(table) {
  const std::span<const MemberInfo> members = table.members;
  for (uint32_t i = 0; i < members.size(); ++i) {
    auto at = std::lower_bound(entries_.begin(), entries_.end(), members[i].dispid,
                               [](const Entry& e, DISPID d) { return e.dispid < d; });
    if (at == entries_.end() || at->dispid != members[i].dispid) {
      at = entries_.insert(at, Entry{members[i].dispid});
    }
    // As in the table's walk, a later member of the same kind wins.
    if (members[i].kind == DISPATCH_PROPERTYGET) at->get = i;
    if (members[i].kind == DISPATCH_METHOD) at->method = i;
    if (members[i].kind == DISPATCH_PROPERTYPUT) at->put = i;
  }
  constexpr int64_t kDenseSpan = 4096;
  if (entries_.empty() ||
      int64_t{entries_.back().dispid} - entries_.front().dispid >= kDenseSpan) {
    return;
  }
  lowest_ = entries_.front().dispid;
  std::vector<Entry> dense(static_cast<size_t>(entries_.back().dispid - lowest_ + 1));
  for (size_t k = 0; k < dense.size(); ++k) dense[k].dispid = static_cast<DISPID>(lowest_ + k);
  for (const Entry& e : entries_) dense[static_cast<size_t>(e.dispid - lowest_)] = e;
  entries_ = std::move(dense);
  dense_ = true;
}

const MemberInfo* MemberIndex::Find(DISPID dispid, WORD flags) const {
  const Entry* at;
  if (dense_) {
    const uint64_t k = static_cast<uint64_t>(int64_t{dispid} - lowest_);
    if (k >= entries_.size()) return nullptr;
    at = &entries_[k];
  } else {
    const auto found = std::lower_bound(entries_.begin(), entries_.end(), dispid,
                                        [](const Entry& e, DISPID d) { return e.dispid < d; });
    if (found == entries_.end() || found->dispid != dispid) return nullptr;
    at = &*found;
  }
  const MemberInfo* members = table_.members.data();
  auto member = [members](uint32_t i) { return i == kNone ? nullptr : &members[i]; };
  if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) return member(at->put);
  if ((flags & DISPATCH_METHOD) != 0 && at->method != kNone) return member(at->method);
  if ((flags & DISPATCH_PROPERTYGET) != 0) return member(at->get);
  return nullptr;
}

namespace {

constexpr UINT kNoSource = ~0u;

// Calls `member` with its `declared` arguments in place; `slot_source[i]`
// is the caller's index of argument i (kNoSource: left out).
[[gnu::always_inline]] inline HRESULT CallMember(const MemberInfo* member, void* iface,
                                                VARIANT* args, UINT declared,
                                                const UINT* slot_source, VARIANT* result,
                                                EXCEPINFO* excepinfo, UINT* arg_error) {
  if (result != nullptr) std::memset(result, 0, sizeof *result);
  // So that a failure is never described by an older error object; most
  // calls find none left over and skip the store.
  if (HasErrorInfo()) SetErrorInfo(0, nullptr);
  constexpr UINT kNoBadArg = ~0u;
  UINT bad = kNoBadArg;
  HRESULT hr = member->thunk(iface, args, declared, result, &bad);
  if (bad != kNoBadArg) {
    // Argument `bad` did not coerce; the member was not called.
    if (arg_error != nullptr && bad < declared && slot_source[bad] != kNoSource) {
      *arg_error = slot_source[bad];
    }
    return hr;
  }
  if (Failed(hr)) {
    FillExcepInfo(hr, excepinfo);
    return DISP_E_EXCEPTION;
  }
  return S_OK;
}

// The arguments placed by the member's parameters, then the call.
[[gnu::noinline]] HRESULT PlaceAndCall(const MemberInfo* member, void* iface, DISPPARAMS* params,
                                       VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_error) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (params == nullptr) params = &none;
  if (params->cArgs > 0 && params->rgvarg == nullptr) return E_INVALIDARG;
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;

  // rgvarg holds the named arguments first (rgdispidNamedArgs says which
  // parameter each one is; a put's value is DISPID_PROPERTYPUT), then the
  // positional ones in reverse order.
  const bool is_put = member->kind == DISPATCH_PROPERTYPUT;
  const UINT given = params->cArgs;
  const UINT named = params->cNamedArgs;
  const UINT declared = member->param_count;
  if (named > given || (named > 0 && params->rgdispidNamedArgs == nullptr)) return E_INVALIDARG;
  const UINT positional = given - named;
  if (given > declared) return DISP_E_BADPARAMCOUNT;
  if (is_put && given != declared) return DISP_E_BADPARAMCOUNT;  // indexes and value, all given

  // slot_source[i]: the rgvarg index that fills parameter i, or kNoSource.
  // Members rarely take more than a handful of parameters, so the common
  // call keeps both arrays on the stack and allocates nothing.
  constexpr UINT kInline = 16;
  VARIANT inline_args[kInline];
  UINT inline_sources[kInline];
  std::unique_ptr<VARIANT[]> heap_args;
  std::unique_ptr<UINT[]> heap_sources;
  VARIANT* args = inline_args;
  UINT* slot_source = inline_sources;
  if (declared > kInline) {
    heap_args.reset(new (std::nothrow) VARIANT[declared]);
    heap_sources.reset(new (std::nothrow) UINT[declared]);
    if (!heap_args || !heap_sources) return E_OUTOFMEMORY;
    args = heap_args.get();
    slot_source = heap_sources.get();
  }
  std::fill_n(slot_source, declared, kNoSource);
  bool value_named = false;
  for (UINT j = 0; j < named; ++j) {
    const DISPID id = params->rgdispidNamedArgs[j];
    UINT slot;
    if (id == DISPID_PROPERTYPUT && is_put) {
      slot = declared - 1;
      value_named = true;
    } else if (id >= 0 && static_cast<UINT>(id) < declared - (is_put ? 1 : 0)) {
      slot = static_cast<UINT>(id);
    } else {
      if (arg_error != nullptr) *arg_error = j;
      return is_put || id != DISPID_PROPERTYPUT ? DISP_E_PARAMNOTFOUND : DISP_E_NONAMEDARGS;
    }
    if (slot < positional || slot_source[slot] != kNoSource) {
      // Named twice, or also given by position.
      if (arg_error != nullptr) *arg_error = j;
      return DISP_E_PARAMNOTFOUND;
    }
    slot_source[slot] = j;
  }
  if (is_put && !value_named) return named == 0 ? DISP_E_PARAMNOTOPTIONAL : DISP_E_PARAMNOTFOUND;
  for (UINT i = 0; i < positional; ++i) slot_source[i] = given - 1 - i;

  for (UINT i = 0; i < declared; ++i) {
    if (slot_source[i] != kNoSource) {
      args[i] = params->rgvarg[slot_source[i]];
    } else {
      args[i].vt = VT_ERROR;
      args[i].scode = DISP_E_PARAMNOTFOUND;
    }
    if (i >= member->required) continue;
    // A required parameter may not be left out; passed as VT_ERROR /
    // PARAMNOTFOUND ("missing") it is refused unless the member takes a
    // VARIANT and judges that itself.
    if (slot_source[i] == kNoSource) return DISP_E_BADPARAMCOUNT;
    if (args[i].vt == VT_ERROR && args[i].scode == DISP_E_PARAMNOTFOUND &&
        (member->param_types[i] & ~VT_BYREF) != VT_VARIANT) {
      if (arg_error != nullptr) *arg_error = slot_source[i];
      return DISP_E_PARAMNOTOPTIONAL;
    }
  }

  return CallMember(member, iface, args, declared, slot_source, result, excepinfo, arg_error);
}

// Most calls (a property read, a method without parameters) pass no
// arguments to a member that takes none: nothing to place or check, and
// no frame of the placing to set up.
[[gnu::always_inline]] inline HRESULT InvokeMember(const MemberInfo* member, void* iface,
                                                  DISPPARAMS* params, VARIANT* result,
                                                  EXCEPINFO* excepinfo, UINT* arg_error) {
  if (member != nullptr && member->param_count == 0 &&
      (params == nullptr || (params->cArgs == 0 && params->cNamedArgs == 0))) {
    return CallMember(member, iface, nullptr, 0, nullptr, result, excepinfo, arg_error);
  }
  return PlaceAndCall(member, iface, params, result, excepinfo, arg_error);
}

}  // namespace

HRESULT DispatchInvoke(const MemberTable& table, void* iface, DISPID dispid, WORD flags,
                       DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                       UINT* arg_error) {
  return InvokeMember(table.Find(dispid, flags), iface, params, result, excepinfo, arg_error);
}

HRESULT DispatchInvoke(const MemberIndex& index, void* iface, DISPID dispid, WORD flags,
                       DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                       UINT* arg_error) {
  return InvokeMember(index.Find(dispid, flags), iface, params, result, excepinfo, arg_error);
}

void ClearExcepInfo(EXCEPINFO* excepinfo) {
  if (excepinfo == nullptr) return;
  SysFreeString(excepinfo->bstrSource);
  SysFreeString(excepinfo->bstrDescription);
  SysFreeString(excepinfo->bstrHelpFile);
  std::memset(excepinfo, 0, sizeof *excepinfo);
}

HRESULT InvokeByName(IDispatch* object, std::u16string_view name, WORD flags,
                     std::span<VARIANT> args, VARIANT* result, EXCEPINFO* excepinfo) {
  if (object == nullptr) return E_POINTER;
  std::u16string copy(name);
  LPOLESTR names[] = {copy.data()};
  DISPID dispid = DISPID_UNKNOWN;
  HRESULT hr = object->GetIDsOfNames(GUID_NULL, names, 1, 0, &dispid);
  if (Failed(hr)) return hr;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put_id = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
    params.rgdispidNamedArgs = &put_id;
    params.cNamedArgs = 1;
  }
  EXCEPINFO local{};
  UINT arg_error = 0;
  hr = object->Invoke(dispid, GUID_NULL, 0, flags, &params, result,
                      excepinfo != nullptr ? excepinfo : &local, &arg_error);
  ClearExcepInfo(&local);
  return hr;
}

}  // namespace quillon::com

// Type libraries and type information over member tables: descriptions are
// made on request from the model a library registered, so there is nothing
// to keep in step by hand.
#include "quillon/component/typeinfo.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "component/runtime_internal.h"
#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/object.h"
#include "quillon/component/registry.h"
#include "quillon/component/runtime.h"

namespace quillon::com {
namespace {

// --- Registered models -------------------------------------------------------------

struct Registered {
  const TypeLibraryModel* model;
  const void* base;  // load address of the shared object that holds the model
};

struct Models {
  std::mutex mutex;
  std::vector<Registered> registered;
  std::vector<const MemberTable*> tables;
  // Models made for tables no library lists; kept for the process.
  std::map<const MemberTable*, std::unique_ptr<std::pair<InterfaceModel, TypeLibraryModel>>>
      lone;
};

Models& TheModels() {
  static auto* models = new Models;  // outlives the libraries' static destructors
  return *models;
}

const void* BaseOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) return nullptr;
  return info.dli_fbase;
}

using dispatch_internal::SameNameIgnoringCase;
constexpr auto View = TextOf;

BSTR NewBstr(std::u16string_view text) {
  BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (s == nullptr) throw std::bad_alloc();
  return s;
}

// Stores `text` into *out when out is given.
void Give(BSTR* out, std::u16string_view text) {
  if (out != nullptr) *out = NewBstr(text);
}

// --- The library's entries ------------------------------------------------------------

enum class Kind { kEnum, kDispatch, kVtable, kCoclass, kIDispatch };

// What one index of a library is, and the enumerations members refer to.
struct Layout {
  std::vector<const EnumDescription*> enums;  // listed first, then referenced ones
  size_t interfaces = 0;
  size_t coclasses = 0;

  size_t Count() const { return enums.size() + interfaces + coclasses; }
  size_t InterfaceIndex(size_t i) const { return enums.size() + i; }
  size_t CoclassIndex(size_t i) const { return enums.size() + interfaces + i; }
};

Layout LayoutOf(const TypeLibraryModel& model) {
  Layout layout;
  layout.enums.assign(model.enums.begin(), model.enums.end());
  for (const InterfaceModel& itf : model.interfaces) {
    for (const MemberInfo& m : itf.table->members) {
      if (m.param_enums == nullptr) continue;
      for (size_t i = 0; i < m.param_count; ++i) {
        const EnumDescription* e = m.param_enums[i];
        if (e != nullptr && std::find(layout.enums.begin(), layout.enums.end(), e) ==
                                layout.enums.end()) {
          layout.enums.push_back(e);
        }
      }
    }
  }
  layout.interfaces = model.interfaces.size();
  layout.coclasses = model.coclasses.size();
  return layout;
}

// References: a type's index; with kVtableBit, a dual interface's vtable
// view; kIDispatchRef, the base every interface here derives from.
constexpr HREFTYPE kVtableBit = 0x80000000u;
constexpr HREFTYPE kIDispatchRef = 0xFFFFFFFEu;

constexpr WORD kPointer = sizeof(void*);
// IUnknown's three slots and IDispatch's four.
constexpr size_t kDispatchSlots = 7;

// IUnknown of an object that answers one interface besides it; created
// with one reference.
template <class Self, class I, const IID& kIid>
class Counted : public I {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == kIid) {
      AddRef();
      *object = static_cast<I*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const ULONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete static_cast<Self*>(this);
    return n;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

class TypeLib;

class TypeInfo final : public Counted<TypeInfo, ITypeInfo, IID_ITypeInfo> {
 public:
  // `lib` is null for the built-in IDispatch description.
  TypeInfo(ComPtr<TypeLib> lib, Kind kind, size_t item);

  HRESULT GetTypeAttr(TYPEATTR** attr) override;
  HRESULT GetTypeComp(ITypeComp** comp) override {
    if (comp != nullptr) *comp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) override;
  HRESULT GetVarDesc(UINT index, VARDESC** desc) override;
  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max_names, UINT* count) override;
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override;
  HRESULT GetImplTypeFlags(UINT index, int32_t* flags) override;
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override;
  HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* arg_error) override;
  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* help_context,
                           BSTR* help_file) override;
  HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR* dll, BSTR* name, WORD* ordinal) override {
    if (dll != nullptr) *dll = nullptr;
    if (name != nullptr) *name = nullptr;
    if (ordinal != nullptr) *ordinal = 0;
    return TYPE_E_BADMODULEKIND;
  }
  HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) override;
  HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void** address) override {
    if (address != nullptr) *address = nullptr;
    return TYPE_E_BADMODULEKIND;
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  HRESULT GetMops(MEMBERID, BSTR* mops) override {
    if (mops == nullptr) return E_INVALIDARG;
    *mops = nullptr;  // no marshalling opcodes: an empty string
    return S_OK;
  }
  HRESULT GetContainingTypeLib(ITypeLib** lib, UINT* index) override;
  void ReleaseTypeAttr(TYPEATTR* attr) override { CoTaskMemFree(attr); }
  void ReleaseFuncDesc(FUNCDESC* desc) override { CoTaskMemFree(desc); }
  void ReleaseVarDesc(VARDESC* desc) override {
    // The constant's VARIANT lives in the same block and owns nothing.
    CoTaskMemFree(desc);
  }

 private:
  friend class Counted<TypeInfo, ITypeInfo, IID_ITypeInfo>;
  ~TypeInfo() = default;

  const TypeLibraryModel& model() const;
  const Layout& layout() const;
  const MemberTable* table() const;
  const EnumDescription& enumeration() const;
  const CoclassModel& coclass() const;
  bool dual() const;
  std::u16string_view TypeName() const;
  size_t TypeIndex() const;
  const MemberInfo* MemberOf(MEMBERID memid) const;
  // The TYPEDESC of a parameter or result of type vt (with enumeration e).
  TYPEDESC Describe(VARTYPE vt, const EnumDescription* e, TYPEDESC* pointee) const;

  ComPtr<TypeLib> lib_;
  Kind kind_;
  size_t item_;  // index into the model's enums, interfaces or coclasses
};

class TypeLib final : public Counted<TypeLib, ITypeLib, IID_ITypeLib> {
 public:
  explicit TypeLib(const TypeLibraryModel& model) : model_(model), layout_(LayoutOf(model)) {
    if (model_.module != nullptr) model_.module->AddObject();
  }

  UINT GetTypeInfoCount() override { return static_cast<UINT>(layout_.Count()); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    if (index >= layout_.Count()) return TYPE_E_ELEMENTNOTFOUND;
    return Make(EntryKind(index), EntryItem(index), info);
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (kind == nullptr) return E_INVALIDARG;
    if (index >= layout_.Count()) return TYPE_E_ELEMENTNOTFOUND;
    switch (EntryKind(index)) {
      case Kind::kEnum: *kind = TKIND_ENUM; break;
      case Kind::kCoclass: *kind = TKIND_COCLASS; break;
      default: *kind = TKIND_DISPATCH; break;
    }
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    for (size_t i = 0; i < layout_.Count(); ++i) {
      if (GuidOf(i) == guid && !(guid == GUID_NULL)) return Make(EntryKind(i), EntryItem(i), info);
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetLibAttr(TLIBATTR** attr) override {
    if (attr == nullptr) return E_INVALIDARG;
    auto* a = static_cast<TLIBATTR*>(CoTaskMemAlloc(sizeof(TLIBATTR)));
    if (a == nullptr) return E_OUTOFMEMORY;
    *a = TLIBATTR{model_.libid, model_.lcid, SYS_WIN32, model_.major, model_.minor,
                  LIBFLAG_FHASDISKIMAGE};
    *attr = a;
    return S_OK;
  }
  HRESULT GetTypeComp(ITypeComp** comp) override {
    if (comp != nullptr) *comp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetDocumentation(int32_t index, BSTR* name, BSTR* doc, DWORD* help_context,
                           BSTR* help_file) override {
    if (index == -1) {
      try {
        Give(name, model_.name);
        Give(doc, model_.doc);
        Give(help_file, model_.help_file);
      } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
      }
      if (help_context != nullptr) *help_context = model_.help_context;
      return S_OK;
    }
    ComPtr<ITypeInfo> info;
    if (HRESULT hr = GetTypeInfo(static_cast<UINT>(index), info.put()); Failed(hr)) return hr;
    return info->GetDocumentation(MEMBERID_NIL, name, doc, help_context, help_file);
  }
  HRESULT IsName(LPOLESTR name, ULONG, BOOL* found) override {
    if (name == nullptr || found == nullptr) return E_INVALIDARG;
    *found = 0;
    std::u16string_view wanted = View(name);
    auto match = [&](std::u16string_view stored) {
      if (*found || !SameNameIgnoringCase(stored, wanted)) return;
      std::copy(stored.begin(), stored.end(), name);  // the stored spelling
      *found = 1;
    };
    for (size_t i = 0; i < layout_.Count(); ++i) {
      match(NameOf(i));
      ForEachMemberName(i, [&](std::u16string_view n, MEMBERID) { match(n); });
    }
    return S_OK;
  }
  HRESULT FindName(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids,
                   uint16_t* found) override {
    if (name == nullptr || infos == nullptr || ids == nullptr || found == nullptr) {
      return E_INVALIDARG;
    }
    const uint16_t room = *found;
    uint16_t given = 0;
    std::u16string_view wanted = View(name);
    for (size_t i = 0; i < layout_.Count() && given < room; ++i) {
      MEMBERID id = MEMBERID_NIL;
      bool hit = SameNameIgnoringCase(NameOf(i), wanted);
      ForEachMemberName(i, [&](std::u16string_view n, MEMBERID m) {
        if (!hit && SameNameIgnoringCase(n, wanted)) {
          hit = true;
          id = m;
        }
      });
      if (!hit) continue;
      if (HRESULT hr = Make(EntryKind(i), EntryItem(i), &infos[given]); Failed(hr)) return hr;
      ids[given++] = id;
    }
    *found = given;
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR* attr) override { CoTaskMemFree(attr); }

  const TypeLibraryModel& model() const { return model_; }
  const Layout& layout() const { return layout_; }

  Kind EntryKind(size_t index) const {
    if (index < layout_.enums.size()) return Kind::kEnum;
    if (index < layout_.enums.size() + layout_.interfaces) return Kind::kDispatch;
    return Kind::kCoclass;
  }
  size_t EntryItem(size_t index) const {
    if (index < layout_.enums.size()) return index;
    if (index < layout_.enums.size() + layout_.interfaces) return index - layout_.enums.size();
    return index - layout_.enums.size() - layout_.interfaces;
  }
  size_t EnumIndex(const EnumDescription* e) const {
    return static_cast<size_t>(std::find(layout_.enums.begin(), layout_.enums.end(), e) -
                               layout_.enums.begin());
  }
  // The index of the interface serving `table`, or npos.
  size_t InterfaceOf(const MemberTable* table) const {
    for (size_t i = 0; i < model_.interfaces.size(); ++i) {
      if (model_.interfaces[i].table == table) return i;
    }
    for (size_t i = 0; i < model_.interfaces.size(); ++i) {
      if (model_.interfaces[i].table->iid != nullptr && table != nullptr && table->iid != nullptr &&
          *model_.interfaces[i].table->iid == *table->iid) {
        return i;
      }
    }
    return std::u16string_view::npos;
  }

  HRESULT Make(Kind kind, size_t item, ITypeInfo** info) {
    try {
      *info = new TypeInfo(ComPtr<TypeLib>(this), kind, item);
      return S_OK;
    } catch (const std::bad_alloc&) {
      *info = nullptr;
      return E_OUTOFMEMORY;
    }
  }

 private:
  friend class Counted<TypeLib, ITypeLib, IID_ITypeLib>;
  ~TypeLib() {
    if (model_.module != nullptr) model_.module->RemoveObject();
  }

  GUID GuidOf(size_t index) const {
    const size_t item = EntryItem(index);
    switch (EntryKind(index)) {
      case Kind::kEnum: return layout_.enums[item]->guid;
      case Kind::kCoclass: return *model_.coclasses[item].clsid;
      default: {
        const IID* iid = model_.interfaces[item].table->iid;
        return iid != nullptr ? *iid : GUID_NULL;
      }
    }
  }
  std::u16string_view NameOf(size_t index) const {
    const size_t item = EntryItem(index);
    switch (EntryKind(index)) {
      case Kind::kEnum: return layout_.enums[item]->name;
      case Kind::kCoclass: return model_.coclasses[item].name;
      default: return View(model_.interfaces[item].table->interface_name);
    }
  }
  template <class F>
  void ForEachMemberName(size_t index, F&& f) const {
    const size_t item = EntryItem(index);
    switch (EntryKind(index)) {
      case Kind::kEnum: {
        const auto& values = layout_.enums[item]->values;
        for (size_t v = 0; v < values.size(); ++v) f(values[v].name, static_cast<MEMBERID>(v));
        break;
      }
      case Kind::kCoclass: break;
      default:
        for (const MemberInfo& m : model_.interfaces[item].table->members) f(m.name, m.dispid);
        break;
    }
  }

  const TypeLibraryModel& model_;
  const Layout layout_;
};

// --- Type information ---------------------------------------------------------------------

TypeInfo::TypeInfo(ComPtr<TypeLib> lib, Kind kind, size_t item)
    : lib_(std::move(lib)), kind_(kind), item_(item) {}

const TypeLibraryModel& TypeInfo::model() const { return lib_->model(); }
const Layout& TypeInfo::layout() const { return lib_->layout(); }
const MemberTable* TypeInfo::table() const {
  if (kind_ != Kind::kDispatch && kind_ != Kind::kVtable) return nullptr;
  return model().interfaces[item_].table;
}
const EnumDescription& TypeInfo::enumeration() const { return *layout().enums[item_]; }
const CoclassModel& TypeInfo::coclass() const { return model().coclasses[item_]; }
bool TypeInfo::dual() const {
  return (kind_ == Kind::kDispatch || kind_ == Kind::kVtable) && model().interfaces[item_].dual;
}

std::u16string_view TypeInfo::TypeName() const {
  switch (kind_) {
    case Kind::kEnum: return enumeration().name;
    case Kind::kCoclass: return coclass().name;
    case Kind::kIDispatch: return u"IDispatch";
    default: return View(table()->interface_name);
  }
}

size_t TypeInfo::TypeIndex() const {
  switch (kind_) {
    case Kind::kEnum: return item_;
    case Kind::kCoclass: return layout().CoclassIndex(item_);
    default: return layout().InterfaceIndex(item_);
  }
}

const MemberInfo* TypeInfo::MemberOf(MEMBERID memid) const {
  const MemberTable* t = table();
  if (t == nullptr) return nullptr;
  for (const MemberInfo& m : t->members) {
    if (m.dispid == memid) return &m;
  }
  return nullptr;
}

TYPEDESC TypeInfo::Describe(VARTYPE vt, const EnumDescription* e, TYPEDESC* pointee) const {
  TYPEDESC d{};
  VARTYPE base = static_cast<VARTYPE>(vt & ~VT_BYREF);
  TYPEDESC inner{};
  if (e != nullptr) {
    inner.vt = VT_USERDEFINED;
    inner.hreftype = static_cast<HREFTYPE>(lib_->EnumIndex(e));
  } else {
    inner.vt = base == VT_EMPTY ? VT_VOID : base;
  }
  if ((vt & VT_BYREF) != 0) {
    *pointee = inner;
    d.vt = VT_PTR;
    d.lptdesc = pointee;
  } else {
    d = inner;
  }
  return d;
}

HRESULT TypeInfo::GetTypeAttr(TYPEATTR** attr) {
  if (attr == nullptr) return E_INVALIDARG;
  auto* a = static_cast<TYPEATTR*>(CoTaskMemAlloc(sizeof(TYPEATTR)));
  if (a == nullptr) return E_OUTOFMEMORY;
  std::memset(a, 0, sizeof *a);
  a->memidConstructor = MEMBERID_NIL;
  a->memidDestructor = MEMBERID_NIL;
  a->cbAlignment = kPointer;
  if (kind_ == Kind::kIDispatch) {
    a->guid = IID_IDispatch;
    a->typekind = TKIND_INTERFACE;
    a->cbSizeVft = kDispatchSlots * kPointer;
    a->cbSizeInstance = kPointer;
    a->wTypeFlags = TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FOLEAUTOMATION;
    *attr = a;
    return S_OK;
  }
  a->lcid = model().lcid;
  a->wMajorVerNum = model().major;
  a->wMinorVerNum = model().minor;
  switch (kind_) {
    case Kind::kEnum:
      a->guid = enumeration().guid;
      a->typekind = TKIND_ENUM;
      a->cVars = static_cast<WORD>(enumeration().values.size());
      a->cbSizeInstance = 4;
      a->cbAlignment = 4;
      break;
    case Kind::kCoclass:
      a->guid = *coclass().clsid;
      a->typekind = TKIND_COCLASS;
      a->cImplTypes = coclass().events != nullptr ? 2 : 1;
      a->cbSizeInstance = kPointer;
      a->wTypeFlags = static_cast<WORD>((coclass().can_create ? TYPEFLAG_FCANCREATE : 0) |
                                        (coclass().control ? TYPEFLAG_FCONTROL : 0));
      break;
    case Kind::kDispatch:
    case Kind::kVtable: {
      const MemberTable* t = table();
      a->guid = t->iid != nullptr ? *t->iid : GUID_NULL;
      a->typekind = kind_ == Kind::kVtable ? TKIND_INTERFACE : TKIND_DISPATCH;
      a->cFuncs = static_cast<WORD>(t->members.size());
      a->cImplTypes = 1;
      a->cbSizeInstance = kPointer;
      size_t slots = kDispatchSlots;
      if (kind_ == Kind::kVtable) {
        for (const MemberInfo& m : t->members) slots = std::max(slots, m.slot() + 1);
      }
      a->cbSizeVft = static_cast<WORD>(slots * kPointer);
      WORD flags = TYPEFLAG_FDISPATCHABLE;
      if (dual()) flags |= TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
      a->wTypeFlags = flags;
      break;
    }
    case Kind::kIDispatch: break;
  }
  *attr = a;
  return S_OK;
}

HRESULT TypeInfo::GetFuncDesc(UINT index, FUNCDESC** desc) {
  if (desc == nullptr) return E_INVALIDARG;
  *desc = nullptr;
  const MemberTable* t = table();
  if (t == nullptr || index >= t->members.size()) return TYPE_E_ELEMENTNOTFOUND;
  const MemberInfo& m = t->members[index];
  const bool vtable = kind_ == Kind::kVtable;
  const bool retval = vtable && m.result != VT_EMPTY;
  const size_t params = m.param_count + (retval ? 1 : 0);

  // One block: the description, its parameters, and what by-reference
  // parameters point to; ReleaseFuncDesc frees it whole.
  const size_t params_at = (sizeof(FUNCDESC) + alignof(ELEMDESC) - 1) / alignof(ELEMDESC) *
                           alignof(ELEMDESC);
  const size_t pointees_at = params_at + params * sizeof(ELEMDESC);
  const size_t size = pointees_at + (params + 1) * sizeof(TYPEDESC);
  auto* block = static_cast<char*>(CoTaskMemAlloc(size));
  if (block == nullptr) return E_OUTOFMEMORY;
  std::memset(block, 0, size);
  auto* f = reinterpret_cast<FUNCDESC*>(block);
  auto* elems = reinterpret_cast<ELEMDESC*>(block + params_at);
  auto* pointees = reinterpret_cast<TYPEDESC*>(block + pointees_at);

  f->memid = m.dispid;
  f->funckind = vtable ? FUNC_PUREVIRTUAL : FUNC_DISPATCH;
  f->invkind = static_cast<INVOKEKIND>(m.kind);
  f->callconv = CC_STDCALL;
  f->cParams = static_cast<int16_t>(params);
  f->cParamsOpt = static_cast<int16_t>(m.param_count - m.required);
  f->oVft = dual() ? static_cast<int16_t>(m.slot() * kPointer) : 0;
  f->lprgelemdescParam = params > 0 ? elems : nullptr;
  for (size_t i = 0; i < m.param_count; ++i) {
    const EnumDescription* e = m.param_enums != nullptr ? m.param_enums[i] : nullptr;
    elems[i].tdesc = Describe(m.param_types[i], e, &pointees[i]);
    uint16_t flags = PARAMFLAG_FIN;
    if ((m.param_types[i] & VT_BYREF) != 0) flags |= PARAMFLAG_FOUT;
    if (i >= m.required) flags |= PARAMFLAG_FOPT;
    elems[i].paramdesc.wParamFlags = flags;
  }
  if (retval) {
    elems[m.param_count].tdesc =
        Describe(static_cast<VARTYPE>(m.result | VT_BYREF), nullptr, &pointees[m.param_count]);
    elems[m.param_count].paramdesc.wParamFlags = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
    f->elemdescFunc.tdesc.vt = VT_HRESULT;
  } else if (vtable) {
    f->elemdescFunc.tdesc.vt = VT_HRESULT;
  } else {
    f->elemdescFunc.tdesc = Describe(m.result, nullptr, &pointees[params]);
  }
  f->wFuncFlags = m.hidden ? FUNCFLAG_FHIDDEN : 0;
  *desc = f;
  return S_OK;
}

HRESULT TypeInfo::GetVarDesc(UINT index, VARDESC** desc) {
  if (desc == nullptr) return E_INVALIDARG;
  *desc = nullptr;
  if (kind_ != Kind::kEnum || index >= enumeration().values.size()) return TYPE_E_ELEMENTNOTFOUND;
  struct Block {
    VARDESC desc;
    VARIANT value;
  };
  auto* block = static_cast<Block*>(CoTaskMemAlloc(sizeof(Block)));
  if (block == nullptr) return E_OUTOFMEMORY;
  std::memset(block, 0, sizeof *block);
  block->value.vt = VT_I4;
  block->value.lVal = enumeration().values[index].value;
  block->desc.memid = static_cast<MEMBERID>(index);
  block->desc.lpvarValue = &block->value;
  block->desc.elemdescVar.tdesc.vt = VT_I4;
  block->desc.varkind = VAR_CONST;
  *desc = &block->desc;
  return S_OK;
}

HRESULT TypeInfo::GetNames(MEMBERID memid, BSTR* names, UINT max_names, UINT* count) {
  if (names == nullptr || count == nullptr) return E_INVALIDARG;
  *count = 0;
  try {
    if (memid == MEMBERID_NIL) {
      if (max_names > 0) names[(*count)++] = NewBstr(TypeName());
      return S_OK;
    }
    if (kind_ == Kind::kEnum) {
      const auto& values = enumeration().values;
      if (memid < 0 || static_cast<size_t>(memid) >= values.size()) return TYPE_E_ELEMENTNOTFOUND;
      if (max_names > 0) names[(*count)++] = NewBstr(values[static_cast<size_t>(memid)].name);
      return S_OK;
    }
    const MemberInfo* m = MemberOf(memid);
    if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    if (max_names > 0) names[(*count)++] = NewBstr(m->name);
    for (size_t i = 0; *count < max_names; ++i) {
      std::u16string_view p = m->ParamName(i);
      if (p.empty()) break;
      names[(*count)++] = NewBstr(p);
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    for (UINT i = 0; i < *count; ++i) SysFreeString(names[i]);
    *count = 0;
    return E_OUTOFMEMORY;
  }
}

HRESULT TypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* ref) {
  if (ref == nullptr) return E_INVALIDARG;
  switch (kind_) {
    case Kind::kDispatch:
      if (index == static_cast<UINT>(-1) && dual()) {
        *ref = kVtableBit | static_cast<HREFTYPE>(TypeIndex());
        return S_OK;
      }
      [[fallthrough]];
    case Kind::kVtable:
      if (index != 0) return TYPE_E_ELEMENTNOTFOUND;
      *ref = kIDispatchRef;
      return S_OK;
    case Kind::kCoclass: {
      const MemberTable* t = index == 0   ? coclass().default_interface
                             : index == 1 ? coclass().events
                                          : nullptr;
      if (t == nullptr) return TYPE_E_ELEMENTNOTFOUND;
      const size_t itf = lib_->InterfaceOf(t);
      if (itf == std::u16string_view::npos) return TYPE_E_ELEMENTNOTFOUND;
      *ref = static_cast<HREFTYPE>(layout().InterfaceIndex(itf));
      return S_OK;
    }
    default: return TYPE_E_ELEMENTNOTFOUND;
  }
}

HRESULT TypeInfo::GetImplTypeFlags(UINT index, int32_t* flags) {
  if (flags == nullptr) return E_INVALIDARG;
  if (kind_ == Kind::kCoclass) {
    if (index == 0) {
      *flags = IMPLTYPEFLAG_FDEFAULT;
      return S_OK;
    }
    if (index == 1 && coclass().events != nullptr) {
      *flags = IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE;
      return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  if ((kind_ == Kind::kDispatch || kind_ == Kind::kVtable) && index == 0) {
    *flags = 0;
    return S_OK;
  }
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeInfo::GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) {
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  if (const MemberTable* t = table()) return DispatchGetIDsOfNames(*t, names, count, ids);
  if (kind_ == Kind::kEnum) {
    const auto& values = enumeration().values;
    for (UINT i = 0; i < count; ++i) ids[i] = MEMBERID_NIL;
    for (size_t v = 0; v < values.size(); ++v) {
      if (SameNameIgnoringCase(values[v].name, View(names[0]))) {
        ids[0] = static_cast<MEMBERID>(v);
        return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
      }
    }
  }
  for (UINT i = 0; i < count; ++i) ids[i] = MEMBERID_NIL;
  return DISP_E_UNKNOWNNAME;
}

HRESULT TypeInfo::Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_error) {
  const MemberTable* t = table();
  if (t == nullptr) return E_NOTIMPL;
  if (instance == nullptr) return E_INVALIDARG;
  return DispatchInvoke(*t, instance, memid, flags, params, result, excepinfo, arg_error);
}

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* help_context,
                                   BSTR* help_file) {
  std::u16string_view member_name;
  std::u16string text;
  if (memid == MEMBERID_NIL) {
    member_name = TypeName();
    if (kind_ == Kind::kCoclass) text = coclass().doc;
  } else if (kind_ == Kind::kEnum) {
    const auto& values = enumeration().values;
    if (memid < 0 || static_cast<size_t>(memid) >= values.size()) return TYPE_E_ELEMENTNOTFOUND;
    member_name = values[static_cast<size_t>(memid)].name;
  } else {
    const MemberInfo* m = MemberOf(memid);
    if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    member_name = m->name;
  }
  try {
    Give(name, member_name);
    Give(doc, text);
    Give(help_file, lib_ ? model().help_file : std::u16string_view{});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (help_context != nullptr) *help_context = 0;
  return S_OK;
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = nullptr;
  if (ref == kIDispatchRef) {
    try {
      *info = new TypeInfo(nullptr, Kind::kIDispatch, 0);
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  if (!lib_) return TYPE_E_ELEMENTNOTFOUND;
  const bool vtable = (ref & kVtableBit) != 0;
  const size_t index = ref & ~kVtableBit;
  if (index >= layout().Count()) return TYPE_E_ELEMENTNOTFOUND;
  const Kind kind = lib_->EntryKind(index);
  if (vtable && (kind != Kind::kDispatch || !model().interfaces[lib_->EntryItem(index)].dual)) {
    return TYPE_E_ELEMENTNOTFOUND;
  }
  return lib_->Make(vtable ? Kind::kVtable : kind, lib_->EntryItem(index), info);
}

HRESULT TypeInfo::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (kind_ != Kind::kCoclass) return TYPE_E_BADMODULEKIND;
  return CoCreateInstance(*coclass().clsid, outer, CLSCTX_ALL, iid, object);
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** lib, UINT* index) {
  if (!lib_) return E_NOTIMPL;
  if (lib != nullptr) {
    lib_->AddRef();
    *lib = lib_.get();
  }
  if (index != nullptr) *index = static_cast<UINT>(TypeIndex());
  return S_OK;
}

// --- Finding models ----------------------------------------------------------------------

// The registered model that lists `table`, or one made for it alone.
const TypeLibraryModel& ModelOfTable(const MemberTable& table, size_t* index) {
  Models& models = TheModels();
  std::lock_guard<std::mutex> lock(models.mutex);
  // The newest registration first: a program that links a library's code
  // and also loads the library asks from the code that serves it.
  for (auto it = models.registered.rbegin(); it != models.registered.rend(); ++it) {
    const auto& interfaces = it->model->interfaces;
    for (size_t i = 0; i < interfaces.size(); ++i) {
      if (interfaces[i].table == &table) {
        *index = i;
        return *it->model;
      }
    }
  }
  auto& lone = models.lone[&table];
  if (!lone) {
    lone = std::make_unique<std::pair<InterfaceModel, TypeLibraryModel>>();
    lone->first = InterfaceModel{&table, false};
    lone->second.name = View(table.interface_name);
    lone->second.libid = GUID_NULL;
    lone->second.lcid = 0;
    lone->second.interfaces = std::span(&lone->first, 1);
  }
  *index = 0;
  return lone->second;
}

HRESULT InterfaceInfo(const TypeLibraryModel& model, size_t itf, ITypeInfo** info) {
  ComPtr<ITypeLib> lib;
  if (HRESULT hr = CreateTypeLib(model, lib.put()); Failed(hr)) return hr;
  return lib->GetTypeInfo(static_cast<UINT>(LayoutOf(model).InterfaceIndex(itf)), info);
}

std::string HexLocale(LCID lcid) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%x", static_cast<unsigned>(lcid));
  return buffer;
}

// A registered version key "major.minor" (hexadecimal, as the platform
// writes them).
bool ParseVersion(const std::string& text, unsigned* major, unsigned* minor) {
  char* end = nullptr;
  const unsigned long a = std::strtoul(text.c_str(), &end, 16);
  if (end == text.c_str() || *end != '.') return false;
  const char* rest = end + 1;
  const unsigned long b = std::strtoul(rest, &end, 16);
  if (end == rest || *end != '\0' || a > 0xFFFF || b > 0xFFFF) return false;
  *major = static_cast<unsigned>(a);
  *minor = static_cast<unsigned>(b);
  return true;
}

// The registered model for `libid` (any, when GUID_NULL) whose code lies in
// the component library at `path`.
HRESULT LibraryAt(const std::string& path, const GUID* libid, ITypeLib** lib) {
  void* loaded = nullptr;
  if (HRESULT hr = LoadComponentLibrary(path, &loaded); Failed(hr)) return TYPE_E_CANTLOADLIBRARY;
  const void* base = BaseOf(loaded);
  const TypeLibraryModel* found = nullptr;
  {
    Models& models = TheModels();
    std::lock_guard<std::mutex> lock(models.mutex);
    for (const Registered& r : models.registered) {
      if (r.base != base) continue;
      if (libid != nullptr && !(r.model->libid == *libid)) continue;
      found = r.model;
      break;
    }
  }
  if (found == nullptr) return TYPE_E_CANTLOADLIBRARY;
  return CreateTypeLib(*found, lib);
}

}  // namespace

TableRegistration::TableRegistration(const MemberTable& table) : table_(table) {
  Models& models = TheModels();
  std::lock_guard<std::mutex> lock(models.mutex);
  models.tables.push_back(&table_);
}

TableRegistration::~TableRegistration() {
  Models& models = TheModels();
  std::lock_guard<std::mutex> lock(models.mutex);
  auto& list = models.tables;
  list.erase(std::remove(list.begin(), list.end(), &table_), list.end());
}

std::vector<RegisteredTable> RegisteredMemberTables() {
  std::vector<const MemberTable*> tables;
  {
    Models& models = TheModels();
    std::lock_guard<std::mutex> lock(models.mutex);
    tables = models.tables;
  }
  std::vector<RegisteredTable> out;
  for (const MemberTable* table : tables) {
    Dl_info info{};
    std::string library;
    if (dladdr(table, &info) != 0 && info.dli_fname != nullptr) library = info.dli_fname;
    out.push_back(RegisteredTable{table, std::move(library)});
  }
  return out;
}

TypeLibraryRegistration::TypeLibraryRegistration(const TypeLibraryModel& model) : model_(model) {
  Models& models = TheModels();
  std::lock_guard<std::mutex> lock(models.mutex);
  models.registered.push_back(Registered{&model_, BaseOf(&model_)});
}

TypeLibraryRegistration::~TypeLibraryRegistration() {
  Models& models = TheModels();
  std::lock_guard<std::mutex> lock(models.mutex);
  auto& list = models.registered;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [this](const Registered& r) { return r.model == &model_; }),
             list.end());
}

TypeLibraryDescription RegistrationOf(const TypeLibraryModel& model) {
  TypeLibraryDescription out;
  out.libid = model.libid;
  char version[16];
  std::snprintf(version, sizeof version, "%x.%x", static_cast<unsigned>(model.major),
                static_cast<unsigned>(model.minor));
  out.version = version;
  out.locale = model.lcid;
  out.help_string = Utf16ToUtf8(model.doc);
  for (const InterfaceModel& itf : model.interfaces) {
    out.interfaces.push_back(InterfaceDescription{
        itf.table->iid != nullptr ? *itf.table->iid : GUID_NULL,
        Utf16ToUtf8(View(itf.table->interface_name))});
  }
  return out;
}

HRESULT CreateTypeLib(const TypeLibraryModel& model, ITypeLib** lib) {
  if (lib == nullptr) return E_POINTER;
  try {
    *lib = new TypeLib(model);
    return S_OK;
  } catch (const std::bad_alloc&) {
    *lib = nullptr;
    return E_OUTOFMEMORY;
  }
}

HRESULT GetTypeInfoOfTable(const MemberTable& table, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  try {
    size_t index = 0;
    const TypeLibraryModel& model = ModelOfTable(table, &index);
    return InterfaceInfo(model, index, info);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT GetClassTypeInfo(REFCLSID clsid, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  const TypeLibraryModel* model = nullptr;
  size_t item = 0;
  {
    Models& models = TheModels();
    std::lock_guard<std::mutex> lock(models.mutex);
    for (auto it = models.registered.rbegin(); it != models.registered.rend() && !model; ++it) {
      const auto& classes = it->model->coclasses;
      for (size_t i = 0; i < classes.size(); ++i) {
        if (*classes[i].clsid == clsid) {
          model = it->model;
          item = i;
          break;
        }
      }
    }
  }
  if (model == nullptr) return TYPE_E_ELEMENTNOTFOUND;
  ComPtr<ITypeLib> lib;
  if (HRESULT hr = CreateTypeLib(*model, lib.put()); Failed(hr)) return hr;
  return lib->GetTypeInfo(static_cast<UINT>(LayoutOf(*model).CoclassIndex(item)), info);
}

HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** lib) {
  if (lib == nullptr) return E_INVALIDARG;
  *lib = nullptr;
  try {
    std::shared_ptr<const registry::Tree> tree;
    if (Failed(registry::LoadShared(registry::DefaultPath(), &tree))) {
      return TYPE_E_LIBNOTREGISTERED;
    }
    const std::string root = "TypeLib\\" + FormatGuid(libid);
    std::string best;
    unsigned best_minor = 0;
    for (const std::string& version : tree->SubkeyNames(root)) {
      unsigned a = 0, b = 0;
      if (!ParseVersion(version, &a, &b) || a != major || b < minor) continue;
      if (best.empty() || b > best_minor) {
        best = version;
        best_minor = b;
      }
    }
    if (best.empty()) return TYPE_E_LIBNOTREGISTERED;
    const std::string key = root + "\\" + best;
    std::vector<std::string> locales{HexLocale(lcid), HexLocale(lcid & 0x3FF), "0"};
    if (lcid == 0) {
      for (const std::string& name : tree->SubkeyNames(key)) {
        if (tree->KeyExists(key + "\\" + name + "\\win32")) locales.push_back(name);
      }
    }
    for (const std::string& locale : locales) {
      auto path = tree->GetValue(key + "\\" + locale + "\\win32");
      if (path && !path->empty()) return LibraryAt(*path, &libid, lib);
    }
    return TYPE_E_LIBNOTREGISTERED;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

std::vector<ComPtr<ITypeLib>> LoadedTypeLibs() {
  std::vector<const TypeLibraryModel*> models;
  {
    Models& m = TheModels();
    std::lock_guard<std::mutex> lock(m.mutex);
    for (const Registered& r : m.registered) {
      if (std::find(models.begin(), models.end(), r.model) == models.end()) {
        models.push_back(r.model);
      }
    }
  }
  std::vector<ComPtr<ITypeLib>> out;
  for (const TypeLibraryModel* model : models) {
    ComPtr<ITypeLib> lib;
    if (Succeeded(CreateTypeLib(*model, lib.put()))) out.push_back(std::move(lib));
  }
  return out;
}

std::vector<ComPtr<ITypeLib>> RegisteredTypeLibs() {
  std::vector<ComPtr<ITypeLib>> out;
  std::shared_ptr<const registry::Tree> tree;
  if (Failed(registry::LoadShared(registry::DefaultPath(), &tree))) return out;
  for (const std::string& key : tree->SubkeyNames("TypeLib")) {
    GUID libid{};
    if (!ParseGuid(key, &libid)) continue;
    unsigned major = 0, minor = 0;
    bool found = false;
    for (const std::string& version : tree->SubkeyNames("TypeLib\\" + key)) {
      unsigned a = 0, b = 0;
      if (!ParseVersion(version, &a, &b)) continue;
      if (!found || a > major || (a == major && b > minor)) {
        major = a;
        minor = b;
        found = true;
      }
    }
    ComPtr<ITypeLib> lib;
    if (found && Succeeded(LoadRegTypeLib(libid, static_cast<WORD>(major),
                                          static_cast<WORD>(minor), 0, lib.put()))) {
      out.push_back(std::move(lib));
    }
  }
  return out;
}

HRESULT LoadTypeLib(LPCOLESTR path, ITypeLib** lib) {
  if (path == nullptr || lib == nullptr) return E_INVALIDARG;
  *lib = nullptr;
  try {
    return LibraryAt(Utf16ToUtf8(path), nullptr, lib);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace quillon::com

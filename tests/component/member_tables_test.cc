// Every member table the component libraries serve, whatever class it
// belongs to (the runtime lists the tables of every loaded library):
//
// - as text, compared with the checked-in files under tests/golden/members/
//   (<library>.<interface>.txt): a changed DISPID, name, parameter type,
//   required count or hidden flag shows up as a diff, and a new interface
//   fails until its file is checked in. After an intended change, run with
//   QUILLON_UPDATE_GOLDEN=1 to rewrite the files.
// - as the C++ interface an early-bound caller declares from those files:
//   the n-th member of a file sits in slot 7 + n, after IUnknown's and
//   IDispatch's, and calling that slot answers what Invoke answers for the
//   member's DISPID, for every class the libraries register.
#include <ffi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/persistence.h"
#include "quillon/component/registry.h"
#include "quillon/component/runtime.h"
#include "quillon/component/typeinfo.h"
#include "quillon/component/variant.h"
#include "tests/component/component_libraries.h"

namespace quillon::com {
namespace {

using testing::ComponentLibraries;
using testing::ComponentLibrary;
using testing::GoldenMember;
using testing::GoldenTable;

constexpr size_t kDispatchSlots = 7;

struct Served {
  std::string file;  // <library>.<interface>
  const MemberTable* table;
};

// The tables of the component libraries, by golden file name.
std::vector<Served> ServedTables() {
  const std::vector<ComponentLibrary> libraries = ComponentLibraries();
  std::vector<Served> out;
  for (const RegisteredTable& r : RegisteredMemberTables()) {
    const ComponentLibrary* library = testing::LibraryOfPath(libraries, r.library);
    if (library == nullptr) continue;
    out.push_back({library->stem + "." + Utf16ToUtf8(r.table->interface_name), r.table});
  }
  return out;
}

TEST(MemberTables, MatchTheCheckedInText) {
  const std::vector<Served> tables = ServedTables();
  ASSERT_FALSE(tables.empty());
  const bool update = std::getenv("QUILLON_UPDATE_GOLDEN") != nullptr;
  std::set<std::string> seen;
  for (const Served& served : tables) {
    SCOPED_TRACE(served.file);
    EXPECT_TRUE(seen.insert(served.file).second) << "two interfaces of one library share a name";
    const std::string actual = testing::Dump(*served.table);
    if (update) {
      std::ofstream(testing::GoldenPath(served.file), std::ios::binary) << actual;
      continue;
    }
    const std::optional<std::string> expected = testing::ReadGoldenText(served.file);
    ASSERT_TRUE(expected) << "missing " << testing::GoldenPath(served.file)
                          << " (QUILLON_UPDATE_GOLDEN=1 writes it)";
    EXPECT_EQ(actual, *expected);
  }
  // A file without its interface documents a member table nobody serves.
  for (const auto& entry : std::filesystem::directory_iterator(QUILLON_GOLDEN_DIR)) {
    const std::string stem = entry.path().stem().string();
    EXPECT_TRUE(seen.count(stem) != 0) << "no library serves " << entry.path();
  }
}

// The index a dispatch call searches must name the member the table's walk
// names, for every DISPID a table lists, its neighbours that it does not,
// and every mix of invoke flags a host sends.
TEST(MemberTables, IndexFindsWhatTheWalkFinds) {
  const std::vector<Served> tables = ServedTables();
  ASSERT_FALSE(tables.empty());
  const WORD kFlags[] = {0,
                         DISPATCH_METHOD,
                         DISPATCH_PROPERTYGET,
                         DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                         DISPATCH_PROPERTYPUT,
                         DISPATCH_PROPERTYPUTREF,
                         DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF,
                         DISPATCH_METHOD | DISPATCH_PROPERTYPUT};
  size_t found = 0;
  for (const Served& served : tables) {
    SCOPED_TRACE(served.file);
    const MemberIndex index(*served.table);
    std::set<DISPID> dispids{DISPID_UNKNOWN, INT32_MIN, INT32_MAX};
    for (const MemberInfo& m : served.table->members) {
      dispids.insert({m.dispid, m.dispid - 1, m.dispid + 1});
    }
    for (const DISPID dispid : dispids) {
      for (const WORD flags : kFlags) {
        const MemberInfo* walked = served.table->Find(dispid, flags);
        EXPECT_EQ(index.Find(dispid, flags), walked) << "DISPID " << dispid << ", flags " << flags;
        if (walked != nullptr) ++found;
      }
    }
  }
  // Not a comparison of two nulls.
  EXPECT_GT(found, tables.size());
}

// Tables outside the toolkit's numbering: DISPIDs far apart (searched, not
// laid out densely) and negative ones.
TEST(MemberTables, IndexOfFarApartDispids) {
  auto member = [](DISPID dispid, WORD kind) {
    MemberInfo m{};
    m.dispid = dispid;
    m.name = u"M";
    m.kind = kind;
    return m;
  };
  const std::vector<MemberInfo> kinds[] = {
      {member(1, DISPATCH_PROPERTYGET), member(1, DISPATCH_PROPERTYPUT),
       member(DISPID_NEWENUM, DISPATCH_METHOD), member(0x60020000, DISPATCH_METHOD),
       member(0x60020000, DISPATCH_PROPERTYGET), member(INT32_MIN + 1, DISPATCH_PROPERTYPUT)},
      {member(DISPID_NEWENUM, DISPATCH_METHOD), member(0, DISPATCH_PROPERTYGET),
       member(9, DISPATCH_METHOD), member(9, DISPATCH_PROPERTYPUT)},
  };
  for (const std::vector<MemberInfo>& members : kinds) {
    const MemberTable table{u"IFar", nullptr, members};
    const MemberIndex index(table);
    for (const MemberInfo& m : members) {
      for (const DISPID dispid : {m.dispid, m.dispid - 1, m.dispid + 1}) {
        for (const WORD flags : std::initializer_list<WORD>{
                 DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT,
                 DISPATCH_METHOD | DISPATCH_PROPERTYGET}) {
          EXPECT_EQ(index.Find(dispid, flags), table.Find(dispid, flags))
              << "DISPID " << dispid << ", flags " << flags;
        }
      }
      EXPECT_EQ(index.Find(m.dispid, m.kind), &m);
    }
  }
}

TEST(InterfaceSlots, EveryMemberSitsInItsDocumentedSlot) {
  for (const Served& served : ServedTables()) {
    SCOPED_TRACE(served.file);
    const std::optional<std::string> text = testing::ReadGoldenText(served.file);
    if (!text) continue;  // MatchTheCheckedInText reports it
    const std::optional<GoldenTable> golden = testing::ParseGolden(*text);
    ASSERT_TRUE(golden);
    for (size_t i = 0; i < golden->members.size(); ++i) {
      const GoldenMember& g = golden->members[i];
      const MemberInfo* m = served.table->Find(g.dispid, g.kind);
      ASSERT_NE(m, nullptr) << g.line;
      EXPECT_EQ(m->slot(), kDispatchSlots + i) << g.line;
    }
  }
}

// --- Calling a slot with the signature a file declares --------------------------------

// What a call gave, in words that both ways of calling produce alike.
struct Outcome {
  HRESULT hr = S_OK;
  std::u16string description;
  std::string result;
  std::vector<std::string> outs;

  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  out << std::hex << static_cast<uint32_t>(o.hr) << std::dec << " \"" << Utf16ToUtf8(o.description)
      << "\" result=" << o.result << " outs=";
  for (const std::string& s : o.outs) out << "[" << s << "]";
  return out;
}

// A value as text: objects only as there or not (twins give different ones).
std::string Describe(const VARIANT& v) {
  switch (v.vt) {
    case VT_DISPATCH:
    case VT_UNKNOWN: return std::string("object:") + (v.punkVal != nullptr ? "some" : "none");
    case VT_ARRAY | VT_UI1: {
      std::string bytes;
      Variant::GetBytes(v, &bytes);
      return "bytes:" + bytes;
    }
    case VT_EMPTY: return "empty";
    case VT_NULL: return "null";
    default: {
      Variant text;
      if (Failed(VariantChangeType(text.get(), &v, 0, VT_BSTR))) {
        return "vt" + std::to_string(v.vt);
      }
      return "vt" + std::to_string(v.vt) + ":" + Utf16ToUtf8(Bstr::View(text.get()->bstrVal));
    }
  }
}

VARTYPE TypeOf(std::string type) {
  if (type.rfind("ByRef ", 0) == 0) type = type.substr(6);
  if (type == "String") return VT_BSTR;
  if (type == "Integer") return VT_I2;
  if (type == "Boolean") return VT_BOOL;
  if (type == "Double") return VT_R8;
  if (type == "Single") return VT_R4;
  if (type == "Variant") return VT_VARIANT;
  if (type == "Object") return VT_DISPATCH;
  if (type == "Unknown") return VT_UNKNOWN;
  if (type == "void") return VT_EMPTY;
  return VT_I4;  // Long, and the enumerations
}

bool IsByRef(const std::string& type) { return type.rfind("ByRef ", 0) == 0; }

// The same argument for both calls: the probe value of its type.
Variant ProbeValue(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR: return Variant::String(u"probe");
    case VT_I2: return Variant::I2(1);
    case VT_BOOL: return Variant::Bool(true);
    case VT_R8: return Variant::R8(1.0);
    case VT_R4: {
      Variant v;
      v.get()->vt = VT_R4;
      v.get()->fltVal = 1.0f;
      return v;
    }
    case VT_VARIANT: return Variant::I4(1);
    case VT_DISPATCH: {
      Variant v;
      v.get()->vt = VT_DISPATCH;
      return v;
    }
    case VT_UNKNOWN: {
      Variant v;
      v.get()->vt = VT_UNKNOWN;
      return v;
    }
    default: return Variant::I4(1);
  }
}

// The calling thread's error text (taken).
std::u16string TakeErrorText() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return {};
  Bstr text;
  info->GetDescription(text.put());
  return std::u16string(text.view());
}

// Slot `slot` of `object`'s table called with the member's parameters as
// the file declares them, through the C calling convention of the platform.
Outcome CallSlot(void* object, size_t slot, const GoldenMember& g) {
  static ffi_type* variant_fields[] = {&ffi_type_uint16, &ffi_type_uint16, &ffi_type_uint16,
                                       &ffi_type_uint16, &ffi_type_uint64, nullptr};
  static ffi_type variant_type{0, 0, FFI_TYPE_STRUCT, variant_fields};
  static_assert(sizeof(VARIANT) == 16, "the ffi description of VARIANT");

  const size_t count = g.params.size();
  const bool has_result = g.result != "void";
  std::vector<Variant> values(count);             // by value: the probes
  std::vector<VARIANT> referents(count);          // by reference: what they point to
  std::vector<void*> pointers(count, nullptr);
  std::vector<ffi_type*> types{&ffi_type_pointer};
  std::vector<void*> args{&object};
  for (size_t i = 0; i < count; ++i) {
    const VARTYPE vt = TypeOf(g.params[i].type);
    if (IsByRef(g.params[i].type)) {
      referents[i] = VARIANT{};
      pointers[i] = vt == VT_VARIANT ? static_cast<void*>(&referents[i])
                                     : static_cast<void*>(&referents[i].llVal);
      types.push_back(&ffi_type_pointer);
      args.push_back(&pointers[i]);
      continue;
    }
    values[i] = ProbeValue(vt);
    VARIANT* v = values[i].get();
    switch (vt) {
      case VT_I2:
      case VT_BOOL:
        types.push_back(&ffi_type_sint16);
        args.push_back(&v->iVal);
        break;
      case VT_R8:
        types.push_back(&ffi_type_double);
        args.push_back(&v->dblVal);
        break;
      case VT_R4:
        types.push_back(&ffi_type_float);
        args.push_back(&v->fltVal);
        break;
      case VT_VARIANT:
        types.push_back(&variant_type);
        args.push_back(v);
        break;
      case VT_BSTR:
      case VT_DISPATCH:
      case VT_UNKNOWN:
        types.push_back(&ffi_type_pointer);
        args.push_back(&v->byref);
        break;
      default:
        types.push_back(&ffi_type_sint32);
        args.push_back(&v->lVal);
        break;
    }
  }
  VARIANT result{};
  void* result_pointer = TypeOf(g.result) == VT_VARIANT ? static_cast<void*>(&result)
                                                         : static_cast<void*>(&result.llVal);
  if (has_result) {
    types.push_back(&ffi_type_pointer);
    args.push_back(&result_pointer);
  }
  ffi_cif cif;
  EXPECT_EQ(ffi_prep_cif(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(types.size()),
                         &ffi_type_sint32, types.data()),
            FFI_OK);
  void** table = *static_cast<void***>(object);
  ffi_arg rc = 0;
  ffi_call(&cif, reinterpret_cast<void (*)()>(table[slot]), &rc, args.data());

  Outcome out;
  out.hr = static_cast<HRESULT>(static_cast<int32_t>(rc));
  if (Failed(out.hr)) out.description = TakeErrorText();
  auto typed = [](VARIANT raw, VARTYPE vt) {
    if (vt != VT_VARIANT) raw.vt = vt;
    return raw;
  };
  if (Succeeded(out.hr) && has_result) {
    VARIANT r = typed(result, TypeOf(g.result));
    out.result = Describe(r);
    VariantClear(&r);
  }
  for (size_t i = 0; i < count; ++i) {
    if (!IsByRef(g.params[i].type)) continue;
    VARIANT r = typed(referents[i], TypeOf(g.params[i].type));
    if (Succeeded(out.hr)) out.outs.push_back(Describe(r));
    VariantClear(&r);
  }
  return out;
}

// The member called through Invoke with the same probes.
Outcome CallInvoke(IDispatch* object, const GoldenMember& g) {
  const size_t count = g.params.size();
  std::vector<Variant> values(count);
  std::vector<VARIANT> referents(count);
  std::vector<VARIANT> reversed(count);
  for (size_t i = 0; i < count; ++i) {
    const VARTYPE vt = TypeOf(g.params[i].type);
    VARIANT& slot = reversed[count - 1 - i];
    if (IsByRef(g.params[i].type)) {
      referents[i] = VARIANT{};
      referents[i].vt = vt == VT_VARIANT ? static_cast<VARTYPE>(VT_EMPTY) : vt;
      slot.vt = static_cast<VARTYPE>(VT_BYREF | vt);
      slot.byref = vt == VT_VARIANT ? static_cast<void*>(&referents[i])
                                    : static_cast<void*>(&referents[i].llVal);
    } else {
      values[i] = ProbeValue(vt);
      slot = *values[i].get();
    }
  }
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(),
                    g.kind == DISPATCH_PROPERTYPUT ? &put : nullptr, static_cast<UINT>(count),
                    g.kind == DISPATCH_PROPERTYPUT ? 1u : 0u};
  Variant result;
  EXCEPINFO excep{};
  UINT arg_error = 0;
  Outcome out;
  out.hr = object->Invoke(g.dispid, GUID_NULL, 0, g.kind, &params, result.get(), &excep,
                          &arg_error);
  if (out.hr == DISP_E_EXCEPTION) {
    out.hr = excep.scode != 0 ? excep.scode : MakeHresult(0x800A0000u | excep.wCode);
    out.description = std::u16string(Bstr::View(excep.bstrDescription));
  }
  ClearExcepInfo(&excep);
  TakeErrorText();
  if (Succeeded(out.hr) && g.result != "void") out.result = Describe(*result.get());
  for (size_t i = 0; i < count; ++i) {
    if (!IsByRef(g.params[i].type)) continue;
    if (Succeeded(out.hr)) out.outs.push_back(Describe(referents[i]));
    VariantClear(&referents[i]);
  }
  return out;
}

// A new object of `clsid`, started as a design-time host starts it (from a
// property bag: a QServer started so reads no request and writes nothing).
ComPtr<IDispatch> Create(const CLSID& clsid) {
  ComPtr<IDispatch> object;
  if (Failed(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              object.put_void()))) {
    return nullptr;
  }
  ComPtr<IPersistPropertyBag> bag;
  if (Succeeded(object->QueryInterface(IID_IPersistPropertyBag, bag.put_void()))) {
    EXPECT_EQ(bag->Load(MakePropertyBag().get(), nullptr), S_OK);
  }
  return object;
}

// The interface pointer whose table the slots index: the object's
// IDispatch is its default interface.
std::string InterfaceName(IDispatch* object) {
  ComPtr<ITypeInfo> info;
  if (Failed(object->GetTypeInfo(0, 0, info.put()))) return {};
  Bstr name;
  info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
  return Utf16ToUtf8(name.view());
}

struct Class {
  CLSID clsid;
  const ComponentLibrary* library;
};

std::vector<Class> RegisteredClasses(const std::vector<ComponentLibrary>& libraries) {
  std::shared_ptr<const registry::Tree> tree;
  EXPECT_EQ(registry::LoadShared(registry::DefaultPath(), &tree), S_OK);
  std::vector<Class> out;
  if (!tree) return out;
  for (const std::string& key : tree->SubkeyNames("CLSID")) {
    auto path = tree->GetValue("CLSID\\" + key + "\\InprocServer32");
    if (!path) continue;
    const ComponentLibrary* library = testing::LibraryOfPath(libraries, *path);
    CLSID clsid{};
    if (library != nullptr && ParseGuid(key, &clsid)) out.push_back({clsid, library});
  }
  return out;
}

// Each call goes to a fresh pair of objects, each in a directory of its
// own, so that what one call leaves (a file, a changed property) cannot
// make the other differ.
class Twins {
 public:
  Twins() {
    const auto base = testing::RegisteredLibraries::Directory();
    for (const char* name : {"vtable", "invoke"}) {
      dirs_.push_back(base / name);
      std::filesystem::remove_all(dirs_.back());
      std::filesystem::create_directories(dirs_.back());
    }
    home_ = std::filesystem::current_path();
  }
  ~Twins() { std::filesystem::current_path(home_); }
  void Enter(size_t which) { std::filesystem::current_path(dirs_[which]); }

 private:
  std::vector<std::filesystem::path> dirs_;
  std::filesystem::path home_;
};

// Members whose result names the object itself (a handle for the library's
// own use): twins give different ones, so only their presence is compared.
bool NamesItsObject(const GoldenMember& g) { return g.name == "_InternalPointer"; }

TEST(InterfaceSlots, CallingEachSlotAnswersAsInvokeDoes) {
  const std::vector<ComponentLibrary> libraries = ComponentLibraries();
  const std::vector<Class> classes = RegisteredClasses(libraries);
  ASSERT_FALSE(classes.empty());
  size_t called = 0;
  for (const Class& c : classes) {
    ComPtr<IDispatch> probe = Create(c.clsid);
    if (!probe) continue;  // not an automation object (a property page)
    const std::string file = c.library->stem + "." + InterfaceName(probe.get());
    SCOPED_TRACE(file);
    const std::optional<std::string> text = testing::ReadGoldenText(file);
    ASSERT_TRUE(text) << "no checked-in table for class " << FormatGuid(c.clsid);
    const std::optional<GoldenTable> golden = testing::ParseGolden(*text);
    ASSERT_TRUE(golden);
    for (size_t i = 0; i < golden->members.size(); ++i) {
      const GoldenMember& g = golden->members[i];
      SCOPED_TRACE(g.line);
      Twins twins;
      twins.Enter(0);
      ComPtr<IDispatch> direct = Create(c.clsid);
      const Outcome by_slot = CallSlot(direct.get(), kDispatchSlots + i, g);
      direct.reset();
      twins.Enter(1);
      ComPtr<IDispatch> late = Create(c.clsid);
      Outcome by_invoke = CallInvoke(late.get(), g);
      late.reset();
      if (NamesItsObject(g) && !by_slot.result.empty() && !by_invoke.result.empty()) {
        by_invoke.result = by_slot.result;
      }
      EXPECT_EQ(by_slot, by_invoke);
      ++called;
    }
  }
  EXPECT_GT(called, 0u);
}

}  // namespace
}  // namespace quillon::com

// Type information as hosts ask for it: the registered type libraries with
// their documented attributes, interface descriptions that say what the
// checked-in member tables say, the vtable view of dual interfaces, the
// enumeration, objects' GetTypeInfo and the controls' class information.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "quillon/client/identities.h"
#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/persistence.h"
#include "quillon/component/runtime.h"
#include "quillon/component/typeinfo.h"
#include "quillon/component/variant.h"
#include "quillon/server/identities.h"
#include "tests/component/component_libraries.h"

namespace quillon::com {
namespace {

struct Library {
  const GUID* libid;
  const char* stem;
  std::u16string_view name;
  std::u16string_view doc;
};

const Library kLibraries[] = {
    {&ids::LIBID_QServerLib, "qserver", u"QServerLib", u"QServer 3.4 Type Library"},
    {&ids::LIBID_QClientLib, "qclient", u"QClientLib", u"QClient 3.4 Type Library"},
};

ComPtr<ITypeLib> Load(const GUID& libid) {
  ComPtr<ITypeLib> lib;
  EXPECT_EQ(LoadRegTypeLib(libid, 3, 4, 0x409, lib.put()), S_OK) << FormatGuid(libid);
  return lib;
}

std::string NameOf(ITypeInfo* info, MEMBERID memid = MEMBERID_NIL) {
  Bstr name;
  EXPECT_EQ(info->GetDocumentation(memid, name.put(), nullptr, nullptr, nullptr), S_OK);
  return name.utf8();
}

// A TYPEDESC in the words of the checked-in tables.
std::string TypeText(ITypeInfo* info, const TYPEDESC& t) {
  if (t.vt == VT_PTR) return "ByRef " + TypeText(info, *t.lptdesc);
  if (t.vt == VT_USERDEFINED) {
    ComPtr<ITypeInfo> ref;
    EXPECT_EQ(info->GetRefTypeInfo(t.hreftype, ref.put()), S_OK);
    return ref ? NameOf(ref.get()) : "?";
  }
  return testing::TypeName(t.vt == VT_VOID ? VARTYPE{VT_EMPTY} : t.vt);
}

// The checked-in line of each function of a dispatch description.
std::vector<std::string> DescribedLines(ITypeInfo* info) {
  TYPEATTR* attr = nullptr;
  EXPECT_EQ(info->GetTypeAttr(&attr), S_OK);
  std::vector<std::string> lines;
  for (UINT i = 0; attr != nullptr && i < attr->cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    EXPECT_EQ(info->GetFuncDesc(i, &f), S_OK);
    std::vector<Bstr> names(f->cParams + 1);
    std::vector<BSTR> raw(names.size());
    UINT count = 0;
    EXPECT_EQ(info->GetNames(f->memid, raw.data(), static_cast<UINT>(raw.size()), &count), S_OK);
    for (UINT n = 0; n < count; ++n) names[n] = Bstr::Adopt(raw[n]);
    // GetNames answers for the first function of a DISPID: a put shares
    // its property's name, and its value has none.
    std::ostringstream line;
    line << f->memid << " " << testing::KindName(static_cast<WORD>(f->invkind)) << " "
         << names[0].utf8() << "(";
    int required = 0;
    for (int p = 0; p < f->cParams; ++p) {
      const bool value = f->invkind == INVOKE_PROPERTYPUT && p + 1 == f->cParams;
      const bool named = !value && static_cast<UINT>(p + 1) < count;
      if (p > 0) line << ", ";
      line << (named ? names[p + 1].utf8() : "value") << " As "
           << TypeText(info, f->lprgelemdescParam[p].tdesc);
      if ((f->lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FOPT) == 0) ++required;
    }
    line << ") As " << TypeText(info, f->elemdescFunc.tdesc) << "; required " << required
         << ((f->wFuncFlags & FUNCFLAG_FHIDDEN) != 0 ? "; hidden" : "");
    lines.push_back(line.str());
    info->ReleaseFuncDesc(f);
  }
  if (attr != nullptr) info->ReleaseTypeAttr(attr);
  return lines;
}

TEST(TypeLibraries, AreFoundThroughTheirTypeLibKeysWithTheDocumentedAttributes) {
  for (const Library& l : kLibraries) {
    SCOPED_TRACE(l.stem);
    ComPtr<ITypeLib> lib = Load(*l.libid);
    ASSERT_TRUE(lib);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, *l.libid);
    EXPECT_EQ(attr->lcid, 0x409u);
    EXPECT_EQ(attr->wMajorVerNum, 3);
    EXPECT_EQ(attr->wMinorVerNum, 4);
    EXPECT_EQ(attr->syskind, SYS_WIN32);
    lib->ReleaseTLibAttr(attr);
    Bstr name, doc, file;
    DWORD context = 0;
    ASSERT_EQ(lib->GetDocumentation(-1, name.put(), doc.put(), &context, file.put()), S_OK);
    EXPECT_EQ(name.view(), l.name);
    EXPECT_EQ(doc.view(), l.doc);
    EXPECT_EQ(context, 1u);
    EXPECT_EQ(file.view(), u"QUILLON.HLP");
  }
}

TEST(TypeLibraries, LoadingChoosesVersionAndLocaleAsTheRegistrySays) {
  struct Case {
    WORD major, minor;
    LCID lcid;
    HRESULT expected;
  };
  const Case cases[] = {
      {3, 4, 0x409, S_OK},
      {3, 0, 0x409, S_OK},                    // an older minor version is served by 3.4
      {3, 5, 0x409, TYPE_E_LIBNOTREGISTERED},  // a newer one is not
      {2, 4, 0x409, TYPE_E_LIBNOTREGISTERED},
      {3, 4, 0, S_OK},                         // any locale: the one registered
      {3, 4, 0x809, TYPE_E_LIBNOTREGISTERED},  // another English: neither it nor neutral
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.major << "." << c.minor << " lcid " << c.lcid);
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(LoadRegTypeLib(ids::LIBID_QServerLib, c.major, c.minor, c.lcid, lib.put()),
              c.expected);
    EXPECT_EQ(static_cast<bool>(lib), c.expected == S_OK);
  }
  ComPtr<ITypeLib> none;
  EXPECT_EQ(LoadRegTypeLib(ids::CLSID_QServer, 3, 4, 0x409, none.put()), TYPE_E_LIBNOTREGISTERED);
}

TEST(TypeLibraries, DescribeEachInterfaceAsItsCheckedInTable) {
  size_t interfaces = 0;
  for (const Library& l : kLibraries) {
    ComPtr<ITypeLib> lib = Load(*l.libid);
    ASSERT_TRUE(lib);
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
      TYPEKIND kind{};
      ASSERT_EQ(lib->GetTypeInfoType(i, &kind), S_OK);
      if (kind != TKIND_DISPATCH) continue;
      ComPtr<ITypeInfo> info;
      ASSERT_EQ(lib->GetTypeInfo(i, info.put()), S_OK);
      const std::string file = std::string(l.stem) + "." + NameOf(info.get());
      SCOPED_TRACE(file);
      const std::vector<std::string> lines = DescribedLines(info.get());
      const std::optional<std::string> text = testing::ReadGoldenText(file);
      if (lines.empty() && !text) continue;  // an event interface: no members, no table
      ASSERT_TRUE(text);
      std::optional<testing::GoldenTable> golden = testing::ParseGolden(*text);
      ASSERT_TRUE(golden);
      ASSERT_EQ(lines.size(), golden->members.size());
      for (size_t m = 0; m < lines.size(); ++m) EXPECT_EQ(lines[m], golden->members[m].line);
      ++interfaces;
    }
  }
  EXPECT_EQ(interfaces, 5u);  // IQServer, IQHtmlDoc, IHtmlTag, IHtmlTags, QClientDispatch
}

TEST(TypeLibraries, DualInterfacesHaveAVtableViewWithTheirSlots) {
  ComPtr<ITypeLib> lib = Load(ids::LIBID_QServerLib);
  ASSERT_TRUE(lib);
  ComPtr<ITypeInfo> dispatch;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(ids::IID_IQHtmlDoc, dispatch.put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(dispatch->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_NE(attr->wTypeFlags & TYPEFLAG_FDUAL, 0);
  dispatch->ReleaseTypeAttr(attr);

  HREFTYPE ref = 0;
  ASSERT_EQ(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
  ComPtr<ITypeInfo> vtable;
  ASSERT_EQ(dispatch->GetRefTypeInfo(ref, vtable.put()), S_OK);
  ASSERT_EQ(vtable->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
  EXPECT_EQ(attr->guid, ids::IID_IQHtmlDoc);
  const WORD functions = attr->cFuncs;
  // Seven slots of IDispatch and one per member (a read/write property has two).
  EXPECT_EQ(attr->cbSizeVft, (7 + functions) * sizeof(void*));
  vtable->ReleaseTypeAttr(attr);

  // The documented order: _Item first, Item (13) after WriteTo, each its own slot.
  std::map<std::string, int16_t> slots;
  for (UINT i = 0; i < functions; ++i) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(vtable->GetFuncDesc(i, &f), S_OK);
    EXPECT_EQ(f->funckind, FUNC_PUREVIRTUAL);
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
    EXPECT_EQ(f->oVft, static_cast<int16_t>((7 + i) * sizeof(void*))) << NameOf(vtable.get(), f->memid);
    if (f->invkind == INVOKE_PROPERTYGET) slots[NameOf(vtable.get(), f->memid)] = f->oVft;
    if (f->memid == 13) {
      // Item(Index, [out, retval] Object*)
      ASSERT_EQ(f->cParams, 2);
      EXPECT_EQ(f->lprgelemdescParam[1].tdesc.vt, VT_PTR);
      EXPECT_EQ(f->lprgelemdescParam[1].tdesc.lptdesc->vt, VT_DISPATCH);
      EXPECT_NE(f->lprgelemdescParam[1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL, 0);
    }
    vtable->ReleaseFuncDesc(f);
  }
  EXPECT_EQ(slots["_Item"], static_cast<int16_t>(7 * sizeof(void*)));
  EXPECT_EQ(slots["Item"], static_cast<int16_t>(23 * sizeof(void*)));
}

TEST(TypeLibraries, DeclareTheDatabaseTypeEnumerationWhereTheClientTakesIt) {
  for (const Library& l : kLibraries) {
    SCOPED_TRACE(l.stem);
    ComPtr<ITypeLib> lib = Load(*l.libid);
    ASSERT_TRUE(lib);
    ComPtr<ITypeInfo> info;
    MEMBERID id = 0;
    uint16_t found = 1;
    std::u16string name = u"qlDatabaseTypeConstants";
    ASSERT_EQ(lib->FindName(name.data(), 0, info.put(), &id, &found), S_OK);
    ASSERT_EQ(found, 1);
    // Names are matched ignoring case and given back as declared.
    std::u16string spelled = u"QLDAOPASSTHROUGH";
    BOOL known = 0;
    ASSERT_EQ(lib->IsName(spelled.data(), 0, &known), S_OK);
    EXPECT_TRUE(known);
    EXPECT_EQ(spelled, u"qlDAOPassThrough");
    std::u16string unknown = u"qlNothing";
    ASSERT_EQ(lib->IsName(unknown.data(), 0, &known), S_OK);
    EXPECT_FALSE(known);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_ENUM);
    ASSERT_EQ(attr->cVars, 5);
    info->ReleaseTypeAttr(attr);
    const std::pair<std::string, int32_t> expected[] = {
        {"qlDAO35", 0}, {"qlDAO30", 1}, {"qlADO", 2}, {"qlDAO36", 3}, {"qlDAOPassThrough", 4}};
    for (UINT v = 0; v < 5; ++v) {
      VARDESC* d = nullptr;
      ASSERT_EQ(info->GetVarDesc(v, &d), S_OK);
      EXPECT_EQ(d->varkind, VAR_CONST);
      EXPECT_EQ(NameOf(info.get(), d->memid), expected[v].first);
      EXPECT_EQ(d->lpvarValue->vt, VT_I4);
      EXPECT_EQ(d->lpvarValue->lVal, expected[v].second);
      info->ReleaseVarDesc(d);
    }
  }
}

// What each registered class answers for its type information.
TEST(TypeInformation, EveryObjectDescribesItsInterface) {
  const std::vector<testing::ComponentLibrary> libraries = testing::ComponentLibraries();
  std::shared_ptr<const registry::Tree> tree;
  ASSERT_EQ(registry::LoadShared(registry::DefaultPath(), &tree), S_OK);
  size_t objects = 0;
  for (const std::string& key : tree->SubkeyNames("CLSID")) {
    auto path = tree->GetValue("CLSID\\" + key + "\\InprocServer32");
    if (!path || testing::LibraryOfPath(libraries, *path) == nullptr) continue;
    CLSID clsid{};
    ASSERT_TRUE(ParseGuid(key, &clsid));
    ComPtr<IDispatch> object;
    if (Failed(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                object.put_void()))) {
      continue;  // a property page
    }
    SCOPED_TRACE(key);
    ComPtr<IPersistPropertyBag> bag;  // a QServer started so writes no response
    if (Succeeded(object->QueryInterface(IID_IPersistPropertyBag, bag.put_void()))) {
      ASSERT_EQ(bag->Load(MakePropertyBag().get(), nullptr), S_OK);
    }
    UINT count = 0;
    ASSERT_EQ(object->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(object->GetTypeInfo(1, 0, info.put()), DISP_E_BADINDEX);
    ASSERT_EQ(object->GetTypeInfo(0, 0x409, info.put()), S_OK);
    // The description's names lead to the object's own DISPIDs.
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    for (UINT i = 0; i < attr->cFuncs; ++i) {
      FUNCDESC* f = nullptr;
      ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
      std::u16string name = Utf8ToUtf16(NameOf(info.get(), f->memid));
      LPOLESTR names[] = {name.data()};
      DISPID id = 0;
      EXPECT_EQ(object->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), S_OK);
      EXPECT_EQ(id, f->memid);
      info->ReleaseFuncDesc(f);
    }
    info->ReleaseTypeAttr(attr);
    ComPtr<ITypeLib> lib;
    UINT index = 99;
    ASSERT_EQ(info->GetContainingTypeLib(lib.put(), &index), S_OK);
    ComPtr<ITypeInfo> again;
    ASSERT_EQ(lib->GetTypeInfo(index, again.put()), S_OK);
    EXPECT_EQ(NameOf(again.get()), NameOf(info.get()));
    ++objects;
  }
  EXPECT_GE(objects, 5u);
}

TEST(TypeInformation, ControlsProvideTheirClassWithItsInterfaces) {
  struct Case {
    const CLSID* clsid;
    std::string name;
    std::string default_interface;
    std::string events;
  };
  const Case cases[] = {
      {&ids::CLSID_QServer, "QServer", "IQServer", "_IQServerEvents"},
      {&ids::CLSID_QHtmlDoc, "QHtmlDoc", "IQHtmlDoc", "_IQHtmlDocEvents"},
      {&ids::CLSID_QClient, "QClient", "QClientDispatch", "QClientEvents"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<IProvideClassInfo> provide;
    ASSERT_EQ(CoCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IProvideClassInfo,
                               provide.put_void()),
              S_OK);
    ComPtr<IPersistPropertyBag> bag;
    ASSERT_EQ(provide->QueryInterface(IID_IPersistPropertyBag, bag.put_void()), S_OK);
    ASSERT_EQ(bag->Load(MakePropertyBag().get(), nullptr), S_OK);
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(provide->GetClassInfo(coclass.put()), S_OK);
    EXPECT_EQ(NameOf(coclass.get()), c.name);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_EQ(attr->guid, *c.clsid);
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL);
    ASSERT_EQ(attr->cImplTypes, 2);
    coclass->ReleaseTypeAttr(attr);
    const std::pair<std::string, int32_t> implemented[] = {
        {c.default_interface, IMPLTYPEFLAG_FDEFAULT},
        {c.events, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}};
    for (UINT i = 0; i < 2; ++i) {
      HREFTYPE ref = 0;
      ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
      ComPtr<ITypeInfo> itf;
      ASSERT_EQ(coclass->GetRefTypeInfo(ref, itf.put()), S_OK);
      EXPECT_EQ(NameOf(itf.get()), implemented[i].first);
      int32_t flags = 0;
      ASSERT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
      EXPECT_EQ(flags, implemented[i].second);
    }
    // The class's description makes objects of the class.
    ComPtr<IDispatch> made;
    ASSERT_EQ(coclass->CreateInstance(nullptr, IID_IDispatch, made.put_void()), S_OK);
    ComPtr<IPersistPropertyBag> made_bag;
    if (Succeeded(made->QueryInterface(IID_IPersistPropertyBag, made_bag.put_void()))) {
      made_bag->Load(MakePropertyBag().get(), nullptr);
    }
    ComPtr<ITypeInfo> made_info;
    ASSERT_EQ(made->GetTypeInfo(0, 0, made_info.put()), S_OK);
    EXPECT_EQ(NameOf(made_info.get()), c.default_interface);
  }
}

TEST(TypeInformation, InvokeThroughTheDescriptionReachesTheObject) {
  ComPtr<IDispatch> doc;
  ASSERT_EQ(CoCreateInstance(ids::CLSID_QHtmlDoc, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             doc.put_void()),
            S_OK);
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(doc->GetTypeInfo(0, 0, info.put()), S_OK);
  Variant value = Variant::String(u"SPAN");
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS put_params{value.get(), &put, 1, 1};
  ASSERT_EQ(info->Invoke(doc.get(), 1, DISPATCH_PROPERTYPUT, &put_params, nullptr, nullptr,
                         nullptr),
            S_OK);
  Variant read;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(doc->Invoke(1, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, read.get(), nullptr,
                        nullptr),
            S_OK);
  EXPECT_EQ(Bstr::View(read.get()->bstrVal), u"SPAN");
}

// The client takes the database type as the 32-bit enumeration: a value
// beyond 16 bits reaches the binding, which selects ADO for anything that
// is not one of the DAO constants.
TEST(TypeInformation, ClientDatabaseTypeTakesAnyValueAndSelectsAdo) {
  const std::filesystem::path db = testing::RegisteredLibraries::Directory() / "types.db";
  const std::u16string connection = u"Driver=SQLite3;Database=" + Utf8ToUtf16(db.string());
  ComPtr<IDispatch> client;
  ASSERT_EQ(CoCreateInstance(ids::CLSID_QClient, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             client.put_void()),
            S_OK);
  // The engines answer a missing table each in words of their own.
  auto store = [&](int32_t type) {
    Variant args[] = {Variant::String(u"missing_table"), Variant::String(connection),
                      Variant::I4(type), Variant::String(u"rows")};  // reversed
    DISPPARAMS params{args[0].get(), nullptr, 4, 0};
    EXCEPINFO excep{};
    const HRESULT hr = client->Invoke(10, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &excep,
                                      nullptr);
    const std::string text = Utf16ToUtf8(Bstr::View(excep.bstrDescription));
    ClearExcepInfo(&excep);
    return Succeeded(hr) ? std::string("stored") : "failed: " + text;
  };
  const std::string ado = store(2);
  ASSERT_NE(ado, "stored");
  EXPECT_NE(store(0), ado);  // DAO 3.5
  for (int32_t type : {70000, 65536 + 2, 65536, -1, 5}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(store(type), ado);
  }
}

}  // namespace
}  // namespace quillon::com

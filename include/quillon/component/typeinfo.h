// Type information: what a host learns about interfaces, classes and
// enumerations without calling them, in the platform's shapes (ITypeInfo,
// ITypeLib and their descriptions).
//
// Nothing is written by hand: a component library describes its type
// library as data over the member tables its classes already have (names,
// DISPIDs, kinds, parameter names and types), and the runtime answers every
// question from that. A library makes its description known by holding a
// TypeLibraryRegistration for it, a static object that lives as long as the
// library is loaded:
//
//   constexpr InterfaceModel kInterfaces[] = {{&kDocMembers.table, kDual}};
//   constexpr CoclassModel kClasses[] = {{u"Doc", &CLSID_Doc, u"Doc Control",
//                                         &kDocMembers.table, nullptr, kCreatable}};
//   const TypeLibraryModel kLibrary{u"DocLib", LIBID_DocLib, 3, 4, 0x409, ...};
//   const TypeLibraryRegistration kRegistered(kLibrary);
//
// From then on every object over one of those tables answers GetTypeInfo,
// a control's IProvideClassInfo finds its class, and LoadRegTypeLib finds
// the library through the registry's TypeLib key.
//
// Indexes in a library: enumerations first, then interfaces, then classes,
// each in the order of the model. A dual interface appears once, as its
// dispatch view (TKIND_DISPATCH with TYPEFLAG_FDUAL); its vtable view
// (TKIND_INTERFACE, slots and HRESULTs) is GetRefTypeOfImplType(-1).
#ifndef QUILLON_COMPONENT_TYPEINFO_H_
#define QUILLON_COMPONENT_TYPEINFO_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/registration.h"
#include "quillon/component/types.h"

namespace quillon::com {

class Module;

// --- The platform's descriptions ------------------------------------------------

using HREFTYPE = DWORD;
inline constexpr MEMBERID MEMBERID_NIL = -1;

inline constexpr VARTYPE VT_HRESULT = 25;
inline constexpr VARTYPE VT_PTR = 26;
inline constexpr VARTYPE VT_USERDEFINED = 29;
inline constexpr VARTYPE VT_VOID = 24;

enum TYPEKIND : int32_t {
  TKIND_ENUM = 0,
  TKIND_RECORD = 1,
  TKIND_MODULE = 2,
  TKIND_INTERFACE = 3,
  TKIND_DISPATCH = 4,
  TKIND_COCLASS = 5,
  TKIND_ALIAS = 6,
  TKIND_UNION = 7,
};
enum FUNCKIND : int32_t {
  FUNC_VIRTUAL = 0,
  FUNC_PUREVIRTUAL = 1,
  FUNC_NONVIRTUAL = 2,
  FUNC_STATIC = 3,
  FUNC_DISPATCH = 4,
};
enum INVOKEKIND : int32_t {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8,
};
enum CALLCONV : int32_t { CC_STDCALL = 4 };
enum VARKIND : int32_t { VAR_PERINSTANCE = 0, VAR_STATIC = 1, VAR_CONST = 2, VAR_DISPATCH = 3 };
enum SYSKIND : int32_t { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

inline constexpr uint16_t PARAMFLAG_FIN = 0x1;
inline constexpr uint16_t PARAMFLAG_FOUT = 0x2;
inline constexpr uint16_t PARAMFLAG_FRETVAL = 0x8;
inline constexpr uint16_t PARAMFLAG_FOPT = 0x10;

inline constexpr WORD FUNCFLAG_FRESTRICTED = 0x1;
inline constexpr WORD FUNCFLAG_FHIDDEN = 0x40;

inline constexpr WORD TYPEFLAG_FCANCREATE = 0x2;
inline constexpr WORD TYPEFLAG_FHIDDEN = 0x10;
inline constexpr WORD TYPEFLAG_FCONTROL = 0x20;
inline constexpr WORD TYPEFLAG_FDUAL = 0x40;
inline constexpr WORD TYPEFLAG_FNONEXTENSIBLE = 0x80;
inline constexpr WORD TYPEFLAG_FOLEAUTOMATION = 0x100;
inline constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;

inline constexpr int32_t IMPLTYPEFLAG_FDEFAULT = 0x1;
inline constexpr int32_t IMPLTYPEFLAG_FSOURCE = 0x2;

inline constexpr WORD LIBFLAG_FHASDISKIMAGE = 0x8;

inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MakeHresult(0x8002801D);
inline constexpr HRESULT TYPE_E_CANTLOADLIBRARY = MakeHresult(0x80029C4A);
inline constexpr HRESULT TYPE_E_BADMODULEKIND = MakeHresult(0x800288BD);

struct ARRAYDESC;
struct TYPEDESC {
  union {
    TYPEDESC* lptdesc;  // VT_PTR: what is pointed to
    ARRAYDESC* lpadesc;
    HREFTYPE hreftype;  // VT_USERDEFINED: GetRefTypeInfo's argument
  };
  VARTYPE vt;
};

struct IDLDESC {
  uintptr_t dwReserved;
  uint16_t wIDLFlags;
};

struct PARAMDESCEX;
struct PARAMDESC {
  PARAMDESCEX* pparamdescex;
  uint16_t wParamFlags;
};

struct ELEMDESC {
  TYPEDESC tdesc;
  union {
    IDLDESC idldesc;
    PARAMDESC paramdesc;
  };
};

struct TYPEATTR {
  GUID guid;
  LCID lcid;
  DWORD dwReserved;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  LPOLESTR lpstrSchema;
  ULONG cbSizeInstance;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD cbAlignment;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  TYPEDESC tdescAlias;
  IDLDESC idldescType;
};

struct FUNCDESC {
  MEMBERID memid;
  SCODE* lprgscode;
  ELEMDESC* lprgelemdescParam;
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  int16_t cParams;
  int16_t cParamsOpt;
  int16_t oVft;  // byte offset of the function's slot (vtable views)
  int16_t cScodes;
  ELEMDESC elemdescFunc;
  WORD wFuncFlags;
};

struct VARDESC {
  MEMBERID memid;
  LPOLESTR lpstrSchema;
  union {
    ULONG oInst;
    VARIANT* lpvarValue;  // VAR_CONST
  };
  ELEMDESC elemdescVar;
  WORD wVarFlags;
  VARKIND varkind;
};

struct TLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
};

inline constexpr IID IID_ITypeLib = Guid("{00020402-0000-0000-C000-000000000046}");
inline constexpr IID IID_ITypeComp = Guid("{00020403-0000-0000-C000-000000000046}");

struct ITypeLib;
// Binding by name is not offered; GetTypeComp answers E_NOTIMPL.
struct ITypeComp;

// In the platform's slot order. What the toolkit's descriptions cannot
// answer (DLL entries, member addresses, binding, marshalling opcodes)
// answers E_NOTIMPL.
struct ITypeInfo : IUnknown {
  virtual HRESULT GetTypeAttr(TYPEATTR** attr) = 0;
  virtual HRESULT GetTypeComp(ITypeComp** comp) = 0;
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) = 0;
  virtual HRESULT GetVarDesc(UINT index, VARDESC** desc) = 0;
  // The member's name, then its parameters' names (a put's value has none).
  virtual HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max_names, UINT* count) = 0;
  // index -1 on a dual interface's dispatch view: its vtable view.
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, int32_t* flags) = 0;
  virtual HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) = 0;
  // Calls the member on `instance`, an interface pointer of this type.
  virtual HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_error) = 0;
  // memid MEMBERID_NIL: the type itself. Any output may be null.
  virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* help_context,
                                   BSTR* help_file) = 0;
  virtual HRESULT GetDllEntry(MEMBERID memid, INVOKEKIND kind, BSTR* dll, BSTR* name,
                              WORD* ordinal) = 0;
  virtual HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) = 0;
  virtual HRESULT AddressOfMember(MEMBERID memid, INVOKEKIND kind, void** address) = 0;
  // A class's description creates an object of the class.
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT GetMops(MEMBERID memid, BSTR* mops) = 0;
  virtual HRESULT GetContainingTypeLib(ITypeLib** lib, UINT* index) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* attr) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* desc) = 0;
  virtual void ReleaseVarDesc(VARDESC* desc) = 0;

 protected:
  ~ITypeInfo() = default;
};

struct ITypeLib : IUnknown {
  virtual UINT GetTypeInfoCount() = 0;
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** info) = 0;
  virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) = 0;
  virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) = 0;
  virtual HRESULT GetLibAttr(TLIBATTR** attr) = 0;
  virtual HRESULT GetTypeComp(ITypeComp** comp) = 0;
  // index -1: the library itself.
  virtual HRESULT GetDocumentation(int32_t index, BSTR* name, BSTR* doc, DWORD* help_context,
                                   BSTR* help_file) = 0;
  // Whether a type or member has this name (ignoring case); when it has,
  // the name is rewritten in the stored case.
  virtual HRESULT IsName(LPOLESTR name, ULONG hash, BOOL* found) = 0;
  // Up to *found types that have a member (or are) called `name`; *found
  // is set to how many were given.
  virtual HRESULT FindName(LPOLESTR name, ULONG hash, ITypeInfo** infos, MEMBERID* ids,
                           uint16_t* found) = 0;
  virtual void ReleaseTLibAttr(TLIBATTR* attr) = 0;

 protected:
  ~ITypeLib() = default;
};

// --- What a library describes ------------------------------------------------------

struct InterfaceModel {
  const MemberTable* table;
  // A dual interface: the members are also slots of the C++ interface,
  // after IDispatch's seven. Otherwise a dispatch interface.
  bool dual = false;
};

struct CoclassModel {
  std::u16string_view name;
  const CLSID* clsid;
  std::u16string_view doc;  // the class's display name
  const MemberTable* default_interface;
  const MemberTable* events = nullptr;  // the default source; nullptr: none
  bool control = false;
  bool can_create = true;
};

struct TypeLibraryModel {
  std::u16string_view name;
  GUID libid;  // GUID_NULL: a library the registry does not know
  WORD major;
  WORD minor;
  LCID lcid;
  std::u16string_view doc;
  std::u16string_view help_file;
  DWORD help_context;
  std::span<const EnumDescription* const> enums;
  std::span<const InterfaceModel> interfaces;
  std::span<const CoclassModel> coclasses;
  // The library's module: a type library or type information handed out
  // counts as one of its live objects, so the library stays loaded.
  Module* module = nullptr;
};

// Makes `model` known to the runtime for as long as the object lives.
class QUILLON_RUNTIME_API TypeLibraryRegistration {
 public:
  explicit TypeLibraryRegistration(const TypeLibraryModel& model);
  ~TypeLibraryRegistration();
  TypeLibraryRegistration(const TypeLibraryRegistration&) = delete;
  TypeLibraryRegistration& operator=(const TypeLibraryRegistration&) = delete;

 private:
  const TypeLibraryModel& model_;
};

// What registration writes for `model` (registration.h): its identity,
// version, locale and help string, and its interfaces.
QUILLON_RUNTIME_API TypeLibraryDescription RegistrationOf(const TypeLibraryModel& model);

// A type library over `model` (which must outlive it).
QUILLON_RUNTIME_API HRESULT CreateTypeLib(const TypeLibraryModel& model, ITypeLib** lib);

// The description of class `clsid` from a registered library;
// TYPE_E_ELEMENTNOTFOUND when no loaded library describes it.
QUILLON_RUNTIME_API HRESULT GetClassTypeInfo(REFCLSID clsid, ITypeInfo** info);

// The library registered under TypeLib\{libid}\<major>.<minor>\<lcid>\win32:
// the highest minor version at or above `minor` with the same major, the
// locale `lcid`, else its primary language, else the neutral locale 0, else
// (when `lcid` is 0) the one locale registered. The component library is
// loaded as CoCreateInstance loads it. TYPE_E_LIBNOTREGISTERED when the
// registry has no such entry; TYPE_E_CANTLOADLIBRARY when the file cannot
// be loaded or describes no library of that identity.
QUILLON_RUNTIME_API HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid,
                                           ITypeLib** lib);

// The type library of the component library at `path` (loaded as above);
// TYPE_E_CANTLOADLIBRARY when it cannot be loaded or describes none.
QUILLON_RUNTIME_API HRESULT LoadTypeLib(LPCOLESTR path, ITypeLib** lib);

// The type libraries of the component libraries this process has loaded,
// and those the registry names (each loaded as LoadRegTypeLib loads it,
// at its highest registered version); for hosts that offer every
// enumeration in reach. Libraries that cannot be loaded are left out.
QUILLON_RUNTIME_API std::vector<ComPtr<ITypeLib>> LoadedTypeLibs();
QUILLON_RUNTIME_API std::vector<ComPtr<ITypeLib>> RegisteredTypeLibs();

// Every member table that a loaded shared object serves through
// DispatchImpl, with the path of that shared object; for tools and tests
// that must cover every interface, listed in a library's model or not.
struct RegisteredTable {
  const MemberTable* table;
  std::string library;
};
QUILLON_RUNTIME_API std::vector<RegisteredTable> RegisteredMemberTables();

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_TYPEINFO_H_

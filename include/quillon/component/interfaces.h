// The platform interfaces that components implement and hosts call. Each is an
// abstract class with its methods in slot order, so an object's vtable is the
// interface's slot table. Identities are the platform's well-known IIDs.
#ifndef QUILLON_COMPONENT_INTERFACES_H_
#define QUILLON_COMPONENT_INTERFACES_H_

#include "quillon/component/types.h"

namespace quillon::com {

inline constexpr IID IID_IUnknown = Guid("{00000000-0000-0000-C000-000000000046}");
inline constexpr IID IID_IDispatch = Guid("{00020400-0000-0000-C000-000000000046}");
inline constexpr IID IID_IClassFactory = Guid("{00000001-0000-0000-C000-000000000046}");
inline constexpr IID IID_ISupportErrorInfo = Guid("{DF0B3D60-548F-101B-8E65-08002B2BD119}");
inline constexpr IID IID_IErrorInfo = Guid("{1CF2B120-547D-101B-8E65-08002B2BD119}");
inline constexpr IID IID_ICreateErrorInfo = Guid("{22F03340-547D-101B-8E65-08002B2BD119}");
inline constexpr IID IID_IEnumVARIANT = Guid("{00020404-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPropertyNotifySink = Guid("{9BFBBC02-EFF1-101A-84ED-00AA00341D07}");
inline constexpr IID IID_IConnectionPointContainer =
    Guid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IConnectionPoint = Guid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_ISequentialStream = Guid("{0C733A30-2A1C-11CE-ADE5-00AA0044773D}");
inline constexpr IID IID_IStream = Guid("{0000000C-0000-0000-C000-000000000046}");
inline constexpr IID IID_IStorage = Guid("{0000000B-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPersist = Guid("{0000010C-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPersistStreamInit = Guid("{7FD52380-4E07-101B-AE2D-08002B2EC713}");
inline constexpr IID IID_IPersistStorage = Guid("{0000010A-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPropertyBag = Guid("{55272A00-42CB-11CE-8135-00AA004BB851}");
inline constexpr IID IID_IErrorLog = Guid("{3127CA40-446E-11CE-8135-00AA004BB851}");
inline constexpr IID IID_IPersistPropertyBag = Guid("{37D84F60-42CB-11CE-8135-00AA004BB851}");
inline constexpr IID IID_IProvideClassInfo = Guid("{B196B283-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IProvideClassInfo2 = Guid("{A6BC3AC0-DBAA-11CE-9DE3-00AA004BB851}");
inline constexpr IID IID_ISpecifyPropertyPages = Guid("{B196B28B-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_ITypeInfo = Guid("{00020401-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPropertyPage = Guid("{B196B28D-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IPropertyPageSite = Guid("{B196B28C-BAB4-101A-B69C-00AA00341D07}");
// The runtime's own: lets a host read an object's member table (parameter
// kinds, by-reference outs) where a type library would otherwise be asked.
inline constexpr IID IID_IDispatchMembers = Guid("{6C1F2A40-5E0B-4C7A-9B1D-3A8E4F0C2D17}");

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Type information: typeinfo.h.
struct ITypeInfo;

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
  virtual HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                DISPID* dispids) = 0;
  virtual HRESULT Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_error) = 0;

 protected:
  ~IDispatch() = default;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

struct ISupportErrorInfo : IUnknown {
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID iid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};

struct IErrorInfo : IUnknown {
  virtual HRESULT GetGUID(GUID* guid) = 0;
  virtual HRESULT GetSource(BSTR* source) = 0;
  virtual HRESULT GetDescription(BSTR* description) = 0;
  virtual HRESULT GetHelpFile(BSTR* help_file) = 0;
  virtual HRESULT GetHelpContext(DWORD* help_context) = 0;

 protected:
  ~IErrorInfo() = default;
};

struct ICreateErrorInfo : IUnknown {
  virtual HRESULT SetGUID(REFGUID guid) = 0;
  virtual HRESULT SetSource(LPCOLESTR source) = 0;
  virtual HRESULT SetDescription(LPCOLESTR description) = 0;
  virtual HRESULT SetHelpFile(LPCOLESTR help_file) = 0;
  virtual HRESULT SetHelpContext(DWORD help_context) = 0;

 protected:
  ~ICreateErrorInfo() = default;
};

struct IEnumVARIANT : IUnknown {
  virtual HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumVARIANT** copy) = 0;

 protected:
  ~IEnumVARIANT() = default;
};

struct IPropertyNotifySink : IUnknown {
  virtual HRESULT OnChanged(DISPID dispid) = 0;
  virtual HRESULT OnRequestEdit(DISPID dispid) = 0;

 protected:
  ~IPropertyNotifySink() = default;
};

struct IConnectionPointContainer;

struct IConnectionPoint : IUnknown {
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  virtual HRESULT Unadvise(DWORD cookie) = 0;

 protected:
  ~IConnectionPoint() = default;
};

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

struct ISequentialStream : IUnknown {
  // Reads up to `size` bytes; *read tells how many arrived (0 at the end).
  virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
  virtual HRESULT Write(const void* buffer, ULONG size, ULONG* written) = 0;

 protected:
  ~ISequentialStream() = default;
};

struct IStream : ISequentialStream {
  // origin: 0 from the start, 1 from the current position, 2 from the end.
  virtual HRESULT Seek(int64_t move, DWORD origin, uint64_t* new_position) = 0;

 protected:
  ~IStream() = default;
};

// A storage holds named streams; persistence to a storage keeps a control's
// properties in its "Contents" stream.
struct IStorage : IUnknown {
  virtual HRESULT CreateStream(LPCOLESTR name, IStream** stream) = 0;
  virtual HRESULT OpenStream(LPCOLESTR name, IStream** stream) = 0;

 protected:
  ~IStorage() = default;
};

struct IPersist : IUnknown {
  virtual HRESULT GetClassID(CLSID* clsid) = 0;

 protected:
  ~IPersist() = default;
};

struct IPersistStreamInit : IPersist {
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* stream) = 0;
  virtual HRESULT Save(IStream* stream, BOOL clear_dirty) = 0;
  virtual HRESULT GetSizeMax(uint64_t* size) = 0;
  virtual HRESULT InitNew() = 0;

 protected:
  ~IPersistStreamInit() = default;
};

struct IPersistStorage : IPersist {
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT InitNew(IStorage* storage) = 0;
  virtual HRESULT Load(IStorage* storage) = 0;
  virtual HRESULT Save(IStorage* storage, BOOL same_as_load) = 0;
  virtual HRESULT SaveCompleted(IStorage* storage) = 0;
  virtual HRESULT HandsOffStorage() = 0;

 protected:
  ~IPersistStorage() = default;
};

struct IErrorLog : IUnknown {
  virtual HRESULT AddError(LPCOLESTR property, EXCEPINFO* excepinfo) = 0;

 protected:
  ~IErrorLog() = default;
};

struct IPropertyBag : IUnknown {
  // A property the bag does not hold answers E_INVALIDARG and leaves *value.
  virtual HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) = 0;
  virtual HRESULT Write(LPCOLESTR name, VARIANT* value) = 0;

 protected:
  ~IPropertyBag() = default;
};

struct IPersistPropertyBag : IPersist {
  virtual HRESULT InitNew() = 0;
  virtual HRESULT Load(IPropertyBag* bag, IErrorLog* log) = 0;
  virtual HRESULT Save(IPropertyBag* bag, BOOL clear_dirty, BOOL save_all) = 0;

 protected:
  ~IPersistPropertyBag() = default;
};

struct IProvideClassInfo : IUnknown {
  virtual HRESULT GetClassInfo(ITypeInfo** info) = 0;

 protected:
  ~IProvideClassInfo() = default;
};

inline constexpr DWORD GUIDKIND_DEFAULT_SOURCE_DISP_IID = 1;

struct IProvideClassInfo2 : IProvideClassInfo {
  virtual HRESULT GetGUID(DWORD kind, GUID* guid) = 0;

 protected:
  ~IProvideClassInfo2() = default;
};

// A counted array of GUIDs; the callee allocates pElems with CoTaskMemAlloc.
struct CAUUID {
  ULONG cElems;
  GUID* pElems;
};

struct ISpecifyPropertyPages : IUnknown {
  virtual HRESULT GetPages(CAUUID* pages) = 0;

 protected:
  ~ISpecifyPropertyPages() = default;
};

// A native window as the host's toolkit names it (Qt: QWidget::winId());
// 0 for none.
using HWND = uintptr_t;
struct SIZE {
  int32_t cx;
  int32_t cy;
};
struct RECT {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};
// Keyboard messages of the platform's own message loop; none here.
struct MSG;

// Strings are allocated with CoTaskMemAlloc and freed by the caller.
struct PROPPAGEINFO {
  ULONG cb;
  LPOLESTR pszTitle;
  SIZE size;
  LPOLESTR pszDocString;
  LPOLESTR pszHelpFile;
  DWORD dwHelpContext;
};

inline constexpr DWORD PROPPAGESTATUS_DIRTY = 0x1;
inline constexpr DWORD PROPPAGESTATUS_VALIDATE = 0x2;
inline constexpr DWORD PROPPAGESTATUS_CLEAN = 0x4;
inline constexpr UINT SW_HIDE = 0;
inline constexpr UINT SW_SHOW = 5;

// The frame that holds a property page.
struct IPropertyPageSite : IUnknown {
  virtual HRESULT OnStatusChange(DWORD flags) = 0;
  virtual HRESULT GetLocaleID(LCID* lcid) = 0;
  virtual HRESULT GetPageContainer(IUnknown** container) = 0;
  virtual HRESULT TranslateAccelerator(MSG* message) = 0;

 protected:
  ~IPropertyPageSite() = default;
};

// A property page: edits properties of the objects it is given, shown in
// a window of its own inside the frame's.
struct IPropertyPage : IUnknown {
  virtual HRESULT SetPageSite(IPropertyPageSite* site) = 0;
  virtual HRESULT Activate(HWND parent, const RECT* rect, BOOL modal) = 0;
  virtual HRESULT Deactivate() = 0;
  virtual HRESULT GetPageInfo(PROPPAGEINFO* info) = 0;
  virtual HRESULT SetObjects(ULONG count, IUnknown** objects) = 0;
  virtual HRESULT Show(UINT command) = 0;
  virtual HRESULT Move(const RECT* rect) = 0;
  virtual HRESULT IsPageDirty() = 0;
  virtual HRESULT Apply() = 0;
  virtual HRESULT Help(LPCOLESTR help_dir) = 0;
  virtual HRESULT TranslateAccelerator(MSG* message) = 0;

 protected:
  ~IPropertyPage() = default;
};

struct MemberTable;

struct IDispatchMembers : IUnknown {
  // The table stays valid for the life of the library that owns it.
  virtual HRESULT GetMemberTable(const MemberTable** table) = 0;

 protected:
  ~IDispatchMembers() = default;
};

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_INTERFACES_H_

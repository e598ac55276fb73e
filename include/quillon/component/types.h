// Fundamental automation types: result codes, GUIDs, UTF-16 strings, byte
// arrays and variants, laid out as automation hosts expect them so that an
// object's interface table can be called slot by slot from any host.
#ifndef QUILLON_COMPONENT_TYPES_H_
#define QUILLON_COMPONENT_TYPES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// ELF needs no import/export distinction: the runtime's symbols are visible
// to every library, so exception types and typeinfo match across libraries.
#define QUILLON_RUNTIME_API __attribute__((visibility("default")))

// Marks what a component library exports (its entry points and the plain
// C++ classes of its public headers).
#define QUILLON_EXPORT __attribute__((visibility("default")))

namespace quillon::com {

using HRESULT = int32_t;
using SCODE = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using WORD = uint16_t;
using UINT = uint32_t;
using LCID = uint32_t;
using DISPID = int32_t;
using MEMBERID = int32_t;
using VARTYPE = uint16_t;
using DATE = double;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BOOL = int32_t;

// An automation boolean: -1 is true, 0 is false. A distinct type so that the
// dispatch layer can tell it from a 16-bit integer.
enum VARIANT_BOOL : int16_t { VARIANT_FALSE = 0, VARIANT_TRUE = -1 };

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }
constexpr HRESULT MakeHresult(uint32_t value) { return static_cast<HRESULT>(value); }

// Result codes of the platform that hosts and components exchange.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeHresult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHresult(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHresult(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = MakeHresult(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = MakeHresult(0x8002000B);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHresult(0x8002000F);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MakeHresult(0x8002802B);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = MakeHresult(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = MakeHresult(0x80040151);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154);
inline constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9);
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MakeHresult(0x80080005);
inline constexpr HRESULT SELFREG_E_TYPELIB = MakeHresult(0x80040200);
inline constexpr HRESULT SELFREG_E_CLASS = MakeHresult(0x80040201);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = MakeHresult(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = MakeHresult(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = MakeHresult(0x80040202);

// Dispatch identifiers with a fixed meaning.
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID DISPID_NEWENUM = -4;
inline constexpr DISPID DISPID_ABOUTBOX = -552;

// Invoke flags; hosts combine METHOD and PROPERTYGET for `obj.Name(args)`.
inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

// 128-bit identities of classes, interfaces and type libraries.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
      if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
  }
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces required, hex digits
// in either case). Returns false and leaves *out untouched on any other text.
QUILLON_RUNTIME_API bool ParseGuid(std::string_view text, GUID* out);
// Formats with braces and upper-case digits, the registry's spelling.
QUILLON_RUNTIME_API std::string FormatGuid(const GUID& guid);

// Compile-time GUID literal: Guid("{92B7D145-934B-11D2-A69F-00A0C93ED440}").
consteval GUID Guid(const char (&s)[39]) {
  auto hex = [](char c) -> uint32_t {
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
    throw "bad hex digit in GUID literal";
  };
  auto read = [&](int pos, int digits) {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) v = (v << 4) | hex(s[pos + i]);
    return v;
  };
  if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}') {
    throw "malformed GUID literal";
  }
  GUID g{};
  g.Data1 = read(1, 8);
  g.Data2 = static_cast<uint16_t>(read(10, 4));
  g.Data3 = static_cast<uint16_t>(read(15, 4));
  g.Data4[0] = static_cast<uint8_t>(read(20, 2));
  g.Data4[1] = static_cast<uint8_t>(read(22, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(read(25 + 2 * i, 2));
  return g;
}

// ---------------------------------------------------------------------------
// Automation strings (BSTR): UTF-16 code units preceded by a 32-bit byte
// count and followed by a zero unit. NUL units may occur inside; the length
// prefix, not the terminator, decides where the string ends. A null BSTR is
// the empty string.
using BSTR = OLECHAR*;

QUILLON_RUNTIME_API BSTR SysAllocString(const OLECHAR* text);
QUILLON_RUNTIME_API BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
QUILLON_RUNTIME_API BSTR SysAllocStringByteLen(const char* bytes, UINT byte_length);
// Resizes *bstr to `length` units, keeping its first units (and copying
// `text` over them when given). FALSE when memory runs out; *bstr is then
// unchanged.
QUILLON_RUNTIME_API BOOL SysReAllocStringLen(BSTR* bstr, const OLECHAR* text, UINT length);
// A string of `length` units whose contents the caller writes at once (not
// zeroed: converters fill it straight away); nullptr when memory runs out.
QUILLON_RUNTIME_API BSTR AllocStringForWriting(UINT length);
QUILLON_RUNTIME_API void SysFreeString(BSTR bstr);
QUILLON_RUNTIME_API UINT SysStringLen(BSTR bstr);
QUILLON_RUNTIME_API UINT SysStringByteLen(BSTR bstr);
// Live automation strings of the process; tests use it to find leaks across
// the component boundary.
QUILLON_RUNTIME_API long LiveStringCount();

// ---------------------------------------------------------------------------
// Arrays. Only what the toolkit moves is supported: one-dimensional arrays of
// bytes (and of variants, for the element types a host may hand over).
struct SAFEARRAYBOUND {
  ULONG cElements;
  int32_t lLbound;
};

struct SAFEARRAY {
  uint16_t cDims;
  uint16_t fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};

inline constexpr uint16_t FADF_HAVEVARTYPE = 0x0080;

// ---------------------------------------------------------------------------
// Variant types.
enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

// Currency: a 64-bit integer scaled by 10,000.
struct CY {
  int64_t int64;
};

struct IUnknown;
struct IDispatch;
struct VARIANT;

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    int64_t llVal;
    int32_t lVal;
    uint8_t bVal;
    int16_t iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    int8_t cVal;
    uint16_t uiVal;
    uint32_t ulVal;
    uint64_t ullVal;
    uint8_t* pbVal;
    int16_t* piVal;
    int32_t* plVal;
    float* pfltVal;
    double* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    int8_t* pcVal;
    uint16_t* puiVal;
    uint32_t* pulVal;
    void* byref;
  };
};
using VARIANTARG = VARIANT;

struct DISPPARAMS {
  VARIANTARG* rgvarg;  // arguments in reverse order
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  // This runtime's Invoke puts the toolkit's message number of the failure
  // here (0 when it has none); hosts that do not know that ignore it.
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT(*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_TYPES_H_

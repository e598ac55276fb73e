// The automation runtime's free functions: variants, byte arrays, error
// information, task memory and object creation. Shaped like the platform
// functions of the same names so that component code reads as it would
// anywhere else; the runtime library is shared by hosts and components, so
// error information set by a component is seen by its host.
#ifndef QUILLON_COMPONENT_RUNTIME_H_
#define QUILLON_COMPONENT_RUNTIME_H_

#include <string>
#include <string_view>

#include "quillon/component/interfaces.h"
#include "quillon/component/types.h"

namespace quillon::com {

// --- Variants --------------------------------------------------------------
QUILLON_RUNTIME_API void VariantInit(VARIANT* v);
// Releases what the variant owns (string, array, interface) and sets it EMPTY.
// By-reference variants own nothing.
QUILLON_RUNTIME_API HRESULT VariantClear(VARIANT* v);
// Deep copy: strings and arrays are duplicated, interfaces AddRef'ed.
QUILLON_RUNTIME_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// Like VariantCopy, but a by-reference source is copied as the value it
// refers to.
QUILLON_RUNTIME_API HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
// Coerces `src` (by-reference sources are followed) to `vt` into `dest`,
// which may be `src` itself. Texts are parsed and formatted in one fixed,
// locale-independent form (see VariantToText). Failures: DISP_E_TYPEMISMATCH
// for values that have no form of the wanted type, DISP_E_OVERFLOW for
// numbers out of range. `dest` is left untouched on failure.
QUILLON_RUNTIME_API HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags,
                                              VARTYPE vt);

// --- Arrays ------------------------------------------------------------------
// A one-dimensional array of `count` elements of `vt` (VT_UI1 or VT_VARIANT)
// whose first index is `lower_bound`; elements start zeroed / EMPTY.
QUILLON_RUNTIME_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, int32_t lower_bound,
                                                     ULONG count);
QUILLON_RUNTIME_API HRESULT SafeArrayDestroy(SAFEARRAY* array);
QUILLON_RUNTIME_API HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy);
QUILLON_RUNTIME_API HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
QUILLON_RUNTIME_API UINT SafeArrayGetDim(SAFEARRAY* array);
QUILLON_RUNTIME_API HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, int32_t* bound);
QUILLON_RUNTIME_API HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, int32_t* bound);
QUILLON_RUNTIME_API HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
QUILLON_RUNTIME_API HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
// Live arrays of the process, for leak checks across the component boundary.
QUILLON_RUNTIME_API long LiveArrayCount();

// SafeArrayCreateVector(VT_UI1, lower_bound, count) for a caller that
// writes all `count` bytes at once: they are not zeroed, which a large
// value copied in would only pay for twice. nullptr when memory runs out.
QUILLON_RUNTIME_API SAFEARRAY* SafeArrayCreateBytesForWriting(int32_t lower_bound, ULONG count);

// --- Task memory ---------------------------------------------------------------
QUILLON_RUNTIME_API void* CoTaskMemAlloc(size_t size);
QUILLON_RUNTIME_API void CoTaskMemFree(void* block);

// --- Large buffers -----------------------------------------------------------------
// On a virtual machine every 4 KiB page a buffer touches for the first time
// is a fault that costs microseconds; a value of tens of megabytes faults
// tens of thousands of times.
//
// Freed automation strings and byte arrays of kMinCachedBuffer bytes and
// more are kept (at most kMaxCachedBuffers of them, kMaxCachedBytes in all,
// the oldest given back first) and handed to the next string or array of a
// like size, so that a large property read or written again and again
// reuses pages that are already there. A kept buffer is never handed out
// while a string or array still uses it.
inline constexpr size_t kMinCachedBuffer = size_t{64} << 10;
inline constexpr size_t kMaxCachedBuffers = 8;
inline constexpr size_t kMaxCachedBytes = size_t{64} << 20;
// What is kept now, in bytes; for tests and diagnostics.
QUILLON_RUNTIME_API size_t CachedBufferBytes();
// Small strings and arrays (up to 136 bytes with their prefix) are kept
// per thread instead: at most 16 freed blocks of each of 8 sizes, given to
// the thread's next ones and freed when the thread ends. How many this
// thread keeps now; for tests and diagnostics.
inline constexpr size_t kMaxCachedSmallBuffers = 8 * 16;
QUILLON_RUNTIME_API size_t CachedSmallBuffers();

// Buffers from this size on are worth the advice below.
inline constexpr size_t kLargeBuffer = size_t{4} << 20;
// Asks the kernel to back the untouched room [data, data + size) with huge
// pages where it can (transparent huge pages in "madvise" mode, Debian's
// default), so that filling it faults once per 2 MiB instead of once per
// 4 KiB. Smaller buffers, and a kernel that declines, change nothing; the
// contents are never affected.
QUILLON_RUNTIME_API void AdviseLargeBuffer(void* data, size_t size);
// The same advice for the whole huge pages inside [data, data + size),
// whatever its size: for memory laid out in aligned 2 MiB blocks.
//
// Both give no advice at all when the environment variable
// QUILLON_HUGE_PAGES is "0": on a virtual machine whose memory the host
// backs lazily, a huge page's first fault can stall for milliseconds.
QUILLON_RUNTIME_API void AdviseHugePages(void* data, size_t size);

// --- Error information ---------------------------------------------------------
// The calling thread's error object, set by a failing method and taken
// (and cleared) by whoever reports the failure.
QUILLON_RUNTIME_API HRESULT CreateErrorInfo(ICreateErrorInfo** info);
QUILLON_RUNTIME_API HRESULT SetErrorInfo(DWORD reserved, IErrorInfo* info);
// S_FALSE and *info = nullptr when there is none.
QUILLON_RUNTIME_API HRESULT GetErrorInfo(DWORD reserved, IErrorInfo** info);

// --- Creation --------------------------------------------------------------------
// Class contexts understood by CoCreateInstance / CoGetClassObject.
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_ALL = 0x17;

// ProgID (versioned or version-independent, following CurVer when the key
// has no CLSID of its own) to class identity; a ProgID that only a running
// program publishes (remote.h) gets an identity derived from its name.
// Unknown: CO_E_CLASSSTRING.
QUILLON_RUNTIME_API HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid);
// Accepts a braced GUID or a ProgID.
QUILLON_RUNTIME_API HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
// The class's ProgID value; the caller frees the result with CoTaskMemFree.
QUILLON_RUNTIME_API HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progid);
// Looks the class up in the registry, loads its InprocServer32 library once
// per process and asks it for the class object. Not registered:
// REGDB_E_CLASSNOTREG; library missing: CO_E_DLLNOTFOUND; no entry point:
// CO_E_ERRORINDLL. With CLSCTX_LOCAL_SERVER, a class without an
// InprocServer32 (or any class, when CLSCTX_INPROC_SERVER is not asked for)
// is served by starting its LocalServer32 program (remote.h); the program
// failing to start: CO_E_SERVER_EXEC_FAILURE.
QUILLON_RUNTIME_API HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved,
                                             REFIID iid, void** object);
QUILLON_RUNTIME_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context,
                                             REFIID iid, void** object);
// Asks every loaded library whether it may be unloaded and unloads those
// that agree.
QUILLON_RUNTIME_API void CoFreeUnusedLibraries();

// --- Text --------------------------------------------------------------------------
// UTF-8 <-> UTF-16 for the runtime's own texts (messages, names, registry
// values). Invalid sequences become U+FFFD. Code-page conversions of
// component data live in the platform layer.
QUILLON_RUNTIME_API std::u16string Utf8ToUtf16(std::string_view text);
QUILLON_RUNTIME_API std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_RUNTIME_H_

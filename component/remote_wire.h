// The byte form of out-of-process calls, shared by the proxy, the serving
// side and the frame fuzz target.
//
// Framing: every message is a 32-bit little-endian length followed by that
// many bytes; the first byte is the message kind. Lengths above
// kMaxFrameBytes are refused before anything is allocated.
//
// Values (little-endian throughout):
//   string   u32 unit count, then the UTF-16 units (embedded NULs kept)
//   variant  u16 vt, then by vt:
//            EMPTY/NULL: nothing; I1/UI1: 1 byte; I2/UI2/BOOL: 2;
//            I4/UI4/INT/UINT/ERROR/R4: 4; I8/UI8/R8/CY/DATE: 8;
//            BSTR: string; DISPATCH/UNKNOWN: nothing (null pointers only);
//            ARRAY|UI1: i32 lower bound, u32 count, bytes;
//            ARRAY|VARIANT: i32 lower bound, u32 count, variants;
//            BYREF|x: the value x refers to, encoded as x (BYREF|VARIANT: a
//            whole variant, which may not itself be by reference).
//   Nesting (variants inside arrays inside variants) stops at kMaxDepth.
#ifndef QUILLON_COMPONENT_REMOTE_WIRE_H_
#define QUILLON_COMPONENT_REMOTE_WIRE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/runtime.h"
#include "quillon/component/types.h"

namespace quillon::com::wire {

inline constexpr uint32_t kMaxFrameBytes = uint32_t{256} << 20;
inline constexpr int kMaxDepth = 16;

enum Kind : uint8_t {
  // Serving side to caller.
  kWelcome = 1,   // i32 hr: S_OK, or E_ACCESSDENIED before the server hangs up
  kReady = 2,     // 16-byte CLSID: a started program publishes its class object
  kCreated = 3,   // i32 hr
  kIdsReply = 4,  // i32 hr, u32 n, n x i32 dispid
  kInvokeReply = 5,
  // Caller to serving side.
  kCreate = 20,  // (no body) create the class's instance as IDispatch
  kGetIds = 21,  // u32 n, n x string
  kInvoke = 22,
  kRelease = 23,  // the caller is done; the server hangs up
};

// Appends values to a frame under construction.
class QUILLON_RUNTIME_API Writer {
 public:
  Writer();
  void U8(uint8_t v) { buf_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v);
  void U32(uint32_t v);
  void U64(uint64_t v);
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void Bytes(const void* data, size_t n) { buf_.append(static_cast<const char*>(data), n); }
  void String(const OLECHAR* text, size_t units);
  void Bstr(BSTR text) { String(text, SysStringLen(text)); }
  void Guid(const GUID& g);
  // DISP_E_TYPEMISMATCH for a live interface pointer, DISP_E_BADVARTYPE for a
  // type the runtime does not have or nesting beyond kMaxDepth.
  HRESULT Variant(const VARIANT& v, int depth = 0);
  // The finished frame: the length prefix filled in.
  std::string& Finish();
  // What has been written after the length prefix.
  std::string_view Body() const { return std::string_view(buf_).substr(4); }

 private:
  HRESULT Value(VARTYPE vt, const void* storage, int depth);
  std::string buf_;
};

// Reads values from one received frame body; every read checks what is left.
class QUILLON_RUNTIME_API Reader {
 public:
  explicit Reader(std::string_view data) : p_(data.data()), end_(data.data() + data.size()) {}
  bool U8(uint8_t* v);
  bool U16(uint16_t* v);
  bool U32(uint32_t* v);
  bool U64(uint64_t* v);
  bool I32(int32_t* v);
  bool String(std::u16string* out);
  // A new BSTR (nullptr for an empty string is never produced: "" allocates).
  bool Bstr(BSTR* out);
  bool Guid(GUID* out);
  // Fills a VariantInit'ed `out`; on failure `out` is left EMPTY with
  // nothing leaked. By-reference values arrive as `out` holding the value
  // with *byref_vt = the full by-reference type (0 for a direct value).
  bool Variant(VARIANT* out, VARTYPE* byref_vt, int depth = 0);
  bool AtEnd() const { return p_ == end_; }
  size_t left() const { return static_cast<size_t>(end_ - p_); }

 private:
  bool Take(void* dst, size_t n);
  bool Value(VARTYPE vt, VARIANT* out, int depth);
  const char* p_;
  const char* end_;
};

// Whether `vt` (without BYREF) is a type the wire carries.
QUILLON_RUNTIME_API bool Marshallable(VARTYPE vt);

// The width of a plain-number type's value (1, 2, 4 or 8 bytes, kept at the
// start of the variant's value storage); 0 for every other type.
QUILLON_RUNTIME_API int ScalarBytes(VARTYPE vt);

// A decoded call, as the serving side sees it. Owns its variants.
struct QUILLON_RUNTIME_API InvokeRequest {
  DISPID dispid = 0;
  LCID lcid = 0;
  WORD flags = 0;
  bool want_result = false;
  bool want_excepinfo = false;
  // Arguments in DISPPARAMS order (reversed). For a by-reference argument
  // `values[i]` holds the referenced value and `byref_vt[i]` its full type.
  std::vector<VARIANT> values;
  std::vector<VARTYPE> byref_vt;
  std::vector<DISPID> named;
  InvokeRequest() = default;
  InvokeRequest(const InvokeRequest&) = delete;
  InvokeRequest& operator=(const InvokeRequest&) = delete;
  ~InvokeRequest();
};

// Parses the body of a kInvoke frame (after the kind byte). False for
// anything malformed: wrong lengths, unknown types, more named arguments
// than arguments, bytes left over.
QUILLON_RUNTIME_API bool ParseInvoke(std::string_view body, InvokeRequest* request);

// A decoded reply to an Invoke, as the caller sees it.
struct QUILLON_RUNTIME_API InvokeReply {
  HRESULT hr = S_OK;
  VARIANT result;
  bool has_excepinfo = false;
  WORD w_code = 0;
  std::u16string source, description, help_file;
  DWORD help_context = 0;
  SCODE scode = 0;
  bool has_arg_error = false;
  UINT arg_error = 0;
  // New values of by-reference arguments: index into DISPPARAMS, value.
  std::vector<std::pair<UINT, VARIANT>> outs;
  bool has_error_info = false;
  GUID error_guid{};
  std::u16string error_source, error_description, error_help_file;
  DWORD error_help_context = 0;
  InvokeReply() { VariantInit(&result); }
  InvokeReply(const InvokeReply&) = delete;
  InvokeReply& operator=(const InvokeReply&) = delete;
  ~InvokeReply();
};

QUILLON_RUNTIME_API bool ParseInvokeReply(std::string_view body, InvokeReply* reply);

}  // namespace quillon::com::wire

#endif  // QUILLON_COMPONENT_REMOTE_WIRE_H_

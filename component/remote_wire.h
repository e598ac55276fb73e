// The byte form of out-of-process calls: framing, values and every message,
// each message's encoder beside its parser. Shared by the proxies, the
// serving side and the frame fuzz target.
//
// Framing: every message is a 32-bit little-endian length followed by that
// many bytes; the first byte is the message kind. A length above
// kMaxFrameBytes is never written (the writer refuses the message) and is
// refused by the reader before anything is allocated.
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
//
// The reader's budget. A count read from the wire (the elements of a
// variant array, the arguments of a call, the outs of a reply, the names of
// a lookup) is paid for before anything is allocated for it, from one
// budget per frame: half the frame's size (every element takes at least two
// bytes: a variant's type, even an empty one), and never more than
// kMaxFrameElements. Every well-formed frame fits its budget, because each
// element has bytes of its own; a frame whose nested arrays all claim the
// same bytes is refused at the first claim the budget cannot pay.
#ifndef QUILLON_COMPONENT_REMOTE_WIRE_H_
#define QUILLON_COMPONENT_REMOTE_WIRE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/component/remote.h"
#include "quillon/component/runtime.h"
#include "quillon/component/types.h"

namespace quillon::com::wire {

inline constexpr uint32_t kMaxFrameBytes = kMaxMessageBytes;
inline constexpr int kMaxDepth = 16;
// Declared elements one frame may carry: 32 MiB of variants once decoded.
inline constexpr uint64_t kMaxFrameElements = uint64_t{1} << 21;

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
  kRelease = 23,  // (no body) the caller is done; the server hangs up
};

// Appends values to a frame under construction. A counting writer keeps
// nothing but the size, to check a value (and learn its size) before it is
// written for real.
class QUILLON_RUNTIME_API Writer {
 public:
  enum class Mode { kWrite, kCount };
  // `limit`: the largest frame Finish accepts (smaller only in tests).
  explicit Writer(Mode mode = Mode::kWrite, uint64_t limit = kMaxFrameBytes);

  void U8(uint8_t v) { Put(&v, 1); }
  void U16(uint16_t v);
  void U32(uint32_t v);
  void U64(uint64_t v);
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void Bytes(const void* data, size_t n) { Put(data, n); }
  void String(const OLECHAR* text, size_t units);
  void String(std::u16string_view text) { String(text.data(), text.size()); }
  void Bstr(BSTR text) { String(text, SysStringLen(text)); }
  void Guid(const GUID& g);
  // DISP_E_TYPEMISMATCH for a live interface pointer, DISP_E_BADVARTYPE for a
  // type the runtime does not have or nesting beyond kMaxDepth. After a
  // failure the frame is unusable.
  HRESULT Variant(const VARIANT& v, int depth = 0);

  // Fills in the length prefix. False (nothing to send) when the frame is
  // larger than the limit; past the limit the writer keeps no bytes.
  bool Finish();
  // The frame (after Finish: ready to send).
  std::string& frame() { return buf_; }
  // What has been written after the length prefix (nothing once the frame
  // has grown past the limit).
  std::string_view Body() const {
    return buf_.size() < 4 ? std::string_view() : std::string_view(buf_).substr(4);
  }
  // Bytes after the length prefix, in both modes.
  uint64_t size() const { return size_; }

 private:
  void Put(const void* data, size_t n);
  HRESULT Value(VARTYPE vt, const void* storage, int depth);
  Mode mode_;
  uint64_t limit_;
  uint64_t size_ = 0;
  std::string buf_;
};

// Reads values from one received frame body; every read checks what is
// left, every declared count is paid from the frame's budget first.
class QUILLON_RUNTIME_API Reader {
 public:
  explicit Reader(std::string_view data);
  bool U8(uint8_t* v);
  bool U16(uint16_t* v);
  bool U32(uint32_t* v);
  bool U64(uint64_t* v);
  bool I32(int32_t* v);
  bool String(std::u16string* out);
  // A new BSTR ("" allocates too).
  bool Bstr(BSTR* out);
  bool Guid(GUID* out);
  // Fills a VariantInit'ed `out`; on failure `out` is left EMPTY with
  // nothing leaked. By-reference values arrive as `out` holding the value
  // with *byref_vt = the full by-reference type (0 for a direct value).
  bool Variant(VARIANT* out, VARTYPE* byref_vt, int depth = 0);
  // Pays for `count` declared elements, each of at least `min_bytes` bytes
  // still to come; false when the budget or the bytes left cannot cover it.
  bool Declare(uint64_t count, size_t min_bytes);
  bool AtEnd() const { return p_ == end_; }
  size_t left() const { return static_cast<size_t>(end_ - p_); }
  uint64_t budget() const { return budget_; }

 private:
  bool Take(void* dst, size_t n);
  bool Units(char16_t* out, uint32_t units);
  bool Value(VARTYPE vt, VARIANT* out, int depth);
  const char* p_;
  const char* end_;
  uint64_t budget_;
};

// Whether `vt` (without BYREF) is a type the wire carries.
QUILLON_RUNTIME_API bool Marshallable(VARTYPE vt);

// The width of a plain-number type's value (1, 2, 4 or 8 bytes, kept at the
// start of the variant's value storage); 0 for every other type.
QUILLON_RUNTIME_API int ScalarBytes(VARTYPE vt);

// Whether `v` can cross (as Writer::Variant decides) and the bytes it takes.
QUILLON_RUNTIME_API HRESULT MeasureVariant(const VARIANT& v, uint64_t* bytes);

// --- Messages -----------------------------------------------------------------------
// Each message: a struct, Encode (the whole frame, kind byte included,
// length prefix filled in; false when it cannot be sent) and Parse (the body
// after the kind byte; false for anything malformed, including bytes left
// over). Parse(Encode(x)) == x for every message.

struct Welcome {
  HRESULT hr = S_OK;
  friend bool operator==(const Welcome&, const Welcome&) = default;
};
QUILLON_RUNTIME_API bool Encode(const Welcome& m, Writer* w);
QUILLON_RUNTIME_API bool Parse(std::string_view body, Welcome* m);

struct Ready {
  CLSID clsid{};
  friend bool operator==(const Ready& a, const Ready& b) { return a.clsid == b.clsid; }
};
QUILLON_RUNTIME_API bool Encode(const Ready& m, Writer* w);
QUILLON_RUNTIME_API bool Parse(std::string_view body, Ready* m);

struct Created {
  HRESULT hr = S_OK;
  friend bool operator==(const Created&, const Created&) = default;
};
QUILLON_RUNTIME_API bool Encode(const Created& m, Writer* w);
QUILLON_RUNTIME_API bool Parse(std::string_view body, Created* m);

struct Create {
  friend bool operator==(const Create&, const Create&) = default;
};
QUILLON_RUNTIME_API bool Encode(const Create& m, Writer* w);
QUILLON_RUNTIME_API bool Parse(std::string_view body, Create* m);

struct Release {
  friend bool operator==(const Release&, const Release&) = default;
};
QUILLON_RUNTIME_API bool Encode(const Release& m, Writer* w);
QUILLON_RUNTIME_API bool Parse(std::string_view body, Release* m);

struct GetIds {
  std::vector<std::u16string> names;
  friend bool operator==(const GetIds&, const GetIds&) = default;
};
QUILLON_RUNTIME_API bool Encode(const GetIds& m, Writer* w);
QUILLON_RUNTIME_API bool Parse(std::string_view body, GetIds* m);

struct IdsReply {
  HRESULT hr = S_OK;
  std::vector<DISPID> ids;
  friend bool operator==(const IdsReply&, const IdsReply&) = default;
};
QUILLON_RUNTIME_API bool Encode(const IdsReply& m, Writer* w);
QUILLON_RUNTIME_API bool Parse(std::string_view body, IdsReply* m);

// A call as the caller makes it: the arguments are the caller's (borrowed).
struct InvokeCall {
  DISPID dispid = 0;
  LCID lcid = 0;
  WORD flags = 0;
  bool want_result = false;
  bool want_excepinfo = false;
  const DISPPARAMS* params = nullptr;
};
// Besides false for a frame that is too large: the failure of an argument
// that cannot cross (Writer::Variant's codes) with *bad_arg its index.
QUILLON_RUNTIME_API HRESULT Encode(const InvokeCall& m, Writer* w, UINT* bad_arg);

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

  // The arguments as a callee receives them: by-reference ones pointing into
  // `values`; direct ones moved out when `take_direct` (the caller then
  // owns and clears them: a callee may coerce them in place), else copies
  // of the bits that still belong to the request.
  std::vector<VARIANT> Arguments(bool take_direct);
  // The call viewed as its caller made it, over `args` from Arguments(false).
  InvokeCall AsCall(std::vector<VARIANT>* args, DISPPARAMS* params) const;
};
QUILLON_RUNTIME_API bool Parse(std::string_view body, InvokeRequest* m);

// A reply to an Invoke. Owns its variants.
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
// False when the result or an out cannot cross, or the frame is too large.
QUILLON_RUNTIME_API bool Encode(const InvokeReply& m, Writer* w);
QUILLON_RUNTIME_API bool Parse(std::string_view body, InvokeReply* m);

}  // namespace quillon::com::wire

#endif  // QUILLON_COMPONENT_REMOTE_WIRE_H_

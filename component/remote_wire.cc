// Encoding and decoding of out-of-process calls. The decoder reads bytes
// from another process, possibly a hostile one: every count is checked
// against the bytes actually left and paid from the frame's budget before
// anything is allocated.
#include "component/remote_wire.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quillon::com::wire {
namespace {

void ClearAll(std::vector<VARIANT>* values) {
  for (VARIANT& v : *values) VariantClear(&v);
  values->clear();
}

// The smallest encodings, for the budget's checks against the bytes left.
constexpr size_t kMinVariantBytes = 2;                 // vt
constexpr size_t kMinStringBytes = 4;                  // unit count
constexpr size_t kMinOutBytes = 4 + kMinVariantBytes;  // index, value

}  // namespace

bool Marshallable(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_VARIANT:
    case VT_UNKNOWN:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_ARRAY | VT_UI1:
    case VT_ARRAY | VT_VARIANT:
      return true;
    default:
      return false;
  }
}

int ScalarBytes(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_R4:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    default:
      return 0;
  }
}

HRESULT MeasureVariant(const VARIANT& v, uint64_t* bytes) {
  Writer counter(Writer::Mode::kCount);
  const HRESULT hr = counter.Variant(v);
  if (bytes != nullptr) *bytes = counter.size();
  return hr;
}

// --- Writer ------------------------------------------------------------------

Writer::Writer(Mode mode, uint64_t limit) : mode_(mode), limit_(limit) {
  if (mode_ == Mode::kWrite) buf_.assign(4, '\0');
}

void Writer::Put(const void* data, size_t n) {
  size_ += n;
  if (mode_ != Mode::kWrite) return;
  // Past the limit the frame can never be sent: count on, keep nothing.
  if (size_ > limit_) {
    std::string().swap(buf_);
    return;
  }
  buf_.append(static_cast<const char*>(data), n);
}

void Writer::U16(uint16_t v) {
  const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  Put(b, 2);
}

void Writer::U32(uint32_t v) {
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  Put(b, 4);
}

void Writer::U64(uint64_t v) {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  Put(b, 8);
}

void Writer::String(const OLECHAR* text, size_t units) {
  U32(static_cast<uint32_t>(units));
  if constexpr (std::endian::native == std::endian::little) {
    Put(text, units * 2);  // the units' own bytes are the wire's
  } else {
    for (size_t i = 0; i < units; ++i) U16(static_cast<uint16_t>(text[i]));
  }
}

void Writer::Guid(const GUID& g) {
  U32(g.Data1);
  U16(g.Data2);
  U16(g.Data3);
  Bytes(g.Data4, 8);
}

bool Writer::Finish() {
  // A length that does not fit the limit is refused, never cut to 32 bits.
  if (size_ > limit_ || mode_ != Mode::kWrite) return false;
  const auto n = static_cast<uint32_t>(size_);
  for (int i = 0; i < 4; ++i) buf_[i] = static_cast<char>(n >> (8 * i));
  return true;
}

HRESULT Writer::Variant(const VARIANT& v, int depth) {
  if (depth > kMaxDepth) return DISP_E_BADVARTYPE;
  if ((v.vt & VT_BYREF) != 0) {
    const auto base = static_cast<VARTYPE>(v.vt & ~VT_BYREF);
    if (!Marshallable(base) || base == VT_EMPTY || base == VT_NULL) return DISP_E_BADVARTYPE;
    if (v.byref == nullptr) return E_INVALIDARG;
    U16(v.vt);
    if (base == VT_VARIANT) {
      if ((v.pvarVal->vt & VT_BYREF) != 0) return DISP_E_BADVARTYPE;
      return Variant(*v.pvarVal, depth + 1);
    }
    return Value(base, v.byref, depth);
  }
  if (!Marshallable(v.vt) || v.vt == VT_VARIANT) return DISP_E_BADVARTYPE;
  U16(v.vt);
  return Value(v.vt, &v.llVal, depth);
}

HRESULT Writer::Value(VARTYPE vt, const void* storage, int depth) {
  switch (ScalarBytes(vt)) {
    case 1:
      U8(*static_cast<const uint8_t*>(storage));
      return S_OK;
    case 2:
      U16(*static_cast<const uint16_t*>(storage));
      return S_OK;
    case 4:
      U32(*static_cast<const uint32_t*>(storage));
      return S_OK;
    case 8:
      U64(*static_cast<const uint64_t*>(storage));
      return S_OK;
    default:
      break;
  }
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return S_OK;
    case VT_BSTR:
      Bstr(*static_cast<const BSTR*>(storage));
      return S_OK;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      // Interface pointers never cross; only "Nothing" does.
      return *static_cast<void* const*>(storage) == nullptr ? S_OK : DISP_E_TYPEMISMATCH;
    case VT_ARRAY | VT_UI1:
    case VT_ARRAY | VT_VARIANT: {
      SAFEARRAY* array = *static_cast<SAFEARRAY* const*>(storage);
      VARTYPE element = 0;
      if (array == nullptr || array->cDims != 1 || Failed(SafeArrayGetVartype(array, &element)) ||
          element != (vt & VT_TYPEMASK)) {
        return DISP_E_BADVARTYPE;
      }
      const ULONG count = array->rgsabound[0].cElements;
      I32(array->rgsabound[0].lLbound);
      U32(count);
      if (element == VT_UI1) {
        Bytes(array->pvData, count);
        return S_OK;
      }
      const auto* items = static_cast<const VARIANT*>(array->pvData);
      for (ULONG i = 0; i < count; ++i) {
        if ((items[i].vt & VT_BYREF) != 0) return DISP_E_BADVARTYPE;
        if (HRESULT hr = Variant(items[i], depth + 1); Failed(hr)) return hr;
      }
      return S_OK;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
}

// --- Reader --------------------------------------------------------------------

Reader::Reader(std::string_view data)
    : p_(data.data()),
      end_(data.data() + data.size()),
      budget_(std::min<uint64_t>(data.size() / kMinVariantBytes, kMaxFrameElements)) {}

bool Reader::Declare(uint64_t count, size_t min_bytes) {
  if (count > budget_ || (min_bytes != 0 && count > left() / min_bytes)) return false;
  budget_ -= count;
  return true;
}

bool Reader::Take(void* dst, size_t n) {
  if (left() < n) return false;
  if (n != 0) std::memcpy(dst, p_, n);
  p_ += n;
  return true;
}

bool Reader::U8(uint8_t* v) { return Take(v, 1); }

bool Reader::U16(uint16_t* v) {
  uint8_t b[2];
  if (!Take(b, 2)) return false;
  *v = static_cast<uint16_t>(b[0] | (b[1] << 8));
  return true;
}

bool Reader::U32(uint32_t* v) {
  uint8_t b[4];
  if (!Take(b, 4)) return false;
  *v = uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
  return true;
}

bool Reader::U64(uint64_t* v) {
  uint32_t lo = 0;
  uint32_t hi = 0;
  if (!U32(&lo) || !U32(&hi)) return false;
  *v = (uint64_t{hi} << 32) | lo;
  return true;
}

bool Reader::I32(int32_t* v) {
  uint32_t u = 0;
  if (!U32(&u)) return false;
  *v = static_cast<int32_t>(u);
  return true;
}

bool Reader::Units(char16_t* out, uint32_t units) {
  if constexpr (std::endian::native == std::endian::little) return Take(out, size_t{units} * 2);
  for (uint32_t i = 0; i < units; ++i) {
    uint16_t u = 0;
    if (!U16(&u)) return false;
    out[i] = static_cast<char16_t>(u);
  }
  return true;
}

bool Reader::String(std::u16string* out) {
  uint32_t units = 0;
  if (!U32(&units) || units > left() / 2) return false;
  out->resize(units);
  return Units(out->data(), units);
}

bool Reader::Bstr(BSTR* out) {
  uint32_t units = 0;
  if (!U32(&units) || units > left() / 2) return false;
  BSTR s = SysAllocStringLen(nullptr, units);
  if (s == nullptr) return false;
  Units(s, units);
  *out = s;
  return true;
}

bool Reader::Guid(GUID* out) {
  GUID g{};
  uint16_t d2 = 0;
  uint16_t d3 = 0;
  if (!U32(&g.Data1) || !U16(&d2) || !U16(&d3) || !Take(g.Data4, 8)) return false;
  g.Data2 = d2;
  g.Data3 = d3;
  *out = g;
  return true;
}

bool Reader::Variant(VARIANT* out, VARTYPE* byref_vt, int depth) {
  VariantInit(out);
  if (byref_vt != nullptr) *byref_vt = 0;
  if (depth > kMaxDepth) return false;
  uint16_t vt = 0;
  if (!U16(&vt)) return false;
  if ((vt & VT_BYREF) != 0) {
    const auto base = static_cast<VARTYPE>(vt & ~VT_BYREF);
    if (byref_vt == nullptr || !Marshallable(base) || base == VT_EMPTY || base == VT_NULL) {
      return false;
    }
    if (base == VT_VARIANT) {
      if (!Variant(out, nullptr, depth + 1)) return false;
    } else if (!Value(base, out, depth)) {
      return false;
    }
    *byref_vt = vt;
    return true;
  }
  if (!Marshallable(vt) || vt == VT_VARIANT) return false;
  return Value(vt, out, depth);
}

bool Reader::Value(VARTYPE vt, VARIANT* out, int depth) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  if (const int width = ScalarBytes(vt); width != 0) {
    const bool read = width == 1   ? U8(&v.bVal)
                      : width == 2 ? U16(&v.uiVal)
                      : width == 4 ? U32(&v.ulVal)
                                   : U64(&v.ullVal);
    if (!read) return false;
    *out = v;
    return true;
  }
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_DISPATCH:
    case VT_UNKNOWN:
      v.llVal = 0;
      break;
    case VT_BSTR:
      if (!Bstr(&v.bstrVal)) return false;
      break;
    case VT_ARRAY | VT_UI1:
    case VT_ARRAY | VT_VARIANT: {
      int32_t lower = 0;
      uint32_t count = 0;
      if (!I32(&lower) || !U32(&count)) return false;
      const bool bytes = vt == (VT_ARRAY | VT_UI1);
      // Bytes are here already; variants are allocated before they are
      // read, so their count is paid for first.
      if (bytes ? count > left() : !Declare(count, kMinVariantBytes)) return false;
      SAFEARRAY* array = SafeArrayCreateVector(bytes ? VT_UI1 : VT_VARIANT, lower, count);
      if (array == nullptr) return false;
      if (bytes) {
        Take(array->pvData, count);
      } else {
        auto* items = static_cast<VARIANT*>(array->pvData);
        for (uint32_t i = 0; i < count; ++i) {
          if (!Variant(&items[i], nullptr, depth + 1)) {
            SafeArrayDestroy(array);
            return false;
          }
        }
      }
      v.parray = array;
      break;
    }
    default:
      return false;
  }
  *out = v;
  return true;
}

// --- Small messages ------------------------------------------------------------------

namespace {

bool EncodeHr(Kind kind, HRESULT hr, Writer* w) {
  w->U8(kind);
  w->I32(hr);
  return w->Finish();
}

bool ParseHr(std::string_view body, HRESULT* hr) {
  Reader r(body);
  return r.I32(hr) && r.AtEnd();
}

bool EncodeEmpty(Kind kind, Writer* w) {
  w->U8(kind);
  return w->Finish();
}

}  // namespace

bool Encode(const Welcome& m, Writer* w) { return EncodeHr(kWelcome, m.hr, w); }
bool Parse(std::string_view body, Welcome* m) { return ParseHr(body, &m->hr); }

bool Encode(const Created& m, Writer* w) { return EncodeHr(kCreated, m.hr, w); }
bool Parse(std::string_view body, Created* m) { return ParseHr(body, &m->hr); }

bool Encode(const Create&, Writer* w) { return EncodeEmpty(kCreate, w); }
bool Parse(std::string_view body, Create*) { return body.empty(); }

bool Encode(const Release&, Writer* w) { return EncodeEmpty(kRelease, w); }
bool Parse(std::string_view body, Release*) { return body.empty(); }

bool Encode(const Ready& m, Writer* w) {
  w->U8(kReady);
  w->Guid(m.clsid);
  return w->Finish();
}

bool Parse(std::string_view body, Ready* m) {
  Reader r(body);
  return r.Guid(&m->clsid) && r.AtEnd();
}

bool Encode(const GetIds& m, Writer* w) {
  w->U8(kGetIds);
  w->U32(static_cast<uint32_t>(m.names.size()));
  for (const std::u16string& name : m.names) w->String(name);
  return w->Finish();
}

bool Parse(std::string_view body, GetIds* m) {
  Reader r(body);
  uint32_t n = 0;
  if (!r.U32(&n) || !r.Declare(n, kMinStringBytes)) return false;
  m->names.assign(n, std::u16string());
  for (auto& name : m->names) {
    if (!r.String(&name)) return false;
  }
  return r.AtEnd();
}

bool Encode(const IdsReply& m, Writer* w) {
  w->U8(kIdsReply);
  w->I32(m.hr);
  w->U32(static_cast<uint32_t>(m.ids.size()));
  for (DISPID id : m.ids) w->I32(id);
  return w->Finish();
}

bool Parse(std::string_view body, IdsReply* m) {
  Reader r(body);
  uint32_t n = 0;
  if (!r.I32(&m->hr) || !r.U32(&n) || r.left() != size_t{n} * 4) return false;
  m->ids.resize(n);
  for (DISPID& id : m->ids) r.I32(&id);
  return true;
}

// --- Calls ---------------------------------------------------------------------------

HRESULT Encode(const InvokeCall& m, Writer* w, UINT* bad_arg) {
  static const DISPPARAMS kNone{nullptr, nullptr, 0, 0};
  const DISPPARAMS& params = m.params != nullptr ? *m.params : kNone;
  w->U8(kInvoke);
  w->I32(m.dispid);
  w->U32(m.lcid);
  w->U16(m.flags);
  w->U8(m.want_result ? 1 : 0);
  w->U8(m.want_excepinfo ? 1 : 0);
  w->U32(params.cArgs);
  for (UINT i = 0; i < params.cArgs; ++i) {
    if (HRESULT hr = w->Variant(params.rgvarg[i]); Failed(hr)) {
      if (bad_arg != nullptr) *bad_arg = i;
      return hr;
    }
  }
  w->U32(params.cNamedArgs);
  for (UINT i = 0; i < params.cNamedArgs; ++i) w->I32(params.rgdispidNamedArgs[i]);
  // As the platform's marshaller answers a message it cannot carry.
  return w->Finish() ? S_OK : E_OUTOFMEMORY;
}

InvokeRequest::~InvokeRequest() { ClearAll(&values); }

std::vector<VARIANT> InvokeRequest::Arguments(bool take_direct) {
  const size_t count = values.size();
  std::vector<VARIANT> args(count);
  for (size_t i = 0; i < count; ++i) {
    VariantInit(&args[i]);
    const VARTYPE byref = byref_vt[i];
    if (byref == 0) {
      args[i] = values[i];
      if (take_direct) VariantInit(&values[i]);
    } else {
      args[i].vt = byref;
      args[i].byref = (byref & ~VT_BYREF) == VT_VARIANT ? static_cast<void*>(&values[i])
                                                        : static_cast<void*>(&values[i].llVal);
    }
  }
  return args;
}

InvokeCall InvokeRequest::AsCall(std::vector<VARIANT>* args, DISPPARAMS* params) const {
  *params = DISPPARAMS{args->data(), const_cast<DISPID*>(named.data()),
                       static_cast<UINT>(args->size()), static_cast<UINT>(named.size())};
  return InvokeCall{dispid, lcid, flags, want_result, want_excepinfo, params};
}

bool Parse(std::string_view body, InvokeRequest* m) {
  Reader r(body);
  int32_t dispid = 0;
  uint32_t lcid = 0;
  uint16_t flags = 0;
  uint8_t want_result = 0;
  uint8_t want_excepinfo = 0;
  uint32_t count = 0;
  if (!r.I32(&dispid) || !r.U32(&lcid) || !r.U16(&flags) || !r.U8(&want_result) ||
      !r.U8(&want_excepinfo) || !r.U32(&count) || !r.Declare(count, kMinVariantBytes)) {
    return false;
  }
  m->dispid = dispid;
  m->lcid = lcid;
  m->flags = flags;
  m->want_result = want_result != 0;
  m->want_excepinfo = want_excepinfo != 0;
  m->values.reserve(count);
  m->byref_vt.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    VARIANT v;
    VARTYPE byref = 0;
    if (!r.Variant(&v, &byref)) return false;
    m->values.push_back(v);
    m->byref_vt.push_back(byref);
  }
  uint32_t named = 0;
  if (!r.U32(&named) || named > count || named > r.left() / 4) return false;
  m->named.resize(named);
  for (uint32_t i = 0; i < named; ++i) r.I32(&m->named[i]);
  return r.AtEnd();
}

InvokeReply::~InvokeReply() {
  VariantClear(&result);
  for (auto& [index, value] : outs) VariantClear(&value);
}

bool Encode(const InvokeReply& m, Writer* w) {
  w->U8(kInvokeReply);
  w->I32(m.hr);
  if (Failed(w->Variant(m.result))) return false;
  w->U8(m.has_excepinfo ? 1 : 0);
  if (m.has_excepinfo) {
    w->U16(m.w_code);
    w->String(m.source);
    w->String(m.description);
    w->String(m.help_file);
    w->U32(m.help_context);
    w->I32(m.scode);
  }
  w->U8(m.has_arg_error ? 1 : 0);
  if (m.has_arg_error) w->U32(m.arg_error);
  w->U32(static_cast<uint32_t>(m.outs.size()));
  for (const auto& [index, value] : m.outs) {
    w->U32(index);
    if (Failed(w->Variant(value))) return false;
  }
  w->U8(m.has_error_info ? 1 : 0);
  if (m.has_error_info) {
    w->Guid(m.error_guid);
    w->String(m.error_source);
    w->String(m.error_description);
    w->String(m.error_help_file);
    w->U32(m.error_help_context);
  }
  return w->Finish();
}

bool Parse(std::string_view body, InvokeReply* m) {
  Reader r(body);
  uint8_t flag = 0;
  if (!r.I32(&m->hr) || !r.Variant(&m->result, nullptr) || !r.U8(&flag)) return false;
  m->has_excepinfo = flag != 0;
  if (m->has_excepinfo &&
      (!r.U16(&m->w_code) || !r.String(&m->source) || !r.String(&m->description) ||
       !r.String(&m->help_file) || !r.U32(&m->help_context) || !r.I32(&m->scode))) {
    return false;
  }
  if (!r.U8(&flag)) return false;
  m->has_arg_error = flag != 0;
  if (m->has_arg_error && !r.U32(&m->arg_error)) return false;
  uint32_t outs = 0;
  if (!r.U32(&outs) || !r.Declare(outs, kMinOutBytes)) return false;
  m->outs.reserve(outs);
  for (uint32_t i = 0; i < outs; ++i) {
    uint32_t index = 0;
    VARIANT v;
    if (!r.U32(&index) || !r.Variant(&v, nullptr)) return false;
    m->outs.emplace_back(index, v);
  }
  if (!r.U8(&flag)) return false;
  m->has_error_info = flag != 0;
  if (m->has_error_info &&
      (!r.Guid(&m->error_guid) || !r.String(&m->error_source) || !r.String(&m->error_description) ||
       !r.String(&m->error_help_file) || !r.U32(&m->error_help_context))) {
    return false;
  }
  return r.AtEnd();
}

}  // namespace quillon::com::wire

// Encoding and decoding of out-of-process calls. The decoder reads bytes
// from another process, possibly a hostile one: every count is checked
// against the bytes actually left before anything is allocated.
#include "component/remote_wire.h"

#include <cstring>

namespace quillon::com::wire {
namespace {

void ClearAll(std::vector<VARIANT>* values) {
  for (VARIANT& v : *values) VariantClear(&v);
  values->clear();
}

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

// --- Writer ------------------------------------------------------------------

Writer::Writer() { buf_.assign(4, '\0'); }

void Writer::U16(uint16_t v) {
  U8(static_cast<uint8_t>(v));
  U8(static_cast<uint8_t>(v >> 8));
}

void Writer::U32(uint32_t v) {
  for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::U64(uint64_t v) {
  for (int i = 0; i < 8; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::String(const OLECHAR* text, size_t units) {
  U32(static_cast<uint32_t>(units));
  for (size_t i = 0; i < units; ++i) U16(static_cast<uint16_t>(text[i]));
}

void Writer::Guid(const GUID& g) {
  U32(g.Data1);
  U16(g.Data2);
  U16(g.Data3);
  Bytes(g.Data4, 8);
}

std::string& Writer::Finish() {
  const auto n = static_cast<uint32_t>(buf_.size() - 4);
  for (int i = 0; i < 4; ++i) buf_[i] = static_cast<char>(n >> (8 * i));
  return buf_;
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

bool Reader::Take(void* dst, size_t n) {
  if (left() < n) return false;
  std::memcpy(dst, p_, n);
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

bool Reader::String(std::u16string* out) {
  uint32_t units = 0;
  if (!U32(&units) || units > left() / 2) return false;
  out->resize(units);
  for (uint32_t i = 0; i < units; ++i) {
    uint16_t u = 0;
    U16(&u);
    (*out)[i] = static_cast<char16_t>(u);
  }
  return true;
}

bool Reader::Bstr(BSTR* out) {
  uint32_t units = 0;
  if (!U32(&units) || units > left() / 2) return false;
  BSTR s = SysAllocStringLen(nullptr, units);
  if (s == nullptr) return false;
  for (uint32_t i = 0; i < units; ++i) {
    uint16_t u = 0;
    U16(&u);
    s[i] = static_cast<char16_t>(u);
  }
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
      // Every variant takes at least its two type bytes.
      if (count > (bytes ? left() : left() / 2)) return false;
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

// --- Calls -----------------------------------------------------------------------

InvokeRequest::~InvokeRequest() { ClearAll(&values); }

InvokeReply::~InvokeReply() {
  VariantClear(&result);
  for (auto& [index, value] : outs) VariantClear(&value);
}

bool ParseInvoke(std::string_view body, InvokeRequest* request) {
  Reader r(body);
  int32_t dispid = 0;
  uint32_t lcid = 0;
  uint16_t flags = 0;
  uint8_t want_result = 0;
  uint8_t want_excepinfo = 0;
  uint32_t count = 0;
  if (!r.I32(&dispid) || !r.U32(&lcid) || !r.U16(&flags) || !r.U8(&want_result) ||
      !r.U8(&want_excepinfo) || !r.U32(&count) || count > r.left() / 2) {
    return false;
  }
  request->dispid = dispid;
  request->lcid = lcid;
  request->flags = flags;
  request->want_result = want_result != 0;
  request->want_excepinfo = want_excepinfo != 0;
  request->values.reserve(count);
  request->byref_vt.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    VARIANT v;
    VARTYPE byref = 0;
    if (!r.Variant(&v, &byref)) return false;
    request->values.push_back(v);
    request->byref_vt.push_back(byref);
  }
  uint32_t named = 0;
  if (!r.U32(&named) || named > count || named > r.left() / 4) return false;
  request->named.resize(named);
  for (uint32_t i = 0; i < named; ++i) r.I32(&request->named[i]);
  return r.AtEnd();
}

bool ParseInvokeReply(std::string_view body, InvokeReply* reply) {
  Reader r(body);
  uint8_t flag = 0;
  if (!r.I32(&reply->hr) || !r.Variant(&reply->result, nullptr) || !r.U8(&flag)) return false;
  reply->has_excepinfo = flag != 0;
  if (reply->has_excepinfo &&
      (!r.U16(&reply->w_code) || !r.String(&reply->source) || !r.String(&reply->description) ||
       !r.String(&reply->help_file) || !r.U32(&reply->help_context) || !r.I32(&reply->scode))) {
    return false;
  }
  if (!r.U8(&flag)) return false;
  reply->has_arg_error = flag != 0;
  if (reply->has_arg_error && !r.U32(&reply->arg_error)) return false;
  uint32_t outs = 0;
  if (!r.U32(&outs) || outs > r.left() / 6) return false;
  for (uint32_t i = 0; i < outs; ++i) {
    uint32_t index = 0;
    VARIANT v;
    if (!r.U32(&index) || !r.Variant(&v, nullptr)) return false;
    reply->outs.emplace_back(index, v);
  }
  if (!r.U8(&flag)) return false;
  reply->has_error_info = flag != 0;
  if (reply->has_error_info &&
      (!r.Guid(&reply->error_guid) || !r.String(&reply->error_source) ||
       !r.String(&reply->error_description) || !r.String(&reply->error_help_file) ||
       !r.U32(&reply->error_help_context))) {
    return false;
  }
  return r.AtEnd();
}

}  // namespace quillon::com::wire

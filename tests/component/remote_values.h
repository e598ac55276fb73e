// Values for the out-of-process tests: one of every kind the wire carries,
// and the deep equality the wire must keep.
#ifndef QUILLON_TESTS_COMPONENT_REMOTE_VALUES_H_
#define QUILLON_TESTS_COMPONENT_REMOTE_VALUES_H_

#include <cstring>
#include <string_view>
#include <vector>

#include "component/remote_wire.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace quillon::com::testing {

// Deep equality of values as the wire must keep them (type, bits, string
// units, array bounds and elements).
inline bool Same(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return true;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return a.punkVal == b.punkVal;
    case VT_BSTR:
      return SysStringLen(a.bstrVal) == SysStringLen(b.bstrVal) &&
             std::memcmp(a.bstrVal, b.bstrVal, SysStringByteLen(a.bstrVal)) == 0;
    case VT_ARRAY | VT_UI1:
    case VT_ARRAY | VT_VARIANT: {
      const SAFEARRAYBOUND& x = a.parray->rgsabound[0];
      const SAFEARRAYBOUND& y = b.parray->rgsabound[0];
      if (x.cElements != y.cElements || x.lLbound != y.lLbound) return false;
      if (a.vt == (VT_ARRAY | VT_UI1)) {
        return std::memcmp(a.parray->pvData, b.parray->pvData, x.cElements) == 0;
      }
      for (ULONG i = 0; i < x.cElements; ++i) {
        if (!Same(static_cast<VARIANT*>(a.parray->pvData)[i],
                  static_cast<VARIANT*>(b.parray->pvData)[i])) {
          return false;
        }
      }
      return true;
    }
    default:
      return std::memcmp(&a.llVal, &b.llVal, static_cast<size_t>(wire::ScalarBytes(a.vt))) == 0;
  }
}

inline Variant Scalar(VARTYPE vt, uint64_t bits) {
  Variant v;
  v.get()->vt = vt;
  v.get()->ullVal = 0;
  std::memcpy(&v.get()->llVal, &bits, static_cast<size_t>(wire::ScalarBytes(vt)));
  return v;
}

inline Variant VariantArray(int32_t lower, std::vector<Variant> items) {
  Variant v;
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, lower, static_cast<ULONG>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    static_cast<VARIANT*>(array->pvData)[i] = items[i].Detach();
  }
  v.get()->vt = VT_ARRAY | VT_VARIANT;
  v.get()->parray = array;
  return v;
}

// One value of every kind the runtime has.
inline std::vector<Variant> EveryKind() {
  float r4 = -1.5f;
  uint32_t r4_bits = 0;
  std::memcpy(&r4_bits, &r4, 4);
  std::vector<Variant> values;
  values.push_back(Variant());
  values.push_back(Variant::Null());
  values.push_back(Variant::I2(-2));
  values.push_back(Variant::I4(-123456789));
  values.push_back(Scalar(VT_R4, r4_bits));
  values.push_back(Variant::R8(3.25e300));
  values.push_back(Scalar(VT_CY, 0x8000000000000001ull));
  values.push_back(Variant::Date(36526.75));
  values.push_back(Variant::String(std::u16string_view(u"a\0b\u00e9\U0001F600", 6)));
  values.push_back(Variant::String(u""));
  values.push_back(Variant::Error(DISP_E_PARAMNOTFOUND));
  values.push_back(Variant::Bool(true));
  values.push_back(Scalar(VT_I1, 0x80));
  values.push_back(Scalar(VT_UI1, 0xFF));
  values.push_back(Scalar(VT_UI2, 0xFFFE));
  values.push_back(Scalar(VT_UI4, 0xFFFFFFFD));
  values.push_back(Scalar(VT_I8, 0x8000000000000000ull));
  values.push_back(Scalar(VT_UI8, 0xFFFFFFFFFFFFFFFFull));
  values.push_back(Scalar(VT_INT, 0x7FFFFFFF));
  values.push_back(Scalar(VT_UINT, 42));
  values.push_back(Variant::Bytes(std::string_view("\0\x01\xff", 3), 3));
  values.push_back(Variant::Bytes(std::string_view(), -1));
  std::vector<Variant> inner;
  inner.push_back(Variant::Utf8("x"));
  inner.push_back(Variant::I4(7));
  inner.push_back(Variant::Bytes(std::string_view("zz"), 1));
  inner.push_back(VariantArray(0, {}));
  values.push_back(VariantArray(-2, std::move(inner)));
  values.push_back(Variant::Dispatch(nullptr));
  return values;
}

}  // namespace quillon::com::testing

#endif  // QUILLON_TESTS_COMPONENT_REMOTE_VALUES_H_

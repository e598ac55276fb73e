#include "quillon/component/variant.h"

#include <cmath>
#include <cstring>
#include <new>

#include "quillon/component/interfaces.h"
#include "quillon/component/runtime.h"

namespace quillon::com {

void VariantInit(VARIANT* v) { std::memset(v, 0, sizeof *v); }

HRESULT VariantClear(VARIANT* v) {
  if (v == nullptr) return E_INVALIDARG;
  if ((v->vt & VT_BYREF) == 0) {
    if ((v->vt & VT_ARRAY) != 0) {
      SafeArrayDestroy(v->parray);
    } else {
      switch (v->vt) {
        case VT_BSTR:
          SysFreeString(v->bstrVal);
          break;
        case VT_DISPATCH:
        case VT_UNKNOWN:
          if (v->punkVal != nullptr) v->punkVal->Release();
          break;
        default:
          break;
      }
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (dest == src) return S_OK;
  VARIANT copy = *src;
  if ((src->vt & VT_BYREF) == 0) {
    if ((src->vt & VT_ARRAY) != 0) {
      HRESULT hr = SafeArrayCopy(src->parray, &copy.parray);
      if (Failed(hr)) return hr;
    } else if (src->vt == VT_BSTR) {
      if (src->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(src->bstrVal),
                                             SysStringByteLen(src->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
      }
    } else if (src->vt == VT_DISPATCH || src->vt == VT_UNKNOWN) {
      if (src->punkVal != nullptr) src->punkVal->AddRef();
    }
  }
  VariantClear(dest);
  *dest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if ((src->vt & VT_BYREF) == 0) return VariantCopy(dest, src);
  VARTYPE base = src->vt & ~VT_BYREF;
  if (base == VT_VARIANT) {
    if (src->pvarVal == nullptr) return E_INVALIDARG;
    Variant inner(*src->pvarVal);
    VARIANT tmp = inner.Detach();
    if ((tmp.vt & VT_BYREF) != 0) {  // a reference to a reference: follow once more
      HRESULT hr = VariantCopyInd(dest, &tmp);
      return hr;
    }
    VariantClear(dest);
    *dest = tmp;
    return S_OK;
  }
  VARIANT value{};
  value.vt = base;
  if (src->byref == nullptr) return E_INVALIDARG;
  if ((base & VT_ARRAY) != 0) {
    value.parray = *src->pparray;
  } else {
    switch (base) {
      case VT_I2: value.iVal = *src->piVal; break;
      case VT_I4: value.lVal = *src->plVal; break;
      case VT_R4: value.fltVal = *src->pfltVal; break;
      case VT_R8: value.dblVal = *src->pdblVal; break;
      case VT_CY: value.cyVal = *src->pcyVal; break;
      case VT_DATE: value.date = *src->pdate; break;
      case VT_BSTR: value.bstrVal = *src->pbstrVal; break;
      case VT_DISPATCH: value.pdispVal = *src->ppdispVal; break;
      case VT_UNKNOWN: value.punkVal = *src->ppunkVal; break;
      case VT_ERROR: value.scode = *src->pscode; break;
      case VT_BOOL: value.boolVal = *src->pboolVal; break;
      case VT_I1: value.cVal = *src->pcVal; break;
      case VT_UI1: value.bVal = *src->pbVal; break;
      case VT_UI2: value.uiVal = *src->puiVal; break;
      case VT_UI4: value.ulVal = *src->pulVal; break;
      case VT_INT: value.lVal = *src->plVal; break;
      case VT_UINT: value.ulVal = *src->pulVal; break;
      case VT_I8: case VT_UI8: std::memcpy(&value.llVal, src->byref, 8); break;
      default: return DISP_E_BADVARTYPE;
    }
  }
  return VariantCopy(dest, &value);
}

Variant::Variant(const Variant& other) {
  VariantInit(&v_);
  if (Failed(VariantCopy(&v_, &other.v_))) throw std::bad_alloc();
}

Variant::Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }

Variant::Variant(const VARIANT& other) {
  VariantInit(&v_);
  if (Failed(VariantCopy(&v_, &other))) throw std::bad_alloc();
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    VariantClear(&v_);
    v_ = other.v_;
    VariantInit(&other.v_);
  }
  return *this;
}

Variant Variant::Null() {
  Variant v;
  v.v_.vt = VT_NULL;
  return v;
}

Variant Variant::I2(int16_t value) {
  Variant v;
  v.v_.vt = VT_I2;
  v.v_.iVal = value;
  return v;
}

Variant Variant::I4(int32_t value) {
  Variant v;
  v.v_.vt = VT_I4;
  v.v_.lVal = value;
  return v;
}

Variant Variant::R8(double value) {
  Variant v;
  v.v_.vt = VT_R8;
  v.v_.dblVal = value;
  return v;
}

Variant Variant::Bool(bool value) {
  Variant v;
  v.v_.vt = VT_BOOL;
  v.v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

Variant Variant::Date(DATE value) {
  Variant v;
  v.v_.vt = VT_DATE;
  v.v_.date = value;
  return v;
}

Variant Variant::Error(SCODE code) {
  Variant v;
  v.v_.vt = VT_ERROR;
  v.v_.scode = code;
  return v;
}

Variant Variant::String(std::u16string_view text) {
  Variant v;
  BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (s == nullptr) throw std::bad_alloc();
  v.v_.vt = VT_BSTR;
  v.v_.bstrVal = s;
  return v;
}

Variant Variant::AdoptBstr(BSTR text) {
  Variant v;
  v.v_.vt = VT_BSTR;
  v.v_.bstrVal = text;
  return v;
}

Variant Variant::Bytes(std::span<const uint8_t> bytes, int32_t lower_bound) {
  if (bytes.size() > 0xFFFFFFFFu) throw std::bad_alloc();
  SAFEARRAY* a = SafeArrayCreateBytesForWriting(lower_bound, static_cast<ULONG>(bytes.size()));
  if (a == nullptr) throw std::bad_alloc();
  if (!bytes.empty()) std::memcpy(a->pvData, bytes.data(), bytes.size());
  Variant v;
  v.v_.vt = VT_ARRAY | VT_UI1;
  v.v_.parray = a;
  return v;
}

Variant Variant::Bytes(std::string_view bytes, int32_t lower_bound) {
  return Bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()),
                                        bytes.size()),
               lower_bound);
}

Variant Variant::Dispatch(IDispatch* object) {
  Variant v;
  v.v_.vt = VT_DISPATCH;
  v.v_.pdispVal = object;
  if (object != nullptr) object->AddRef();
  return v;
}

Variant Variant::Unknown(IUnknown* object) {
  Variant v;
  v.v_.vt = VT_UNKNOWN;
  v.v_.punkVal = object;
  if (object != nullptr) object->AddRef();
  return v;
}

Variant Variant::RefTo(VARIANT* target) {
  Variant v;
  v.v_.vt = VT_BYREF | VT_VARIANT;
  v.v_.pvarVal = target;
  return v;
}

void Variant::Adopt(VARIANT* other) {
  VariantClear(&v_);
  v_ = *other;
  VariantInit(other);
}

VARIANT Variant::Detach() {
  VARIANT out = v_;
  VariantInit(&v_);
  return out;
}

bool Variant::GetBytes(const VARIANT& v, std::string* out) {
  const VARIANT* d = &v;
  if (d->vt == (VT_BYREF | VT_VARIANT) && d->pvarVal != nullptr) d = d->pvarVal;
  SAFEARRAY* a = nullptr;
  if (d->vt == (VT_ARRAY | VT_UI1)) {
    a = d->parray;
  } else if (d->vt == (VT_BYREF | VT_ARRAY | VT_UI1) && d->pparray != nullptr) {
    a = *d->pparray;
  } else {
    return false;
  }
  if (a == nullptr || a->cDims != 1 || a->cbElements != 1) return false;
  out->assign(static_cast<const char*>(a->pvData), a->rgsabound[0].cElements);
  return true;
}

// Dates: the day count is signed and the fraction always counts forward from
// midnight, so -1.25 is 29 Dec 1899 06:00.
namespace {

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t year = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(year + (*m <= 2));
}

// 30 Dec 1899 in days since 1 Jan 1970.
constexpr int64_t kDateEpoch = -25569;

}  // namespace

bool DateToParts(DATE date, DateParts* parts) {
  if (!std::isfinite(date) || date < -657435.0 || date >= 2958466.0) return false;
  double whole = std::trunc(date);
  double frac = std::fabs(date - whole);
  auto seconds = static_cast<int64_t>(std::llround(frac * 86400.0));
  auto day = static_cast<int64_t>(whole);
  if (seconds >= 86400) {
    seconds -= 86400;
    day += date < 0 ? -1 : 1;
  }
  CivilFromDays(day + kDateEpoch, &parts->year, &parts->month, &parts->day);
  parts->hour = static_cast<int>(seconds / 3600);
  parts->minute = static_cast<int>(seconds / 60 % 60);
  parts->second = static_cast<int>(seconds % 60);
  return true;
}

bool PartsToDate(const DateParts& p, DATE* date) {
  if (p.month < 1 || p.month > 12 || p.day < 1 || p.day > 31 || p.hour < 0 || p.hour > 23 ||
      p.minute < 0 || p.minute > 59 || p.second < 0 || p.second > 59 || p.year < 100 ||
      p.year > 9999) {
    return false;
  }
  int y, m, d;
  int64_t days = DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day));
  CivilFromDays(days, &y, &m, &d);
  if (d != p.day || m != p.month) return false;  // 31 April and the like
  double whole = static_cast<double>(days - kDateEpoch);
  double frac = (p.hour * 3600 + p.minute * 60 + p.second) / 86400.0;
  *date = whole >= 0 ? whole + frac : whole - frac;
  return true;
}

}  // namespace quillon::com

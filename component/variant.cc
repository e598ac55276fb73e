#include "quillon/component/variant.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "quillon/component/date.h"
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

namespace {

// Sets `v` as two whole words: the type (reserved words zero) and the
// value (zero past its own bytes). A value is handed on through several
// VARIANTs in one late-bound call, each copied as words; a word read back
// from narrower stores (a 2-byte type, a 4-byte value) cannot be taken from
// them on its way to memory and waits for them, at every step.
template <class T>
void SetWords(VARIANT* v, VARTYPE vt, T value) {
  static_assert(sizeof(T) <= 8 && sizeof(VARIANT) == 16);
  uint64_t head = 0;
  uint64_t bits = 0;
  if constexpr (std::endian::native == std::endian::little) {
    head = vt;
    std::memcpy(&bits, &value, sizeof value);
  } else {
    VARIANT t{};
    t.vt = vt;
    std::memcpy(&t.llVal, &value, sizeof value);
    std::memcpy(&head, &t, 8);
    std::memcpy(&bits, &t.llVal, 8);
  }
  std::memcpy(v, &head, 8);
  std::memcpy(&v->llVal, &bits, 8);
}

}  // namespace

Variant Variant::Null() {
  Variant v;
  SetWords(&v.v_, VT_NULL, uint64_t{0});
  return v;
}

Variant Variant::I2(int16_t value) {
  Variant v;
  SetWords(&v.v_, VT_I2, value);
  return v;
}

Variant Variant::I4(int32_t value) {
  Variant v;
  SetWords(&v.v_, VT_I4, value);
  return v;
}

Variant Variant::R8(double value) {
  Variant v;
  SetWords(&v.v_, VT_R8, value);
  return v;
}

Variant Variant::Bool(bool value) {
  Variant v;
  SetWords(&v.v_, VT_BOOL, value ? VARIANT_TRUE : VARIANT_FALSE);
  return v;
}

Variant Variant::Date(DATE value) {
  Variant v;
  SetWords(&v.v_, VT_DATE, value);
  return v;
}

Variant Variant::Error(SCODE code) {
  Variant v;
  SetWords(&v.v_, VT_ERROR, code);
  return v;
}

Variant Variant::String(std::u16string_view text) {
  Variant v;
  BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (s == nullptr) throw std::bad_alloc();
  SetWords(&v.v_, VT_BSTR, s);
  return v;
}

Variant Variant::AdoptBstr(BSTR text) {
  Variant v;
  SetWords(&v.v_, VT_BSTR, text);
  return v;
}

Variant Variant::Bytes(std::span<const uint8_t> bytes, int32_t lower_bound) {
  if (bytes.size() > 0xFFFFFFFFu) throw std::bad_alloc();
  SAFEARRAY* a = SafeArrayCreateBytesForWriting(lower_bound, static_cast<ULONG>(bytes.size()));
  if (a == nullptr) throw std::bad_alloc();
  if (!bytes.empty()) std::memcpy(a->pvData, bytes.data(), bytes.size());
  Variant v;
  SetWords(&v.v_, VT_ARRAY | VT_UI1, a);
  return v;
}

Variant Variant::Bytes(std::string_view bytes, int32_t lower_bound) {
  return Bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()),
                                        bytes.size()),
               lower_bound);
}

Variant Variant::Dispatch(IDispatch* object) {
  Variant v;
  SetWords(&v.v_, VT_DISPATCH, object);
  if (object != nullptr) object->AddRef();
  return v;
}

Variant Variant::Unknown(IUnknown* object) {
  Variant v;
  SetWords(&v.v_, VT_UNKNOWN, object);
  if (object != nullptr) object->AddRef();
  return v;
}

Variant Variant::RefTo(VARIANT* target) {
  Variant v;
  SetWords(&v.v_, VT_BYREF | VT_VARIANT, target);
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

// Dates: through the one conversion of date.h.
namespace {

using std::chrono::days;
using std::chrono::hours;
using std::chrono::microseconds;
using std::chrono::minutes;
using std::chrono::seconds;

// 30 December 1899, the day a DATE counts from.
constexpr std::chrono::sys_days kDateEpoch =
    std::chrono::year{1899} / std::chrono::December / 30;
constexpr int64_t kMicrosPerDay = 86'400'000'000;

bool InDateYears(DateTime time) {
  const std::chrono::year_month_day ymd{std::chrono::floor<days>(time)};
  return ymd.year() >= std::chrono::year{100} && ymd.year() <= std::chrono::year{9999};
}

// A time known to lie in the years 100 to 9999 as a DATE.
DATE InRangeTimeToDate(DateTime time) {
  const days day = std::chrono::floor<days>(time - kDateEpoch);
  const microseconds rest = time - kDateEpoch - day;
  const double fraction = static_cast<double>(rest.count()) / kMicrosPerDay;
  const auto whole = static_cast<double>(day.count());
  return day.count() >= 0 ? whole + fraction : whole - fraction;
}

}  // namespace

std::optional<DateTime> DateToTime(DATE date) {
  if (!std::isfinite(date) || date <= kDateBeforeRange || date >= kDateAfterRange) {
    return std::nullopt;
  }
  const double whole = std::trunc(date);
  // The finest decimal unit the double resolves here: the value's spacing,
  // in microseconds, rounded up to a power of ten.
  const double spacing_micros =
      (std::nextafter(std::fabs(date), HUGE_VAL) - std::fabs(date)) * kMicrosPerDay;
  int64_t unit = 1;
  while (static_cast<double>(unit) <= spacing_micros) unit *= 10;
  const int64_t time_of_day =
      std::llround(std::fabs(date - whole) * kMicrosPerDay / static_cast<double>(unit)) * unit;
  const DateTime time = kDateEpoch + days{static_cast<int64_t>(whole)} + microseconds{time_of_day};
  if (!InDateYears(time)) return std::nullopt;
  return time;
}

std::optional<DATE> TimeToDate(DateTime time) {
  if (!InDateYears(time)) return std::nullopt;
  return InRangeTimeToDate(time);
}

bool DateToParts(DATE date, DateParts* parts) {
  // Most stored dates are days without a time: one calendar conversion
  // instead of the general path's three and its search for the finest unit.
  if (date == std::trunc(date) && date > kDateBeforeRange && date < kDateAfterRange) {
    const std::chrono::year_month_day ymd{kDateEpoch + days{static_cast<int64_t>(date)}};
    *parts = DateParts{};
    parts->year = static_cast<int>(ymd.year());
    parts->month = static_cast<int>(unsigned{ymd.month()});
    parts->day = static_cast<int>(unsigned{ymd.day()});
    return true;
  }
  const std::optional<DateTime> time = DateToTime(date);
  if (!time) return false;
  // Whole seconds, half a second rounding up.
  const auto second = std::chrono::floor<seconds>(*time + std::chrono::milliseconds{500});
  const auto day = std::chrono::floor<days>(second);
  const std::chrono::year_month_day ymd{day};
  if (ymd.year() > std::chrono::year{9999}) return false;
  const std::chrono::hh_mm_ss clock{second - day};
  *parts = DateParts{static_cast<int>(ymd.year()),     static_cast<int>(unsigned{ymd.month()}),
                     static_cast<int>(unsigned{ymd.day()}), static_cast<int>(clock.hours().count()),
                     static_cast<int>(clock.minutes().count()),
                     static_cast<int>(clock.seconds().count())};
  return true;
}

bool PartsToDate(const DateParts& p, DATE* date) {
  if (p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 || p.second < 0 ||
      p.second > 59 || p.year < 100 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1) {
    return false;
  }
  const std::chrono::year_month_day ymd{std::chrono::year{p.year},
                                        std::chrono::month{static_cast<unsigned>(p.month)},
                                        std::chrono::day{static_cast<unsigned>(p.day)}};
  if (!ymd.ok()) return false;  // 31 April and the like
  // Checked parts are a time within the years 100 to 9999.
  *date = InRangeTimeToDate(std::chrono::sys_days{ymd} + hours{p.hour} + minutes{p.minute} +
                            seconds{p.second});
  return true;
}

}  // namespace quillon::com

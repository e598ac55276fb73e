// Coercions between variant types, with one fixed text form that does not
// depend on the process locale: what a script writes as a number or date
// reads back the same on every machine.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace quillon::com {
namespace {

std::string Ascii(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '\x7f');
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool ParseNumber(std::string_view text, double* value) {
  std::string_view s = Trim(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *value);
  return ec == std::errc() && end == s.data() + s.size() && std::isfinite(*value);
}

// "YYYY-MM-DD", "YYYY/MM/DD", optionally followed by " HH:MM[:SS]", or a
// time alone.
bool ParseDate(std::string_view text, DATE* date) {
  std::string s(Trim(text));
  DateParts p{1899, 12, 30, 0, 0, 0};
  int consumed = 0;
  char sep1 = 0, sep2 = 0;
  if (std::sscanf(s.c_str(), "%d%c%d%c%d%n", &p.year, &sep1, &p.month, &sep2, &p.day,
                  &consumed) == 5 &&
      sep1 == sep2 && (sep1 == '-' || sep1 == '/')) {
    std::string_view rest = Trim(std::string_view(s).substr(static_cast<size_t>(consumed)));
    if (!rest.empty()) {
      std::string r(rest);
      int used = 0;
      if (std::sscanf(r.c_str(), "%d:%d%n", &p.hour, &p.minute, &used) < 2) return false;
      if (static_cast<size_t>(used) < r.size()) {
        int used2 = 0;
        if (std::sscanf(r.c_str() + used, ":%d%n", &p.second, &used2) < 1 ||
            static_cast<size_t>(used + used2) != r.size()) {
          return false;
        }
      }
    }
    return PartsToDate(p, date);
  }
  // A time alone (the attempt above may have filled the date's fields).
  p = DateParts{1899, 12, 30, 0, 0, 0};
  int used = 0;
  if (std::sscanf(s.c_str(), "%d:%d%n", &p.hour, &p.minute, &used) == 2) {
    if (static_cast<size_t>(used) < s.size()) {
      int used2 = 0;
      if (std::sscanf(s.c_str() + used, ":%d%n", &p.second, &used2) < 1 ||
          static_cast<size_t>(used + used2) != s.size()) {
        return false;
      }
    }
    return PartsToDate(p, date);
  }
  return false;
}

char* Digits(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

// Integer part, '.', up to four decimals without trailing zeros.
int WriteCurrency(int64_t scaled, char* out) {
  char* o = out;
  const bool negative = scaled < 0;
  const uint64_t magnitude =
      negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  if (negative) *o++ = '-';
  o = std::to_chars(o, o + 24, magnitude / 10000).ptr;
  int frac = static_cast<int>(magnitude % 10000);
  if (frac != 0) {
    int width = 4;
    while (frac % 10 == 0) {
      frac /= 10;
      --width;
    }
    *o++ = '.';
    o = Digits(o, frac, width);
  }
  return static_cast<int>(o - out);
}

// "YYYY-MM-DD", "HH:MM:SS" or both; a number outside the dates' range is
// written as a real.
int WriteDate(DATE date, char* out) {
  DateParts p{};
  if (!DateToParts(date, &p)) {
    return static_cast<int>(std::to_chars(out, out + 32, date).ptr - out);
  }
  // The day after rounding to the second: 0.999999999 is the next day's
  // midnight, a date, not the first day's time alone.
  const bool has_date = p.year != 1899 || p.month != 12 || p.day != 30;
  const bool has_time = p.hour != 0 || p.minute != 0 || p.second != 0;
  char* o = out;
  if (has_date) {
    o = Digits(o, p.year, 4);
    *o++ = '-';
    o = Digits(o, p.month, 2);
    *o++ = '-';
    o = Digits(o, p.day, 2);
    if (has_time) *o++ = ' ';
  }
  if (has_time || !has_date) {
    o = Digits(o, p.hour, 2);
    *o++ = ':';
    o = Digits(o, p.minute, 2);
    *o++ = ':';
    o = Digits(o, p.second, 2);
  }
  return static_cast<int>(o - out);
}

// The value of a non-reference, non-object variant as a real number.
HRESULT AsNumber(const VARIANT& v, double* out) {
  switch (v.vt) {
    case VT_EMPTY: *out = 0; return S_OK;
    case VT_I2: *out = v.iVal; return S_OK;
    case VT_I4: *out = v.lVal; return S_OK;
    case VT_R4: *out = v.fltVal; return S_OK;
    case VT_R8: *out = v.dblVal; return S_OK;
    case VT_CY: *out = static_cast<double>(v.cyVal.int64) / 10000.0; return S_OK;
    case VT_DATE: *out = v.date; return S_OK;
    case VT_BOOL: *out = v.boolVal != 0 ? -1 : 0; return S_OK;
    case VT_I1: *out = v.cVal; return S_OK;
    case VT_UI1: *out = v.bVal; return S_OK;
    case VT_UI2: *out = v.uiVal; return S_OK;
    case VT_UI4: *out = v.ulVal; return S_OK;
    case VT_I8: *out = static_cast<double>(v.llVal); return S_OK;
    case VT_UI8: *out = static_cast<double>(v.ullVal); return S_OK;
    case VT_BSTR: {
      std::string text = Ascii(Bstr::View(v.bstrVal));
      if (ParseNumber(text, out)) return S_OK;
      if (EqualsIgnoreCase(Trim(text), "True")) {
        *out = -1;
        return S_OK;
      }
      if (EqualsIgnoreCase(Trim(text), "False")) {
        *out = 0;
        return S_OK;
      }
      return DISP_E_TYPEMISMATCH;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// Day counts a DATE can hold (NaN included in what it cannot).
bool DateOverflows(double days) { return !(days >= -657435.0 && days < 2958466.0); }

template <class T>
HRESULT ToInteger(double value, T* out) {
  double r = std::nearbyint(value);  // ties to even, as automation rounds
  // The largest 64-bit integers have no double of their own: their bound
  // rounds up to 2^63 (2^64), which is already out of range, so the upper
  // bound is exclusive: max + 1 is a power of two and exact.
  const double past_max = static_cast<double>(std::numeric_limits<T>::max() / 2 + 1) * 2.0;
  if (!(r >= static_cast<double>(std::numeric_limits<T>::min()) && r < past_max)) {
    return DISP_E_OVERFLOW;
  }
  *out = static_cast<T>(r);
  return S_OK;
}

// Converts a plain (already dereferenced, non-object) value.
HRESULT Convert(const VARIANT& src, VARTYPE vt, VARIANT* out) {
  VARIANT result{};
  result.vt = vt;
  if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
  if (vt == VT_BSTR) {
    std::u16string text;
    HRESULT hr = VariantToText(src, &text);
    if (Failed(hr)) return hr;
    result.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (result.bstrVal == nullptr) return E_OUTOFMEMORY;
    *out = result;
    return S_OK;
  }
  if (src.vt == VT_ERROR || (src.vt & VT_ARRAY) != 0) return DISP_E_TYPEMISMATCH;
  if (vt == VT_DATE && src.vt == VT_BSTR) {
    std::string text = Ascii(Bstr::View(src.bstrVal));
    double number = 0;
    if (ParseNumber(text, &number)) {
      // A day count given as text has the range of one given as a number.
      if (DateOverflows(number)) return DISP_E_OVERFLOW;
      result.date = number;
    } else if (!ParseDate(text, &result.date)) {
      return DISP_E_TYPEMISMATCH;
    }
    *out = result;
    return S_OK;
  }
  double number = 0;
  HRESULT hr = AsNumber(src, &number);
  if (Failed(hr)) return hr;
  switch (vt) {
    case VT_I2: hr = ToInteger(number, &result.iVal); break;
    case VT_I4: hr = ToInteger(number, &result.lVal); break;
    case VT_I1: hr = ToInteger(number, &result.cVal); break;
    case VT_UI1: hr = ToInteger(number, &result.bVal); break;
    case VT_UI2: hr = ToInteger(number, &result.uiVal); break;
    case VT_UI4: hr = ToInteger(number, &result.ulVal); break;
    case VT_I8: hr = ToInteger(number, &result.llVal); break;
    case VT_UI8: hr = ToInteger(number, &result.ullVal); break;
    case VT_R4:
      if (std::fabs(number) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
      result.fltVal = static_cast<float>(number);
      break;
    case VT_R8: result.dblVal = number; break;
    case VT_DATE:
      if (DateOverflows(number)) return DISP_E_OVERFLOW;
      result.date = number;
      break;
    case VT_CY: {
      if (src.vt == VT_CY) {
        result.cyVal = src.cyVal;
        break;
      }
      int64_t scaled = 0;
      hr = ToInteger(number * 10000.0, &scaled);
      result.cyVal.int64 = scaled;
      break;
    }
    case VT_BOOL: result.boolVal = number != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    default: return DISP_E_TYPEMISMATCH;
  }
  if (Failed(hr)) return hr;
  *out = result;
  return S_OK;
}

// An object's default member (DISPID_VALUE) read as a property.
HRESULT DefaultValue(IDispatch* object, VARIANT* out) {
  if (object == nullptr) return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT value{};
  HRESULT hr = object->Invoke(DISPID_VALUE, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value,
                              nullptr, nullptr);
  if (Failed(hr)) return DISP_E_TYPEMISMATCH;
  *out = value;
  return S_OK;
}

}  // namespace

namespace {

int Copy(std::string_view text, char* out) {
  std::memcpy(out, text.data(), text.size());
  return static_cast<int>(text.size());
}

template <class T>
int Decimal(T value, char* out) {
  const auto [end, ec] = std::to_chars(out, out + kAsciiTextCapacity, value);
  return ec == std::errc() ? static_cast<int>(end - out) : Copy("0", out);
}

// The shortest form of `d` (what std::to_chars writes) when it is a decimal
// of at most 15 digits with at most 15 places, as most stored amounts,
// prices and quantities are; -1 for any other value. The general
// shortest-form search costs several hundred instructions a value.
//
// m / 10^k is the shortest form when it reads back as `d`, has no
// trailing zero after the point, and `d` is below 10^(15-k): half the
// double's spacing there is under 10^-k, the distance to any decimal with
// fewer digits, so no shorter one reads back as `d` too.
int ShortDecimal(double d, char* out) {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  constexpr double kLimit = 1e15;
  const double a = std::fabs(d);
  if (!(a > 0 && a < kLimit)) return -1;
  int k = 0;
  double scaled = a;
  while (scaled != std::trunc(scaled) || scaled / kPow10[k] != a) {
    if (++k > 15) return -1;
    scaled = a * kPow10[k];
    if (scaled >= kLimit) return -1;
  }
  auto m = static_cast<uint64_t>(scaled);  // at least 1: a positive whole number
  while (k > 0 && m % 10 == 0) {
    m /= 10;
    --k;
  }
  char text[20];
  const int n = static_cast<int>(std::to_chars(text, text + sizeof text, m).ptr - text);
  // The digits without trailing zeros (only a whole number has any), and
  // the power of ten of the first: -15 to 14, two digits in an exponent.
  int kept = n;
  while (text[kept - 1] == '0') --kept;
  const int exponent = n - 1 - k;
  // Fixed notation unless the scientific one is shorter (a tie is fixed).
  const int scientific = kept + (kept > 1 ? 1 : 0) + 4;
  const int fixed = k == 0 ? n : n > k ? n + 1 : 2 + k;
  char* o = out;
  if (d < 0) *o++ = '-';
  if (fixed <= scientific) {
    if (k == 0) {
      std::memcpy(o, text, static_cast<size_t>(n));
      o += n;
    } else if (n > k) {
      std::memcpy(o, text, static_cast<size_t>(n - k));
      o += n - k;
      *o++ = '.';
      std::memcpy(o, text + n - k, static_cast<size_t>(k));
      o += k;
    } else {
      *o++ = '0';
      *o++ = '.';
      std::memset(o, '0', static_cast<size_t>(k - n));
      o += k - n;
      std::memcpy(o, text, static_cast<size_t>(n));
      o += n;
    }
  } else {
    *o++ = text[0];
    if (kept > 1) {
      *o++ = '.';
      std::memcpy(o, text + 1, static_cast<size_t>(kept - 1));
      o += kept - 1;
    }
    const int e = exponent < 0 ? -exponent : exponent;
    *o++ = 'e';
    *o++ = exponent < 0 ? '-' : '+';
    *o++ = static_cast<char>('0' + e / 10);
    *o++ = static_cast<char>('0' + e % 10);
  }
  return static_cast<int>(o - out);
}

int Real(double value, char* out) {
  const int n = ShortDecimal(value, out);
  return n >= 0 ? n : Decimal(value, out);
}

}  // namespace

int VariantToAscii(const VARIANT& v, char* out) {
  switch (v.vt) {
    case VT_BOOL: return Copy(v.boolVal != 0 ? "True" : "False", out);
    case VT_I2: return Decimal(v.iVal, out);
    case VT_I4: return Decimal(v.lVal, out);
    case VT_I1: return Decimal(static_cast<int>(v.cVal), out);
    case VT_UI1: return Decimal(static_cast<unsigned>(v.bVal), out);
    case VT_UI2: return Decimal(v.uiVal, out);
    case VT_UI4: return Decimal(v.ulVal, out);
    case VT_I8: return Decimal(v.llVal, out);
    case VT_UI8: return Decimal(v.ullVal, out);
    case VT_R4: return Decimal(v.fltVal, out);
    case VT_R8:
      return Real(v.dblVal, out);
    case VT_CY: return WriteCurrency(v.cyVal.int64, out);
    case VT_DATE: return WriteDate(v.date, out);
    default: return -1;
  }
}

HRESULT VariantToText(const VARIANT& v, std::u16string* out) {
  switch (v.vt) {
    case VT_EMPTY: out->clear(); return S_OK;
    case VT_BSTR: out->assign(Bstr::View(v.bstrVal)); return S_OK;
    default: {
      char ascii[kAsciiTextCapacity];
      const int n = VariantToAscii(v, ascii);
      if (n < 0) return DISP_E_TYPEMISMATCH;
      out->assign(ascii, ascii + n);
      return S_OK;
    }
  }
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t /*flags*/, VARTYPE vt) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  Variant value;  // the source, dereferenced
  HRESULT hr = VariantCopyInd(value.get(), src);
  if (Failed(hr)) return hr;
  VARIANT result{};
  const VARTYPE from = value.vt();
  if (vt == VT_VARIANT || vt == from) {
    result = value.Detach();
  } else if (vt == VT_EMPTY) {
    // Anything becomes EMPTY.
  } else if (vt == VT_NULL) {
    if (from != VT_NULL) return DISP_E_TYPEMISMATCH;
    result.vt = VT_NULL;
  } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
    result.vt = vt;
    if (from == VT_EMPTY) {
      result.punkVal = nullptr;
    } else if (from == VT_DISPATCH || from == VT_UNKNOWN) {
      IUnknown* unknown = value.get()->punkVal;
      if (unknown == nullptr) {
        result.punkVal = nullptr;
      } else if (vt == VT_UNKNOWN) {
        unknown->AddRef();
        result.punkVal = unknown;
      } else if (Failed(unknown->QueryInterface(IID_IDispatch,
                                                reinterpret_cast<void**>(&result.pdispVal)))) {
        return DISP_E_TYPEMISMATCH;
      }
    } else {
      return DISP_E_TYPEMISMATCH;
    }
  } else if (from == VT_DISPATCH || from == VT_UNKNOWN) {
    ComPtr<IDispatch> object;
    if (value.get()->punkVal == nullptr ||
        Failed(value.get()->punkVal->QueryInterface(IID_IDispatch, object.put_void()))) {
      return DISP_E_TYPEMISMATCH;
    }
    Variant inner;
    VARIANT raw{};
    hr = DefaultValue(object.get(), &raw);
    if (Failed(hr)) return hr;
    inner.Adopt(&raw);
    if (inner.vt() == VT_DISPATCH || inner.vt() == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    return VariantChangeType(dest, inner.get(), 0, vt);
  } else {
    hr = Convert(*value.get(), vt, &result);
    if (Failed(hr)) return hr;
  }
  VariantClear(dest);
  *dest = result;
  return S_OK;
}

namespace dispatch_internal {

HRESULT CoerceArg(VARIANT* v, VARTYPE vt, VARIANT* storage) {
  const VARIANT* d = v;
  if (d->vt == (VT_BYREF | VT_VARIANT) && d->pvarVal != nullptr) d = d->pvarVal;
  if (d->vt == VT_ERROR && d->scode == DISP_E_PARAMNOTFOUND) {
    // A left-out optional argument takes the type's empty value.
    VARIANT empty{};
    return VariantChangeType(storage, &empty, 0, vt);
  }
  // The usual case: a number or flag that already has the declared type,
  // which needs no conversion, nothing to own and nothing to release.
  switch (vt) {
    case VT_I4:
    case VT_I2:
    case VT_BOOL:
    case VT_R8:
    case VT_R4:
      if (d->vt == vt) {
        *storage = *d;
        return S_OK;
      }
      break;
    default:
      break;
  }
  return VariantChangeType(storage, d, 0, vt);
}

HRESULT PrepareByRef(VARIANT* v, VARTYPE vt, VARIANT* temp, void** pointer) {
  if (v->vt == (VT_BYREF | vt) && v->byref != nullptr) {
    *pointer = v->byref;  // the caller's own variable
    return S_OK;
  }
  if (vt == VT_VARIANT) {
    // A variant parameter passed by value: the callee works on a copy.
    HRESULT hr = VariantCopy(temp, v);
    if (Failed(hr)) return hr;
    *pointer = temp;
    return S_OK;
  }
  // Start from the caller's value when it converts, else from empty.
  const VARIANT* d = v->vt == (VT_BYREF | VT_VARIANT) ? v->pvarVal : v;
  VARIANT converted{};
  if (d == nullptr || Failed(VariantChangeType(&converted, d, 0, vt))) {
    VARIANT empty{};
    HRESULT hr = VariantChangeType(&converted, &empty, 0, vt);
    if (Failed(hr)) return hr;
  }
  *temp = converted;
  *pointer = &temp->byref;  // every scalar member shares the union's start
  return S_OK;
}

void FinishByRef(VARIANT* v, VARIANT* temp) {
  if (temp->vt == VT_EMPTY) return;  // the caller's variable was used in place
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr && temp != v->pvarVal) {
    // Store the result back into the caller's variant.
    VariantClear(v->pvarVal);
    *v->pvarVal = *temp;
    VariantInit(temp);
    return;
  }
  VariantClear(temp);
}

}  // namespace dispatch_internal
}  // namespace quillon::com

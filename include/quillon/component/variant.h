// Variant: sole owner of one VARIANT, with constructors for the kinds the
// toolkit passes and the text form used by coercions.
#ifndef QUILLON_COMPONENT_VARIANT_H_
#define QUILLON_COMPONENT_VARIANT_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/runtime.h"
#include "quillon/component/types.h"

namespace quillon::com {

class QUILLON_RUNTIME_API Variant {
 public:
  Variant() { VariantInit(&v_); }
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  explicit Variant(const VARIANT& other);  // deep copy
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  // Most variants end empty (moved from, handed over): nothing to clear.
  ~Variant() {
    if (v_.vt != VT_EMPTY) VariantClear(&v_);
  }

  static Variant Null();
  static Variant I2(int16_t value);
  static Variant I4(int32_t value);
  static Variant R8(double value);
  static Variant Bool(bool value);
  static Variant Date(DATE value);
  static Variant Error(SCODE code);
  // A missing optional argument, as hosts pass it.
  static Variant Missing() { return Error(DISP_E_PARAMNOTFOUND); }
  static Variant String(std::u16string_view text);
  static Variant Utf8(std::string_view text) { return String(Utf8ToUtf16(text)); }
  // Takes over an allocated string.
  static Variant AdoptBstr(BSTR text);
  // A new one-dimensional byte array holding `bytes`.
  static Variant Bytes(std::span<const uint8_t> bytes, int32_t lower_bound = 0);
  static Variant Bytes(std::string_view bytes, int32_t lower_bound = 0);
  static Variant Dispatch(IDispatch* object);  // AddRef's
  static Variant Unknown(IUnknown* object);    // AddRef's
  // A by-reference variant pointing at `target` (owns nothing).
  static Variant RefTo(VARIANT* target);

  VARIANT* get() { return &v_; }
  const VARIANT* get() const { return &v_; }
  VARTYPE vt() const { return v_.vt; }
  // Takes over another VARIANT's contents, leaving it EMPTY.
  void Adopt(VARIANT* other);
  // Hands the contents over, leaving this EMPTY.
  VARIANT Detach();
  void Clear() { VariantClear(&v_); }

  // A one-dimensional byte array (direct or by reference) as its bytes;
  // false for anything else.
  static bool GetBytes(const VARIANT& v, std::string* out);

 private:
  VARIANT v_;
};

// The one fixed, locale-independent text form of a value (what coercion to
// VT_BSTR produces): integers in decimal, reals in the shortest form that
// reads back to the same value, booleans "True"/"False", dates
// "YYYY-MM-DD HH:MM:SS" (date or time alone when the other part is zero).
QUILLON_RUNTIME_API HRESULT VariantToText(const VARIANT& v, std::u16string* out);

// The same text form for the kinds whose text is ASCII (numbers, booleans,
// currency, dates), written into `out`, which holds at least
// kAsciiTextCapacity bytes: its length, or -1 for every other kind (empty,
// strings, arrays, objects), which VariantToText handles.
inline constexpr size_t kAsciiTextCapacity = 64;
QUILLON_RUNTIME_API int VariantToAscii(const VARIANT& v, char* out);

// Date values: days since 30 December 1899 00:00, the fraction the time.
struct DateParts {
  int year, month, day, hour, minute, second;
};
QUILLON_RUNTIME_API bool DateToParts(DATE date, DateParts* parts);
QUILLON_RUNTIME_API bool PartsToDate(const DateParts& parts, DATE* date);

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_VARIANT_H_

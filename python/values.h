// The value mapping between Python and automation variants.
//
//   Python                       variant
//   None                         EMPTY
//   quillon.Null                 NULL
//   bool                         BOOL
//   int                          I4; beyond 32 bits R8 while the double holds
//                                it exactly (|n| <= 2**53), else OverflowError
//   float                        R8 (results: R4 and R8)
//   decimal.Decimal              CY (4 decimal places, half-even rounding)
//   str                          BSTR (UTF-16; unpaired surrogates kept)
//   bytes, bytearray, memoryview one-dimensional UI1 array, lower bound 0
//                                (results: any lower bound)
//   datetime.datetime, date      DATE (microseconds; aware values are
//                                converted to local time first)
//   quillon.Dispatch             DISPATCH (results: UNKNOWN too, when the
//                                object answers IDispatch)
//   list, tuple                  one-dimensional VARIANT array (results: list)
//   quillon.Variant              its own type and value
//   (results only) I1 UI1 I2 UI2 UI4 I8 UI8 INT UINT -> int, ERROR ->
//   quillon.Variant(VT_ERROR, code)
#ifndef QUILLON_PYTHON_VALUES_H_
#define QUILLON_PYTHON_VALUES_H_

#include <pybind11/pybind11.h>

#include <string>

#include "quillon/component/variant.h"

namespace quillon::python {

namespace com = quillon::com;

// quillon.Variant(vt, value=None, byref=False): a value with an explicit
// type. Passed by reference, the callee writes into this object's own
// storage, and .value shows the result afterwards.
class ExplicitVariant {
 public:
  // Converts `value` to type `vt` (quillon.Error on a failed coercion,
  // TypeError / ValueError for values or types that cannot be held).
  ExplicitVariant(com::VARTYPE vt, pybind11::handle value, bool byref);
  // Takes a copy of `raw` as it is (for results such as ERROR values).
  explicit ExplicitVariant(const com::VARIANT& raw);

  com::VARTYPE vt() const { return vt_; }
  bool byref() const { return byref_; }
  pybind11::object value() const;
  void set_value(pybind11::handle value);
  std::string Repr() const;

  // For a call: a deep copy of the value into *slot (EMPTY on entry).
  void CopyTo(com::VARIANT* slot) const;
  // For a call: a by-reference variant into this object's storage. The
  // object refuses changes until EndCall.
  void ReferTo(com::VARIANT* slot);
  void EndCall() { --busy_; }

 private:
  com::VARTYPE vt_;
  bool byref_;
  com::Variant storage_;
  int busy_ = 0;
};

// Converts a Python value to a new variant owned by *out (EMPTY on entry).
// Throws TypeError for values without an automation form, OverflowError for
// numbers out of range, quillon.ReleasedError for released objects.
void ToVariant(pybind11::handle value, com::VARIANT* out);

// Converts `value` to exactly type `vt` into *out (EMPTY on entry).
void ToTypedVariant(pybind11::handle value, com::VARTYPE vt, com::VARIANT* out);

// Converts a variant to a Python value; by-reference variants are followed.
// Types without a Python form raise quillon.Error DISP_E_BADVARTYPE.
pybind11::object FromVariant(const com::VARIANT& value);

// quillon.Variant, quillon.Null, quillon.Missing and the VT_* constants.
void RegisterValues(pybind11::module_& m);

}  // namespace quillon::python

#endif  // QUILLON_PYTHON_VALUES_H_

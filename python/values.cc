#include "values.h"

#include <Python.h>
#include <datetime.h>
#include <pybind11/eval.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dispatch_object.h"
#include "errors.h"
#include "quillon/component/bstr.h"
#include "quillon/component/date.h"
#include "quillon/component/runtime.h"

namespace py = pybind11;

namespace quillon::python {
namespace {

using com::VARIANT;
using com::VARTYPE;

// Held for the life of the process (see errors.cc).
PyObject* g_null = nullptr;
PyObject* g_decimal = nullptr;

constexpr const char kNullClass[] = R"py(
class NullType:
    """The type of quillon.Null, the automation NULL value (no valid data)."""
    __slots__ = ()
    _instance = None

    def __new__(cls):
        if cls._instance is None:
            cls._instance = object.__new__(cls)
        return cls._instance

    def __repr__(self):
        return "quillon.Null"

    def __bool__(self):
        return False

    def __reduce__(self):
        return "Null"


Null = NullType()
)py";

// Largest integer magnitude a double holds exactly.
constexpr int64_t kExactDoubleLimit = int64_t{1} << 53;

// --- Text -----------------------------------------------------------------------
// A str and an automation string are converted in one pass each way,
// straight between the str's own storage (one, two or four bytes per code
// point) and the string's UTF-16 units; pages move whole documents across
// this boundary. Lone surrogates pass through unchanged both ways.

// Latin-1 bytes to units.
void WidenLatin1(const uint8_t* in, size_t n, char16_t* out) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(bytes, zero));
  }
#endif
  for (; i < n; ++i) out[i] = in[i];
}

// Copies the leading run of units below `limit` (0x80 or 0x100) into
// bytes; returns its length.
size_t NarrowBelow(const char16_t* in, size_t n, uint8_t* out, char16_t limit) {
  size_t i = 0;
#if defined(__SSE2__)
  // With unsigned saturation, unit + (0x8000 - limit) has its top bit set
  // exactly when unit >= limit.
  const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000 - limit));
  for (; i + 16 <= n; i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8));
    const int over = _mm_movemask_epi8(_mm_adds_epu16(_mm_or_si128(low, high), bias)) & 0xAAAA;
    if (over != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
  }
#endif
  for (; i < n && in[i] < limit; ++i) out[i] = static_cast<uint8_t>(in[i]);
  return i;
}

// The bitwise OR of all units (its highest bit bounds the largest unit)
// and whether any unit is a surrogate.
void ScanUnits(const char16_t* in, size_t n, char16_t* bits, bool* surrogates) {
  size_t i = 0;
  uint32_t any = 0;
  bool found = false;
#if defined(__SSE2__)
  __m128i acc = _mm_setzero_si128();
  __m128i hits = _mm_setzero_si128();
  const __m128i mask = _mm_set1_epi16(static_cast<short>(0xF800));
  const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
  for (; i + 8 <= n; i += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    acc = _mm_or_si128(acc, units);
    hits = _mm_or_si128(hits, _mm_cmpeq_epi16(_mm_and_si128(units, mask), surrogate));
  }
  alignas(16) uint16_t lanes[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
  for (uint16_t lane : lanes) any |= lane;
  found = _mm_movemask_epi8(hits) != 0;
#endif
  for (; i < n; ++i) {
    any |= in[i];
    found = found || (in[i] & 0xF800) == 0xD800;
  }
  *bits = static_cast<char16_t>(any);
  *surrogates = found;
}

PyObject* NewStr(Py_ssize_t length, Py_UCS4 max_char) {
  PyObject* s = PyUnicode_New(length, max_char);
  if (s == nullptr) throw py::error_already_set();
  return s;
}

com::BSTR AllocateUnits(size_t units) {
  if (units > 0x7FFFFFF0u / 2) throw py::value_error("text too long for an automation string");
  com::BSTR bstr = com::AllocStringForWriting(static_cast<com::UINT>(units));
  if (bstr == nullptr) throw std::bad_alloc();
  return bstr;
}

// A new automation string holding `text` (a str), owned by the caller.
com::BSTR BstrFromStr(py::handle text) {
  PyObject* s = text.ptr();
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(s) != 0) throw py::error_already_set();
#endif
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
  const void* data = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: {
      com::BSTR bstr = AllocateUnits(length);
      WidenLatin1(static_cast<const uint8_t*>(data), length, reinterpret_cast<char16_t*>(bstr));
      return bstr;
    }
    case PyUnicode_2BYTE_KIND: {
      if (length > 0x7FFFFFF0u / 2) throw py::value_error("text too long for an automation string");
      com::BSTR bstr = com::SysAllocStringLen(reinterpret_cast<const com::OLECHAR*>(data),
                                             static_cast<com::UINT>(length));
      if (bstr == nullptr) throw std::bad_alloc();
      return bstr;
    }
    default: {
      const auto* codes = static_cast<const Py_UCS4*>(data);
      size_t units = length;
      for (size_t i = 0; i < length; ++i) units += codes[i] > 0xFFFF;
      com::BSTR bstr = AllocateUnits(units);
      auto* out = reinterpret_cast<char16_t*>(bstr);
      for (size_t i = 0; i < length; ++i) {
        const Py_UCS4 code = codes[i];
        if (code > 0xFFFF) {
          *out++ = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
          *out++ = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
          *out++ = static_cast<char16_t>(code);
        }
      }
      return bstr;
    }
  }
}

void CheckHr(com::HRESULT hr) {
  if (com::Failed(hr)) ThrowHresult(hr);
}

// Dates through the runtime's one conversion (quillon/component/date.h):
// a datetime is a clock time without a zone; an aware one is first moved
// to local time, as the platform's own hosts store dates.
void DateToVariant(py::handle value, VARIANT* out) {
  namespace chrono = std::chrono;
  py::object v = py::reinterpret_borrow<py::object>(value);
  const bool with_time = PyDateTime_Check(v.ptr());
  if (with_time && !v.attr("tzinfo").is_none()) {
    v = v.attr("astimezone")().attr("replace")(py::arg("tzinfo") = py::none());
  }
  const chrono::year_month_day ymd{
      chrono::year{PyDateTime_GET_YEAR(v.ptr())},
      chrono::month{static_cast<unsigned>(PyDateTime_GET_MONTH(v.ptr()))},
      chrono::day{static_cast<unsigned>(PyDateTime_GET_DAY(v.ptr()))}};
  com::DateTime time = chrono::sys_days{ymd};
  if (with_time) {
    time += chrono::hours{PyDateTime_DATE_GET_HOUR(v.ptr())} +
            chrono::minutes{PyDateTime_DATE_GET_MINUTE(v.ptr())} +
            chrono::seconds{PyDateTime_DATE_GET_SECOND(v.ptr())} +
            chrono::microseconds{PyDateTime_DATE_GET_MICROSECOND(v.ptr())};
  }
  const std::optional<com::DATE> date = com::TimeToDate(time);
  if (!date) {
    throw py::value_error("date out of the range of automation dates (years 100 to 9999): " +
                          py::str(value).cast<std::string>());
  }
  out->vt = com::VT_DATE;
  out->date = *date;
}

py::object DateFromVariant(double date) {
  namespace chrono = std::chrono;
  const std::optional<com::DateTime> time = com::DateToTime(date);
  if (!time) throw py::value_error("date value out of range: " + std::to_string(date));
  const auto day = chrono::floor<chrono::days>(*time);
  const chrono::year_month_day ymd{day};
  const chrono::hh_mm_ss clock{*time - day};
  PyObject* result = PyDateTime_FromDateAndTime(
      static_cast<int>(ymd.year()), static_cast<int>(unsigned{ymd.month()}),
      static_cast<int>(unsigned{ymd.day()}), static_cast<int>(clock.hours().count()),
      static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()),
      static_cast<int>(clock.subseconds().count()));
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

py::object Decimal() { return py::reinterpret_borrow<py::object>(g_decimal); }

// Currency: the value times 10,000 rounded half to even, as an int64.
int64_t CurrencyUnits(py::handle value) {
  py::object d = Decimal()(value);
  if (!d.attr("is_finite")().cast<bool>()) throw py::value_error("currency value is not finite");
  py::module_ decimal = py::module_::import("decimal");
  py::object scaled = d.attr("scaleb")(4).attr("to_integral_value")(
      py::arg("rounding") = decimal.attr("ROUND_HALF_EVEN"));
  py::int_ units(scaled);
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(units.ptr(), &overflow);
  if (overflow != 0) throw py::value_error("currency value out of range");
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  return n;
}

void BytesToVariant(py::handle value, VARIANT* out) {
  Py_buffer view;
  if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0)
    throw py::error_already_set();
  struct Releaser {
    Py_buffer* v;
    ~Releaser() { PyBuffer_Release(v); }
  } releaser{&view};
  if (static_cast<uint64_t>(view.len) > 0xFFFFFFFFu) {
    throw py::value_error("byte array too long for an automation array");
  }
  com::SAFEARRAY* array =
      com::SafeArrayCreateBytesForWriting(0, static_cast<com::ULONG>(view.len));
  if (array == nullptr) throw std::bad_alloc();
  if (view.len > 0) std::memcpy(array->pvData, view.buf, static_cast<size_t>(view.len));
  out->vt = com::VT_ARRAY | com::VT_UI1;
  out->parray = array;
}

void SequenceToVariant(py::handle value, VARIANT* out) {
  py::sequence items = py::reinterpret_borrow<py::sequence>(value);
  const size_t n = items.size();
  if (n > 0xFFFFFFFFu) throw py::value_error("sequence too long for an automation array");
  com::SAFEARRAY* array =
      com::SafeArrayCreateVector(com::VT_VARIANT, 0, static_cast<com::ULONG>(n));
  if (array == nullptr) throw std::bad_alloc();
  // The array owns what is converted so far, so a failure part-way frees it.
  out->vt = com::VT_ARRAY | com::VT_VARIANT;
  out->parray = array;
  auto* slots = static_cast<VARIANT*>(array->pvData);
  for (size_t i = 0; i < n; ++i) ToVariant(items[i], &slots[i]);
}

py::object BytesFromArray(com::SAFEARRAY* array) {
  if (array == nullptr) return py::bytes();
  int32_t lower = 0, upper = -1;
  if (com::SafeArrayGetDim(array) != 1 || com::Failed(com::SafeArrayGetLBound(array, 1, &lower)) ||
      com::Failed(com::SafeArrayGetUBound(array, 1, &upper))) {
    ThrowHresult(com::DISP_E_BADVARTYPE, u"(only one-dimensional arrays are supported)");
  }
  const int64_t count = static_cast<int64_t>(upper) - lower + 1;
  void* data = nullptr;
  CheckHr(com::SafeArrayAccessData(array, &data));
  py::bytes result(static_cast<const char*>(data), count > 0 ? static_cast<size_t>(count) : 0);
  com::SafeArrayUnaccessData(array);
  return result;
}

py::object ListFromArray(com::SAFEARRAY* array) {
  py::list result;
  if (array == nullptr) return result;
  int32_t lower = 0, upper = -1;
  if (com::SafeArrayGetDim(array) != 1 || com::Failed(com::SafeArrayGetLBound(array, 1, &lower)) ||
      com::Failed(com::SafeArrayGetUBound(array, 1, &upper))) {
    ThrowHresult(com::DISP_E_BADVARTYPE, u"(only one-dimensional arrays are supported)");
  }
  void* data = nullptr;
  CheckHr(com::SafeArrayAccessData(array, &data));
  struct Unaccess {
    com::SAFEARRAY* a;
    ~Unaccess() { com::SafeArrayUnaccessData(a); }
  } unaccess{array};
  const auto* items = static_cast<const VARIANT*>(data);
  for (int64_t i = 0; i < static_cast<int64_t>(upper) - lower + 1; ++i) {
    result.append(FromVariant(items[i]));
  }
  return result;
}

const char* VtName(VARTYPE vt) {
  switch (vt) {
    case com::VT_EMPTY:
      return "VT_EMPTY";
    case com::VT_NULL:
      return "VT_NULL";
    case com::VT_I2:
      return "VT_I2";
    case com::VT_I4:
      return "VT_I4";
    case com::VT_R4:
      return "VT_R4";
    case com::VT_R8:
      return "VT_R8";
    case com::VT_CY:
      return "VT_CY";
    case com::VT_DATE:
      return "VT_DATE";
    case com::VT_BSTR:
      return "VT_BSTR";
    case com::VT_DISPATCH:
      return "VT_DISPATCH";
    case com::VT_ERROR:
      return "VT_ERROR";
    case com::VT_BOOL:
      return "VT_BOOL";
    case com::VT_VARIANT:
      return "VT_VARIANT";
    case com::VT_UNKNOWN:
      return "VT_UNKNOWN";
    case com::VT_I1:
      return "VT_I1";
    case com::VT_UI1:
      return "VT_UI1";
    case com::VT_UI2:
      return "VT_UI2";
    case com::VT_UI4:
      return "VT_UI4";
    case com::VT_I8:
      return "VT_I8";
    case com::VT_UI8:
      return "VT_UI8";
    case com::VT_INT:
      return "VT_INT";
    case com::VT_UINT:
      return "VT_UINT";
    case com::VT_ARRAY | com::VT_UI1:
      return "VT_ARRAY|VT_UI1";
    case com::VT_ARRAY | com::VT_VARIANT:
      return "VT_ARRAY|VT_VARIANT";
    default:
      return nullptr;
  }
}

}  // namespace

py::str StrFromUtf16(std::u16string_view text) {
  const size_t n = text.size();
  const char16_t* units = text.data();
  // Most text is ASCII: try that in one pass and start over otherwise.
  size_t ascii = 0;
  if (n == 0 || units[0] < 0x80) {
    py::str result = py::reinterpret_steal<py::str>(NewStr(static_cast<Py_ssize_t>(n), 0x7F));
    ascii = NarrowBelow(units, n, PyUnicode_1BYTE_DATA(result.ptr()), 0x80);
    if (ascii == n) return result;
  }
  char16_t bits = 0;
  bool surrogates = false;
  ScanUnits(units + ascii, n - ascii, &bits, &surrogates);
  if (bits < 0x100) {
    py::str result = py::reinterpret_steal<py::str>(NewStr(static_cast<Py_ssize_t>(n), 0xFF));
    NarrowBelow(units, n, PyUnicode_1BYTE_DATA(result.ptr()), 0x100);
    return result;
  }
  if (!surrogates) {
    py::str result = py::reinterpret_steal<py::str>(NewStr(static_cast<Py_ssize_t>(n), 0xFFFF));
    std::memcpy(PyUnicode_2BYTE_DATA(result.ptr()), units, n * sizeof(char16_t));
    return result;
  }
  // Pairs become one code point, lone surrogates stay as they are.
  int byte_order = -1;  // little-endian, no BOM expected
  PyObject* s = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(units),
                                      static_cast<Py_ssize_t>(n * 2), "surrogatepass", &byte_order);
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

std::u16string Utf16FromStr(py::handle text) {
  const com::Bstr bstr = com::Bstr::Adopt(BstrFromStr(text));
  return std::u16string(bstr.view());
}

void ToVariant(py::handle value, VARIANT* out) {
  PyObject* p = value.ptr();
  if (value.is_none()) {
    out->vt = com::VT_EMPTY;
  } else if (p == g_null) {
    out->vt = com::VT_NULL;
  } else if (py::isinstance<ExplicitVariant>(value)) {
    value.cast<const ExplicitVariant&>().CopyTo(out);
  } else if (PyBool_Check(p)) {
    out->vt = com::VT_BOOL;
    out->boolVal = p == Py_True ? com::VARIANT_TRUE : com::VARIANT_FALSE;
  } else if (PyLong_Check(p) || (!PyFloat_Check(p) && PyIndex_Check(p))) {
    py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(p));
    if (!number) throw py::error_already_set();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow == 0 && n >= std::numeric_limits<int32_t>::min() &&
        n <= std::numeric_limits<int32_t>::max()) {
      out->vt = com::VT_I4;
      out->lVal = static_cast<int32_t>(n);
    } else if (overflow == 0 && n >= -kExactDoubleLimit && n <= kExactDoubleLimit) {
      // Wider than a 32-bit integer: passed as a double, as automation hosts
      // do with large literals; only while no digit is lost.
      out->vt = com::VT_R8;
      out->dblVal = static_cast<double>(n);
    } else {
      PyErr_SetString(PyExc_OverflowError,
                      "int too large for an automation value (beyond 32 bits it travels as a "
                      "double, which holds integers up to 2**53 exactly)");
      throw py::error_already_set();
    }
  } else if (PyFloat_Check(p)) {
    out->vt = com::VT_R8;
    out->dblVal = PyFloat_AS_DOUBLE(p);
  } else if (PyUnicode_Check(p)) {
    out->bstrVal = BstrFromStr(value);
    out->vt = com::VT_BSTR;
  } else if (PyBytes_Check(p) || PyByteArray_Check(p) || PyMemoryView_Check(p)) {
    BytesToVariant(value, out);
  } else if (PyDate_Check(p)) {
    DateToVariant(value, out);
  } else if (PyObject_IsInstance(p, g_decimal) == 1) {
    out->cyVal.int64 = CurrencyUnits(value);
    out->vt = com::VT_CY;
  } else if (com::ComPtr<com::IDispatch> object = DispatchOf(value)) {
    out->vt = com::VT_DISPATCH;
    out->pdispVal = object.detach();
  } else if (PyList_Check(p) || PyTuple_Check(p)) {
    SequenceToVariant(value, out);
  } else {
    throw py::type_error(std::string("cannot pass a value of type '") + Py_TYPE(p)->tp_name +
                         "' to an automation object");
  }
}

void ToTypedVariant(py::handle value, VARTYPE vt, VARIANT* out) {
  switch (vt) {
    case com::VT_VARIANT:
      ToVariant(value, out);
      return;
    case com::VT_EMPTY:
      if (!value.is_none()) throw py::value_error("a VT_EMPTY variant takes no value (None)");
      out->vt = com::VT_EMPTY;
      return;
    case com::VT_NULL:
      if (!value.is_none() && value.ptr() != g_null) {
        throw py::value_error("a VT_NULL variant takes no value (None or quillon.Null)");
      }
      out->vt = com::VT_NULL;
      return;
    case com::VT_CY:
      if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()) ||
          PyObject_IsInstance(value.ptr(), g_decimal) == 1) {
        if (PyBool_Check(value.ptr())) break;
        out->cyVal.int64 = CurrencyUnits(value);
        out->vt = com::VT_CY;
        return;
      }
      break;
    case com::VT_ERROR:
      if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        const long long code = value.cast<long long>();
        if (code < std::numeric_limits<int32_t>::min() || code > 0xFFFFFFFFLL) {
          throw py::value_error("an error code is a 32-bit number");
        }
        out->vt = com::VT_ERROR;
        out->scode = static_cast<com::SCODE>(static_cast<uint32_t>(code));
        return;
      }
      throw py::type_error("a VT_ERROR variant takes an int code");
    case com::VT_DISPATCH:
    case com::VT_UNKNOWN: {
      if (value.is_none()) {
        out->vt = vt;
        out->punkVal = nullptr;
        return;
      }
      com::ComPtr<com::IDispatch> object = DispatchOf(value);
      if (!object) throw py::type_error("an object variant takes a quillon.Dispatch or None");
      if (vt == com::VT_DISPATCH) {
        out->pdispVal = object.detach();
      } else {
        com::HRESULT hr =
            object->QueryInterface(com::IID_IUnknown, reinterpret_cast<void**>(&out->punkVal));
        CheckHr(hr);
      }
      out->vt = vt;
      return;
    }
    case com::VT_ARRAY | com::VT_UI1:
      if (!PyBytes_Check(value.ptr()) && !PyByteArray_Check(value.ptr()) &&
          !PyMemoryView_Check(value.ptr())) {
        throw py::type_error("a byte array variant takes bytes, bytearray or memoryview");
      }
      BytesToVariant(value, out);
      return;
    case com::VT_ARRAY | com::VT_VARIANT:
      if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr())) {
        throw py::type_error("a variant array takes a list or tuple");
      }
      SequenceToVariant(value, out);
      return;
    case com::VT_I2:
    case com::VT_I4:
    case com::VT_R4:
    case com::VT_R8:
    case com::VT_DATE:
    case com::VT_BSTR:
    case com::VT_BOOL:
    case com::VT_I1:
    case com::VT_UI1:
    case com::VT_UI2:
    case com::VT_UI4:
    case com::VT_I8:
    case com::VT_UI8:
      break;
    default:
      throw py::value_error("unsupported variant type " + std::to_string(vt));
  }
  com::Variant natural;
  ToVariant(value, natural.get());
  if (natural.vt() == vt) {
    *out = natural.Detach();
    return;
  }
  VARIANT converted{};
  CheckHr(com::VariantChangeType(&converted, natural.get(), 0, vt));
  *out = converted;
}

py::object FromVariant(const VARIANT& value) {
  if ((value.vt & com::VT_BYREF) != 0) {
    if (value.byref == nullptr) return py::none();
    com::Variant direct;
    CheckHr(com::VariantCopyInd(direct.get(), &value));
    return FromVariant(*direct.get());
  }
  switch (value.vt) {
    case com::VT_EMPTY:
      return py::none();
    case com::VT_NULL:
      return py::reinterpret_borrow<py::object>(g_null);
    case com::VT_BOOL:
      return py::bool_(value.boolVal != 0);
    case com::VT_I1:
      return py::int_(value.cVal);
    case com::VT_UI1:
      return py::int_(value.bVal);
    case com::VT_I2:
      return py::int_(value.iVal);
    case com::VT_UI2:
      return py::int_(value.uiVal);
    case com::VT_I4:
    case com::VT_INT:
      return py::int_(value.lVal);
    case com::VT_UI4:
    case com::VT_UINT:
      return py::int_(value.ulVal);
    case com::VT_I8:
      return py::int_(value.llVal);
    case com::VT_UI8:
      return py::int_(value.ullVal);
    case com::VT_R4:
      return py::float_(value.fltVal);
    case com::VT_R8:
      return py::float_(value.dblVal);
    case com::VT_CY:
      return Decimal()(value.cyVal.int64).attr("scaleb")(-4);
    case com::VT_DATE:
      return DateFromVariant(value.date);
    case com::VT_BSTR:
      return StrFromUtf16(com::Bstr::View(value.bstrVal));
    case com::VT_DISPATCH:
      return WrapDispatch(value.pdispVal);
    case com::VT_UNKNOWN: {
      if (value.punkVal == nullptr) return py::none();
      com::ComPtr<com::IDispatch> object;
      if (com::Failed(value.punkVal->QueryInterface(com::IID_IDispatch, object.put_void()))) {
        ThrowHresult(com::E_NOINTERFACE, u"(the returned object has no dispatch interface)");
      }
      return WrapDispatch(object.get());
    }
    case com::VT_ERROR:
      return py::cast(ExplicitVariant(value));
    case com::VT_ARRAY | com::VT_UI1:
      return BytesFromArray(value.parray);
    case com::VT_ARRAY | com::VT_VARIANT:
      return ListFromArray(value.parray);
    default:
      ThrowHresult(com::DISP_E_BADVARTYPE,
                   u"(variant type " + com::Utf8ToUtf16(std::to_string(value.vt)) + u")");
  }
}

// --- quillon.Variant ----------------------------------------------------------

ExplicitVariant::ExplicitVariant(VARTYPE vt, py::handle value, bool byref)
    : vt_(vt), byref_(byref) {
  if ((vt & com::VT_BYREF) != 0) {
    throw py::value_error("pass byref=True instead of VT_BYREF in the type");
  }
  ToTypedVariant(value, vt, storage_.get());
}

ExplicitVariant::ExplicitVariant(const VARIANT& raw)
    : vt_(static_cast<VARTYPE>(raw.vt & ~com::VT_BYREF)), byref_(false) {
  CheckHr(com::VariantCopyInd(storage_.get(), &raw));
}

py::object ExplicitVariant::value() const {
  if (vt_ == com::VT_ERROR && storage_.vt() == com::VT_ERROR) {
    return py::int_(static_cast<uint32_t>(storage_.get()->scode));
  }
  return FromVariant(*storage_.get());
}

void ExplicitVariant::set_value(py::handle value) {
  if (busy_ > 0) throw py::value_error("the variant is in use by a call");
  com::Variant fresh;
  ToTypedVariant(value, vt_, fresh.get());
  storage_ = std::move(fresh);
}

std::string ExplicitVariant::Repr() const {
  const char* name = VtName(vt_);
  std::string text = "quillon.Variant(";
  text += name != nullptr ? std::string("quillon.") + name : std::to_string(vt_);
  text += ", ";
  try {
    text += py::repr(value()).cast<std::string>();
  } catch (const std::exception&) {
    text += "?";
  }
  if (byref_) text += ", byref=True";
  return text + ")";
}

void ExplicitVariant::CopyTo(VARIANT* slot) const {
  CheckHr(com::VariantCopy(slot, storage_.get()));
}

void ExplicitVariant::ReferTo(VARIANT* slot) {
  VARIANT* target = storage_.get();
  if (vt_ == com::VT_VARIANT) {
    slot->vt = com::VT_BYREF | com::VT_VARIANT;
    slot->pvarVal = target;
  } else {
    // Every member of the union starts at the same address.
    slot->vt = static_cast<VARTYPE>(com::VT_BYREF | vt_);
    slot->byref = &target->llVal;
  }
  ++busy_;
}

void RegisterValues(py::module_& m) {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw py::error_already_set();
  g_decimal = py::object(py::module_::import("decimal").attr("Decimal")).release().ptr();

  py::dict scope = m.attr("__dict__");
  py::exec(kNullClass, scope);
  g_null = scope["Null"].ptr();
  Py_INCREF(g_null);

  const struct {
    const char* name;
    VARTYPE vt;
  } kTypes[] = {
      {"VT_EMPTY", com::VT_EMPTY},     {"VT_NULL", com::VT_NULL},
      {"VT_I2", com::VT_I2},           {"VT_I4", com::VT_I4},
      {"VT_R4", com::VT_R4},           {"VT_R8", com::VT_R8},
      {"VT_CY", com::VT_CY},           {"VT_DATE", com::VT_DATE},
      {"VT_BSTR", com::VT_BSTR},       {"VT_DISPATCH", com::VT_DISPATCH},
      {"VT_ERROR", com::VT_ERROR},     {"VT_BOOL", com::VT_BOOL},
      {"VT_VARIANT", com::VT_VARIANT}, {"VT_UNKNOWN", com::VT_UNKNOWN},
      {"VT_I1", com::VT_I1},           {"VT_UI1", com::VT_UI1},
      {"VT_UI2", com::VT_UI2},         {"VT_UI4", com::VT_UI4},
      {"VT_I8", com::VT_I8},           {"VT_UI8", com::VT_UI8},
      {"VT_INT", com::VT_INT},         {"VT_UINT", com::VT_UINT},
      {"VT_ARRAY", com::VT_ARRAY},     {"VT_BYREF", com::VT_BYREF},
  };
  for (const auto& t : kTypes) m.attr(t.name) = py::int_(t.vt);

  py::class_<ExplicitVariant>(m, "Variant", R"doc(
Variant(vt, value=None, byref=False)

A value with an explicit automation type (quillon.VT_I2, VT_BSTR, ...,
VT_ARRAY | VT_UI1, or VT_VARIANT for the value's natural type). With
byref=True it is passed by reference and .value shows what the callee wrote.
)doc")
      .def(py::init([](int vt, py::handle value, bool byref) {
             if (vt < 0 || vt > 0xFFFF) throw py::value_error("variant type out of range");
             return ExplicitVariant(static_cast<VARTYPE>(vt), value, byref);
           }),
           py::arg("vt"), py::arg("value") = py::none(), py::arg("byref") = false)
      .def_property_readonly("vt", &ExplicitVariant::vt)
      .def_property_readonly("byref", &ExplicitVariant::byref)
      .def_property("value", &ExplicitVariant::value, &ExplicitVariant::set_value)
      .def("__repr__", &ExplicitVariant::Repr);

  // A left-out optional argument, for leaving out one in the middle.
  const com::Variant missing = com::Variant::Missing();
  m.attr("Missing") = py::cast(ExplicitVariant(*missing.get()));
}

}  // namespace quillon::python

#include "quillon/component/variant.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/runtime.h"

namespace quillon::com {
namespace {

std::u16string Text(const Variant& v) {
  EXPECT_EQ(v.vt(), VT_BSTR);
  return std::u16string(Bstr::View(v.get()->bstrVal));
}

Variant To(const Variant& from, VARTYPE vt, HRESULT* hr) {
  Variant out;
  *hr = VariantChangeType(out.get(), from.get(), 0, vt);
  return out;
}

TEST(BstrTest, KeepsEmbeddedNulsAndCountsLiveStrings) {
  long before = LiveStringCount();
  {
    const char16_t units[] = {u'a', 0, u'b'};
    Bstr s(std::u16string_view(units, 3));
    EXPECT_EQ(s.size(), 3u);
    EXPECT_EQ(SysStringByteLen(s.get()), 6u);
    EXPECT_EQ(s.view()[2], u'b');
    EXPECT_EQ(s.get()[3], 0);  // terminated for C-string readers
    EXPECT_EQ(LiveStringCount(), before + 1);
  }
  EXPECT_EQ(LiveStringCount(), before);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  BSTR odd = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(odd), 3u);
  SysFreeString(odd);
}

TEST(BstrTest, ReallocationKeepsOrReplacesTheUnits) {
  BSTR s = SysAllocString(u"abcdef");
  ASSERT_EQ(SysReAllocStringLen(&s, nullptr, 3), 1);
  EXPECT_EQ(Bstr::View(s), u"abc");
  EXPECT_EQ(s[3], u'\0') << "still terminated";
  ASSERT_EQ(SysReAllocStringLen(&s, s + 1, 2), 1) << "from inside itself";
  EXPECT_EQ(Bstr::View(s), u"bc");
  ASSERT_EQ(SysReAllocStringLen(&s, u"xyz12", 5), 1);
  EXPECT_EQ(Bstr::View(s), u"xyz12");
  SysFreeString(s);
  BSTR none = nullptr;
  ASSERT_EQ(SysReAllocStringLen(&none, u"new", 3), 1);
  EXPECT_EQ(Bstr::View(none), u"new");
  SysFreeString(none);
}

TEST(Utf16Test, RoundTripsAllPlanesAndReplacesBadBytes) {
  std::string text = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80";  // a é 日 😀
  std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x65E5, 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_EQ(Utf8ToUtf16("\xE6\x97"), (std::u16string{0xFFFD, 0xFFFD}));  // truncated at end
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD}));  // overlong
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800}), "\xEF\xBF\xBD");        // lone surrogate
}

TEST(VariantTest, CopiesOwnWhatTheyHold) {
  long strings = LiveStringCount();
  long arrays = LiveArrayCount();
  {
    Variant s = Variant::Utf8("text");
    Variant copy = s;
    EXPECT_NE(copy.get()->bstrVal, s.get()->bstrVal);
    Variant bytes = Variant::Bytes(std::string_view("\0\1\2", 3), 5);
    Variant bytes_copy = bytes;
    std::string out;
    ASSERT_TRUE(Variant::GetBytes(*bytes_copy.get(), &out));
    EXPECT_EQ(out, std::string("\0\1\2", 3));
    int32_t lower = 0;
    SafeArrayGetLBound(bytes_copy.get()->parray, 1, &lower);
    EXPECT_EQ(lower, 5);
    Variant moved = std::move(copy);
    EXPECT_EQ(copy.vt(), VT_EMPTY);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(LiveStringCount(), strings + 2);
    EXPECT_EQ(LiveArrayCount(), arrays + 2);
  }
  EXPECT_EQ(LiveStringCount(), strings);
  EXPECT_EQ(LiveArrayCount(), arrays);
}

// Every byte of a made value: its type, zero reserved words, and its
// value with zero past its own bytes, as hosts that read a whole word of
// a narrower kind expect.
TEST(VariantTest, MadeValuesHaveEveryByteSet) {
  struct Case {
    const char* what;
    Variant made;
    VARTYPE vt;
    uint64_t bits;  // the value word; ~0 for a pointer, checked apart
  };
  const Case cases[] = {
      {"null", Variant::Null(), VT_NULL, 0},
      {"i2", Variant::I2(-2), VT_I2, 0xFFFE},
      {"i4", Variant::I4(-2), VT_I4, 0xFFFFFFFEu},
      {"r8", Variant::R8(0.5), VT_R8, 0x3FE0000000000000u},
      {"true", Variant::Bool(true), VT_BOOL, 0xFFFF},
      {"false", Variant::Bool(false), VT_BOOL, 0},
      {"date", Variant::Date(2.0), VT_DATE, 0x4000000000000000u},
      {"error", Variant::Error(DISP_E_PARAMNOTFOUND), VT_ERROR,
       static_cast<uint32_t>(DISP_E_PARAMNOTFOUND)},
      {"string", Variant::Utf8("x"), VT_BSTR, ~uint64_t{0}},
      {"bytes", Variant::Bytes(std::string_view("ab")), VT_ARRAY | VT_UI1, ~uint64_t{0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unsigned char bytes[sizeof(VARIANT)];
    std::memcpy(bytes, c.made.get(), sizeof bytes);
    uint16_t vt = 0;
    std::memcpy(&vt, bytes, 2);
    EXPECT_EQ(vt, c.vt);
    for (int i = 2; i < 8; ++i) EXPECT_EQ(bytes[i], 0) << "reserved byte " << i;
    uint64_t bits = 0;
    std::memcpy(&bits, bytes + 8, 8);
    if (c.bits == ~uint64_t{0}) {
      EXPECT_EQ(bits, reinterpret_cast<uintptr_t>(c.made.get()->byref));
      EXPECT_NE(bits, 0u);
    } else {
      EXPECT_EQ(bits, c.bits);
    }
  }
}

TEST(VariantTest, GetBytesFollowsReferencesAndRefusesOtherKinds) {
  Variant bytes = Variant::Bytes(std::string_view("xyz"));
  VARIANT by_array_ref{};
  by_array_ref.vt = VT_BYREF | VT_ARRAY | VT_UI1;
  by_array_ref.pparray = &bytes.get()->parray;
  std::string out;
  EXPECT_TRUE(Variant::GetBytes(by_array_ref, &out));
  EXPECT_EQ(out, "xyz");
  Variant ref = Variant::RefTo(bytes.get());
  out.clear();
  EXPECT_TRUE(Variant::GetBytes(*ref.get(), &out));
  EXPECT_EQ(out, "xyz");
  EXPECT_FALSE(Variant::GetBytes(*Variant::Utf8("xyz").get(), &out));
  EXPECT_FALSE(Variant::GetBytes(*Variant::I4(1).get(), &out));
}

Variant Currency(int64_t scaled) {
  VARIANT cy{};
  cy.vt = VT_CY;
  cy.cyVal.int64 = scaled;
  return Variant(cy);
}

struct TextCase {
  Variant value;
  std::u16string text;
};

// Reals are written in their shortest form, exactly as the standard
// library's shortest form, whatever shortcut a value takes: decimals of
// every length and number of places, integers, powers of ten on both
// sides of the switch to scientific notation, and arbitrary bit patterns.
TEST(CoercionTest, RealsHaveTheStandardShortestForm) {
  std::vector<double> values = {0.0,
                                -0.0,
                                0.1,
                                0.2,
                                0.3,
                                1.0 / 3,
                                2.0 / 3,
                                0.25,
                                -0.25,
                                123.45,
                                1e-4,
                                1e-3,
                                1e-5,
                                1.5e-5,
                                1e15,
                                1e16,
                                1e22,
                                1e23,
                                9.5,
                                99.99,
                                1e14 + 0.5,
                                5e-324,
                                1.7976931348623157e308,
                                4503599627370497.0,
                                999999999999999.0,
                                99999999999999.9,
                                0.000123456789012345};
  for (int e = -20; e <= 20; ++e) {
    values.push_back(std::pow(10.0, e));
    values.push_back(-3 * std::pow(10.0, e));
    values.push_back(12 * std::pow(10.0, e));
  }
  uint64_t seed = 0x9E3779B97F4A7C15u;
  auto next = [&] {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return seed;
  };
  for (int i = 0; i < 200000; ++i) {
    // A decimal of 1 to 17 digits with 0 to 17 places, either sign.
    const int digits = 1 + static_cast<int>(next() % 17);
    const int places = static_cast<int>(next() % 18);
    uint64_t m = next() % 100000000000000000u;
    for (int d = digits; d < 17; ++d) m /= 10;
    const std::string text = std::to_string(m) + "e-" + std::to_string(places);
    double value = std::strtod(text.c_str(), nullptr);
    if (next() % 2) value = -value;
    values.push_back(value);
    if (i % 4 == 0) {
      uint64_t bits = next();
      double any;
      std::memcpy(&any, &bits, sizeof any);
      if (std::isfinite(any)) values.push_back(any);
    }
  }
  size_t differ = 0;
  for (const double value : values) {
    char want[64];
    const auto [end, ec] = std::to_chars(want, want + sizeof want, value);
    ASSERT_EQ(ec, std::errc());
    char got[kAsciiTextCapacity];
    const int n = VariantToAscii(*Variant::R8(value).get(), got);
    ASSERT_GE(n, 0);
    if (std::string_view(got, static_cast<size_t>(n)) != std::string_view(want, end - want)) {
      if (++differ <= 10) {
        ADD_FAILURE() << "wrote " << std::string_view(got, static_cast<size_t>(n)) << " for "
                      << std::string_view(want, end - want);
      }
    }
  }
  EXPECT_EQ(differ, 0u) << "of " << values.size();
}

TEST(CoercionTest, FixedTextFormOfEveryKind) {
  DATE d = 0;
  ASSERT_TRUE(PartsToDate({2009, 1, 1, 9, 0, 5}, &d));
  DATE day_only = 0;
  ASSERT_TRUE(PartsToDate({2024, 2, 29, 0, 0, 0}, &day_only));
  VARIANT cy{};
  cy.vt = VT_CY;
  cy.cyVal.int64 = -12345;
  TextCase cases[] = {
      {Variant::I4(-42), u"-42"},
      {Variant::I2(7), u"7"},
      {Variant::R8(0.1), u"0.1"},
      {Variant::R8(1e21), u"1e+21"},
      {Variant::Bool(true), u"True"},
      {Variant::Bool(false), u"False"},
      {Variant::Date(d), u"2009-01-01 09:00:05"},
      {Variant::Date(day_only), u"2024-02-29"},
      {Variant::Date(0.5), u"12:00:00"},
      // Rounded to the second, a time just before midnight is the next
      // day's midnight: the date, not the first day's time alone.
      {Variant::Date(0.999999999), u"1899-12-31"},
      // The fraction counts forwards even before 1899-12-30: this is that
      // day's 23:59:59.9999, which rounds to the next midnight.
      {Variant::Date(-0.999999999), u"1899-12-31"},
      {Variant::Date(0.000000001), u"00:00:00"},
      {Variant::Date(45000.999999999), u"2023-03-16"},
      {Variant(cy), u"-1.2345"},
      {Currency(10000), u"1"},
      {Currency(15000), u"1.5"},
      {Currency(-1), u"-0.0001"},
      {Currency(1230), u"0.123"},
      {Currency(INT64_MIN), u"-922337203685477.5808"},
      {Currency(INT64_MAX), u"922337203685477.5807"},
      {Variant::Date(1e7), u"1e+07"},  // no date: the real
      {Variant::Date(-1.25), u"1899-12-29 06:00:00"},
      {Variant::R8(-2.5e-07), u"-2.5e-07"},
      {Variant(), u""},
  };
  for (const auto& c : cases) {
    HRESULT hr;
    Variant text = To(c.value, VT_BSTR, &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(Text(text), c.text);
  }
}

TEST(CoercionTest, TextToNumbersAndBack) {
  HRESULT hr;
  EXPECT_EQ(To(Variant::Utf8(" 12 "), VT_I4, &hr).get()->lVal, 12);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(To(Variant::Utf8("2.5"), VT_I4, &hr).get()->lVal, 2);  // ties to even
  EXPECT_EQ(To(Variant::Utf8("3.5"), VT_I4, &hr).get()->lVal, 4);
  EXPECT_EQ(To(Variant::Utf8("-1e3"), VT_R8, &hr).get()->dblVal, -1000.0);
  EXPECT_EQ(To(Variant::Utf8("true"), VT_BOOL, &hr).get()->boolVal, VARIANT_TRUE);
  EXPECT_EQ(To(Variant::Utf8("2009-01-01 09:00"), VT_DATE, &hr).vt(), VT_DATE);
  EXPECT_EQ(hr, S_OK);
  DATE expected = 0;
  PartsToDate({2009, 1, 1, 9, 0, 0}, &expected);
  EXPECT_EQ(To(Variant::Utf8("2009/01/01 09:00:00"), VT_DATE, &hr).get()->date, expected);
  // A time alone, the form a date without a day is written in.
  EXPECT_EQ(To(Variant::Utf8("12:30:00"), VT_DATE, &hr).get()->date, 0.5 + 30.0 / 1440);
  EXPECT_EQ(hr, S_OK);
}

TEST(CoercionTest, FailuresLeaveTheDestinationAlone) {
  struct {
    Variant from;
    VARTYPE to;
    HRESULT hr;
  } cases[] = {
      {Variant::Utf8("12x"), VT_I4, DISP_E_TYPEMISMATCH},
      {Variant::Utf8(""), VT_I2, DISP_E_TYPEMISMATCH},
      {Variant::I4(40000), VT_I2, DISP_E_OVERFLOW},
      {Variant::R8(-1), VT_UI1, DISP_E_OVERFLOW},
      {Variant::Null(), VT_BSTR, DISP_E_TYPEMISMATCH},
      {Variant::Null(), VT_I4, DISP_E_TYPEMISMATCH},
      {Variant::Utf8("2009-02-30"), VT_DATE, DISP_E_TYPEMISMATCH},
      {Variant::Bytes(std::string_view("a")), VT_BSTR, DISP_E_TYPEMISMATCH},
      {Variant::Missing(), VT_I4, DISP_E_TYPEMISMATCH},
      // 2^63 is one past the largest 64-bit integer, though it converts to
      // the same double as that largest one.
      {Variant::R8(9223372036854775808.0), VT_I8, DISP_E_OVERFLOW},
      {Variant::R8(-9223372036854777856.0), VT_I8, DISP_E_OVERFLOW},
      {Variant::R8(922337203685477.5808), VT_CY, DISP_E_OVERFLOW},
      {Variant::Utf8("1e15"), VT_CY, DISP_E_OVERFLOW},
      // A day count past the year 9999, as a number and as text.
      {Variant::R8(2958466.0), VT_DATE, DISP_E_OVERFLOW},
      {Variant::Utf8("03685477.5807"), VT_DATE, DISP_E_OVERFLOW},
      {Variant::Utf8("-700000"), VT_DATE, DISP_E_OVERFLOW},
  };
  for (auto& c : cases) {
    Variant dest = Variant::I4(99);
    EXPECT_EQ(VariantChangeType(dest.get(), c.from.get(), 0, c.to), c.hr);
    EXPECT_EQ(dest.vt(), VT_I4);
    EXPECT_EQ(dest.get()->lVal, 99);
  }
}

TEST(CoercionTest, ReferencesAreFollowedAndEmptyIsZero) {
  int32_t value = 31;
  VARIANT ref{};
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &value;
  Variant out;
  ASSERT_EQ(VariantChangeType(out.get(), &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Text(out), u"31");
  Variant empty;
  ASSERT_EQ(VariantChangeType(out.get(), empty.get(), 0, VT_I4), S_OK);
  EXPECT_EQ(out.get()->lVal, 0);
  // In place.
  Variant v = Variant::Utf8("5");
  ASSERT_EQ(VariantChangeType(v.get(), v.get(), 0, VT_I2), S_OK);
  EXPECT_EQ(v.vt(), VT_I2);
  EXPECT_EQ(v.get()->iVal, 5);
}

TEST(DateTest, PartsRoundTripAcrossTheEpochAndLeapDays) {
  const DateParts samples[] = {{1899, 12, 30, 0, 0, 0}, {1899, 12, 29, 6, 0, 0},
                               {1900, 3, 1, 23, 59, 59}, {2000, 2, 29, 12, 30, 0},
                               {9999, 12, 31, 0, 0, 1},  {100, 1, 1, 0, 0, 0}};
  for (const auto& p : samples) {
    DATE d = 0;
    ASSERT_TRUE(PartsToDate(p, &d));
    DateParts back{};
    ASSERT_TRUE(DateToParts(d, &back));
    EXPECT_EQ(back.year, p.year);
    EXPECT_EQ(back.month, p.month);
    EXPECT_EQ(back.day, p.day);
    EXPECT_EQ(back.hour, p.hour);
    EXPECT_EQ(back.minute, p.minute);
    EXPECT_EQ(back.second, p.second);
  }
  DATE d = 0;
  ASSERT_TRUE(PartsToDate({1899, 12, 29, 6, 0, 0}, &d));
  EXPECT_DOUBLE_EQ(d, -1.25);
  EXPECT_FALSE(PartsToDate({2023, 2, 29, 0, 0, 0}, &d));
}

}  // namespace
}  // namespace quillon::com

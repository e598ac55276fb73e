"""The value mapping between Python and automation variants, both ways.

The fixture's VarType member reports the variant type a value arrived as,
Echo hands the value back, and MakeValue builds a result of a chosen type.
"""

import datetime
import decimal
import os
import time

import pytest

import quillon

VT_ARRAY_UI1 = quillon.VT_ARRAY | quillon.VT_UI1
VT_ARRAY_VARIANT = quillon.VT_ARRAY | quillon.VT_VARIANT


@pytest.mark.parametrize("value, vt", [
    (None, quillon.VT_EMPTY),
    (quillon.Null, quillon.VT_NULL),
    (True, quillon.VT_BOOL),
    (False, quillon.VT_BOOL),
    (0, quillon.VT_I4),
    (-2**31, quillon.VT_I4),
    (2**31 - 1, quillon.VT_I4),
    (2**31, quillon.VT_R8),
    (-2**31 - 1, quillon.VT_R8),
    (2**53, quillon.VT_R8),
    (1.5, quillon.VT_R8),
    ("", quillon.VT_BSTR),
    ("text", quillon.VT_BSTR),
    (b"", VT_ARRAY_UI1),
    (b"\x00\xff", VT_ARRAY_UI1),
    (bytearray(b"ab"), VT_ARRAY_UI1),
    (memoryview(b"ab"), VT_ARRAY_UI1),
    (datetime.datetime(2024, 2, 29, 13, 45, 10), quillon.VT_DATE),
    (datetime.date(2024, 2, 29), quillon.VT_DATE),
    (decimal.Decimal("1.5"), quillon.VT_CY),
    ([1, "a"], VT_ARRAY_VARIANT),
    ((), VT_ARRAY_VARIANT),
    (quillon.Variant(quillon.VT_I2, 0), quillon.VT_I2),
    (quillon.Variant(quillon.VT_UI1, 7), quillon.VT_UI1),
    (quillon.Variant(quillon.VT_VARIANT, "x"), quillon.VT_BSTR),
    (quillon.Missing, quillon.VT_ERROR),
])
def test_python_values_arrive_as_their_variant_type(echo, value, vt):
    assert echo.VarType(value) == vt


def test_dispatch_objects_arrive_as_dispatch(echo):
    assert echo.VarType(echo) == quillon.VT_DISPATCH


@pytest.mark.parametrize("value", [
    None,
    True,
    False,
    0,
    -2**31,
    2**31 - 1,
    1.25,
    -0.0,
    float("inf"),
    "",
    "ASCII text",
    "日本語のテキスト",
    "emoji \U0001F600 outside the basic plane",
    "nul \x00 inside",
    b"",
    b"\x00\x01\xfe\xff" * 300,
    datetime.datetime(2024, 2, 29, 13, 45, 10),
    datetime.datetime(2024, 2, 29, 13, 45, 10, 123456),
    datetime.datetime(1899, 12, 30),
    datetime.datetime(1899, 12, 29, 6, 0),
    datetime.datetime(100, 1, 1),
    datetime.datetime(9999, 12, 31, 23, 59, 59, 999000),
    decimal.Decimal("12.3456"),
    decimal.Decimal("-922337203685477.5808"),
    [],
    [1, "two", None, [3.5, b"\x04"]],
])
def test_values_survive_a_round_trip(echo, value):
    result = echo.Echo(value)
    assert result == value
    assert type(result) is type(value)


def test_null_comes_back_as_the_null_singleton(echo):
    assert echo.Echo(quillon.Null) is quillon.Null
    assert not quillon.Null
    assert repr(quillon.Null) == "quillon.Null"


def test_byte_like_values_come_back_as_bytes(echo):
    assert echo.Echo(bytearray(b"\x00ab")) == b"\x00ab"
    assert echo.Echo(memoryview(b"xyz")[1:]) == b"yz"


def test_tuples_come_back_as_lists(echo):
    assert echo.Echo((1, "a")) == [1, "a"]


def test_unpaired_surrogates_pass_unchanged(echo):
    # Automation strings are UTF-16 code units; a lone surrogate is legal
    # there and must not be replaced or dropped on the way.
    for text in ("\ud800", "a\udc00b", "\udfff\ud800"):
        assert echo.Echo(text) == text
    # A pair written as two code points is the same code units as the
    # character it encodes.
    assert echo.Echo("\ud83d\ude00") == "\U0001F600"


def test_strings_are_utf16_inside(echo):
    # Split cuts at the first comma of the UTF-16 text; characters beyond
    # the basic plane (two code units) must arrive whole on both sides.
    assert echo.Split("\U0001F600,\U0001F601x") == (2, "\U0001F600", "\U0001F601x")


@pytest.mark.parametrize("char", ["z", "\u00e9", "\u00ff", "\u3042", "\uffff",
                                  "\U0001F600", "\udc00"])
def test_every_storage_kind_crosses_at_every_offset(echo, char):
    # str keeps one, two or four bytes per code point and is converted in
    # blocks of 16 units; a wider character anywhere in or after a block
    # must reach the object as the same units and come back as the same str.
    for offset in range(0, 40):
        head = "a" * offset + char
        tail = "b" * (offset % 19)
        text = head + "," + tail
        assert echo.Echo(text) == text
        assert echo.Split(text) == (2, head, tail)
    long_text = ("x" * 1000 + char) * 70
    assert echo.Echo(long_text) == long_text


@pytest.mark.parametrize("value, number", [
    (datetime.datetime(1899, 12, 30), 0.0),
    (datetime.datetime(1900, 1, 1), 2.0),
    (datetime.datetime(2000, 1, 1, 12, 0), 36526.5),
    (datetime.datetime(1899, 12, 29, 6, 0), -1.25),
    (datetime.datetime(1899, 12, 28, 18, 0), -2.75),
    (datetime.date(2024, 2, 29), 45351.0),
])
def test_dates_use_the_automation_day_count(echo, value, number):
    # Days since 30 December 1899; before it the integer part counts back
    # while the fraction still counts the time of day forward.
    assert echo.MakeValue(quillon.VT_R8, value) == number
    as_datetime = datetime.datetime(value.year, value.month, value.day,
                                    getattr(value, "hour", 0), getattr(value, "minute", 0))
    assert echo.MakeValue(quillon.VT_DATE, number) == as_datetime


def test_aware_datetimes_are_passed_as_local_time(echo):
    saved = os.environ.get("TZ")
    os.environ["TZ"] = "Asia/Tokyo"
    time.tzset()
    try:
        utc_noon = datetime.datetime(2024, 1, 1, 3, 0, tzinfo=datetime.timezone.utc)
        assert echo.Echo(utc_noon) == datetime.datetime(2024, 1, 1, 12, 0)
    finally:
        if saved is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = saved
        time.tzset()


def test_dates_out_of_range_raise(echo):
    with pytest.raises(ValueError):
        echo.MakeValue(quillon.VT_DATE, 3e6)


def test_large_integers_travel_as_doubles_while_exact(echo):
    assert echo.Echo(2**53) == float(2**53)
    assert echo.Echo(-2**40) == -float(2**40)
    with pytest.raises(OverflowError):
        echo.Echo(2**53 + 1)
    with pytest.raises(OverflowError):
        echo.Echo(-2**64)


@pytest.mark.parametrize("vt, source, expected", [
    (quillon.VT_I2, 5, 5),
    (quillon.VT_I1, -5, -5),
    (quillon.VT_UI1, 200, 200),
    (quillon.VT_UI2, 65535, 65535),
    (quillon.VT_UI4, 4000000000, 4000000000),
    (quillon.VT_I8, 2**40, 2**40),
    (quillon.VT_INT, -7, -7),
    (quillon.VT_R4, 1.5, 1.5),
    (quillon.VT_BOOL, 1, True),
    (quillon.VT_BSTR, 12, "12"),
    (quillon.VT_CY, "12.3456", decimal.Decimal("12.3456")),
    (quillon.VT_CY, 1, decimal.Decimal("1")),
    (quillon.VT_DATE, 45351.5, datetime.datetime(2024, 2, 29, 12, 0)),
])
def test_results_of_every_kind_convert(echo, vt, source, expected):
    result = echo.MakeValue(vt, source)
    assert result == expected
    assert type(result) is type(expected)


def test_error_values_come_back_as_typed_variants(echo):
    result = echo.MakeValue(quillon.VT_ERROR, 5)
    assert isinstance(result, quillon.Variant)
    assert (result.vt, result.value) == (quillon.VT_ERROR, 5)
    # and go back out as errors
    assert echo.VarType(result) == quillon.VT_ERROR
    missing = echo.Echo(quillon.Missing)
    assert (missing.vt, missing.value) == (quillon.VT_ERROR, 0x80020004)


def test_unknown_results_are_reached_through_their_dispatch_interface(echo):
    same = echo.Self
    assert isinstance(same, quillon.Dispatch)
    assert same == echo
    assert echo.MakeValue(quillon.VT_UNKNOWN, echo) == echo


def test_unknown_results_without_dispatch_interface_raise(echo):
    with pytest.raises(quillon.Error) as info:
        echo.Opaque
    assert info.value.hresult == 0x80004002


def test_byte_array_results_with_any_lower_bound_are_bytes(echo):
    for lower in (0, 1, -5):
        assert echo.Rebase(b"abc", lower) == b"abc"


def test_values_without_automation_form_raise_type_error(echo):
    with pytest.raises(TypeError):
        echo.Echo(object())
    with pytest.raises(TypeError):
        echo.Echo({"a": 1})
    with pytest.raises(TypeError):
        echo.Echo([object()])


def test_properties_coerce_to_their_declared_type(echo):
    echo.Number = "12"
    assert echo.Number == 12
    echo.Text = 3.5
    assert echo.Text == "3.5"
    with pytest.raises(quillon.Error) as info:
        echo.Number = "twelve"
    assert info.value.hresult == 0x80020005
    assert info.value.description == "Type mismatch. (argument 1)"
    with pytest.raises(quillon.Error) as info:
        echo.Number = 2**40
    assert info.value.hresult == 0x8002000A


class TestExplicitVariant:
    def test_carries_its_type_and_value(self):
        v = quillon.Variant(quillon.VT_I2, 0)
        assert (v.vt, v.value, v.byref) == (quillon.VT_I2, 0, False)
        assert repr(v) == "quillon.Variant(quillon.VT_I2, 0)"
        assert repr(quillon.Variant(quillon.VT_BSTR, "x", byref=True)) == \
            "quillon.Variant(quillon.VT_BSTR, 'x', byref=True)"

    @pytest.mark.parametrize("vt, value, expected", [
        (quillon.VT_BSTR, 5, "5"),
        (quillon.VT_I4, "42", 42),
        (quillon.VT_I2, 2.5, 2),          # half to even
        (quillon.VT_I2, 3.5, 4),
        (quillon.VT_CY, 1.23456, decimal.Decimal("1.2346")),
        (quillon.VT_CY, decimal.Decimal("0.00005"), decimal.Decimal("0")),
        (quillon.VT_CY, decimal.Decimal("0.00015"), decimal.Decimal("0.0002")),
        (quillon.VT_R8, decimal.Decimal("2.5"), 2.5),
        (quillon.VT_NULL, None, quillon.Null),
        (quillon.VT_EMPTY, None, None),
        (quillon.VT_ERROR, 0x80004005, 0x80004005),
        (quillon.VT_ARRAY | quillon.VT_UI1, b"\x01", b"\x01"),
        (quillon.VT_VARIANT, [1], [1]),
    ])
    def test_converts_to_the_requested_type(self, vt, value, expected):
        v = quillon.Variant(vt, value)
        assert v.value == expected
        assert type(v.value) is type(expected)

    def test_failed_coercions_raise(self):
        with pytest.raises(quillon.Error) as info:
            quillon.Variant(quillon.VT_I2, 100000)
        assert info.value.hresult == 0x8002000A
        with pytest.raises(quillon.Error) as info:
            quillon.Variant(quillon.VT_I4, "abc")
        assert info.value.hresult == 0x80020005
        with pytest.raises(ValueError):
            quillon.Variant(quillon.VT_CY, decimal.Decimal("1e20"))
        with pytest.raises(ValueError):
            quillon.Variant(quillon.VT_I4 | quillon.VT_BYREF, 1)
        with pytest.raises(ValueError):
            quillon.Variant(quillon.VT_EMPTY, 1)
        with pytest.raises(TypeError):
            quillon.Variant(quillon.VT_DISPATCH, 1)
        with pytest.raises(ValueError):
            quillon.Variant(0x0FFF, 1)

    def test_value_can_be_replaced(self):
        v = quillon.Variant(quillon.VT_I2, 1)
        v.value = "7"
        assert v.value == 7

    def test_holds_objects(self, echo):
        v = quillon.Variant(quillon.VT_DISPATCH, echo)
        assert v.value == echo
        assert echo.VarType(v) == quillon.VT_DISPATCH
        assert quillon.Variant(quillon.VT_DISPATCH, None).value is None

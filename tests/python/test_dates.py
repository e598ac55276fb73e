"""Automation dates from and to Python datetimes at the edges of their
range: the years 100 to 9999, the day count running back before 30
December 1899, and what lies outside."""

import datetime

import pytest

import quillon

D = datetime.datetime


@pytest.mark.parametrize("value, number", [
    (D(100, 1, 1), -657434.0),
    (D(100, 1, 1, 12), -657434.5),
    (D(100, 1, 1, 23, 59, 59), -657434 - 86399 / 86400),
    (D(1899, 12, 29, 23, 59), -1 - 1439 / 1440),
    (D(1899, 12, 30, 6), 0.25),
    (D(9999, 12, 31), 2958465.0),
    (D(9999, 12, 31, 12), 2958465.5),
])
def test_dates_at_the_edges_cross_both_ways(echo, value, number):
    assert echo.MakeValue(quillon.VT_R8, value) == pytest.approx(number, abs=1e-9)
    assert echo.MakeValue(quillon.VT_DATE, number) == value
    assert quillon.Variant(quillon.VT_DATE, value).value == value


@pytest.mark.parametrize("number", [
    -657435.0,           # 31 December 99
    -657436.5,
    2958466.0,           # 1 January 10000
    float("nan"),
    float("inf"),
])
def test_day_counts_outside_the_years_100_to_9999_are_refused(echo, number):
    with pytest.raises(ValueError, match="date value out of range"):
        echo.MakeValue(quillon.VT_DATE, number)


@pytest.mark.parametrize("value", [D(99, 12, 31, 23, 59), datetime.date(1, 1, 1)])
def test_datetimes_before_the_year_100_have_no_automation_date(value):
    with pytest.raises(ValueError, match="years 100 to 9999"):
        quillon.Variant(quillon.VT_DATE, value)

"""Excel date serials both ways: the 1900 system with its 29 February 1900."""

import datetime
import math
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))

import tindral_xl  # noqa: E402

D = datetime.date
DT = datetime.datetime


@pytest.mark.parametrize("day, serial", [
    (D(1900, 1, 1), 1), (D(1900, 2, 28), 59), (D(1900, 3, 1), 61), (D(1904, 1, 1), 1462),
    (D(2000, 1, 1), 36526), (D(2024, 2, 29), 45351), (D(9999, 12, 31), 2958465),
])
def test_dates_on_both_sides_of_the_phantom_leap_day_get_excels_serials(day, serial):
    assert tindral_xl.to_excel_date(day) == serial
    assert tindral_xl.from_excel_date(serial) == DT(day.year, day.month, day.day)
    assert tindral_xl.from_excel_date(float(serial)).date() == day


def test_time_of_day_is_the_fraction_and_round_trips_to_the_microsecond():
    moment = DT(2024, 1, 15, 18, 30, 15, 250000)
    serial = tindral_xl.to_excel_date(moment)
    assert math.floor(serial) == 45306
    assert serial - 45306 == pytest.approx((18 * 3600 + 30 * 60 + 15.25) / 86400, abs=1e-10)
    assert tindral_xl.from_excel_date(serial) == moment
    assert tindral_xl.from_excel_date(45306.5) == DT(2024, 1, 15, 12)
    assert tindral_xl.from_excel_date(0.25) == DT(1899, 12, 31, 6), "time-only values sit on Excel's day 0"
    assert tindral_xl.from_excel_date(59.5) == DT(1900, 2, 28, 12)


def test_time_zone_is_dropped_keeping_the_wall_clock():
    aware = DT(2024, 1, 15, 12, tzinfo=datetime.timezone(datetime.timedelta(hours=5)))
    assert tindral_xl.to_excel_date(aware) == 45306.5


@pytest.mark.parametrize("x", [60, 60.5, -1, -0.001, 2958466, float("nan"), float("inf"), 1e300])
def test_serials_naming_no_real_day_raise_value_error(x):
    with pytest.raises(ValueError):
        tindral_xl.from_excel_date(x)


@pytest.mark.parametrize("x", [True, "45000", None, D(2024, 1, 1)])
def test_non_numbers_are_refused_as_serials(x):
    with pytest.raises(TypeError):
        tindral_xl.from_excel_date(x)


def test_dates_before_1900_and_non_dates_are_refused():
    with pytest.raises(ValueError):
        tindral_xl.to_excel_date(D(1899, 12, 31))
    for bad in (45000.0, "2024-01-01", datetime.time(12)):
        with pytest.raises(TypeError):
            tindral_xl.to_excel_date(bad)

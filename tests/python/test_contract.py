"""The contract builder, day counts and schedules of the ravlin package."""

import doctest
import importlib
import math
from datetime import date, datetime, timedelta, timezone

import numpy as np
import pyarrow as pa
import pytest

import _ravlin
import ravlin
from conftest import T0, YEAR_MS, dataset
from ravlin import BusinessDay, Contract, DayCount, Schedule, adjust, to_millis

NOON = T0 + 12 * 3_600_000


@pytest.mark.parametrize("value", [
    datetime(2024, 1, 1, 12), datetime(2024, 1, 1, 14, tzinfo=timezone(timedelta(hours=2))),
    np.datetime64("2024-01-01T12:00:00"), np.datetime64("2024-01-01T12:00:00.000000000"),
    "2024-01-01T12:00:00Z", "2024-01-01T07:00:00-05:00", NOON,
])
def test_every_kind_of_time_gives_the_same_millisecond(value):
    assert to_millis(value) == NOON


@pytest.mark.parametrize("value, error, text", [
    (datetime(2024, 1, 1, 0, 0, 0, 1), ValueError, "not a whole millisecond"),
    (np.datetime64("2024-01-01T00:00:00.000000001"), ValueError, "not a whole millisecond"),
    (np.datetime64("NaT", "ms"), ValueError, "NaT"),
    ("1 Jan 2024", ValueError, "not an ISO 8601"),
    (1.5, TypeError, "expected a datetime, date"),
])
def test_times_that_are_not_exact_instants_are_refused(value, error, text):
    with pytest.raises(error, match=text):
        to_millis(value)


def test_batch_has_the_engine_layout_with_the_priced_track_first():
    year = T0 + 366 * 86_400_000
    c = (Contract(track="main")
         .pay(date(2024, 1, 1), 5.0, "EUR", track="other")
         .pay("2025-01-01", 100.0, "USD")
         .holder_choice("2025-01-01", 1.0, "other")
         .pay(year, 100.0, "EUR", track="other"))
    batch = c.to_batch()
    dictionary = pa.dictionary(pa.int64(), pa.string())
    assert [f.type for f in batch.schema] == [dictionary, pa.timestamp("ms", tz="UTC"), dictionary,
                                              pa.float64(), dictionary]
    assert batch.column("track").dictionary.to_pylist() == ["main", "other"]
    assert batch.column("track").to_pylist() == ["other", "main", "main", "other"]
    assert batch.column("op").to_pylist() == ["+", "+", ">", "+"]
    assert batch.column("time").cast(pa.int64()).to_pylist() == [T0, year, year, year]
    data = dataset(ASSETS={"USD": ("ZERO_RATES", np.array([[1.0, 0.05], [2.0, 0.05]])),
                           "EUR": ("FORWARDS", np.array([[0.0, 1.1], [2.0, 1.1]]))})
    # Rows at one time act last first: the choice takes other's 110 USD, then 100 USD is added.
    expected = 210.0 * math.exp(-0.05 * 366 * 86_400_000 / YEAR_MS)
    assert _ravlin.fixed_price(c, None, data, {}) == pytest.approx(expected, rel=1e-14)
    assert _ravlin.fixed_price(batch, None, data, {}) == _ravlin.fixed_price(c, None, data, {})


def test_rows_written_as_columns_make_the_batch_that_rows_written_one_by_one_make():
    times = [date(2024, 1, 1), "2024-06-01", np.datetime64("2024-06-01"), T0 + 400 * 86_400_000]
    by_rows = (Contract(track="main").pay(times[0], 5.0, "EUR", track="other").pay(times[1], 100.0, "USD")
               .holder_choice(times[2], 1.0, "other").pay(times[3], 100.0, "EUR", track="other"))
    by_columns = Contract.from_columns("main", times=times, quantities=[5, 100.0, 1.0, 100.0],
                                       ops=["+", "+", ">", "+"], units=["EUR", "USD", "other", "EUR"],
                                       tracks=["other", "main", "main", "other"])
    assert by_columns.to_batch().equals(by_rows.to_batch()) and by_columns.events() == by_rows.events()
    appended = by_columns.pay(times[3], 1.0, "USD")  # rows and columns mix, in the order written
    assert appended.to_batch().column("quantity").to_pylist() == [5.0, 100.0, 1.0, 100.0, 1.0]
    assert ravlin.timetable(by_columns) is by_columns.to_batch()  # built once, read as it is


def test_contracts_are_immutable_and_branch_independently():
    base = Contract().pay("2024-01-01", 1.0, "USD")
    left, right = base.pay("2024-02-01", 2.0, "USD"), base.issuer_choice("2024-03-01", 3.0, "USD")
    assert [len(base), len(left), len(right)] == [1, 2, 2]
    assert [e.quantity for e in right] == [1.0, 3.0] and base.to_batch().num_rows == 1
    times, quantities = np.array([T0, T0 + 1]), np.array([1.0, 2.0])
    columns = Contract.from_columns("leg", times=times, quantities=quantities, units="USD")
    built = columns.to_batch()
    times[0], quantities[:] = T0 + 5, 9.0  # the caller's arrays, changed later, change nothing
    assert columns.to_batch() is built and built.column("quantity").to_pylist() == [1.0, 2.0]
    assert built.column("time").cast(pa.int64()).to_pylist() == [T0, T0 + 1]


@pytest.mark.parametrize("build, error, text", [
    (lambda c: c.pay("2024-01-02", 1.0, "USD").pay("2024-01-01", 1.0, "USD"), ValueError,
     "row 1 at 2024-01-01T00:00:00Z comes before the previous row at 2024-01-02T00:00:00Z"),
    (lambda c: c.pay("2024-01-01", float("nan"), "USD"), ValueError, "quantity must be finite"),
    (lambda c: c.pay("2024-01-01", "1", "USD"), TypeError, "quantity must be a number"),
    (lambda c: c.pay("2024-01-01", 1.0, ""), TypeError, "unit must be a non-empty string"),
    (lambda c: c.conditional("2024-01-01", 1.0, "USD", track=3), TypeError, "track must be"),
    (lambda c: Contract.from_columns("x", times=["2024-01-02", "2024-01-01"], quantities=[1, 2], units="USD"),
     ValueError,
     "row 1 at 2024-01-01T00:00:00Z comes before the previous row at 2024-01-02T00:00:00Z"),
    (lambda c: Contract.from_columns("x", times=[T0], quantities=[True], units="USD"), TypeError,
     "quantity must be a number, got bool"),
    (lambda c: Contract.from_columns("x", times=[T0], quantities=np.array([np.inf]), units="USD"), ValueError,
     "quantity must be finite"),
    (lambda c: Contract.from_columns("x", times=[T0], quantities=[1.0], units="USD", ops="x"), ValueError,
     "op must be one of '\\+', '>', '<', 's', got 'x'"),
    (lambda c: Contract.from_columns("x", times=[T0, T0], quantities=[1.0], units="USD"), ValueError,
     "quantities: expected 2, got 1"),
    (lambda c: Contract.from_columns("x", times=[T0], quantities=[1.0], units=["USD", ""]), ValueError,
     "units: expected one name or 1, got 2"),
])
def test_bad_rows_are_refused_with_the_reason(build, error, text):
    with pytest.raises(error, match=text):
        build(Contract())


@pytest.mark.parametrize("convention, start, end, expected", [
    ("ACT/365F", date(2024, 1, 1), date(2024, 7, 1), 182 / 365),
    ("ACT/360", date(2024, 1, 1), date(2024, 7, 1), 182 / 360),
    ("30/360", date(2024, 1, 31), date(2024, 3, 31), 60 / 360),
    ("30/360", date(2024, 2, 29), date(2024, 8, 31), 182 / 360),
    ("30/360", date(2024, 1, 15), date(2024, 7, 31), 196 / 360),
    ("ACT/ACT ISDA", date(2003, 11, 1), date(2004, 5, 1), 61 / 365 + 121 / 366),
    ("ACT/ACT ISDA", date(2024, 5, 1), date(2023, 11, 1), -(61 / 365 + 121 / 366)),
])
def test_day_counts(convention, start, end, expected):
    assert DayCount(convention).year_fraction(start, end) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("kwargs, ends", [
    (dict(start="2024-03-15", maturity="2025-06-30", frequency=2),
     ["2024-06-30", "2024-12-31", "2025-06-30"]),
    (dict(start="2024-03-15", maturity="2025-06-30", frequency=2, end_of_month=False),
     ["2024-06-30", "2024-12-30", "2025-06-30"]),
    (dict(start="2024-01-31", maturity="2024-07-31", frequency=4), ["2024-04-30", "2024-07-31"]),
    (dict(start="2024-05-31", maturity="2024-08-31", frequency=12, end_of_month=False),
     ["2024-06-30", "2024-07-31", "2024-08-31"]),
])
def test_schedules_roll_back_from_maturity_with_a_front_stub(kwargs, ends):
    assert [p.end.isoformat() for p in Schedule(**kwargs).periods()] == ends


@pytest.mark.parametrize("day, convention, holidays, expected", [
    (date(2024, 6, 29), "following", (), date(2024, 7, 1)),
    (date(2024, 6, 29), "modified following", (), date(2024, 6, 28)),
    (date(2024, 12, 25), "following", {date(2024, 12, 25), date(2024, 12, 26)}, date(2024, 12, 27)),
    (date(2024, 5, 31), "modified following", {date(2024, 5, 31)}, date(2024, 5, 30)),
    (date(2024, 6, 29), BusinessDay.UNADJUSTED, (), date(2024, 6, 29)),
])
def test_business_day_adjustment(day, convention, holidays, expected):
    assert adjust(day, convention, frozenset(holidays)) == expected


@pytest.mark.parametrize("module", ["ravlin", "ravlin.contract", "ravlin.daycount", "ravlin.schedule",
                                    "ravlin.instruments"])
def test_docstring_examples_run(module):
    result = doctest.testmod(importlib.import_module(module))
    assert result.attempted > 0 and result.failed == 0

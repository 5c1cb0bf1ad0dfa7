"""Market and curves: checks when built, dates as times, and no spot of 1.0 by accident."""

import datetime as dt
import math

import numpy as np
import pytest

import _ravlin
import ravlin
from conftest import T0
from conftest import timetable as engine_batch

USD = ravlin.ZeroCurve(times=[1.0, 2.0], rates=[0.03, 0.04])


def market(**curves):
    return ravlin.Market(base="USD", pricing_time=T0, curves={"USD": USD, **curves})


@pytest.mark.parametrize("build, message", [
    (lambda: ravlin.ZeroCurve(times=[1.0, 1.0], rates=[0.03, 0.04]), "ZeroCurve: times must be strictly increasing"),
    (lambda: ravlin.ZeroCurve(times=[1.0], rates=[math.nan]), "ZeroCurve: rates must be finite"),
    (lambda: ravlin.ZeroCurve(times=[1.0, "2026-01-01"], rates=[0.03, 0.03]), "ZeroCurve: times are either all"),
    (lambda: ravlin.ZeroCurve(times=[1.0, 2.0], rates=[0.03]), "ZeroCurve has 2 times but 1 rates"),
    (lambda: ravlin.ForwardCurve(times=[0.0, 1.0], forwards=[100.0, -1.0]), "ForwardCurve: forwards must be positive"),
    (lambda: market(SPX=ravlin.ForwardCurve(times=[0.25, 1.0], forwards=[100.0, 101.0])),
     "curve 'SPX': the first forward is 0.25 years after the pricing time; give spot="),
    (lambda: market(SPX=ravlin.ForwardCurve(spot=99.0, times=[0.0], forwards=[100.0])),
     "curve 'SPX': spot 99.0 differs from the forward 100.0"),
    (lambda: market(SPX=0.05), "curve 'SPX': an asset other than the base takes a ForwardCurve, got float"),
    (lambda: ravlin.Market(base="USD", pricing_time=T0, curves={"USD": ravlin.ForwardCurve.flat(1.0)}),
     "curve 'USD': the base currency takes a ZeroCurve, got ForwardCurve"),
    (lambda: ravlin.Market(base="EUR", pricing_time=T0, curves={"USD": USD}), "base 'EUR' has no curve"),
    (lambda: ravlin.Market(base="USD", pricing_time="2024-01-02",
                           curves={"USD": ravlin.ZeroCurve(times=["2024-01-01"], rates=[0.03])}),
     "curve 'USD': its first knot lies before the pricing time"),
])
def test_curves_are_checked_when_built(build, message):
    with pytest.raises((TypeError, ValueError)) as caught:
        build()
    assert str(caught.value).startswith(message)


@pytest.mark.parametrize("pricing_time", [T0, "2024-01-01", dt.date(2024, 1, 1), dt.datetime(2024, 1, 1),
                                          np.datetime64("2024-01-01T00:00:00.000")])
def test_dates_are_year_fractions_from_the_pricing_time(pricing_time):
    dated = ravlin.Market(base="USD", pricing_time=pricing_time, curves={
        "USD": ravlin.ZeroCurve(times=["2024-12-31", dt.date(2025, 12, 31)], rates=[0.03, 0.04])})
    assert dated.pricing_ms == T0
    np.testing.assert_array_equal(dated.dataset()["ASSETS"]["USD"][1], [[1.0, 0.03], [2.0, 0.04]])


def test_the_spot_is_the_value_at_the_pricing_time_in_the_engine():
    curve = ravlin.ForwardCurve(spot=50.0, times=[0.25, 1.0], forwards=[51.0, 52.0])
    rows = [("x", T0, "+", 1.0, "SPX"), ("x", T0 + 31_536_000_000 // 8, "+", 1.0, "SPX")]
    data = {**market(SPX=curve).dataset(), "FIXED": {}}
    prices = [_ravlin.fixed_price(engine_batch(rows[:1]), None, data, {}),
              _ravlin.fixed_price(engine_batch(rows[1:]), None, data, {})]
    m = market(SPX=curve)
    assert prices[0] == pytest.approx(50.0, rel=1e-15)
    assert prices[1] == pytest.approx(m.discount_factor(0.125) * math.sqrt(50.0 * 51.0), rel=1e-12)
    assert m.forward("SPX", 0.125) == pytest.approx(math.sqrt(50.0 * 51.0), rel=1e-12)

"""Instruments against independent values: discounted sums, closed forms, QuantLib."""

import math
from datetime import date

import numpy as np
import pytest

import _ravlin
from conftest import DAY_MS, T0, YEAR_MS, gbm_paths
from ravlin import AmericanOption, BermudanOption, EuropeanOption, FixedRateBond, ZeroCouponBond

RATE, DIVIDEND, VOL, SPOT = 0.05, 0.02, 0.2, 100.0
FLAT = ("ZERO_RATES", np.array([[15.0, RATE], [30.0, RATE]]))


def years(day):
    return (date.fromisoformat(day) - date(2024, 1, 1)).days * DAY_MS / YEAR_MS


def market(**sections):
    spx = ("FORWARDS", np.array([[0.0, SPOT], [5.0, SPOT * math.exp((RATE - DIVIDEND) * 5)]]))
    return {"BASE": "USD", "ASSETS": {"USD": FLAT, "SPX": spx}, "PRICING_TS": T0, **sections}


def black_scholes_grid(n_x=1000, expiry=366 / 365):
    return market(FD={"N_X": n_x, "MAX_X": 5 * VOL * math.sqrt(expiry), "TIMESTEP": 1 / 365, "FLAGS": 0},
                  BS={"VOL": VOL, "ASSET": "SPX"})


def hull_white_grid(vol, n_x=200):
    return market(FD={"N_X": n_x, "MAX_X": 0.2, "TIMESTEP": 1 / 365, "FLAGS": 0},
                  HW={"MEANREV": 0.1, "VOL": vol})


ANNUAL = dict(start="2024-01-01", maturity="2027-01-01", frequency=1, currency="USD", convention="unadjusted")


@pytest.mark.parametrize("bond, flows", [
    # 30/360 semiannual, modified following: 30 Jun 2024 is a Sunday, paid on Friday the 28th.
    (FixedRateBond(start="2024-03-15", maturity="2026-06-30", coupon=0.05, currency="USD"),
     [("2024-06-28", 5 * 105 / 360), ("2024-12-31", 2.5), ("2025-06-30", 2.5), ("2025-12-31", 2.5),
      ("2026-06-30", 102.5)]),
    # ACT/365F annual, following, 30 Jun 2025 a holiday.
    (FixedRateBond(start="2024-02-10", maturity="2026-06-30", coupon=0.04, frequency=1, notional=1e6,
                   currency="USD", day_count="ACT/365F", convention="following", holidays=["2025-06-30"]),
     [("2024-07-01", 4e4 * 141 / 365), ("2025-07-01", 4e4), ("2026-06-30", 1.04e6)]),
    (FixedRateBond(start="2024-01-01", maturity="2025-01-01", coupon=0.06, frequency=4, currency="USD",
                   day_count="ACT/ACT ISDA", convention="unadjusted"),
     [("2024-04-01", 6 * 91 / 366), ("2024-07-01", 6 * 91 / 366), ("2024-10-01", 6 * 92 / 366),
      ("2025-01-01", 6 * 92 / 366 + 100)]),
    (ZeroCouponBond(maturity="2029-12-31", notional=1e6, currency="USD"), [("2029-12-31", 1e6)]),
    # Above par: called at the first chance, on a coupon date (the coupon is paid too) ...
    (FixedRateBond(**ANNUAL, coupon=0.08, calls={"2025-01-01": 101.0, "2026-01-01": 100.0}),
     [("2025-01-01", 8.0 + 101.0)]),
    # ... or between coupon dates, with the accrued interest.
    (FixedRateBond(**ANNUAL, coupon=0.08, calls={"2025-07-01": 100.0}), [("2025-01-01", 8.0), ("2025-07-01", 104.0)]),
    # Seasoned: only what is still to be paid.
    (FixedRateBond(**{**ANNUAL, "start": "2022-07-01", "maturity": "2025-07-01"}, coupon=0.06)
     .contract(after="2024-01-01"), [("2024-07-01", 6.0), ("2025-07-01", 106.0)]),
    # Below par: put back by the holder.
    (FixedRateBond(**ANNUAL, coupon=0.02, puts={"2025-01-01": 100.0}), [("2025-01-01", 102.0)]),
])
def test_bonds_price_to_their_discounted_cash_flows(bond, flows):
    expected = sum(amount * math.exp(-RATE * years(day)) for day, amount in flows)
    assert _ravlin.fixed_price(bond, None, market(), {}) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("build, error, text", [
    (lambda: FixedRateBond(**ANNUAL, coupon=0.05, calls={"2027-01-01": 100.0}), ValueError,
     "call date 2027-01-01 must lie after the start 2024-01-01 and before the maturity 2027-01-01"),
    (lambda: FixedRateBond(**ANNUAL, coupon=0.05, puts=[("2025-01-01", 100.0), ("2025-01-01", 99.0)]),
     ValueError, "put date 2025-01-01 is given twice"),
    (lambda: FixedRateBond(**{**ANNUAL, "frequency": 3}, coupon=0.05), ValueError, "frequency must be 1, 2, 4 or 12"),
    (lambda: FixedRateBond(**ANNUAL, coupon=0.05, day_count="ACT/365"), ValueError, "unknown day count 'ACT/365'"),
    (lambda: ZeroCouponBond(maturity="2025-01-01", currency="USD", convention="nearest"), ValueError,
     "unknown business day convention 'nearest'"),
    (lambda: EuropeanOption(expiry="2025-01-01", strike=-1.0, kind="put", asset="SPX", currency="USD"),
     ValueError, "strike must be positive"),
    (lambda: EuropeanOption(expiry="2025-01-01", strike=1.0, kind="straddle", asset="SPX", currency="USD"),
     ValueError, "kind must be 'call' or 'put'"),
    (lambda: AmericanOption(start="2025-01-02", expiry="2025-01-01", strike=1.0, kind="put", asset="SPX",
                            currency="USD"), ValueError, "expiry 2025-01-01T00:00:00[+]00:00 comes before start"),
    (lambda: BermudanOption(exercise_dates=[], strike=1.0, kind="put", asset="SPX", currency="USD"), ValueError,
     "needs at least one exercise date"),
])
def test_instruments_refuse_bad_terms_when_built(build, error, text):
    with pytest.raises(error, match=text):
        build()


BOND = dict(start="2024-01-01", maturity="2029-01-01", coupon=0.05, currency="USD")
EXERCISE = {f"{year}-01-01": 100.0 for year in range(2026, 2029)}


@pytest.mark.parametrize("side, sign", [("calls", -1.0), ("puts", 1.0)])
def test_callable_and_putable_bonds_within_the_limits_of_hull_white(side, sign):
    straight, bond = FixedRateBond(**BOND), FixedRateBond(**BOND, **{side: EXERCISE})
    # Without volatility the grid's value is the deterministic choice of the fixed model.
    deterministic = _ravlin.fixed_price(bond, None, market(), {})
    assert _ravlin.fd_hullwhite_price(bond, None, hull_white_grid(1e-6), {}) == pytest.approx(deterministic, rel=1e-8)
    # The option is worth more with more volatility, and never below nothing.
    values = [_ravlin.fd_hullwhite_price(b, None, hull_white_grid(vol), {})
              for vol in (0.005, 0.01, 0.02) for b in (straight, bond)]
    options = [sign * (with_option - plain) for plain, with_option in zip(values[::2], values[1::2])]
    assert 0 < options[0] < options[1] < options[2]
    assert sign * (deterministic - _ravlin.fixed_price(straight, None, market(), {})) >= 0


def normal(x):
    return 0.5 * math.erfc(-x / math.sqrt(2))


def black_scholes(kind, strike, expiry):
    forward, discount = SPOT * math.exp((RATE - DIVIDEND) * expiry), math.exp(-RATE * expiry)
    d1 = (math.log(forward / strike) + VOL**2 / 2 * expiry) / (VOL * math.sqrt(expiry))
    d2 = d1 - VOL * math.sqrt(expiry)
    call = discount * (forward * normal(d1) - strike * normal(d2))
    return call if kind == "call" else call - discount * (forward - strike)


@pytest.mark.parametrize("kind, strike", [("call", 100.0), ("call", 120.0), ("put", 100.0), ("put", 80.0)])
def test_european_options_on_the_grid_match_black_scholes(kind, strike):
    option = EuropeanOption(expiry="2025-01-01", strike=strike, kind=kind, asset="SPX", currency="USD")
    value = _ravlin.fd_blackscholes_price(option, None, black_scholes_grid(), {})
    assert value == pytest.approx(black_scholes(kind, strike, 366 / 365), rel=2e-4)


@pytest.mark.parametrize("option", [
    EuropeanOption(expiry="2025-01-01", strike=100.0, kind="call", asset="SPX", currency="USD"),
    BermudanOption(exercise_dates=["2024-07-01", "2024-04-01", "2025-01-01"], strike=101.0, kind="put",
                   asset="SPX", currency="USD"),
    AmericanOption(start="2024-01-01", expiry="2024-03-01", strike=100.2, kind="put", asset="SPX",
                   currency="USD"),
    AmericanOption(start="2024-01-01", expiry="2024-03-01", strike=99.0, kind="call", asset="SPX",
                   currency="USD"),
])
def test_exercise_on_one_path_takes_the_best_discounted_intrinsic_value(option):
    # On the fixed model's single path each date's helper value must be that
    # date's intrinsic value alone: any leftover of a later date would show.
    sign = 1.0 if option.kind == "call" else -1.0
    intrinsic = [math.exp(-RATE * t) * sign * (SPOT * math.exp((RATE - DIVIDEND) * t) - option.strike)
                 for t in ((m - T0) / YEAR_MS for m in option.exercise_times())]
    expected = max(0.0, *intrinsic)
    assert expected > 0
    assert _ravlin.fixed_price(option, None, market(), {}) == pytest.approx(expected, rel=1e-13)


def quantlib_american_put(strike, time_steps, nodes):
    ql = pytest.importorskip("QuantLib")
    today, expiry = ql.Date(1, 1, 2024), ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    days = ql.Actual365Fixed()
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, days, ql.Continuous))
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(SPOT)), curve(DIVIDEND), curve(RATE),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), VOL, days)))
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, strike), ql.AmericanExercise(today, expiry))
    option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, time_steps, nodes, 0,
                                                           ql.FdmSchemeDesc.CrankNicolson()))
    return option.NPV()


@pytest.mark.parametrize("strike", [90.0, 100.0, 110.0])
def test_american_put_on_the_grid_matches_quantlib(strike):
    option = AmericanOption(start="2024-01-01", expiry="2025-01-01", strike=strike, kind="put", asset="SPX",
                            currency="USD")
    value = _ravlin.fd_blackscholes_price(option, None, black_scholes_grid(), {})
    # QuantLib with one step a day exercises daily, as the timetable does.
    assert value == pytest.approx(quantlib_american_put(strike, 366, 2001), abs=1e-3)
    assert value > black_scholes("put", strike, 366 / 365) + 1e-3


def test_bermudan_on_monte_carlo_paths_exercises_path_by_path():
    option = BermudanOption(exercise_dates=["2024-04-01", "2024-07-01", "2024-10-01"], strike=100.0, kind="put",
                            asset="SPX", currency="USD")
    paths, flat = 2000, {"USD": FLAT}
    value = _ravlin.mc_price(option, gbm_paths(SPOT, RATE, VOL, paths, seed=5),
                             {"BASE": "USD", "ASSETS": flat, "PRICING_TS": T0, "MC": {"PATHS": paths, "SEED": 5}}, {})
    # The same paths replayed: each path takes its best discounted intrinsic value.
    replay, discount, best = gbm_paths(SPOT, RATE, VOL, paths, seed=5), 1.0, np.zeros(paths)
    for t in ((m - T0) / YEAR_MS for m in option.exercise_times()):
        discount = discount * replay.advance(t)
        best = np.maximum(best, discount * (option.strike - replay.get_value("SPX")))
    assert value == pytest.approx(best.mean(), rel=1e-12)

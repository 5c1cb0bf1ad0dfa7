"""The Hull-White grid's curve fit and piecewise volatility against the curve and QuantLib."""

import math

import numpy as np
import pytest

import _ravlin
from conftest import T0, dataset, timetable

DAY_MS = 86_400_000
# Knots on whole days, so QuantLib's dates carry the same year fractions.
KNOT_DAYS = [182, 365, 730, 1826, 3652, 10958]
CURVE = np.array([[d / 365, r] for d, r in zip(KNOT_DAYS, [0.030, 0.032, 0.035, 0.040, 0.043, 0.045])])
MEANREV = 0.1
# Volatility rising from 0.8% to 1.25% over the first six years, in steps on whole days.
STEPS = np.array([[0.0, 0.008], [2.0, 0.010], [4.0, 0.0125], [6.0, 0.011]])


def discount(years):
    logs = CURVE[:, 0] * CURVE[:, 1]
    log_df = logs[0] * years / CURVE[0, 0] if years <= CURVE[0, 0] else np.interp(years, CURVE[:, 0], logs)
    return math.exp(-log_df)


def hw_data(vol, timestep=1 / 365, fit=1, meanrev=MEANREV, n_x=1000, horizon=10.0):
    top = vol if np.isscalar(vol) else float(np.max(vol[:, 1]))
    spread = horizon if meanrev == 0 else -math.expm1(-2 * meanrev * horizon) / (2 * meanrev)
    return dataset(ASSETS={"USD": ("ZERO_RATES", CURVE)},
                   FD={"N_X": n_x, "MAX_X": 8 * top * math.sqrt(spread) + 0.01, "TIMESTEP": timestep},
                   HW={"MEANREV": meanrev, "VOL": vol, "CURVE_FIT": fit})


@pytest.mark.parametrize("meanrev, vol", [(MEANREV, 0.01), (0.0, 0.01), (MEANREV, STEPS)],
                         ids=["Hull-White", "Ho-Lee", "piecewise volatility"])
def test_the_curve_fit_reprices_zero_coupon_bonds_to_second_order(meanrev, vol):
    rows = [("zcb", T0 + 3650 * DAY_MS, "+", 1.0, "USD")]
    errors = [abs(_ravlin.fd_hullwhite_price(timetable(rows), None, hw_data(vol, 1 / steps, meanrev=meanrev), {})
                  / discount(10.0) - 1) for steps in (26, 52, 104)]
    assert errors[1] < 1e-6  # weekly steps
    assert errors[0] / errors[1] > 3.5 and errors[1] / errors[2] > 3.5
    without = _ravlin.fd_hullwhite_price(timetable(rows), None, hw_data(vol, 1 / 52, fit=0, meanrev=meanrev), {})
    assert abs(without / discount(10.0) - 1) > 100 * errors[-1]


# ---- Swaptions against QuantLib ---------------------------------------------------


def payer_swaption(strike, start_year, end_year, bermudan):
    """Rows of a payer swaption on a swap with annual ACT/365F fixed coupons, the float leg
    worth 1 at the start less 1 at the end: a track of the fixed leg and the final notional,
    and per exercise date a helper worth 1 plus the fixed leg's later rows."""
    dates = [np.datetime64(f"{year}-01-01") for year in range(start_year, end_year + 1)]
    ms = [T0 + int((d - np.datetime64("2024-01-01")) / np.timedelta64(1, "D")) * DAY_MS for d in dates]
    rows = []
    for k, t in enumerate(ms):
        if k > 0:  # the coupon of the period ending here, paid whether exercised now or not
            rows.append(("fixed", t, "+", -strike * (ms[k] - ms[k - 1]) / (365 * DAY_MS), "USD"))
        if k == len(ms) - 1:
            rows.append(("fixed", t, "+", -1.0, "USD"))
        elif bermudan or k == 0:  # rows at one time act last first
            rows += [("swaption", t, ">", 1.0, f"exercise{k}"), (f"exercise{k}", t, "+", 1.0, "USD"),
                     (f"exercise{k}", t, "+", 1.0, "fixed")]
    tracks = ["swaption", "fixed"] + [f"exercise{k}" for k in range(len(ms) - 1)]
    return timetable(rows, tracks=[t for t in tracks if any(r[0] == t or r[4] == t for r in rows)])


def quantlib_swaption(ql, strike, start_year, end_year, bermudan, vol):
    today = ql.Date(1, 1, 2024)
    ql.Settings.instance().evaluationDate = today
    dates = [today] + [today + d for d in KNOT_DAYS]
    curve = ql.YieldTermStructureHandle(ql.DiscountCurve(dates, [1.0] + [discount(t) for t in CURVE[:, 0]],
                                                         ql.Actual365Fixed()))
    calendar, unadjusted, act365 = ql.NullCalendar(), ql.Unadjusted, ql.Actual365Fixed()

    def schedule(months):
        return ql.Schedule(ql.Date(1, 1, start_year), ql.Date(1, 1, end_year), ql.Period(months, ql.Months),
                           calendar, unadjusted, unadjusted, ql.DateGeneration.Forward, False)

    index = ql.IborIndex("six months", ql.Period(6, ql.Months), 0, ql.USDCurrency(), calendar, unadjusted, False,
                         act365, curve)
    swap = ql.VanillaSwap(ql.VanillaSwap.Payer, 1.0, schedule(12), strike, act365, schedule(6), index, 0.0, act365)
    swap.setPricingEngine(ql.DiscountingSwapEngine(curve))
    exercise = (ql.BermudanExercise(list(schedule(12))[:-1]) if bermudan
                else ql.EuropeanExercise(ql.Date(1, 1, start_year)))
    swaption = ql.Swaption(swap, exercise)
    model = ql.HullWhite(curve, MEANREV, vol)
    swaption.setPricingEngine(ql.FdHullWhiteSwaptionEngine(model, 4000, 1600) if bermudan
                              else ql.JamshidianSwaptionEngine(model))
    return swaption.NPV(), swap.fairRate(), [(d - today) / 365 for d in schedule(12)]


def jamshidian(strike, pay_years, vol):
    """A European payer swaption as puts on zero-coupon bonds (Jamshidian), with the
    short-rate deviation's variance at expiry summed over the volatility's pieces:
    sum of vol_k^2 (e^(-2a (T - min(t_(k+1), T))) - e^(-2a (T - t_k))) / (2a)."""
    expiry, a = pay_years[0], MEANREV
    ends = list(vol[1:, 0]) + [math.inf]
    variance = sum(v**2 * (math.exp(-2 * a * (expiry - min(end, expiry))) - math.exp(-2 * a * (expiry - start))) / (2 * a)
                   for (start, v), end in zip(vol, ends) if start < expiry)
    flows = [strike * (t - s) for s, t in zip(pay_years, pay_years[1:])]
    flows[-1] += 1.0
    b = [-math.expm1(-a * (t - expiry)) / a for t in pay_years[1:]]
    forward = [discount(t) / discount(expiry) for t in pay_years[1:]]

    def bond(x, i):  # the zero-coupon bond to pay_years[i + 1] at expiry, deviation x
        return forward[i] * math.exp(-0.5 * b[i] ** 2 * variance - b[i] * x)

    lo, hi = -1.0, 1.0  # the deviation where the coupon bond is worth 1
    for _ in range(100):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if sum(c * bond(mid, i) for i, c in enumerate(flows)) > 1.0 else (lo, mid)
    price = 0.0
    for i, c in enumerate(flows):
        spread = b[i] * math.sqrt(variance)
        k = bond(lo, i)
        h = math.log(forward[i] / k) / spread + spread / 2
        price += c * discount(expiry) * (k * normal(spread - h) - forward[i] * normal(-h))
    return price


def normal(x):
    return 0.5 * math.erfc(-x / math.sqrt(2))


@pytest.mark.parametrize("bermudan, vol", [(False, 0.01), (True, 0.01), (False, STEPS)],
                         ids=["European", "Bermudan", "European with piecewise volatility"])
def test_swaptions_match_quantlib(bermudan, vol):
    ql = pytest.importorskip("QuantLib")
    _, at_the_money, pay_years = quantlib_swaption(ql, 0.04, 2029, 2034, False, 0.01)
    for strike in (at_the_money, at_the_money + 0.01):
        if np.isscalar(vol):
            reference, _, _ = quantlib_swaption(ql, strike, 2029, 2034, bermudan, vol)
        else:
            reference = jamshidian(strike, pay_years, vol)
        value = _ravlin.fd_hullwhite_price(payer_swaption(strike, 2029, 2034, bermudan), None, hw_data(vol), {})
        assert value == pytest.approx(reference, rel=2e-4 if bermudan else 1e-4), strike


def test_the_closed_form_with_one_volatility_is_quantlibs():
    ql = pytest.importorskip("QuantLib")
    reference, _, pay_years = quantlib_swaption(ql, 0.04, 2029, 2034, False, 0.01)
    assert jamshidian(0.04, pay_years, np.array([[0.0, 0.01]])) == pytest.approx(reference, rel=1e-12)


@pytest.mark.parametrize("fit", [0, 1])
def test_a_volatility_in_equal_pieces_prices_as_one_number(fit):
    swaption = payer_swaption(0.045, 2029, 2034, True)
    pieces = np.column_stack([[0.0, 0.5, 2.0, 4.9, 5.0, 7.0], np.full(6, 0.01)])
    one = _ravlin.fd_hullwhite_price(swaption, None, hw_data(0.01, fit=fit, n_x=200), {})
    assert _ravlin.fd_hullwhite_price(swaption, None, hw_data(pieces[:1], fit=fit, n_x=200), {}) == one
    assert _ravlin.fd_hullwhite_price(swaption, None, hw_data(pieces, fit=fit, n_x=200), {}) == \
        pytest.approx(one, rel=1e-12)


# ---- Settings ------------------------------------------------------------------

PARSE = "Error while parsing Dataset, caused by\n"
WRONG = "Error in value of {}, likely incorrect type. caused by \n"


@pytest.mark.parametrize(
    "key, value, text",
    [
        ("VOL", np.array([[0.5, 0.01]]), "VOL: the first row must start at 0, got 0.5"),
        ("VOL", np.array([[0.0, 0.01], [2.0, 0.01], [1.0, 0.01]]),
         "VOL: the starts must rise strictly and be finite, got 1 after 2"),
        ("VOL", np.array([[0.0, 0.01], [np.inf, 0.01]]), "VOL: the starts must rise strictly and be finite, got inf after 0"),
        ("VOL", np.array([[0.0, 0.01], [1.0, -0.01]]), "VOL: a volatility must be finite and not negative, got -0.01 from 1"),
        ("VOL", np.array([[0.0, np.nan]]), "VOL: a volatility must be finite and not negative, got NaN from 0"),
        ("VOL", np.array([[0, 1], [1, 2]]), WRONG.format("VOL") + "TypeError: type mismatch:"),
        ("VOL", np.zeros((2, 1)), WRONG.format("VOL") + "Array of VOL must have at least one row and two columns, got shape (2, 1)"),
        ("VOL", "0.01", WRONG.format("VOL") + "TypeError: must be real number, not str"),
        ("CURVE_FIT", 2, "Invalid value '2' for key 'CURVE_FIT'"),
        ("CURVE_FIT", 0.5, WRONG.format("CURVE_FIT") + "TypeError: 'float' object cannot be interpreted as an integer"),
    ],
)
def test_bad_settings_are_refused_naming_their_key(key, value, text):
    data = hw_data(0.01, n_x=5)
    data["HW"][key] = value
    with pytest.raises(RuntimeError) as error:
        _ravlin.fd_hullwhite_price(timetable([("zcb", T0 + 365 * DAY_MS, "+", 1.0, "USD")]), None, data, {})
    assert str(error.value).startswith(PARSE + text)

"""Greeks of one grid solve and sensitivities by revaluation, against closed forms and QuantLib."""

import dataclasses
import math
import sys
from pathlib import Path
from statistics import NormalDist

import numpy as np
import pytest

import ravlin
from ravlin.paths import GeometricBrownianMotion

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
from risk_pictures import DAY_MS, bond_rows, daily, option_rows

from conftest import YEAR_MS

N = NormalDist()
S, K, R, VOL = 100.0, 100.0, 0.05, 0.2
MARKET = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    "USD": ravlin.ZeroCurve.flat(R), "SPX": ravlin.ForwardCurve.flat(S, R)})
EXPIRY = MARKET.pricing_ms + 365 * DAY_MS


def black_scholes(kind, spot=S, years=1.0):
    """Delta, gamma, theta (per year) and vega of a European option without dividends."""
    d1 = (math.log(spot / K) + (R + VOL**2 / 2) * years) / (VOL * math.sqrt(years))
    d2 = d1 - VOL * math.sqrt(years)
    discounted = K * math.exp(-R * years)
    decay = -spot * N.pdf(d1) * VOL / (2 * math.sqrt(years))
    if kind == "call":
        return (N.cdf(d1), N.pdf(d1) / (spot * VOL), decay - R * discounted * N.cdf(d2),
                spot * N.pdf(d1) * math.sqrt(years))
    return (N.cdf(d1) - 1, N.pdf(d1) / (spot * VOL), decay + R * discounted * N.cdf(-d2),
            spot * N.pdf(d1) * math.sqrt(years))


def european(kind):
    return option_rows(kind, K, [EXPIRY])


@pytest.fixture(scope="module", params=["call", "put"])
def grid_option(request):
    model = ravlin.BlackScholesGrid(asset="SPX", volatility=VOL, statistics=["values"])
    return request.param, ravlin.price(european(request.param), MARKET, model)


def test_grid_greeks_match_black_scholes(grid_option):
    kind, result = grid_option
    delta, gamma, theta, _ = black_scholes(kind)
    greeks = result.greeks
    assert greeks.delta == pytest.approx(delta, rel=1e-3)
    assert greeks.gamma == pytest.approx(gamma, rel=1e-3)
    assert greeks.theta == pytest.approx(theta, rel=1e-2)


@pytest.mark.parametrize("spot", [83.7, 100.0, 104.71, 131.2])
def test_grid_delta_gamma_off_the_spot_match_black_scholes(grid_option, spot):
    kind, result = grid_option
    delta, gamma, _, _ = black_scholes(kind, spot)
    got = ravlin.grid_delta_gamma(result, spot)
    assert got == pytest.approx((delta, gamma), rel=2e-3)


def test_american_put_delta_matches_quantlib_finite_differences():
    ql = pytest.importorskip("QuantLib")
    put = option_rows("put", K, daily(MARKET.pricing_ms, 365))
    result = ravlin.price(put, MARKET, ravlin.BlackScholesGrid(asset="SPX", volatility=VOL, statistics=["values"]))
    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, day_count))
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(S)), curve(0.0), curve(R),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), VOL, day_count)))
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, K), ql.AmericanExercise(today, today + 365))
    option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, 1000, 1000))
    assert result.greeks.delta == pytest.approx(option.delta(), abs=1e-3)


@pytest.fixture(scope="module")
def monte_carlo_call():
    model = ravlin.MonteCarlo(paths=100_000, state=GeometricBrownianMotion(volatility={"SPX": VOL}), seed=11)
    return ravlin.risk(european("call"), MARKET, model, measures=["delta", "vega"])


@pytest.mark.parametrize("measure, closed_form", [("delta", 0), ("vega", 3)])
def test_monte_carlo_sensitivities_within_three_standard_errors(monte_carlo_call, measure, closed_form):
    sensitivity = getattr(monte_carlo_call, measure)["SPX"]
    expected = black_scholes("call")[closed_form]
    # common random numbers: the bumped difference is far tighter than the price's own error
    assert 0 < sensitivity.standard_error < 0.01 * expected
    assert abs(sensitivity.value - expected) < 3 * sensitivity.standard_error


CURVE = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    "USD": ravlin.ZeroCurve(times=[0.5, 1.0, 2.0, 3.0, 5.0, 7.0, 10.0],
                            rates=[0.030, 0.032, 0.035, 0.037, 0.039, 0.040, 0.041])})
BOND = bond_rows(5.0, 10, CURVE.pricing_ms)


@pytest.mark.parametrize("model", [ravlin.Fixed(), ravlin.HullWhiteGrid(mean_reversion=0.05, volatility=0.01,
                                                                       nodes_per_side=200, timestep=1 / 52)],
                         ids=["fixed", "hull-white"])
def test_key_rate_dv01s_add_up_to_the_parallel_dv01(model):
    sensitivities = ravlin.risk(BOND, CURVE, model, measures=["rates", "key_rates"])
    buckets = sensitivities.key_rate_dv01
    assert list(buckets) == list(CURVE.curves["USD"].times)
    assert sum(b.value for b in buckets.values()) == pytest.approx(sensitivities.dv01.value, rel=1e-2)
    assert sensitivities.dv01.value == pytest.approx(-sensitivities.rho.value * 1e-4)


def test_bond_dv01_is_the_sum_of_discounted_time_weighted_cash_flows():
    times = np.array([(t - CURVE.pricing_ms) / YEAR_MS for _, t, _, _, _ in BOND])
    amounts = np.array([q for _, _, _, q, _ in BOND])
    discount = np.array([CURVE.discount_factor(t) for t in times])
    analytic = 1e-4 * np.sum(times * amounts * discount)
    assert ravlin.risk(BOND, CURVE, ravlin.Fixed(), measures=["rates"]).dv01.value == pytest.approx(analytic, rel=1e-6)


def hull_white_bond_call(a, sigma, expiry=1.0, maturity=3.0, strike=0.9):
    """Closed form of a European call on a zero-coupon bond under Hull-White fitted to a flat curve."""
    p_t, p_s = math.exp(-R * expiry), math.exp(-R * maturity)
    spread = sigma / a * (1 - math.exp(-a * (maturity - expiry))) * math.sqrt((1 - math.exp(-2 * a * expiry)) / (2 * a))
    h = math.log(p_s / (p_t * strike)) / spread + spread / 2
    return p_s * N.cdf(h) - strike * p_t * N.cdf(h - spread)


def test_hull_white_sensitivities_match_the_bond_option_closed_form():
    expiry, maturity = MARKET.pricing_ms + 365 * DAY_MS, MARKET.pricing_ms + 3 * 365 * DAY_MS
    rows = [("call", expiry, ">", 1.0, "pay"), ("pay", expiry, "+", -0.9, "USD"), ("pay", expiry, "+", 1.0, "bond"),
            ("bond", maturity, "+", 1.0, "USD")]
    a, sigma = 0.1, 0.01
    sensitivities = ravlin.risk(rows, MARKET, ravlin.HullWhiteGrid(mean_reversion=a, volatility=sigma),
                                measures=["vega", "mean_reversion"])
    h = 1e-5
    assert sensitivities.result.price == pytest.approx(hull_white_bond_call(a, sigma), rel=1e-3)
    assert sensitivities.vega["short rate"].value == pytest.approx(
        (hull_white_bond_call(a, sigma + h) - hull_white_bond_call(a, sigma - h)) / (2 * h), rel=1e-2)
    assert sensitivities.mean_reversion.value == pytest.approx(
        (hull_white_bond_call(a + h, sigma) - hull_white_bond_call(a - h, sigma)) / (2 * h), rel=1e-2)


def test_a_piecewise_volatility_has_a_vega_per_piece_that_add_up():
    # A bond option to one year: the volatility after it moves nothing.
    expiry, maturity = MARKET.pricing_ms + 365 * DAY_MS, MARKET.pricing_ms + 3 * 365 * DAY_MS
    rows = [("call", expiry, ">", 1.0, "pay"), ("pay", expiry, "+", -0.9, "USD"), ("pay", expiry, "+", 1.0, "bond"),
            ("bond", maturity, "+", 1.0, "USD")]
    pieces = ravlin.HullWhiteGrid(mean_reversion=0.1, volatility=[(0, 0.01), (0.5, 0.01), (2, 0.01)])
    vega = ravlin.risk(rows, MARKET, pieces, measures=["vega"]).vega
    assert list(vega) == ["short rate from 0", "short rate from 0.5", "short rate from 2"]
    parallel = ravlin.risk(rows, MARKET, dataclasses.replace(pieces, volatility=0.01), measures=["vega"]).vega
    assert sum(v.value for v in vega.values()) == pytest.approx(parallel["short rate"].value, rel=1e-3)
    assert abs(vega["short rate from 2"].value) < 1e-3 * parallel["short rate"].value


def test_hull_white_grid_delta_and_gamma_in_the_short_rate():
    a, years = 0.1, 3.0
    bond = [("bond", MARKET.pricing_ms + 3 * 365 * DAY_MS, "+", 1.0, "USD")]
    greeks = ravlin.price(bond, MARKET, ravlin.HullWhiteGrid(mean_reversion=a, volatility=0.01,
                                                             statistics=["values"])).greeks
    b = (1 - math.exp(-a * years)) / a  # the bond's log price falls by b per unit of short rate
    assert (greeks.delta, greeks.gamma) == pytest.approx((-b * math.exp(-R * years), b * b * math.exp(-R * years)),
                                                         rel=1e-3)


def test_rates_bump_carries_forwards_with_spot_held():
    """A forward contract's rho is K T e^{-rT} with the spot held, and zero with the forwards held."""
    forward = [("fwd", EXPIRY, "+", 1.0, "SPX"), ("fwd", EXPIRY, "+", -K, "USD")]
    carried = ravlin.risk(forward, MARKET, ravlin.Fixed(), measures=["rates"]).rho.value
    held = ravlin.risk(forward, MARKET, ravlin.Fixed(), measures=["rates"], carry=False).rho.value
    assert (carried, held) == pytest.approx((K * math.exp(-R), -S + K * math.exp(-R)), rel=1e-6)


@pytest.mark.parametrize("call, message", [
    (lambda: ravlin.risk(BOND, CURVE, ravlin.Fixed(), measures=["vega"]), "do not apply to Fixed"),
    (lambda: ravlin.risk(BOND, CURVE, ravlin.Fixed(), measures=["theta"]), "unknown ['theta']"),
    (lambda: ravlin.risk(BOND, CURVE, ravlin.Fixed(), assets=["USD"]), "'USD' is not an asset"),
    (lambda: ravlin.Bumps(spot=0.0), "Bumps.spot must be positive"),
    (lambda: ravlin.grid_delta_gamma(ravlin.price(BOND, CURVE, ravlin.Fixed()), 1.0), "statistics=['values']"),
    (lambda: ravlin.grid_delta_gamma(ravlin.price(european("call"), MARKET, ravlin.BlackScholesGrid(
        asset="SPX", volatility=VOL, nodes_per_side=10, half_width=0.8, statistics=["values"])), 1000.0),
     "outside the grid"),
])
def test_bad_requests_say_what_is_wrong(call, message):
    with pytest.raises(ValueError, match=None) as raised:
        call()
    assert message in str(raised.value)

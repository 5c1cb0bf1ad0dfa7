"""Grid defaults and reference paths against closed forms."""

import dataclasses
import math

import numpy as np
import pytest

import ravlin
from ravlin import _short_rate
from ravlin.paths import GeometricBrownianMotion, HullWhite

RATE, SPOT = 0.04, 100.0
MARKET = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    "USD": ravlin.ZeroCurve.flat(RATE), "SPX": ravlin.ForwardCurve.flat(SPOT, RATE - 0.01),
    "NDX": ravlin.ForwardCurve.flat(80.0, RATE)})
CURVED = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    "USD": ravlin.ZeroCurve(times=[1.0, 2.0, 5.0, 10.0], rates=[0.03, 0.032, 0.035, 0.037])})


def normal(x):
    return 0.5 * math.erfc(-x / math.sqrt(2))


def black(forward, strike, vol, years, discount, sign):
    d1 = (math.log(forward / strike) + vol**2 * years / 2) / (vol * math.sqrt(years))
    d2 = d1 - vol * math.sqrt(years)
    return discount * sign * (forward * normal(sign * d1) - strike * normal(sign * d2))


def vanilla(expiry, strike, sign, asset="SPX"):
    """Exercise into a helper track worth sign * (S - K) at expiry."""
    return [("opt", expiry, ">", 1.0, "ex"), ("ex", expiry, "+", -sign * strike, "USD"),
            ("ex", expiry, "+", sign, asset)]


@pytest.mark.parametrize("expiry", ["2026-01-01", "2025-04-02"], ids=["1y", "3m"])
@pytest.mark.parametrize("sign", [1, -1], ids=["call", "put"])
def test_black_scholes_grid_defaults_reach_1e4_on_at_the_money_options(expiry, sign):
    years = MARKET.years(expiry)
    expected = black(MARKET.forward("SPX", years), SPOT, 0.2, years, MARKET.discount_factor(years), sign)
    got = ravlin.price(vanilla(expiry, SPOT, sign), MARKET, ravlin.BlackScholesGrid(asset="SPX", volatility=0.2))
    assert got.price == pytest.approx(expected, rel=1e-4)


# The short rate's volatility in pieces: 0.8% for half a year, then 1.4%, then 1.1% from two years.
PIECES = ((0.0, 0.008), (0.5, 0.014), (2.0, 0.011))


def deviation_variance(a, volatility, t):
    """The variance of the short rate's deviation at t: each piece's vol^2 times the integral of
    e^(-2a(t - s)) over its part of [0, t]."""
    pieces = ((0.0, volatility),) if np.isscalar(volatility) else volatility
    ends = [start for start, _ in pieces[1:]] + [math.inf]
    return sum(v**2 * (math.exp(-2 * a * (t - min(end, t))) - math.exp(-2 * a * (t - start))) / (2 * a)
               for (start, v), end in zip(pieces, ends) if start < t)


def bond_call(a, volatility, expiry, maturity):
    """A call at the forward price on the zero-coupon bond to `maturity`, and its closed form."""
    t0, t1 = CURVED.years(expiry), CURVED.years(maturity)
    p0, p1 = CURVED.discount_factor(t0), CURVED.discount_factor(t1)
    strike = p1 / p0
    spread = (1 - math.exp(-a * (t1 - t0))) / a * math.sqrt(deviation_variance(a, volatility, t0))
    h = math.log(p1 / (p0 * strike)) / spread + spread / 2
    rows = vanilla(expiry, strike, 1, asset="bond") + [("bond", maturity, "+", 1.0, "USD")]
    return rows, p1 * normal(h) - strike * p0 * normal(h - spread)


@pytest.mark.parametrize("volatility", [0.01, PIECES], ids=["constant", "piecewise"])
def test_hull_white_grid_defaults_price_bonds_and_bond_options(volatility):
    a, expiry, maturity = 0.05, "2026-01-01", "2030-01-01"
    model = ravlin.HullWhiteGrid(mean_reversion=a, volatility=volatility)
    zcb = ravlin.price([("zcb", maturity, "+", 1.0, "USD")], CURVED, model).price
    assert zcb == pytest.approx(CURVED.discount_factor(maturity), rel=1e-8)  # the curve fit
    rows, expected = bond_call(a, volatility, expiry, maturity)
    assert ravlin.price(rows, CURVED, model).price == pytest.approx(expected, rel=1e-4)


def margrabe(years, vol_a, vol_b, rho):
    """Exchange of NDX for SPX at `years`: both forwards from the market, discounted."""
    fa, fb = MARKET.forward("SPX", years), MARKET.forward("NDX", years)
    return black(fa, fb, math.sqrt(vol_a**2 + vol_b**2 - 2 * rho * vol_a * vol_b), years,
                 MARKET.discount_factor(years), 1)


GBM = GeometricBrownianMotion(volatility={"SPX": 0.2, "NDX": 0.3},
                              correlation=[[1.0, 0.6], [0.6, 1.0]])
CASES = {
    "call": (MARKET, GBM, vanilla("2026-01-01", 105.0, 1),
             lambda: black(MARKET.forward("SPX", 1.0), 105.0, 0.2, 1.0, MARKET.discount_factor(1.0), 1)),
    "exchange": (MARKET, GBM, [("opt", "2026-06-01", ">", 1.0, "ex"), ("ex", "2026-06-01", "+", 1.0, "SPX"),
                               ("ex", "2026-06-01", "+", -1.0, "NDX")],
                 lambda: margrabe(MARKET.years("2026-06-01"), 0.2, 0.3, 0.6)),
    "hull-white bond": (CURVED, HullWhite(mean_reversion=0.1, volatility=0.015),
                        [("b", f"{2025 + y}-01-01", "+", 4.0, "USD") for y in range(1, 8)],
                        lambda: sum(4.0 * CURVED.discount_factor(f"{2025 + y}-01-01") for y in range(1, 8))),
}


@pytest.mark.parametrize("antithetic", [False, True])
@pytest.mark.parametrize("market, paths, rows, closed_form", CASES.values(), ids=CASES.keys())
def test_reference_paths_agree_with_closed_forms_within_3_standard_errors(market, paths, rows, closed_form,
                                                                           antithetic):
    factory = dataclasses.replace(paths, antithetic=antithetic)
    model = ravlin.MonteCarlo(paths=20_000, state=factory, seed=11, statistics=["values"])
    result = ravlin.price(rows, market, model)
    assert abs(result.price - closed_form()) < 3 * result.standard_error


@pytest.mark.parametrize("volatility", [0.02, PIECES], ids=["constant", "piecewise"])
def test_hull_white_discount_factors_reproduce_the_curve_at_every_step(volatility):
    paths = HullWhite(mean_reversion=0.1, volatility=volatility)(CURVED, 50_000, 5)
    discount = np.ones(50_000)
    for t in (0.25, 1.0, 3.0, 7.5):
        discount = discount * paths.advance(t)
        error = discount.std() / math.sqrt(discount.size)
        assert abs(discount.mean() - CURVED.discount_factor(t)) < 3 * error


@pytest.mark.parametrize("a", [0.1, 1e-7, 2.5])
@pytest.mark.parametrize("t0, t1", [(0.0, 0.25), (0.3, 2.7), (2.0, 2.001), (1.0, 30.0)])
def test_hull_white_steps_draw_from_the_joint_law_of_the_deviation_and_its_integral(a, t0, t1):
    # Given x(t0): Var x(t1), Var of the integral over [t0, t1] and their covariance are the
    # integrals of sigma(s)^2 times e^(-2a u), B(u)^2 and e^(-a u) B(u), u = t1 - s, B(u) = (1 - e^(-a u)) / a.
    nodes, weights = np.polynomial.legendre.leggauss(30)
    expected = np.zeros(3)
    for k, (start, sigma) in enumerate(PIECES):  # Gauss-Legendre on each piece's part of [t0, t1]
        lo, hi = max(start, t0), min(PIECES[k + 1][0] if k + 1 < len(PIECES) else math.inf, t1)
        if hi > lo:
            u = t1 - (lo + hi) / 2 - (hi - lo) / 2 * nodes
            b = -np.expm1(-a * u) / a
            integrands = (np.exp(-2 * a * u), b**2, np.exp(-a * u) * b)
            expected += sigma**2 * (hi - lo) / 2 * np.array([weights @ f for f in integrands])
    assert _short_rate.step_moments(a, PIECES, t0, t1) == pytest.approx(expected, rel=1e-12)


def test_correlated_assets_have_their_correlation():
    paths = GBM(MARKET, 100_000, 1)
    paths.advance(0.5)
    logs = np.log([paths.get_value("SPX"), paths.get_value("NDX")])
    assert np.corrcoef(logs)[0, 1] == pytest.approx(0.6, abs=0.01)
    assert paths.get_value("EUR") is None


@pytest.mark.parametrize("years", [0.5, 1.0, 3.0], ids=["inside", "on a knot", "later"])
def test_hull_white_short_rate_is_the_rate_its_paths_discount_at(years):
    volatility, step = 0.02, 1e-4
    paths = HullWhite(mean_reversion=0.1, volatility=volatility)(CURVED, 100_000, 3)
    paths.advance(years)
    short, state = paths.get_value("short_rate"), paths.get_value("x")
    rate = -np.log(paths.advance(years + step)) / step  # each path's rate over the next instant
    assert abs(rate.mean() - short.mean()) < 1e-5  # the convexity alone is 1.8e-4 at a year
    np.testing.assert_allclose(rate, short, atol=1e-3)
    assert state.std() == pytest.approx(volatility * math.sqrt(-math.expm1(-0.2 * years) / 0.2), rel=0.02)


class Discounting:
    """A model of one's own: the fixed model, written against the protocol alone."""

    statistics = False
    engine = ravlin.Fixed.engine

    def sections(self, market, batch):
        return {"FIXED": {"FLAGS": 0}}

    def fresh_paths(self, market):
        return None

    def node_coordinates(self, market, batch, sections, stats):
        return None

    def greeks(self, market, batch, sections, values, nodes):
        return None

    def parameters(self):
        return {}

    def with_parameter(self, parameter, value):
        raise KeyError(parameter)

    def for_revaluation(self, market, batch):
        return self


def test_a_model_of_the_protocol_prices_and_bumps_as_the_built_in_one_does():
    bond = [("b", f"{2025 + y}-01-01", "+", 4.0, "USD") for y in range(1, 8)]
    ours, built_in = (ravlin.risk(bond, CURVED, model, measures=["rates"]) for model in (Discounting(), ravlin.Fixed()))
    assert ours.result.price == built_in.result.price and ours.dv01 == built_in.dv01
    assert isinstance(ours.result.model, Discounting)

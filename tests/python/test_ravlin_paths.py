"""Path models that follow the market: means on the forward curve, prices against closed forms and QuantLib."""

import math

import numpy as np
import pytest

import ravlin
from ravlin.paths import GeometricBrownianMotion, Heston, LocalVolatility

RATE, DAY = 0.04, 1 / 365


def dividend_forward(spot=100.0, growth=RATE, dividends=((0.5, 3.0), (1.5, 3.0)), horizon=3.0):
    """Forwards growing at `growth` that fall by each cash dividend over the day before its ex-date."""
    times, forwards, paid = [0.0], [spot], 0.0
    for when, amount in dividends:
        times += [when - DAY, when]
        before = (spot - paid) * math.exp(growth * (when - DAY))
        paid += amount * math.exp(-growth * when)
        forwards += [before, (spot - paid) * math.exp(growth * when)]
    times.append(horizon)
    forwards.append((spot - paid) * math.exp(growth * horizon))
    return ravlin.ForwardCurve(times=times, forwards=forwards)


MARKET = ravlin.Market(base="USD", pricing_time="2025-01-01",
                       curves={"USD": ravlin.ZeroCurve.flat(RATE), "SPX": dividend_forward()})
SMILE = ravlin.VolatilitySurface(
    expiries=[0.25, 1.0, 3.0], moneyness=[0.6, 0.8, 1.0, 1.2, 1.5],
    volatilities=[[0.32, 0.26, 0.2, 0.17, 0.17], [0.3, 0.25, 0.2, 0.175, 0.17], [0.28, 0.24, 0.2, 0.18, 0.175]])
HESTON = dict(v0=0.04, kappa=1.5, theta=0.05, vol_of_vol=0.6, correlation=-0.7)
MODELS = {
    "gbm": GeometricBrownianMotion(volatility={"SPX": 0.25}),
    "gbm term structure": GeometricBrownianMotion(
        volatility={"SPX": ravlin.VolatilityTermStructure(times=[0.5, 3.0], volatilities=[0.3, 0.22])}),
    "local volatility": LocalVolatility(volatility={"SPX": SMILE}, steps_per_year=50),
    "heston": Heston(asset="SPX", **HESTON, steps_per_year=50),
}


@pytest.mark.parametrize("factory", MODELS.values(), ids=MODELS.keys())
def test_path_means_are_the_market_forwards(factory):
    paths = factory(MARKET, 20_000, 7)
    for t in (0.3, 0.5, 1.2, 2.5):
        paths.advance(t)
        values = paths.get_value("SPX")
        error = values.std(ddof=1) / math.sqrt(values.size)
        assert abs(values.mean() - MARKET.forward("SPX", t)) < 4 * error, t


def test_two_year_call_on_a_dividend_forward_is_black_scholes_on_that_forward():
    model = ravlin.MonteCarlo(paths=100_000, state=GeometricBrownianMotion(volatility={"SPX": 0.2}), seed=3,
                              statistics=["values"])
    option = ravlin.EuropeanOption(expiry="2027-01-01", strike=100.0, kind="call", asset="SPX", currency="USD")
    result = ravlin.price(option, MARKET, model)
    years = MARKET.years("2027-01-01")
    expected = ravlin.black_scholes_price(MARKET.forward("SPX", years), 100.0, years, 0.2,
                                          discount=MARKET.discount_factor(years))
    assert abs(result.price - expected) < 4 * result.standard_error


def test_heston_paths_price_a_call_as_quantlibs_analytic_engine():
    ql = pytest.importorskip("QuantLib")
    market = ravlin.Market(base="USD", pricing_time="2025-01-01",
                           curves={"USD": ravlin.ZeroCurve.flat(0.03), "SPX": ravlin.ForwardCurve.flat(100.0, 0.02)})
    model = ravlin.MonteCarlo(paths=100_000, state=Heston(asset="SPX", **HESTON), seed=5, statistics=["values"])
    option = ravlin.EuropeanOption(expiry="2026-01-01", strike=105.0, kind="call", asset="SPX", currency="USD")
    result = ravlin.price(option, market, model)

    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, ql.Actual365Fixed()))
    process = ql.HestonProcess(curve(0.03), curve(0.01), ql.QuoteHandle(ql.SimpleQuote(100.0)), HESTON["v0"],
                               HESTON["kappa"], HESTON["theta"], HESTON["vol_of_vol"], HESTON["correlation"])
    reference = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call, 105.0), ql.EuropeanExercise(ql.Date(1, 1, 2026)))
    reference.setPricingEngine(ql.AnalyticHestonEngine(ql.HestonModel(process)))
    assert abs(result.price - reference.NPV()) < 4 * result.standard_error


def test_local_volatility_paths_reprice_the_smile_they_come_from():
    flat = ravlin.Market(base="USD", pricing_time="2025-01-01",
                         curves={"USD": ravlin.ZeroCurve.flat(0.03), "SPX": ravlin.ForwardCurve.flat(100.0, 0.01)})
    paths = LocalVolatility(volatility={"SPX": SMILE}, steps_per_year=100)(flat, 100_000, 11)
    paths.advance(1.0)
    spots, forward = paths.get_value("SPX"), flat.forward("SPX", 1.0)
    for moneyness in (0.8, 1.0, 1.2):
        strike = moneyness * forward
        payoff = np.maximum(spots - strike, 0.0)
        expected = ravlin.black_scholes_price(forward, strike, 1.0, SMILE.volatility(flat, "SPX", 1.0, strike))
        assert abs(payoff.mean() - expected) < 4 * payoff.std(ddof=1) / math.sqrt(payoff.size), moneyness


class CountingPaths:
    """A path class taken as its own factory: called with (market, paths, seed)."""

    def __init__(self, market, paths, seed):
        self.paths = paths

    def advance(self, t):
        return None

    def get_value(self, name):
        return None


def test_monte_carlo_takes_any_callable_but_a_set_of_paths():
    model = ravlin.MonteCarlo(paths=10, state=CountingPaths)
    rows = [("x", "2026-01-01", "+", 1.0, "USD")]
    assert ravlin.price(rows, MARKET, model).price == pytest.approx(MARKET.discount_factor("2026-01-01"))
    with pytest.raises(TypeError, match="not a path object"):
        ravlin.MonteCarlo(paths=10, state=CountingPaths(MARKET, 10, 0))


def test_vega_of_a_volatility_object_is_a_parallel_shift():
    option = ravlin.EuropeanOption(expiry="2026-01-01", strike=100.0, kind="call", asset="SPX", currency="USD")
    term = ravlin.VolatilityTermStructure(times=[0.5, 3.0], volatilities=[0.25, 0.25])
    vegas = [ravlin.risk(option, MARKET, ravlin.MonteCarlo(paths=20_000, state=GeometricBrownianMotion(
        volatility={"SPX": vol}), seed=3), measures=["vega"]).vega["SPX"].value for vol in (0.25, term)]
    assert vegas[0] == pytest.approx(vegas[1], rel=1e-9)


@pytest.mark.parametrize("factory", [MODELS["gbm"], MODELS["heston"], ravlin.paths.HullWhite(mean_reversion=0.1,
                                                                                             volatility=0.01)])
def test_paths_beyond_the_memory_available_are_refused_before_they_are_made(factory):
    with pytest.raises(MemoryError, match="more than half of the memory available"):
        factory(MARKET, 10**13, 0)

"""Exotic options on every model that can value them: closed forms, QuantLib, a brute-force reference."""

import math

import numpy as np
import pytest

import ravlin
from ravlin.exotics import AsianOption, BarrierOption, DigitalOption, LookbackOption
from ravlin.paths import GeometricBrownianMotion

RATE, GROWTH, VOL = 0.03, 0.01, 0.2
MARKET = ravlin.Market(base="USD", pricing_time="2025-01-01",
                       curves={"USD": ravlin.ZeroCurve.flat(RATE), "SPX": ravlin.ForwardCurve.flat(100.0, GROWTH)})
EXPIRY = "2026-01-01"
MONTHLY = [f"2025-{m:02d}-01" for m in range(2, 13)] + [EXPIRY]
COMMON = dict(asset="SPX", currency="USD", expiry=EXPIRY)


def monte_carlo(paths=100_000, seed=9):
    return ravlin.MonteCarlo(paths=paths, state=GeometricBrownianMotion(volatility={"SPX": VOL}), seed=seed,
                             statistics=["values"])


def normal_cdf(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def digital_closed_form(strike, kind, payout):
    forward, discount = MARKET.forward("SPX", 1.0), MARKET.discount_factor(1.0)
    d1 = (math.log(forward / strike) + 0.5 * VOL**2) / VOL
    d2 = d1 - VOL
    sign = 1.0 if kind == "call" else -1.0
    return discount * (forward * normal_cdf(sign * d1) if payout == "asset" else normal_cdf(sign * d2))


def barrier_reference(strike, barrier, monitoring, kind="call"):
    """A down-and-out call (no rebate) by backward induction of the exact Gaussian transitions on a fine grid.

    In z = ln(S / F(t)) + σ²t/2 the price is a Brownian motion with volatility σ: each step from one
    monitoring date to the next is a convolution with a Gaussian kernel (done by FFT), the knock sets
    the value to 0 at and below the barrier.
    """
    times = np.array([MARKET.years(d) for d in monitoring])
    spread = 12 * VOL * math.sqrt(times[-1])
    z = np.linspace(-spread, spread, 2**16 + 1)

    def price_at(t, values):
        return MARKET.forward("SPX", t) * np.exp(values - 0.5 * VOL**2 * t)

    sign = 1.0 if kind == "call" else -1.0
    value = np.maximum(sign * (price_at(times[-1], z) - strike), 0.0)
    for i in range(times.size - 1, -1, -1):
        value = np.where(price_at(times[i], z) <= barrier, 0.0, value)
        step = times[i] - (times[i - 1] if i > 0 else 0.0)
        if step > 0:
            kernel = np.exp(-0.5 * (z / (VOL * math.sqrt(step))) ** 2)
            kernel /= kernel.sum()
            size = 2 * z.size
            full = np.fft.irfft(np.fft.rfft(value, size) * np.fft.rfft(kernel, size), size)
            value = full[z.size // 2: z.size // 2 + z.size]
    return MARKET.discount_factor(times[-1]) * float(np.interp(0.0, z, value))


@pytest.mark.parametrize("payout", ["cash", "asset"])
@pytest.mark.parametrize("kind", ["call", "put"])
def test_digitals_on_monte_carlo_agree_with_their_closed_forms(kind, payout):
    option = DigitalOption(strike=105.0, kind=kind, payout=payout, **COMMON)
    result = ravlin.price(option, MARKET, monte_carlo())
    assert abs(result.price - digital_closed_form(105.0, kind, payout)) < 4 * result.standard_error


def test_discrete_down_and_out_on_monte_carlo_agrees_with_the_brute_force_reference():
    option = BarrierOption(strike=100.0, kind="call", barrier=90.0, direction="down", knock="out",
                           monitoring=MONTHLY, **COMMON)
    result = ravlin.price(option, MARKET, monte_carlo())
    reference = barrier_reference(100.0, 90.0, MONTHLY)
    assert abs(result.price - reference) < 4 * result.standard_error


@pytest.mark.parametrize("direction, barrier, never", [("down", 92.0, 1e-9), ("up", 115.0, 1e9)])
def test_knock_in_and_knock_out_make_the_vanilla_on_every_path(direction, barrier, never):
    def values(knock, level):
        option = BarrierOption(strike=100.0, kind="put", barrier=level, direction=direction, knock=knock,
                               monitoring="daily", start="2025-01-01", **COMMON)
        return ravlin.price(option, MARKET, monte_carlo(paths=20_000)).values

    # the same monitoring dates draw the same paths; a barrier never reached leaves the vanilla
    np.testing.assert_allclose(values("in", barrier) + values("out", barrier), values("out", never), atol=1e-12)


def geometric_asian_reference(ql, strike, kind):
    """QuantLib's analytic discrete geometric average price (fixed strike) or strike (floating) engine."""
    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, ql.Actual365Fixed()))
    volatility = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), VOL, ql.Actual365Fixed()))
    process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(100.0)), curve(RATE - GROWTH), curve(RATE),
                                           volatility)
    fixings = [ql.Date(1, m, 2025) for m in range(2, 13)] + [ql.Date(1, 1, 2026)]
    option_type = ql.Option.Call if kind == "call" else ql.Option.Put
    if strike is None:
        option = ql.DiscreteAveragingAsianOption(ql.Average.Geometric, 1.0, 0, fixings,
                                                 ql.PlainVanillaPayoff(option_type, 0.0),
                                                 ql.EuropeanExercise(ql.Date(1, 1, 2026)))
        option.setPricingEngine(ql.AnalyticDiscreteGeometricAverageStrikeAsianEngine(process))
    else:
        option = ql.DiscreteAveragingAsianOption(ql.Average.Geometric, 1.0, 0, fixings,
                                                 ql.PlainVanillaPayoff(option_type, strike),
                                                 ql.EuropeanExercise(ql.Date(1, 1, 2026)))
        option.setPricingEngine(ql.AnalyticDiscreteGeometricAveragePriceAsianEngine(process))
    return option.NPV()


@pytest.mark.parametrize("strike, kind", [(100.0, "call"), (100.0, "put"), (None, "call")])
def test_geometric_asians_agree_with_quantlib(strike, kind):
    ql = pytest.importorskip("QuantLib")
    option = AsianOption(fixings=MONTHLY, strike=strike, kind=kind, average="geometric", **COMMON)
    result = ravlin.price(option, MARKET, monte_carlo())
    assert abs(result.price - geometric_asian_reference(ql, strike, kind)) < 4 * result.standard_error


def test_seasoned_asian_counts_its_past_fixings():
    option = AsianOption(fixings=[EXPIRY], past_fixings=[80.0], strike=90.0, kind="call", **COMMON)
    expected = MARKET.discount_factor(1.0) * ((80.0 + MARKET.forward("SPX", 1.0)) / 2 - 90.0)
    assert ravlin.price(option, MARKET, ravlin.Fixed()).price == pytest.approx(expected, rel=1e-12)


def test_lookbacks_on_few_dates_are_forward_starting_and_plain_options():
    model = monte_carlo()
    # with the extremes seen at mid-year and at expiry, a floating-strike call pays (S_T - S_mid)+
    floating = ravlin.price(LookbackOption(kind="call", monitoring=["2025-07-02", EXPIRY], **COMMON), MARKET, model)
    mid = MARKET.years("2025-07-02")
    growth = MARKET.forward("SPX", 1.0) / MARKET.forward("SPX", mid)
    forward_start = MARKET.forward("SPX", mid) * ravlin.black_scholes_price(growth, 1.0, 1.0 - mid, VOL,
                                                                           discount=MARKET.discount_factor(1.0))
    assert abs(floating.price - forward_start) < 4 * floating.standard_error
    fixed = ravlin.price(LookbackOption(kind="put", strike=100.0, monitoring=[EXPIRY], **COMMON), MARKET, model)
    put = ravlin.black_scholes_price(MARKET.forward("SPX", 1.0), 100.0, 1.0, VOL, kind="put",
                                     discount=MARKET.discount_factor(1.0))
    assert abs(fixed.price - put) < 4 * fixed.standard_error


GRID = ravlin.BlackScholesGrid(asset="SPX", volatility=VOL)


@pytest.mark.parametrize("option, model, message", [
    (AsianOption(fixings=MONTHLY, strike=100.0, kind="call", **COMMON), GRID,
     "AsianOption cannot be valued on BlackScholesGrid: its payoff depends on the path's history"),
    (DigitalOption(strike=100.0, kind="call", **COMMON), ravlin.HullWhiteGrid(mean_reversion=0.1, volatility=0.01),
     "DigitalOption cannot be valued on HullWhiteGrid: a Hull-White grid does not model 'SPX'"),
    (DigitalOption(strike=100.0, kind="call", **COMMON), ravlin.BlackScholesGrid(asset="NDX", volatility=VOL),
     "DigitalOption on 'SPX' cannot be valued on a BlackScholesGrid of 'NDX'"),
])
def test_a_model_that_cannot_value_an_exotic_is_refused_by_name(option, model, message):
    with pytest.raises(ValueError) as error:
        ravlin.price(option, MARKET, model)
    assert message in str(error.value)


GRID = ravlin.BlackScholesGrid(asset="SPX", volatility=VOL)


@pytest.mark.parametrize("payout", ["cash", "asset"])
@pytest.mark.parametrize("kind", ["call", "put"])
def test_digitals_on_the_grid_agree_with_their_closed_forms(kind, payout):
    option = DigitalOption(strike=105.0, kind=kind, payout=payout, **COMMON)
    assert ravlin.price(option, MARKET, GRID).price == pytest.approx(digital_closed_form(105.0, kind, payout),
                                                                     rel=1e-3)


def test_discrete_down_and_out_on_the_grid_agrees_with_monte_carlo_and_the_brute_force_reference():
    option = BarrierOption(strike=100.0, kind="call", barrier=90.0, direction="down", knock="out",
                           monitoring=MONTHLY, **COMMON)
    grid = ravlin.price(option, MARKET, GRID).price
    mc = ravlin.price(option, MARKET, monte_carlo())
    assert abs(grid - mc.price) < 4 * mc.standard_error
    assert grid == pytest.approx(barrier_reference(100.0, 90.0, MONTHLY), rel=1e-3)


@pytest.mark.parametrize("knock, rebate", [("out", 2.0), ("in", 1.0)])
def test_up_barrier_puts_on_the_grid_agree_with_monte_carlo(knock, rebate):
    option = BarrierOption(strike=100.0, kind="put", barrier=112.0, direction="up", knock=knock, rebate=rebate,
                           monitoring=MONTHLY, **COMMON)
    mc = ravlin.price(option, MARKET, monte_carlo())
    assert abs(ravlin.price(option, MARKET, GRID).price - mc.price) < 4 * mc.standard_error

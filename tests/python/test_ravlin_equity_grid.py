"""The Black-Scholes grid with dividends, volatility objects and phrases on its nodes, against QuantLib,
closed forms and Monte Carlo."""

import pytest

import ravlin

ql = pytest.importorskip("QuantLib")

SPOT, RATE, VOL = 100.0, 0.05, 0.25
TODAY = "2025-01-02"
DIVIDENDS = {"2025-04-15": 2.0, "2025-10-15": 2.0}


def dividend_market(**dividends):
    forward = ravlin.ForwardCurve.with_dividends(SPOT, pricing_time=TODAY, growth=RATE, **dividends)
    return ravlin.Market(base="USD", pricing_time=TODAY, curves={"USD": ravlin.ZeroCurve.flat(RATE), "SPX": forward})


@pytest.mark.parametrize("kind", ["put", "call"])
def test_american_option_with_two_cash_dividends_agrees_with_quantlib(kind):
    today = ql.Date(2, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    curve = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(today, rate, ql.Actual365Fixed()))
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(SPOT)), curve(0.0), curve(RATE),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), VOL, ql.Actual365Fixed())))
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put if kind == "put" else ql.Option.Call, SPOT),
                              ql.AmericanExercise(today, ql.Date(2, 1, 2026)))
    schedule = ql.DividendVector([ql.Date(15, 4, 2025), ql.Date(15, 10, 2025)], list(DIVIDENDS.values()))
    option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, schedule, 800, 800, 0,
                                                           ql.FdmSchemeDesc.CrankNicolson()))
    american = ravlin.AmericanOption(start=TODAY, expiry="2026-01-02", strike=SPOT, kind=kind, asset="SPX",
                                     currency="USD")
    grid = ravlin.BlackScholesGrid(asset="SPX", volatility=VOL, dividends=DIVIDENDS)
    price = ravlin.price(american, dividend_market(dividends=DIVIDENDS), grid).price
    assert price == pytest.approx(option.NPV(), rel=1e-3)


@pytest.mark.parametrize("curve, grid", [
    (ravlin.ForwardCurve.flat(SPOT, RATE), dict(dividends=DIVIDENDS)),
    (ravlin.ForwardCurve.with_dividends(SPOT, pricing_time=TODAY, growth=RATE, dividends={"2025-04-15": 1.0}),
     dict(dividends={"2025-04-15": 2.0})),
    (ravlin.ForwardCurve.with_dividends(SPOT, pricing_time=TODAY, growth=RATE, dividends={"2025-04-15": 2.0}),
     dict(proportional_dividends={"2025-04-15": 0.02})),
])
def test_a_forward_that_does_not_carry_the_dividends_is_refused(curve, grid):
    market = ravlin.Market(base="USD", pricing_time=TODAY, curves={"USD": ravlin.ZeroCurve.flat(RATE), "SPX": curve})
    put = ravlin.EuropeanOption(expiry="2026-01-02", strike=SPOT, kind="put", asset="SPX", currency="USD")
    with pytest.raises(ValueError, match=r"forward curve of 'SPX' falls by .* across the ex-date 2025-04-15"):
        ravlin.price(put, market, ravlin.BlackScholesGrid(asset="SPX", volatility=VOL, **grid))


FLAT = ravlin.Market(base="USD", pricing_time=TODAY,
                     curves={"USD": ravlin.ZeroCurve.flat(RATE), "SPX": ravlin.ForwardCurve.flat(SPOT, 0.02)})


def european_call(strike):
    return ravlin.EuropeanOption(expiry="2026-01-02", strike=strike, kind="call", asset="SPX", currency="USD")


def implied(price, strike):
    return ravlin.implied_volatility(price, FLAT.forward("SPX", 1.0), strike, 1.0, discount=FLAT.discount_factor(1.0))


@pytest.mark.parametrize("strike", [80.0, 100.0, 125.0])
def test_a_term_structure_on_the_grid_prices_with_the_total_variance(strike):
    term = ravlin.VolatilityTermStructure(times=[0.25, 0.5, 1.0, 2.0], volatilities=[0.3, 0.25, 0.22, 0.21])
    price = ravlin.price(european_call(strike), FLAT, ravlin.BlackScholesGrid(asset="SPX", volatility=term)).price
    exact = ravlin.black_scholes_price(FLAT.forward("SPX", 1.0), strike, 1.0, term.volatility(1.0),
                                       discount=FLAT.discount_factor(1.0))
    assert price == pytest.approx(exact, rel=1e-4)


SMILE = ravlin.VolatilitySurface(expiries=[0.5, 1.0], moneyness=[0.7, 0.85, 1.0, 1.15, 1.4],
                                 volatilities=[[0.32, 0.26, 0.21, 0.19, 0.2], [0.3, 0.25, 0.21, 0.195, 0.2]])


@pytest.mark.parametrize("strike", [75.0, 90.0, 102.0, 115.0, 135.0])
def test_local_volatility_from_a_smile_reprices_the_smile(strike):
    for volatility in (SMILE, ravlin.LocalVolSurface.from_surface(SMILE)):
        price = ravlin.price(european_call(strike), FLAT, ravlin.BlackScholesGrid(asset="SPX", volatility=volatility))
        assert implied(price.price, strike) == pytest.approx(SMILE.volatility(FLAT, "SPX", 1.0, strike), abs=1e-3)


@pytest.mark.parametrize("volatility", [
    ravlin.VolatilityTermStructure(times=[0.5, 1.0, 2.0], volatilities=[0.2, 0.2, 0.2]),
    ravlin.VolatilitySurface(expiries=[0.5, 1.0], moneyness=[0.8, 1.0, 1.25], volatilities=[[0.2] * 3] * 2),
    ravlin.LocalVolSurface(times=[1.0], strikes=[50.0, 100.0, 200.0], volatilities=[[0.2] * 3]),
])
def test_a_flat_volatility_object_prices_and_bumps_as_its_number(volatility):
    number = ravlin.risk(european_call(100.0), FLAT, ravlin.BlackScholesGrid(asset="SPX", volatility=0.2))
    held = ravlin.risk(european_call(100.0), FLAT, ravlin.BlackScholesGrid(asset="SPX", volatility=volatility))
    assert held.result.price == pytest.approx(number.result.price, rel=1e-9)
    assert held.vega["SPX"].value == pytest.approx(number.vega["SPX"].value, rel=1e-6)
    assert held.delta["SPX"].value == pytest.approx(number.delta["SPX"].value, rel=1e-6)

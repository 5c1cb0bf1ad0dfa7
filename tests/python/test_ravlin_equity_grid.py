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

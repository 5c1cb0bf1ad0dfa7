"""Hull-White closed forms and calibration against QuantLib and the grid."""

import pytest

import ravlin
from flat_rates import FLAT, quantlib_flat
from ravlin import calibration

ql = pytest.importorskip("QuantLib")

TODAY = ql.Date(3, 3, 2025)
LIBOR = ravlin.IborIndex(name="USD-3M", tenor="3M", fixing_days=0)


def ql_date(day):
    return ql.Date(day.day, day.month, day.year)


def swaption(start, tenor, rate, kind="payer", market=FLAT):
    swap = ravlin.InterestRateSwap.par(trade_date="2025-03-03", tenor=tenor, forward_start=start,
                                       rate=0.0 if rate is None else rate, index=LIBOR, settlement_days=0, kind=kind)
    if rate is None:
        swap = ravlin.InterestRateSwap.par(trade_date="2025-03-03", tenor=tenor, forward_start=start,
                                           rate=swap.fair_rate(market), index=LIBOR, settlement_days=0)
    return ravlin.Swaption(swap=swap, exercise_dates=[swap.fixed.start])


@pytest.mark.parametrize("kind", ["cap", "floor"])
@pytest.mark.parametrize("strike", [0.03, 0.045])
def test_cap_closed_form_agrees_with_quantlib(kind, strike):
    leg = ravlin.FloatingLeg(start="2025-06-03", maturity="2032-06-03", notional=100.0, index=LIBOR)
    curve, index = quantlib_flat()
    dates = [leg.periods[0].start] + [p.end for p in leg.periods]
    schedule = ql.Schedule([ql_date(d) for d in dates], ql.WeekendsOnly(), ql.Unadjusted)
    qleg = ql.IborLeg([100.0], schedule, index, ql.Actual360(), ql.ModifiedFollowing, [0])
    cap = (ql.Cap if kind == "cap" else ql.Floor)(qleg, [strike])
    cap.setPricingEngine(ql.AnalyticCapFloorEngine(ql.HullWhite(curve, 0.05, 0.01), curve))
    value = calibration.hull_white_value(ravlin.CapFloor(leg=leg, strike=strike, kind=kind), FLAT, 0.05, 0.01)
    assert value == pytest.approx(cap.NPV(), rel=1e-12)


def ql_schedule(periods):
    dates = [periods[0].start] + [p.end for p in periods]
    return ql.Schedule([ql_date(d) for d in dates], ql.WeekendsOnly(), ql.Unadjusted)


@pytest.mark.parametrize("kind", ["payer", "receiver"])
@pytest.mark.parametrize("strike", [0.03, 0.045])
def test_swaption_closed_form_agrees_with_quantlib_and_the_grid(kind, strike):
    option = swaption("2Y", "5Y", strike, kind)
    curve, index = quantlib_flat()
    swap = option.swap
    qswap = ql.VanillaSwap(ql.Swap.Payer if kind == "payer" else ql.Swap.Receiver, 100.0,
                           ql_schedule(swap.fixed.periods), strike, ql.Thirty360(ql.Thirty360.BondBasis),
                           ql_schedule(swap.floating.periods), index, 0.0, ql.Actual360())
    qswaption = ql.Swaption(qswap, ql.EuropeanExercise(ql_date(swap.fixed.start)))
    qswaption.setPricingEngine(ql.JamshidianSwaptionEngine(ql.HullWhite(curve, 0.05, 0.01)))
    # QuantLib finds the critical short rate to about 1e-8 relative in value.
    assert calibration.hull_white_value(option, FLAT, 0.05, 0.01) == pytest.approx(qswaption.NPV(), rel=1e-7)
    piecewise = [(0, 0.008), (1.5, 0.012), (4, 0.009)]
    grid = ravlin.price(option, FLAT, ravlin.HullWhiteGrid(mean_reversion=0.05, volatility=piecewise)).price
    assert grid == pytest.approx(calibration.hull_white_value(option, FLAT, 0.05, piecewise), rel=1e-4)


def test_piecewise_fit_to_coterminal_swaptions_reprices_each_on_the_closed_form_and_the_grid():
    curve = ravlin.ZeroCurve(times=[0.5, 2.0, 5.0, 30.0], rates=[0.041, 0.038, 0.036, 0.037])
    market = ravlin.Market(base="USD", pricing_time="2025-03-03", curves={"USD": curve},
                           projections={"USD-3M": ravlin.ZeroCurve.flat(0.039)})
    options = [swaption(f"{k}Y", f"{11 - k}Y", 0.04) for k in range(1, 11)]
    quotes = [0.25 - 0.006 * k for k in range(1, 11)]
    fit = ravlin.calibrate(options, market, quotes, mean_reversion=0.03, piecewise=True, check=True)
    assert fit.success and len(fit.volatility) == 10
    for row, quote in zip(fit.instruments, quotes):
        assert abs(row.model_volatility - quote) < 1e-6
        assert abs(row.grid_volatility - quote) < 1e-4


def test_constant_fit_to_a_swaption_grid_agrees_with_quantlib():
    curve, index = quantlib_flat()
    options, quotes, helpers = [], [], []
    for i, start in enumerate((1, 2, 3, 5)):
        for j, tenor in enumerate((2, 5, 10)):
            option = swaption(f"{start}Y", f"{tenor}Y", None)
            quote = 0.24 - 0.008 * i - 0.005 * j
            options.append(option)
            quotes.append(quote)
            helpers.append(ql.SwaptionHelper(
                ql_date(option.swap.fixed.start), ql_date(option.swap.fixed.maturity),
                ql.QuoteHandle(ql.SimpleQuote(quote)), index, ql.Period(1, ql.Years),
                ql.Thirty360(ql.Thirty360.BondBasis), ql.Actual360(), curve,
                ql.BlackCalibrationHelper.RelativePriceError, option.swap.fixed.rate, 1.0))
    model = ql.HullWhite(curve, 0.03, 0.01)
    for helper in helpers:
        helper.setPricingEngine(ql.JamshidianSwaptionEngine(model))
    model.calibrate(helpers, ql.LevenbergMarquardt(1e-12, 1e-12, 1e-12),
                    ql.EndCriteria(10000, 1000, 1e-14, 1e-14, 1e-14))
    fit = ravlin.calibrate(options, FLAT, quotes, error="relative price")
    a, sigma = model.params()
    assert fit.mean_reversion == pytest.approx(a, abs=1e-4) and fit.volatility == pytest.approx(sigma, abs=1e-4)
    assert [row.market_value for row in fit.instruments] == pytest.approx(
        [100 * h.marketValue() for h in helpers], rel=1e-12)


@pytest.mark.parametrize("call", [
    lambda: ravlin.calibrate([swaption("1Y", "5Y", 0.04)], FLAT, [0.2, 0.3]),
    lambda: ravlin.calibrate([swaption("1Y", "5Y", 0.04)], FLAT, [0.2], piecewise=True),
    lambda: calibration.hull_white_value(ravlin.Swaption(swap=swaption("1Y", "5Y", 0.04).swap, exercise_dates=[
        p.start for p in swaption("1Y", "5Y", 0.04).swap.fixed.periods]), FLAT, 0.05, 0.01),
])
def test_refusals(call):
    with pytest.raises(ValueError):
        call()


def test_fit_to_caps_quoted_in_normal_volatility_recovers_the_model_that_made_the_quotes():
    caps = [ravlin.CapFloor(leg=ravlin.FloatingLeg(start="2025-06-03", maturity=f"{2026 + years}-06-03",
                                                   notional=100.0, index=LIBOR), strike=strike)
            for years, strike in [(1, 0.04), (3, 0.042), (6, 0.045), (9, 0.04)]]
    quotes = [ravlin.implied_volatility(calibration.hull_white_value(cap, FLAT, 0.04, 0.009), cap, market=FLAT,
                                        model="normal") for cap in caps]
    fit = ravlin.calibrate(caps, FLAT, quotes, quote="normal", guess=(0.1, 0.005))
    assert fit.mean_reversion == pytest.approx(0.04, abs=1e-8) and fit.volatility == pytest.approx(0.009, abs=1e-10)
    assert max(abs(r) for r in fit.residuals) < 1e-10

"""Bond measures and rates option premiums against QuantLib, and the round trips of their solvers."""

import dataclasses

import pytest

import ravlin
from flat_rates import FLAT, quantlib_flat
from ravlin import analytics

ql = pytest.importorskip("QuantLib")

BOND = ravlin.FixedRateBond(start="2025-01-15", maturity="2032-01-15", coupon=0.05, currency="USD")


def ql_bond():
    schedule = ql.Schedule(ql.Date(15, 1, 2025), ql.Date(15, 1, 2032), ql.Period(ql.Semiannual), ql.WeekendsOnly(),
                           ql.Unadjusted, ql.Unadjusted, ql.DateGeneration.Backward, False)
    return ql.FixedRateBond(0, 100.0, schedule, [0.05], ql.Thirty360(ql.Thirty360.BondBasis), ql.ModifiedFollowing)


def ql_date(iso):
    return ql.Date(iso, "%Y-%m-%d")


@pytest.mark.parametrize("settlement", ["2025-04-01", "2025-07-15", "2026-03-02", "2031-11-30"])
@pytest.mark.parametrize("price", [87.25, 101.0, 112.5])
def test_yield_durations_convexity_and_accrued_agree_with_quantlib(settlement, price):
    bond, day, dc = ql_bond(), ql_date(settlement), ql.Thirty360(ql.Thirty360.BondBasis)
    ql.Settings.instance().evaluationDate = day
    expected = ql.BondFunctions.bondYield(bond, ql.BondPrice(price, ql.BondPrice.Clean), dc, ql.Compounded,
                                          ql.Semiannual, day, 1e-16, 1000)
    y = analytics.yield_from_price(BOND, price, settlement)
    assert y == pytest.approx(expected, abs=1e-10)
    rate = ql.InterestRate(y, dc, ql.Compounded, ql.Semiannual)
    for kind, ql_kind in [("modified", ql.Duration.Modified), ("macaulay", ql.Duration.Macaulay)]:
        assert analytics.duration(BOND, y, settlement, kind=kind) == pytest.approx(
            ql.BondFunctions.duration(bond, rate, ql_kind, day), abs=1e-10)
    assert analytics.convexity(BOND, y, settlement) == pytest.approx(
        ql.BondFunctions.convexity(bond, rate, day), abs=1e-10)
    assert analytics.accrued_interest(BOND, settlement) == pytest.approx(bond.accruedAmount(day), abs=1e-12)
    assert analytics.price_from_yield(BOND, y, settlement) == pytest.approx(price, abs=1e-12)


def test_continuous_duration_and_convexity_are_the_derivatives_of_the_price():
    settlement, y, h = "2026-03-02", 0.045, 1e-5
    price = lambda r: analytics.price_from_yield(BOND, r, settlement, clean=False, compounding="continuous")
    middle = price(y)
    assert analytics.duration(BOND, y, settlement, compounding="continuous") == pytest.approx(
        (price(y - h) - price(y + h)) / (2 * h * middle), rel=1e-8)
    assert analytics.convexity(BOND, y, settlement, compounding="continuous") == pytest.approx(
        (price(y - h) + price(y + h) - 2 * middle) / (h * h * middle), rel=1e-5)
    assert analytics.dv01(BOND, y, settlement, compounding="continuous") == pytest.approx(
        (price(y - 5e-5) - price(y + 5e-5)), rel=1e-6)


LIBOR = ravlin.IborIndex(name="USD-3M", tenor="3M", fixing_days=0)
CURVE = ravlin.ZeroCurve(times=[0.5, 2.0, 5.0, 30.0], rates=[0.041, 0.038, 0.036, 0.037])
MARKET = ravlin.Market(base="USD", pricing_time="2025-03-03", curves={"USD": CURVE},
                       projections={"USD-3M": ravlin.ZeroCurve.flat(0.039)},
                       fixings={"USD-3M": {"2025-01-06": 0.0431}})
BONDS = {
    "fixed": BOND,
    "zero": ravlin.ZeroCouponBond(maturity="2031-06-30", currency="USD"),
    "frn": ravlin.FloatingRateNote(start="2025-01-06", maturity="2030-01-06", spread=0.004, index=LIBOR),
}


@pytest.mark.parametrize("name", BONDS)
def test_z_spread_round_trips_and_is_zero_at_the_curve_price(name):
    bond = BONDS[name]
    at_curve = analytics.clean_price(bond, MARKET)
    assert abs(analytics.z_spread(bond, at_curve, MARKET)) < 1e-13
    for spread in (-0.02, 0.0125, 0.3):
        price = analytics.price_from_z_spread(bond, spread, MARKET)
        assert analytics.price_from_z_spread(bond, analytics.z_spread(bond, price, MARKET), MARKET) == \
            pytest.approx(price, abs=1e-12)
    y = analytics.yield_from_price(bond, at_curve, "2025-03-03", market=MARKET)
    assert analytics.price_from_yield(bond, y, "2025-03-03", market=MARKET) == pytest.approx(at_curve, abs=1e-12)


CALLABLE = ravlin.FixedRateBond(start="2025-03-03", maturity="2035-03-03", coupon=0.045, currency="USD",
                                calls={f"{year}-03-03": 100.0 for year in range(2028, 2035)})
GRID = ravlin.HullWhiteGrid(mean_reversion=0.03, volatility=[(0, 0.009), (3, 0.011)], nodes_per_side=300)


def test_option_adjusted_spread_is_zero_at_the_model_price_and_a_parallel_shift_of_the_curve():
    price = analytics.clean_price(CALLABLE, MARKET, GRID)
    assert abs(analytics.option_adjusted_spread(CALLABLE, price, MARKET, GRID)) < 1e-10
    shifted = ravlin.Market(base="USD", pricing_time=MARKET.pricing_time, curves={"USD": ravlin.ZeroCurve(
        times=CURVE.times, rates=[r + 0.001 for r in CURVE.rates])})
    moved = analytics.clean_price(CALLABLE, shifted, GRID)
    assert analytics.option_adjusted_spread(CALLABLE, moved, MARKET, GRID) == pytest.approx(0.001, abs=1e-11)
    risk = analytics.effective_risk(CALLABLE, MARKET, GRID)
    plain = analytics.effective_risk(dataclasses.replace(CALLABLE, calls=()), MARKET, GRID)
    assert 0 < risk.duration < plain.duration and risk.convexity < plain.convexity


@pytest.mark.parametrize("call", [
    lambda: analytics.yield_from_price(BOND, 0.0, "2025-04-01", clean=False),
    lambda: analytics.cash_flows(ravlin.FloatingRateNote(start="2025-01-06", maturity="2027-01-06", index=LIBOR,
                                                         cap=0.05), "2025-04-01", MARKET),
    lambda: analytics.yield_from_price(BONDS["frn"], 99.0, "2025-04-01"),
    lambda: analytics.option_terms(ravlin.Swaption(swap=SWAP, exercise_dates=[p.start for p in SWAP.fixed.periods]),
                                   MARKET),
])
def test_refusals(call):
    with pytest.raises(ValueError):
        call()


SWAP = ravlin.InterestRateSwap.par(trade_date="2025-03-03", tenor="5Y", forward_start="2Y", rate=0.04, index=LIBOR,
                                   settlement_days=0)


TODAY = ql.Date(3, 3, 2025)


def ql_schedule(periods):
    dates = [periods[0].start] + [p.end for p in periods]
    return ql.Schedule([ql.Date(d.day, d.month, d.year) for d in dates], ql.WeekendsOnly(), ql.Unadjusted)


VOLATILITIES = [("black", 0.25), ("normal", 0.009)]


def check_premium_and_inversion(instrument, model, vol, expected):
    value = analytics.premium(instrument, FLAT, vol, model=model)
    assert value == pytest.approx(expected, rel=1e-12)
    implied = ravlin.implied_volatility(value, instrument, market=FLAT, model=model)
    assert implied == pytest.approx(vol, abs=1e-10)
    assert analytics.premium(instrument, FLAT, implied, model=model) == pytest.approx(value, rel=1e-10)


@pytest.mark.parametrize("model,vol", VOLATILITIES)
@pytest.mark.parametrize("kind", ["payer", "receiver"])
@pytest.mark.parametrize("start", ["1Y", "5Y"])
@pytest.mark.parametrize("strike", [0.02, 0.04, 0.06])
def test_swaption_premiums_and_implied_volatilities_agree_with_quantlib(model, vol, kind, start, strike):
    swap = ravlin.InterestRateSwap.par(trade_date="2025-03-03", tenor="5Y", forward_start=start, rate=strike,
                                       index=LIBOR, settlement_days=0, notional=1.0, kind=kind)
    curve, index = quantlib_flat()
    exercise = ql.Date(swap.fixed.start.day, swap.fixed.start.month, swap.fixed.start.year)
    qswap = ql.VanillaSwap(ql.Swap.Payer if kind == "payer" else ql.Swap.Receiver, 1.0,
                           ql_schedule(swap.fixed.periods), strike, ql.Thirty360(ql.Thirty360.BondBasis),
                           ql_schedule(swap.floating.periods), index, 0.0, ql.Actual360())
    swaption = ql.Swaption(qswap, ql.EuropeanExercise(exercise))
    engine = ql.BlackSwaptionEngine if model == "black" else ql.BachelierSwaptionEngine
    swaption.setPricingEngine(engine(curve, ql.QuoteHandle(ql.SimpleQuote(vol)), ql.Actual365Fixed()))
    check_premium_and_inversion(ravlin.Swaption(swap=swap, exercise_dates=[swap.fixed.start]), model, vol,
                                swaption.NPV())


@pytest.mark.parametrize("model,vol", VOLATILITIES)
@pytest.mark.parametrize("kind", ["cap", "floor"])
@pytest.mark.parametrize("maturity", ["2027-06-03", "2035-06-03"])
@pytest.mark.parametrize("strike", [0.02, 0.04, 0.06])
def test_cap_premiums_and_implied_volatilities_agree_with_quantlib(model, vol, kind, maturity, strike):
    leg = ravlin.FloatingLeg(start="2025-06-03", maturity=maturity, notional=1.0, index=LIBOR)
    curve, index = quantlib_flat()
    qleg = ql.IborLeg([1.0], ql_schedule(leg.periods), index, ql.Actual360(), ql.ModifiedFollowing, [0])
    cap = (ql.Cap if kind == "cap" else ql.Floor)(qleg, [strike])
    black = model == "black"
    surface = ql.ConstantOptionletVolatility(TODAY, ql.WeekendsOnly(), ql.ModifiedFollowing, vol, ql.Actual365Fixed(),
                                             ql.ShiftedLognormal if black else ql.Normal)
    engine = ql.BlackCapFloorEngine if black else ql.BachelierCapFloorEngine
    cap.setPricingEngine(engine(curve, ql.OptionletVolatilityStructureHandle(surface)))
    check_premium_and_inversion(ravlin.CapFloor(leg=leg, strike=strike, kind=kind), model, vol, cap.NPV())

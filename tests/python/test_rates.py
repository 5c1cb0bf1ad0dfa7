"""The rates desk against QuantLib: conventions, bootstrapped curves, swaps, swaptions, caps, notes."""

import dataclasses
import math
import random
from datetime import date, timedelta

import pytest

import ravlin
from ravlin import (
    CapFloor,
    DayCount,
    FixedLeg,
    FloatingLeg,
    FloatingRateNote,
    IborIndex,
    InterestRateSwap,
    Market,
    OvernightIndex,
    OvernightIndexedSwap,
    Swaption,
)
from ravlin.schedule import advance

ql = pytest.importorskip("QuantLib")

TODAY = date(2025, 1, 15)
CAL = ql.WeekendsOnly()
LIBOR = IborIndex(name="USD-3M", tenor="3M")
SOFR = OvernightIndex(name="SOFR")


def qd(day):
    return ql.Date(day.day, day.month, day.year)


@pytest.fixture(autouse=True)
def evaluation_date():
    ql.Settings.instance().evaluationDate = qd(TODAY)


def ql_curve(curve):
    """A ravlin DiscountCurve as QuantLib's log-linear discount curve on ACT/365F."""
    return ql.YieldTermStructureHandle(ql.DiscountCurve(
        [qd(TODAY)] + [qd(d) for d in curve.dates], [1.0] + list(curve.discount_factors), ql.Actual365Fixed()))


def ql_index(index, handle=None):
    return ql.IborIndex(index.name, ql.Period(index.tenor), index.fixing_days, ql.USDCurrency(), CAL,
                        ql.ModifiedFollowing, False, ql.Actual360(), *([handle] if handle else []))


def ql_schedule(start, maturity, months):
    return ql.Schedule(qd(start), qd(maturity), ql.Period(months, ql.Months), CAL, ql.ModifiedFollowing,
                       ql.ModifiedFollowing, ql.DateGeneration.Backward, False)


# ---------------------------------------------------------------- conventions

@pytest.mark.parametrize("ours, theirs", [
    (DayCount.THIRTY_E_360, ql.Thirty360(ql.Thirty360.European)),
    (DayCount.THIRTY_360_US, ql.Thirty360(ql.Thirty360.USA)),
    (DayCount.THIRTY_360, ql.Thirty360(ql.Thirty360.BondBasis)),
])
def test_thirty_360_day_counts_match_quantlib(ours, theirs):
    rng = random.Random(3)
    for _ in range(3000):
        start = date(2020, 1, 1) + timedelta(days=rng.randrange(2000))
        end = start + timedelta(days=rng.randrange(1, 800))
        assert ours.year_fraction(start, end) == pytest.approx(theirs.yearFraction(qd(start), qd(end)), abs=1e-15), \
            (start, end)


@pytest.mark.parametrize("stub, rule, extra", [
    ("short front", ql.DateGeneration.Backward, {}),
    ("short back", ql.DateGeneration.Forward, {}),
    ("long front", ql.DateGeneration.Backward, {"first": date(2024, 9, 15)}),
    ("long back", ql.DateGeneration.Forward, {"next_to_last": date(2025, 7, 15)}),
])
def test_stubs_and_icma_coupons_match_quantlib_bonds(stub, rule, extra):
    bond = ravlin.FixedRateBond(start="2024-01-15", maturity="2026-09-15" if "back" not in stub else "2026-03-15",
                                coupon=0.05, frequency=2, currency="USD", day_count="ACT/ACT ICMA", stub=stub,
                                convention="unadjusted", end_of_month=False)
    schedule = ql.Schedule(qd(bond.start), qd(bond.maturity), ql.Period(ql.Semiannual), ql.NullCalendar(),
                           ql.Unadjusted, ql.Unadjusted, rule, False, qd(extra.get("first", date(1901, 1, 1)))
                           if "first" in extra else ql.Date(), qd(extra["next_to_last"])
                           if "next_to_last" in extra else ql.Date())
    theirs = ql.FixedRateBond(0, 100.0, schedule, [0.05], ql.ActualActual(ql.ActualActual.ISMA, schedule))
    coupons = [(date(c.date().year(), c.date().month(), c.date().dayOfMonth()), c.amount())
               for c in theirs.cashflows()][:-1]
    ours = [(ravlin.to_date(e.time), e.quantity) for e in bond.contract()][:-1]  # less the redemption
    assert [d for d, _ in ours] == [d for d, _ in coupons]
    assert [a for _, a in ours] == pytest.approx([a for _, a in coupons], abs=1e-13)


@pytest.mark.parametrize("ex_coupon_days, settlement_days", [(7, 0), (7, 2), (0, 0), (0, 2)])
def test_accrued_and_the_value_at_settlement_are_quantlibs(ex_coupon_days, settlement_days):
    """Every trade date, coupon payment days included: a coupon paid on the settlement date
    goes to the seller, and one gone ex turns the accrued interest negative."""
    ours = ravlin.FixedRateBond(start="2024-03-15", maturity="2027-03-15", coupon=0.045, currency="GBP",
                                day_count="ACT/ACT ICMA", ex_coupon_days=ex_coupon_days,
                                settlement_days=settlement_days, convention="following")
    schedule = ql.Schedule(qd(ours.start), qd(ours.maturity), ql.Period(ql.Semiannual), CAL, ql.Unadjusted,
                           ql.Unadjusted, ql.DateGeneration.Backward, False)
    ex_coupon = [CAL, ql.Period(ex_coupon_days, ql.Days), CAL, ql.Preceding] if ex_coupon_days else []
    icma = ql.ActualActual(ql.ActualActual.ISMA, schedule)
    theirs = ql.FixedRateBond(settlement_days, 100.0, schedule, [0.045], icma, ql.Following, 100.0, qd(ours.start),
                              *ex_coupon)
    accrued, dirty = [], []
    for day in (d for d in (ours.start + timedelta(days=i) for i in range(1, 1090)) if d.weekday() < 5):
        ql.Settings.instance().evaluationDate = qd(day)
        settles = theirs.settlementDate()
        curve = ql.FlatForward(settles, 0.04, ql.Actual365Fixed())
        accrued.append((ours.accrued(ravlin.to_date(settles.ISO())), ql.BondFunctions.accruedAmount(theirs, settles)))
        dirty.append((sum(e.quantity * curve.discount(qd(ravlin.to_date(e.time))) for e in ours.contract(after=day)),
                      ql.BondFunctions.cleanPrice(theirs, curve, settles) + accrued[-1][1]))
    assert [a for a, _ in accrued] == pytest.approx([b for _, b in accrued], abs=1e-12)
    assert [a for a, _ in dirty] == pytest.approx([b for _, b in dirty], abs=1e-12)
    assert (min(a for a, _ in accrued) < 0) == (ex_coupon_days > 0)


@pytest.mark.parametrize("centres, theirs", [
    ("TARGET", ql.TARGET()), (["LONDON", "TARGET"], ql.JointCalendar(ql.UnitedKingdom(), ql.TARGET())),
    ("NEW YORK", ql.UnitedStates(ql.UnitedStates.FederalReserve)), ("TOKYO", ql.Japan()),
])
def test_centres_close_on_quantlibs_days(centres, theirs):
    pytest.importorskip("holidays")
    ours = ravlin.Calendar(centres)
    weekdays = [d for d in (date(2020, 1, 1) + timedelta(days=i) for i in range(365 * 10)) if d.weekday() < 5]
    assert [d for d in weekdays if d in ours] == [d for d in weekdays if theirs.isHoliday(qd(d))]


def test_calendars_join_centres_and_dates():
    pytest.importorskip("holidays")
    joint = ravlin.Calendar("TARGET") | ravlin.Calendar("XNYS") | ravlin.Calendar(holidays=["2025-03-03"])
    days = [date(2025, 1, 1) + timedelta(days=i) for i in range(365 * 3)]
    assert {date(2025, 7, 4), date(2025, 5, 1), date(2025, 3, 3)} <= {d for d in days if d in joint}
    assert advance(date(2025, 12, 24), 1, joint) == date(2025, 12, 29)
    with pytest.raises(ValueError, match="unknown calendar 'ATLANTIS'"):
        ravlin.Calendar("ATLANTIS")


# ---------------------------------------------------------------- curves

DEPOSITS = [("1M", 0.0430), ("3M", 0.0432)]
FRAS = [(3, 0.0425), (6, 0.0418), (9, 0.0410)]
SWAPS = [("2Y", 0.0400), ("3Y", 0.0392), ("4Y", 0.0388), ("5Y", 0.0386), ("7Y", 0.0387), ("10Y", 0.0392),
         ("15Y", 0.0398), ("20Y", 0.0400)]


def single_curve_quotes():
    return ([ravlin.Deposit.par(trade_date=TODAY, tenor=t, rate=r) for t, r in DEPOSITS]
            + [ravlin.ForwardRateAgreement.par(trade_date=TODAY, start=f"{m}M", index=LIBOR, rate=r) for m, r in FRAS]
            + [InterestRateSwap.par(trade_date=TODAY, tenor=t, rate=r, index=LIBOR, fixed_frequency=2)
               for t, r in SWAPS])


def test_a_bootstrapped_curve_reprices_its_quotes_and_matches_quantlib():
    quotes = single_curve_quotes()
    curve = ravlin.bootstrap(TODAY, quotes)
    market = Market(base="USD", pricing_time=TODAY, curves={"USD": curve}, projections={"USD-3M": curve})
    values = [ravlin.price(q, market, ravlin.Fixed()).price for q in quotes]
    assert max(map(abs, values)) < 1e-12 * 100.0

    index = ql_index(LIBOR)
    helpers = ([ql.DepositRateHelper(r, ql.Period(t), 2, CAL, ql.ModifiedFollowing, False, ql.Actual360())
                for t, r in DEPOSITS]
               + [ql.FraRateHelper(r, m, index) for m, r in FRAS]
               + [ql.SwapRateHelper(r, ql.Period(t), CAL, ql.Semiannual, ql.ModifiedFollowing,
                                    ql.Thirty360(ql.Thirty360.BondBasis), index) for t, r in SWAPS])
    theirs = ql.PiecewiseLogLinearDiscount(qd(TODAY), helpers, ql.Actual365Fixed())
    days = [TODAY + timedelta(days=d) for d in range(1, 365 * 20, 17)]
    assert max(abs(theirs.discount(qd(d)) - curve.discount(d)) for d in days) < 1e-10


OIS_QUOTES = [("1M", 0.0431), ("6M", 0.0425), ("1Y", 0.0415), ("2Y", 0.0395), ("3Y", 0.0385), ("5Y", 0.0378),
              ("7Y", 0.0379), ("10Y", 0.0384)]
FRAS_3M = [(0, 0.0445), (3, 0.0440), (6, 0.0433), (9, 0.0425)]
SWAPS_3M = [("2Y", 0.0415), ("3Y", 0.0405), ("5Y", 0.0398), ("7Y", 0.0399), ("10Y", 0.0404)]


@pytest.fixture(scope="module")
def two_curves():
    """An OIS curve and a 3M curve fitted over it, with the market of both."""
    ois = [OvernightIndexedSwap.par(trade_date=TODAY, tenor=t, rate=r, index=SOFR) for t, r in OIS_QUOTES]
    discount = ravlin.bootstrap(TODAY, ois)
    quotes = ([ravlin.ForwardRateAgreement.par(trade_date=TODAY, start=f"{m}M", index=LIBOR, rate=r)
               for m, r in FRAS_3M]
              + [InterestRateSwap.par(trade_date=TODAY, tenor=t, rate=r, index=LIBOR, fixed_frequency=2)
                 for t, r in SWAPS_3M])
    projection = ravlin.bootstrap(TODAY, quotes, discount=discount)
    market = Market(base="USD", pricing_time=TODAY, curves={"USD": discount},
                    projections={"USD-3M": projection, "SOFR": discount})
    return market, ois + quotes


def test_both_curves_reprice_their_quotes_and_match_quantlib(two_curves):
    market, quotes = two_curves
    assert max(abs(ravlin.price(q, market, ravlin.Fixed()).price) for q in quotes) < 1e-12 * 100.0
    sofr = ql.OvernightIndex("SOFR", 0, ql.USDCurrency(), CAL, ql.Actual360())
    ois = ql.PiecewiseLogLinearDiscount(qd(TODAY), [ql.OISRateHelper(2, ql.Period(t), ql.QuoteHandle(
        ql.SimpleQuote(r)), sofr) for t, r in OIS_QUOTES], ql.Actual365Fixed())
    index = ql_index(LIBOR)
    helpers = ([ql.FraRateHelper(r, m, index) for m, r in FRAS_3M]
               + [ql.SwapRateHelper(r, ql.Period(t), CAL, ql.Semiannual, ql.ModifiedFollowing,
                                    ql.Thirty360(ql.Thirty360.BondBasis), index, ql.QuoteHandle(),
                                    ql.Period(0, ql.Days), ql.YieldTermStructureHandle(ois)) for t, r in SWAPS_3M])
    three_month = ql.PiecewiseLogLinearDiscount(qd(TODAY), helpers, ql.Actual365Fixed())
    days = [TODAY + timedelta(days=d) for d in range(1, 365 * 10, 13)]
    for ours, theirs in ((market.curves["USD"], ois), (market.projections["USD-3M"], three_month)):
        assert max(abs(theirs.discount(qd(d)) - ours.discount(d)) for d in days) < 1e-10


def test_a_swap_on_two_curves_matches_quantlib_and_its_fair_rate_zeroes_it(two_curves):
    market, _ = two_curves
    swap = InterestRateSwap.par(trade_date=TODAY, tenor="5Y", rate=0.039, index=LIBOR, fixed_frequency=2,
                                notional=1e6)
    index = ql_index(LIBOR, ql_curve(market.projections["USD-3M"]))
    theirs = ql.VanillaSwap(ql.VanillaSwap.Payer, 1e6, ql_schedule(swap.fixed.start, swap.fixed.maturity, 6), 0.039,
                            ql.Thirty360(ql.Thirty360.BondBasis),
                            ql_schedule(swap.fixed.start, swap.fixed.maturity, 3), index, 0.0, ql.Actual360())
    theirs.setPricingEngine(ql.DiscountingSwapEngine(ql_curve(market.curves["USD"])))
    assert ravlin.price(swap, market, ravlin.Fixed()).price == pytest.approx(theirs.NPV(), rel=1e-10)
    fair, spread = swap.fair_rate(market), swap.fair_spread(market)
    assert (fair, spread) == pytest.approx((theirs.fairRate(), theirs.fairSpread()), rel=1e-10)
    at_fair = dataclasses.replace(swap, fixed=dataclasses.replace(swap.fixed, rate=fair))
    with_spread = dataclasses.replace(swap, floating=dataclasses.replace(swap.floating, spread=spread))
    assert abs(ravlin.price(at_fair, market, ravlin.Fixed()).price) < 1e-10 * 1e6
    assert abs(with_spread.npv(market)) < 1e-10 * 1e6


def test_a_book_of_swaps_and_swaptions_prices_each_for_the_market(two_curves):
    market, quotes = two_curves
    swaption = Swaption(swap=quotes[-1], exercise_dates=[quotes[-1].fixed.start])
    table = ravlin.price_many([("swap", quotes[-1]), ("option", swaption)], market, ravlin.Fixed())
    assert table.column("price").to_pylist() == [ravlin.price(q, market, ravlin.Fixed()).price
                                                for q in (quotes[-1], swaption)]


# ---------------------------------------------------------------- options on Hull-White

A, SIGMA = 0.05, 0.01
KNOTS = [1, 2, 3, 5, 7, 10, 15, 20]
ZEROS = [0.043, 0.041, 0.040, 0.039, 0.0395, 0.040, 0.041, 0.0415]


@pytest.fixture(scope="module")
def hull_white():
    """One curve in both libraries, a 3M index fixing on its period's start, and the two models."""
    curve = ravlin.DiscountCurve(reference=TODAY, dates=[TODAY + timedelta(days=round(365 * t)) for t in KNOTS],
                                 discount_factors=[math.exp(-r * t) for r, t in zip(ZEROS, KNOTS)])
    market = Market(base="USD", pricing_time=TODAY, curves={"USD": curve}, projections={"USD-3M": curve})
    handle = ql_curve(curve)
    index = IborIndex(name="USD-3M", tenor="3M", fixing_days=0)
    return market, handle, index, ql_index(index, handle), ql.HullWhite(handle, A, SIGMA)


def forward_swap(index, ql_ix):
    swap = InterestRateSwap.par(trade_date=TODAY, tenor="5Y", forward_start="5Y", rate=0.04, index=index,
                                settlement_days=2, notional=1e6)
    theirs = ql.VanillaSwap(ql.VanillaSwap.Payer, 1e6, ql_schedule(swap.fixed.start, swap.fixed.maturity, 12), 0.04,
                            ql.Thirty360(ql.Thirty360.BondBasis),
                            ql_schedule(swap.fixed.start, swap.fixed.maturity, 3), ql_ix, 0.0, ql.Actual360())
    return swap, theirs


@pytest.mark.parametrize("case, tolerance", [("european", 1e-5), ("bermudan", 2e-5), ("cap", 1e-5)])
def test_rates_options_on_the_grid_match_quantlib(hull_white, case, tolerance):
    market, _, index, ql_ix, model = hull_white
    swap, theirs = forward_swap(index, ql_ix)
    if case == "cap":
        start = advance(TODAY, 2)
        leg = FloatingLeg(start=start, maturity=start.replace(year=2030), index=index, notional=1e6)
        ours = CapFloor(leg=leg, strike=0.04)
        theirs = ql.Cap(ql.IborLeg([1e6], ql_schedule(leg.start, leg.maturity, 3), ql_ix, ql.Actual360()), [0.04])
        theirs.setPricingEngine(ql.AnalyticCapFloorEngine(model))
    else:
        dates = [swap.fixed.start] if case == "european" else [p.start for p in swap.fixed.schedule.periods()]
        ours = Swaption(swap=swap, exercise_dates=dates)
        exercise = ql.EuropeanExercise(qd(dates[0])) if case == "european" else \
            ql.BermudanExercise([qd(d) for d in dates])
        theirs = ql.Swaption(theirs, exercise)
        theirs.setPricingEngine(ql.JamshidianSwaptionEngine(model) if case == "european"
                                else ql.FdHullWhiteSwaptionEngine(model, 2000, 800))
    price = ravlin.price(ours, market, ravlin.HullWhiteGrid(mean_reversion=A, volatility=SIGMA)).price
    assert price == pytest.approx(theirs.NPV(), rel=tolerance)


def rates_options(index):
    swap = InterestRateSwap.par(trade_date=TODAY, tenor="5Y", forward_start="5Y", rate=0.04, index=index,
                                settlement_days=2, notional=1e6)
    start = advance(TODAY, 2)
    return {"european": Swaption(swap=swap, exercise_dates=[swap.fixed.start]),
            "bermudan": Swaption(swap=swap, exercise_dates=[p.start for p in swap.fixed.periods]),
            "cap": CapFloor(leg=FloatingLeg(start=start, maturity=start.replace(year=2030), index=index,
                                            notional=1e6), strike=0.04),
            "callable bond": ravlin.FixedRateBond(start=TODAY, maturity="2030-01-15", coupon=0.045, currency="USD",
                                                  calls={"2027-01-15": 100.0, "2028-01-17": 100.0,
                                                         "2029-01-15": 100.0})}


@pytest.mark.parametrize("case", ["european", "bermudan", "cap", "callable bond"])
def test_monte_carlo_on_hull_white_paths_regresses_on_their_state_by_default(hull_white, case):
    market, *_ = hull_white
    option = rates_options(hull_white[2])[case]
    grid = ravlin.price(option, market, ravlin.HullWhiteGrid(mean_reversion=A, volatility=SIGMA)).price
    paths = ravlin.paths.HullWhite(mean_reversion=A, volatility=SIGMA)
    result = ravlin.price(option, market, ravlin.MonteCarlo(paths=100_000, state=paths, statistics=["values"]))
    assert abs(result.price - grid) < 4 * result.standard_error < 0.03 * grid


# ---------------------------------------------------------------- the rows of options, on a known path

def forwards(market, index, coupons):
    curve = market.projections[index.name]
    return [(curve.discount(c.start) / curve.discount(c.end) - 1) / c.index_accrual for c in coupons]


@pytest.mark.parametrize("notice, lag", [(0, 0), (2, 0), (0, 2), (5, 2)])
def test_a_bermudan_on_a_fixed_path_takes_its_best_exercise(two_curves, notice, lag):
    """Without randomness the option is worth its best exercise: every period from an exercise
    date on and none before, also when the notice and the payment lag make periods overlap."""
    market, _ = two_curves
    swap = InterestRateSwap.par(trade_date=TODAY, tenor="5Y", forward_start="1Y", rate=0.0405, index=LIBOR,
                                kind="receiver", payment_lag=lag)
    dates = [p.start for p in swap.fixed.schedule.periods()]
    option = Swaption(swap=swap, exercise_dates=dates, notice_days=notice)
    tracks = option.to_batch(market).column("track").dictionary.to_pylist()
    assert len(tracks) == (2 if notice == lag == 0 else 3 if lag == 0 else 4)
    underlying = [swap.from_date(d).npv(market) for d in dates]
    assert max(underlying) > 0 > min(underlying)
    assert ravlin.price(option, market, ravlin.Fixed()).price == pytest.approx(max(underlying), rel=1e-12)


@pytest.mark.parametrize("fixing_days, lag", [(0, 0), (2, 0), (2, 2)])
def test_caps_floors_and_collared_notes_on_a_fixed_path_pay_their_intrinsic_values(two_curves, fixing_days, lag):
    market, _ = two_curves
    index = dataclasses.replace(LIBOR, fixing_days=fixing_days)
    leg = FloatingLeg(start=advance(TODAY, 2), maturity="2030-01-17", index=index, payment_lag=lag)
    coupons = leg.coupons()
    rates = forwards(market, index, coupons)
    pv = [c.accrual * market.discount_factor(c.payment) * 100.0 for c in coupons]
    caplets = CapFloor(leg=leg, strike=0.04).caplets(market)
    assert [(c.forward, c.payment) for c in caplets] == [(pytest.approx(r, rel=1e-13), c.payment)
                                                         for r, c in zip(rates, coupons)]
    for kind, strike in (("cap", 0.0405), ("floor", 0.0405)):
        payoff = [max((r - strike) * (1 if kind == "cap" else -1), 0.0) for r in rates]
        option = ravlin.price(CapFloor(leg=leg, strike=strike, kind=kind), market, ravlin.Fixed()).price
        assert option == pytest.approx(math.fsum(p * w for p, w in zip(payoff, pv)), rel=1e-12)
    note = FloatingRateNote(start=leg.start, maturity=leg.maturity, index=index, spread=0.001, floor=0.0415,
                            cap=0.0445, payment_lag=lag)
    coupon = [min(max(r + 0.001, 0.0415), 0.0445) for r in rates]
    expected = math.fsum(c * w for c, w in zip(coupon, pv)) + 100.0 * market.discount_factor(coupons[-1].payment)
    assert ravlin.price(note, market, ravlin.Fixed()).price == pytest.approx(expected, rel=1e-12)


# ---------------------------------------------------------------- seasoned coupons

def test_seasoned_coupons_pay_their_fixings(two_curves):
    market, _ = two_curves
    start = date(2024, 11, 15)
    note = FloatingRateNote(start=start, maturity="2026-11-15", index=LIBOR, spread=0.002, cap=0.043)
    ois = OvernightIndexedSwap(fixed=FixedLeg(start=start, maturity="2025-11-15", rate=0.04, day_count="ACT/360"),
                               floating=FloatingLeg(start=start, maturity="2025-11-15", index=SOFR))
    with pytest.raises(ValueError, match=r"index 'USD-3M' fixed on 2024-11-13, before the pricing date"):
        ravlin.price(note, market, ravlin.Fixed())
    overnight = {d: 0.046 for d in (start + timedelta(days=i) for i in range((TODAY - start).days))}
    seasoned = dataclasses.replace(market, fixings={"USD-3M": {"2024-11-13": 0.0468}, "SOFR": overnight})
    coupons = note.leg.coupons()
    rates = [0.0468] + forwards(market, LIBOR, coupons[1:])
    expected = math.fsum(100 * c.accrual * min(r + 0.002, 0.043) * market.discount_factor(c.payment)
                         for c, r in zip(coupons, rates)) + 100 * market.discount_factor(coupons[-1].payment)
    assert ravlin.price(note, seasoned, ravlin.Fixed()).price == pytest.approx(expected, rel=1e-12)
    growth = math.prod(1 + 0.046 * ((advance(d, 1) - d).days / 360)
                       for d in overnight if d.weekday() < 5)
    coupon = ois.floating.coupons()[0]
    projected = market.projected_discount("SOFR", TODAY) / market.projected_discount("SOFR", coupon.end)
    expected = (100 * (growth * projected - 1) - 100 * 0.04 * coupon.accrual) * market.discount_factor(coupon.payment)
    assert ravlin.price(ois, seasoned, ravlin.Fixed()).price == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("build, error, text", [
    (lambda m: ravlin.price(InterestRateSwap.par(trade_date=TODAY, tenor="2Y", rate=0.04,
                                                 index=IborIndex(name="EUR-6M", tenor="6M")), m, ravlin.Fixed()),
     KeyError, "no projection curve for index 'EUR-6M'"),
    (lambda m: Swaption(swap=InterestRateSwap.par(trade_date=TODAY, tenor="2Y", rate=0.04, index=LIBOR),
                        exercise_dates=["2025-06-01"]), ValueError, "exercise date 2025-06-01 starts no period"),
    (lambda m: ravlin.price(CapFloor(leg=FloatingLeg(start="2025-01-17", maturity="2026-01-19", index=SOFR),
                                     strike=0.04), m, ravlin.Fixed()), ValueError, "caps and floors need a term rate"),
    (lambda m: ravlin.bootstrap(TODAY, [ravlin.Deposit.par(trade_date=TODAY, tenor="3M", rate=0.04)] * 2),
     ValueError, "two quotes end on 2025-04-17"),
    (lambda m: ravlin.bootstrap(TODAY, [ravlin.Deposit.par(trade_date=TODAY, tenor="3M", rate=0.04)],
                                discount=m.curves["USD"]), ValueError, "a Deposit ending 2025-04-17 is money lent"),
    (lambda m: ravlin.price(Swaption(swap=InterestRateSwap.par(trade_date="2024-01-02", tenor="2Y", rate=0.04,
                                                               index=LIBOR), exercise_dates=["2024-01-04"]),
                            m, ravlin.Fixed()), ValueError, "this Swaption has nothing left from 2025-01-15"),
    (lambda m: CapFloor(leg=FloatingLeg(start="2025-01-17", maturity="2026-01-19", index=LIBOR), strike=0.04).npv(m),
     TypeError, "a CapFloor with options has no value without a model"),
])
def test_bad_terms_and_missing_market_data_are_refused(two_curves, build, error, text):
    with pytest.raises(error, match=text):
        build(two_curves[0])

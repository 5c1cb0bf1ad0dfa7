"""The rates desk against QuantLib, timed in the same run: a curve bootstrapped from
2 deposits, 3 FRAs and 8 par swaps (ravlin.bootstrap against
PiecewiseLogLinearDiscount), and a 5y x 5y Bermudan payer swaption on the
Hull-White grid with its default settings (against FdHullWhiteSwaptionEngine
with 2000 x 800 points) and its timetable written from the curve.
"""

from datetime import date, timedelta

import QuantLib as ql

import ravlin
from common import best_of, report

TODAY = date(2025, 1, 15)
CAL = ql.WeekendsOnly()
LIBOR = ravlin.IborIndex(name="USD-3M", tenor="3M")
DEPOSITS = [("1M", 0.0430), ("3M", 0.0432)]
FRAS = [(3, 0.0425), (6, 0.0418), (9, 0.0410)]
SWAPS = [("2Y", 0.0400), ("3Y", 0.0392), ("4Y", 0.0388), ("5Y", 0.0386), ("7Y", 0.0387), ("10Y", 0.0392),
         ("15Y", 0.0398), ("20Y", 0.0400)]
A, SIGMA = 0.05, 0.01


def qd(day):
    return ql.Date(day.day, day.month, day.year)


def ours_curve():
    quotes = ([ravlin.Deposit.par(trade_date=TODAY, tenor=t, rate=r) for t, r in DEPOSITS]
              + [ravlin.ForwardRateAgreement.par(trade_date=TODAY, start=f"{m}M", index=LIBOR, rate=r) for m, r in FRAS]
              + [ravlin.InterestRateSwap.par(trade_date=TODAY, tenor=t, rate=r, index=LIBOR, fixed_frequency=2)
                 for t, r in SWAPS])
    return ravlin.bootstrap(TODAY, quotes)


def quantlib_curve():
    index = ql.IborIndex("USD-3M", ql.Period(3, ql.Months), 2, ql.USDCurrency(), CAL, ql.ModifiedFollowing, False,
                         ql.Actual360())
    helpers = ([ql.DepositRateHelper(r, ql.Period(t), 2, CAL, ql.ModifiedFollowing, False, ql.Actual360())
                for t, r in DEPOSITS]
               + [ql.FraRateHelper(r, m, index) for m, r in FRAS]
               + [ql.SwapRateHelper(r, ql.Period(t), CAL, ql.Semiannual, ql.ModifiedFollowing,
                                    ql.Thirty360(ql.Thirty360.BondBasis), index) for t, r in SWAPS])
    curve = ql.PiecewiseLogLinearDiscount(qd(TODAY), helpers, ql.Actual365Fixed())
    curve.discount(qd(TODAY + timedelta(days=365 * 20)))  # bootstraps
    return curve


def bermudan(curve):
    swap = ravlin.InterestRateSwap.par(trade_date=TODAY, tenor="5Y", forward_start="5Y", rate=0.04, index=LIBOR,
                                       notional=1e6)
    return swap, ravlin.Swaption(swap=swap, exercise_dates=[p.start for p in swap.fixed.schedule.periods()])


def quantlib_bermudan(curve, swap):
    handle = ql.YieldTermStructureHandle(ql.DiscountCurve(
        [qd(TODAY)] + [qd(d) for d in curve.dates], [1.0] + list(curve.discount_factors), ql.Actual365Fixed()))
    index = ql.IborIndex("USD-3M", ql.Period(3, ql.Months), 2, ql.USDCurrency(), CAL, ql.ModifiedFollowing, False,
                         ql.Actual360(), handle)

    def schedule(months):
        return ql.Schedule(qd(swap.fixed.start), qd(swap.fixed.maturity), ql.Period(months, ql.Months), CAL,
                           ql.ModifiedFollowing, ql.ModifiedFollowing, ql.DateGeneration.Backward, False)

    underlying = ql.VanillaSwap(ql.VanillaSwap.Payer, 1e6, schedule(12), 0.04, ql.Thirty360(ql.Thirty360.BondBasis),
                                schedule(3), index, 0.0, ql.Actual360())
    exercise = ql.BermudanExercise([qd(p.start) for p in swap.fixed.schedule.periods()])
    option = ql.Swaption(underlying, exercise)
    option.setPricingEngine(ql.FdHullWhiteSwaptionEngine(ql.HullWhite(handle, A, SIGMA), 2000, 800))
    return option.NPV()


def main():
    ql.Settings.instance().evaluationDate = qd(TODAY)
    ours_s, curve = best_of(3, ours_curve)
    theirs_s, theirs = best_of(3, quantlib_curve)
    gap = max(abs(theirs.discount(qd(d)) - curve.discount(d)) for d in curve.dates)
    market = ravlin.Market(base="USD", pricing_time=TODAY, curves={"USD": curve}, projections={"USD-3M": curve})
    swap, option = bermudan(curve)
    write_s, batch = best_of(3, lambda: option.to_batch(market))
    grid = ravlin.HullWhiteGrid(mean_reversion=A, volatility=SIGMA)
    grid_s, result = best_of(3, lambda: ravlin.price(batch, market, grid))
    fd_s, value = best_of(1, lambda: quantlib_bermudan(curve, swap))
    report("Rates desk against QuantLib", [
        ("bootstrap, 13 quotes", f"{ours_s * 1e3:.1f} ms; QuantLib {theirs_s * 1e3:.1f} ms; "
                                 f"ratio {ours_s / theirs_s:.1f}; largest gap in discount factors {gap:.1e}"),
        ("Bermudan swaption rows", f"{batch.num_rows} rows written in {write_s * 1e3:.1f} ms"),
        ("Bermudan on the grid (defaults)", f"{grid_s * 1e3:.0f} ms, {result.price:.4f}"),
        ("QuantLib FdHullWhiteSwaptionEngine 2000 x 800", f"{fd_s * 1e3:.0f} ms, {value:.4f}"),
        ("ratio grid / QuantLib", f"{grid_s / fd_s:.2f}; relative gap {result.price / value - 1:.1e}"),
    ])


if __name__ == "__main__":
    main()

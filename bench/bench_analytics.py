"""Analytics against QuantLib, timed in the same run: the yield of a 7-year semiannual bond
from its price (BondFunctions.bondYield), and Hull-White (a, sigma) calibrated to twelve
at-the-money swaptions on the closed form (JamshidianSwaptionEngine with Levenberg-Marquardt),
with the gaps between the two answers.
"""

import QuantLib as ql

import ravlin
from common import best_of, per_call, report
from ravlin import analytics

TODAY = ql.Date(3, 3, 2025)
LIBOR = ravlin.IborIndex(name="USD-3M", tenor="3M", fixing_days=0)
MARKET = ravlin.Market(base="USD", pricing_time="2025-03-03", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
                       projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})


def qd(day):
    return ql.Date(day.day, day.month, day.year)


def bond_yields():
    bond = ravlin.FixedRateBond(start="2025-01-15", maturity="2032-01-15", coupon=0.05, currency="USD")
    schedule = ql.Schedule(ql.Date(15, 1, 2025), ql.Date(15, 1, 2032), ql.Period(ql.Semiannual), ql.WeekendsOnly(),
                           ql.Unadjusted, ql.Unadjusted, ql.DateGeneration.Backward, False)
    day_count = ql.Thirty360(ql.Thirty360.BondBasis)
    theirs = ql.FixedRateBond(0, 100.0, schedule, [0.05], day_count, ql.ModifiedFollowing)
    ours_s = per_call(lambda: analytics.yield_from_price(bond, 98.0, "2025-04-01"), calls=200)
    price = ql.BondPrice(98.0, ql.BondPrice.Clean)
    theirs_s = per_call(lambda: ql.BondFunctions.bondYield(theirs, price, day_count, ql.Compounded, ql.Semiannual,
                                                           ql.Date(1, 4, 2025), 1e-16, 1000), calls=200)
    gap = analytics.yield_from_price(bond, 98.0, "2025-04-01") - ql.BondFunctions.bondYield(
        theirs, price, day_count, ql.Compounded, ql.Semiannual, ql.Date(1, 4, 2025), 1e-16, 1000)
    return ours_s, theirs_s, gap


def swaption_grid():
    ql.Settings.instance().evaluationDate = TODAY
    curve = ql.YieldTermStructureHandle(ql.FlatForward(TODAY, 0.04, ql.Actual365Fixed(), ql.Continuous))
    index = ql.IborIndex("USD-3M", ql.Period(3, ql.Months), 0, ql.USDCurrency(), ql.WeekendsOnly(),
                         ql.ModifiedFollowing, False, ql.Actual360(), curve)
    options, quotes, helpers = [], [], []
    for i, start in enumerate((1, 2, 3, 5)):
        for j, tenor in enumerate((2, 5, 10)):
            terms = dict(trade_date="2025-03-03", tenor=f"{tenor}Y", forward_start=f"{start}Y", index=LIBOR,
                         settlement_days=0)
            swap = ravlin.InterestRateSwap.par(rate=ravlin.InterestRateSwap.par(rate=0.0, **terms).fair_rate(MARKET),
                                               **terms)
            options.append(ravlin.Swaption(swap=swap, exercise_dates=[swap.fixed.start]))
            quotes.append(0.24 - 0.008 * i - 0.005 * j)
            helpers.append(ql.SwaptionHelper(
                qd(swap.fixed.start), qd(swap.fixed.maturity), ql.QuoteHandle(ql.SimpleQuote(quotes[-1])), index,
                ql.Period(1, ql.Years), ql.Thirty360(ql.Thirty360.BondBasis), ql.Actual360(), curve,
                ql.BlackCalibrationHelper.RelativePriceError, swap.fixed.rate, 1.0))
    return curve, options, quotes, helpers


def quantlib_fit(curve, helpers):
    model = ql.HullWhite(curve, 0.03, 0.01)
    for helper in helpers:
        helper.setPricingEngine(ql.JamshidianSwaptionEngine(model))
    model.calibrate(helpers, ql.LevenbergMarquardt(1e-12, 1e-12, 1e-12),
                    ql.EndCriteria(10000, 1000, 1e-14, 1e-14, 1e-14))
    return list(model.params())


def main():
    yield_s, ql_yield_s, yield_gap = bond_yields()
    curve, options, quotes, helpers = swaption_grid()
    fit = lambda: ravlin.calibrate(options, MARKET, quotes, error="relative price")
    fit()  # SciPy's first import is not the fit's
    ours_s, ours = best_of(5, fit)
    theirs_s, (a, sigma) = best_of(5, lambda: quantlib_fit(curve, helpers))
    report("Analytics against QuantLib", [
        ("yield from price, 7y bond", f"{yield_s * 1e6:.0f} us; QuantLib {ql_yield_s * 1e6:.0f} us; "
                                      f"ratio {yield_s / ql_yield_s:.1f}; gap {yield_gap:.1e}"),
        ("Hull-White fit, 12 swaptions", f"{ours_s * 1e3:.1f} ms ({ours.iterations} evaluations); QuantLib "
                                         f"{theirs_s * 1e3:.1f} ms; ratio {ours_s / theirs_s:.0f}"),
        ("gaps in a and sigma", f"{ours.mean_reversion - a:.1e}, {ours.volatility - sigma:.1e}"),
    ])


if __name__ == "__main__":
    main()

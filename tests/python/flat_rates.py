"""A flat 4% market with a 3-month index, the same in ravlin and in QuantLib, shared by the
rates tests that compare the two."""

import ravlin

FLAT = ravlin.Market(base="USD", pricing_time="2025-03-03", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
                     projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})


def quantlib_flat():
    """QuantLib's curve and 3-month index on FLAT's date, which becomes its evaluation date."""
    import QuantLib as ql

    today = ql.Date(3, 3, 2025)
    ql.Settings.instance().evaluationDate = today
    curve = ql.YieldTermStructureHandle(ql.FlatForward(today, 0.04, ql.Actual365Fixed(), ql.Continuous))
    index = ql.IborIndex("USD-3M", ql.Period(3, ql.Months), 0, ql.USDCurrency(), ql.WeekendsOnly(),
                         ql.ModifiedFollowing, False, ql.Actual360(), curve)
    return curve, index

"""fixed_price on 1,000,000 coupon events of one track, one asset, a 50-knot curve.

References, measured in the same run: the same valuation in NumPy (discount
factors by interpolating the log curve, times quantities, summed), and the
floor: a plain C++ loop doing the binary search and exp per event
(bench/floor.cpp).

Then a bond of 161 flows (40 years of quarterly coupons and the principal)
on the same curve, one call at a time, against QuantLib's FixedRateBond with
a DiscountingBondEngine on the same zero curve, recalculated on every call.
"""


import numpy as np

import _ravlin
import floor
from common import T0, YEAR_MS, best_of, peak_memory, per_call, report, timetable

EVENTS, KNOTS = 1_000_000, 50
BOND_YEARS, COUPON = 40, 0.05
DAY_MS = 86_400_000


def curve_knots():
    """Knots on whole days to 41 years, so that QuantLib's dates hold them
    exactly and the bond's last day lies inside the curve."""
    knot_times = np.round(np.linspace(0.1, BOND_YEARS + 1.0, KNOTS) * 365) / 365
    return knot_times, 0.02 + 0.01 * np.sqrt(knot_times)


def dataset(knot_times, rates):
    curve = np.column_stack([knot_times, rates])
    return {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", curve)}, "PRICING_TS": T0}


def quantlib_bond(knot_times, rates):
    """The NPV of the same bond on the same curve (Actual/365 days, discount
    factors interpolated log-linearly, as the engine does), forced to
    recalculate."""
    import QuantLib as ql

    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    dates = [today] + [today + ql.Period(round(t * 365), ql.Days) for t in knot_times]
    factors = [1.0, *np.exp(-knot_times * rates)]
    curve = ql.DiscountCurve(dates, factors, ql.Actual365Fixed())
    schedule = ql.Schedule(today, today + ql.Period(BOND_YEARS, ql.Years), ql.Period(ql.Quarterly),
                           ql.NullCalendar(), ql.Unadjusted, ql.Unadjusted,
                           ql.DateGeneration.Forward, False)
    bond = ql.FixedRateBond(0, 1.0, schedule, [COUPON], ql.Actual365Fixed())
    bond.setPricingEngine(ql.DiscountingBondEngine(ql.YieldTermStructureHandle(curve)))

    def npv():
        bond.recalculate()
        return bond.NPV()

    flows = [(cf.date().serialNumber() - today.serialNumber(), cf.amount()) for cf in bond.cashflows()]
    return npv, flows


def bond_rows(knot_times, rates):
    try:
        ql_npv, flows = quantlib_bond(knot_times, rates)
    except ImportError:
        return [("161-flow bond", "QuantLib not installed (pip install QuantLib)")]
    days = np.array([d for d, _ in flows], dtype=np.int64)
    amounts = np.array([a for _, a in flows])
    zeros = np.zeros(len(flows), dtype=np.int64)
    bond = timetable(zeros, ["bond"], T0 + days * DAY_MS, zeros, ["+"], amounts, zeros, ["USD"])
    data = dataset(knot_times, rates)
    value = _ravlin.fixed_price(bond, None, data, {})
    reference = ql_npv()
    assert abs(value - reference) <= 1e-9 * abs(reference), (value, reference)
    engine_s = per_call(lambda: _ravlin.fixed_price(bond, None, data, {}))
    ql_s = per_call(ql_npv)
    return [
        (f"{len(flows)}-flow bond (engine, QuantLib)", f"{value:.10f}, {reference:.10f}"),
        ("bond: engine per call", f"{engine_s * 1e6:.1f} us"),
        ("bond: QuantLib FixedRateBond.NPV per call", f"{ql_s * 1e6:.1f} us"),
        ("ratio bond engine / QuantLib", f"{engine_s / ql_s:.2f}"),
    ]


def main():
    knot_times, rates = curve_knots()
    data = dataset(knot_times, rates)
    times = T0 + np.sort(np.random.default_rng(1).integers(0, 39 * YEAR_MS, EVENTS))
    quantities = np.full(EVENTS, 0.25)
    zeros = np.zeros(EVENTS, dtype=np.int64)
    batch = timetable(zeros, ["coupons"], times, zeros, ["+"], quantities, zeros, ["USD"])

    def engine():
        return _ravlin.fixed_price(batch, None, data, {})

    logs = knot_times * rates

    def numpy_formulation():
        years = (times - T0) / YEAR_MS
        log_df = np.where(years <= knot_times[0], logs[0] * years / knot_times[0],
                          np.interp(years, knot_times, logs))
        return float(np.sum(quantities * np.exp(-log_df)))

    engine_s, value = best_of(5, engine)
    numpy_s, reference = best_of(5, numpy_formulation)
    floor_s, floor_value = best_of(5, lambda: floor.fixed_floor(times, quantities, T0, knot_times, logs))
    assert abs(value - reference) <= 1e-9 * abs(reference), (value, reference)
    assert abs(value - floor_value) <= 1e-9 * abs(reference), (value, floor_value)
    peak = peak_memory(engine)
    report("fixed model, 1,000,000 events, 50-knot curve", [
        ("price (engine, NumPy)", f"{value:.6f}, {reference:.6f}"),
        ("engine per event", f"{engine_s / EVENTS * 1e9:.1f} ns"),
        ("NumPy per event", f"{numpy_s / EVENTS * 1e9:.1f} ns"),
        ("C++ floor per event", f"{floor_s / EVENTS * 1e9:.1f} ns"),
        ("ratio engine / NumPy", f"{engine_s / numpy_s:.2f}"),
        ("ratio engine / floor", f"{engine_s / floor_s:.2f}"),
        ("peak memory per event", f"{peak / EVENTS:.1f} bytes"),
        *bond_rows(knot_times, rates),
    ])


if __name__ == "__main__":
    main()

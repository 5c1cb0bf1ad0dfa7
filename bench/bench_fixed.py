"""fixed_price on 1,000,000 coupon events of one track, one asset, a 50-knot curve.

References, measured in the same run: the same valuation in NumPy (discount
factors by interpolating the log curve, times quantities, summed), and the
floor: a plain C++ loop doing the binary search and exp per event
(bench/floor.cpp).
"""

import numpy as np

import _ravlin
import floor
from common import T0, YEAR_MS, best_of, peak_memory, report, timetable

EVENTS, KNOTS = 1_000_000, 50


def main():
    knot_times = np.linspace(0.1, 40.0, KNOTS)
    rates = 0.02 + 0.01 * np.sqrt(knot_times)
    curve = np.column_stack([knot_times, rates])
    data = {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", curve)}, "PRICING_TS": T0}
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
    ])


if __name__ == "__main__":
    main()

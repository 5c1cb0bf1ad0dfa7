"""fd_blackscholes_price on an American put: N_X = 1000 (2001 nodes), TIMESTEP =
1/3650 over one year, exercise at every step; once with one track and once
with ten and twenty tracks (one strike each). References, timed in the same
run: QuantLib's Crank-Nicolson finite-difference vanilla engine on the same
grid, and the floor: the same steps and exercises in a minimal C++ kernel with
all tracks interleaved (bench/floor.cpp).
"""

import math

import numpy as np

import _ravlin
import floor
from common import T0, YEAR_MS, best_of, report, timetable

SPOT, RATE, VOL, N_X, STEPS = 100.0, 0.03, 0.2, 1000, 3650
MAX_X = 5 * VOL


def american_puts(strikes):
    """U = V + S per track: exercised into K at every step, max(K, S) at expiry."""
    rows = []
    for k, _ in enumerate(strikes):
        rows.append((k, T0, 0, -1.0, 1))
    times = [T0 + round(YEAR_MS * s / STEPS) for s in range(1, STEPS + 1)]
    for t in times:
        for k, strike in enumerate(strikes):
            rows.append((k, t, 1, strike, 0))
    for k, _ in enumerate(strikes):
        rows.append((k, times[-1], 0, 1.0, 1))
    track, time, op, quantity, unit = (np.array(c) for c in zip(*rows))
    return timetable(track, [f"put{k}" for k in range(len(strikes))], time, op, ["+", ">"],
                     quantity.astype(float), unit, ["USD", "SPX"])


def dataset():
    return {"BASE": "USD", "PRICING_TS": T0,
            "ASSETS": {"USD": ("ZERO_RATES", np.array([[15.0, RATE], [30.0, RATE]])),
                       "SPX": ("FORWARDS", np.array([[0.0, SPOT], [30.0, SPOT * math.exp(RATE * 30)]]))},
            "FD": {"N_X": N_X, "MAX_X": MAX_X, "TIMESTEP": 1 / STEPS},
            "BS": {"VOL": VOL, "ASSET": "SPX"}}


def quantlib_american_put(strike, steps=STEPS):
    import QuantLib as ql

    today = ql.Date(1, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    process = ql.BlackScholesProcess(
        ql.QuoteHandle(ql.SimpleQuote(SPOT)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, RATE, day_count)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), VOL, day_count)))
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, strike),
                              ql.AmericanExercise(today, today + 365))
    engine = ql.FdBlackScholesVanillaEngine(process, steps, 2 * N_X + 1, 0, ql.FdmSchemeDesc.CrankNicolson())
    option.setPricingEngine(engine)
    return option.NPV()


def step_rows():
    """The Black-Scholes rows of one regular step: lower, diagonal, upper."""
    dt, dx = 1 / STEPS, MAX_X / N_X
    v = VOL * VOL * (dt * 0.25) / (dx * dx)
    u = (dt * 0.25) * (RATE - VOL * VOL * 0.5) / dx
    return -v - u, (2.0 * v - 1.0) + (dt * 0.5) * RATE, u - v


def main():
    data = dataset()
    nodes = 2 * N_X + 1
    node_steps = nodes * STEPS
    rows = []
    try:
        ql_seconds, ql_value = best_of(3, lambda: quantlib_american_put(100.0))
    except ImportError:
        ql_seconds = None
        rows.append(("QuantLib", "not installed (pip install QuantLib)"))
    else:
        rows.append(("QuantLib Crank-Nicolson engine, same grid",
                     f"{ql_seconds / node_steps * 1e9:.2f} ns per node-step "
                     f"({ql_seconds * 1e3:.0f} ms, put {ql_value:.4f})"))
    for count in (1, 10, 20):
        strikes = [100.0] if count == 1 else [90.0 + 2.0 * k for k in range(count)]
        batch = american_puts(strikes)
        # The price is track 0's: the put of the first strike.
        seconds, price = best_of(3, lambda: _ravlin.fd_blackscholes_price(batch, None, data, {}))
        floor_seconds, _ = best_of(3, lambda: floor.cn_floor(nodes, count, STEPS, *step_rows()))
        per_track = node_steps * count
        rows.append((f"{count} track(s): ns per node-step per track",
                     f"{seconds / per_track * 1e9:.2f} ns ({seconds * 1e3:.0f} ms, put {price:.4f}); "
                     f"floor {floor_seconds / per_track * 1e9:.2f} ns"))
        ratios = f"{seconds / floor_seconds:.2f}"
        if ql_seconds is not None and count == 1:
            ratios += f"; to QuantLib {seconds / ql_seconds:.2f}"
        rows.append((f"{count} track(s): ratio to the floor", ratios))
    report(f"American put on a grid of {nodes} nodes x {STEPS} steps", rows)


if __name__ == "__main__":
    main()

"""The American put of ravlin.instruments on the Black-Scholes grid: one
exercise helper reset at every date (the builder's layout) against one helper
track per date, and against QuantLib's Crank-Nicolson engine on the same grid
(2001 nodes, one step a day for a year), all timed in the same run. Also the
time to write the timetable against the time to price it.
"""

import math

import numpy as np

import _ravlin
from bench_fd import N_X, RATE, SPOT, VOL, quantlib_american_put
from common import T0, best_of, report
from ravlin import AmericanOption, Contract

STRIKE = 100.0
START, EXPIRY = "2025-01-01", "2026-01-01"


def put():
    return AmericanOption(start=START, expiry=EXPIRY, strike=STRIKE, kind="put", asset="SPX", currency="USD")


def helper_per_date(option):
    """The same exercise rows with a fresh helper track for every date."""
    c = Contract(track="option")
    for t in option.exercise_times():
        helper = f"exercise@{t}"
        c = (c.holder_choice(t, 1.0, helper)
             .pay(t, STRIKE, "USD", track=helper)
             .pay(t, -1.0, "SPX", track=helper))
    return c.to_batch()


def dataset():
    return {"BASE": "USD", "PRICING_TS": T0,
            "ASSETS": {"USD": ("ZERO_RATES", np.array([[15.0, RATE], [30.0, RATE]])),
                       "SPX": ("FORWARDS", np.array([[0.0, SPOT], [30.0, SPOT * math.exp(RATE * 30)]]))},
            "FD": {"N_X": N_X, "MAX_X": 5 * VOL, "TIMESTEP": 1 / 365},
            "BS": {"VOL": VOL, "ASSET": "SPX"}}


def main():
    data = dataset()
    build, batch = best_of(5, lambda: put().to_batch())
    reset, value = best_of(3, lambda: _ravlin.fd_blackscholes_price(batch, None, data, {}))
    per_date_batch = helper_per_date(put())
    per_date, per_date_value = best_of(1, lambda: _ravlin.fd_blackscholes_price(per_date_batch, None, data, {}))
    rows = [("one helper, reset at each date", f"{reset * 1e3:.1f} ms, put {value:.6f} ({batch.num_rows} rows)"),
            ("one helper track per date", f"{per_date * 1e3:.1f} ms, put {per_date_value:.6f}"),
            ("ratio helper per date / reset helper", f"{per_date / reset:.1f}"),
            ("writing the timetable (AmericanOption.to_batch)", f"{build * 1e3:.1f} ms"),
            ("ratio writing / pricing", f"{build / reset:.2f}")]
    try:
        ql_seconds, ql_value = best_of(3, lambda: quantlib_american_put(STRIKE, steps=365))
    except ImportError:
        rows.append(("QuantLib", "not installed (pip install QuantLib)"))
    else:
        rows.append(("QuantLib Crank-Nicolson engine, same grid", f"{ql_seconds * 1e3:.1f} ms, put {ql_value:.6f}"))
        rows.append(("ratio reset helper / QuantLib", f"{reset / ql_seconds:.2f}"))
    report(f"American put, daily exercise for a year, {2 * N_X + 1} nodes", rows)


if __name__ == "__main__":
    main()

"""Ctrl-C latency: the seconds from SIGINT to KeyboardInterrupt during a
Hull-White grid with TIMESTEP of a tenth of a second over five years (days of
stepping if not stopped), and during a Monte Carlo run whose path object
sleeps a millisecond per value. Reference: a loop of the interpreter's own
doing arithmetic, interrupted the same way in the same run. The signal comes
from another process, since a thread of this one could not run while a call
holds the interpreter lock.
"""

import time

import numpy as np
from sigint import interrupted_after

import _ravlin
from common import T0, YEAR_MS, report, timetable

DELAY, REPEATS = 0.3, 5


def latency(call):
    """Seconds from the signal to the KeyboardInterrupt that call() ends with."""
    raised, seconds = interrupted_after(DELAY, call)
    assert isinstance(raised, KeyboardInterrupt), raised
    return seconds


def python_loop():
    total = 0.0
    while True:
        total += 1.0


def one_row(unit, years):
    return timetable([0], ["leg"], [T0 + round(years * YEAR_MS)], [0], ["+"], [1.0], [0], [unit])


def market(**sections):
    curve = np.array([[1.0, 0.03], [30.0, 0.03]])
    return {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", curve)}, "PRICING_TS": T0, **sections}


class Slow:
    def advance(self, t):
        return None

    def get_value(self, name):
        time.sleep(0.001)
        return np.ones(4)


def hull_white():
    data = market(FD={"N_X": 50, "MAX_X": 0.1, "TIMESTEP": 3e-9}, HW={"MEANREV": 0.1, "VOL": 0.01})
    _ravlin.fd_hullwhite_price(one_row("USD", 5.0), None, data, {})


MC_ROWS = timetable(np.zeros(100_000, int), ["leg"], T0 + np.arange(1, 100_001), np.zeros(100_000, int),
                    ["+"], np.ones(100_000), np.zeros(100_000, int), ["X"])


def monte_carlo():
    _ravlin.mc_price(MC_ROWS, Slow(), market(MC={"PATHS": 4, "SEED": 0}), {})


def worst(call):
    return max(latency(call) for _ in range(REPEATS))


if __name__ == "__main__":
    reference = worst(python_loop)
    rows = [("Python loop (reference)", f"{reference * 1e3:.1f} ms")]
    for name, call in [("Hull-White grid", hull_white), ("Monte Carlo", monte_carlo)]:
        seconds = worst(call)
        rows.append((name, f"{seconds * 1e3:.1f} ms, {seconds / reference:.2f} x reference"))
    report(f"Ctrl-C latency, worst of {REPEATS}", rows)

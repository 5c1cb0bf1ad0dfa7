"""mc_price on 100,000 GBM paths: 52 weekly coupon events, 12 monthly '>'
exercise events and a final payoff.

The time spent inside the state's methods ("advance", "get_value") is measured
by wrapping them; the engine's own time is the rest. The reference is a NumPy
formulation of the same valuation (weights, per-path products, the backward
maxNum/sum pass) over the same path arrays, measured in the same run.

Two runs are reported: the live GBM state, and a replay state that hands back
the recorded arrays of the same paths. In the live run the difference also
carries the page faults that the state's own NumPy temporaries cause in the
allocator (memory they give back is faulted in again by the engine's copies);
the replay isolates the engine. A third run repeats the live one in a child
process whose system allocator keeps freed memory (GLIBC_TUNABLES), to show
that share. Times are the best of five calls; the first call of a process is
reported too, with its ratio to the later calls (each call keeps the freed
path arrays for its own later events only, so the first costs what the others
cost). Peak memory is taken on a first call in a fresh process.
"""

import os
import subprocess
import sys
import time

import numpy as np

import _ravlin
from common import T0, YEAR_MS, best_of, gbm_paths, peak_memory, report, timetable

KEEP_FREED_MEMORY = "glibc.malloc.trim_threshold=4000000000:glibc.malloc.mmap_threshold=4000000000"

PATHS, STRIKE = 100_000, 100.0


class TimedState:
    """GBM paths of `ravlin.paths` that also answer the put and call payoffs, timing its methods."""

    def __init__(self, keep=False):
        self.paths = gbm_paths(100.0, 0.03, 0.2, PATHS, seed=9)
        self.inside, self.kept = 0.0, [] if keep else None

    def advance(self, t):
        start = time.perf_counter()
        result = self.paths.advance(t)
        if self.kept is not None:
            self.kept.append(("advance", np.copy(result)))
        self.inside += time.perf_counter() - start
        return result

    def get_value(self, name):
        start = time.perf_counter()
        spot = self.paths.get_value("SPX")
        result = {"SPX": spot, "PUT": np.maximum(STRIKE - spot, 0.0),
                  "CALL": np.maximum(spot - STRIKE, 0.0)}[name]
        if self.kept is not None:
            self.kept.append(("value", result.copy()))
        self.inside += time.perf_counter() - start
        return result


def contract():
    rows = [(w / 52, "+", 0.002, "SPX") for w in range(1, 53)]
    rows += [(m / 12, ">", 1.0, "PUT") for m in range(1, 13)]
    rows.append((1.0, "+", 1.0, "CALL"))
    rows.sort(key=lambda row: row[0])
    times = np.array([T0 + round(t * YEAR_MS) for t, _, _, _ in rows], dtype=np.int64)
    ops, units = ["+", ">"], ["SPX", "PUT", "CALL"]
    batch = timetable(np.zeros(len(rows), dtype=np.int64), ["note"], times,
                      [ops.index(op) for _, op, _, _ in rows], ops, [q for _, _, q, _ in rows],
                      [units.index(u) for _, _, _, u in rows], units)
    return batch, rows


class ReplayState:
    """Answers with the recorded arrays of a live run, in the same order."""

    def __init__(self, kept):
        self.kept, self.next, self.inside = kept, 0, 0.0

    def _answer(self):
        start = time.perf_counter()
        result = self.kept[self.next][1]
        self.next += 1
        self.inside += time.perf_counter() - start
        return result

    def advance(self, t):
        return self._answer()

    def get_value(self, name):
        return self._answer()


def timed_runs(batch, data, make_state, repeats=5):
    """Best total and the matching time inside the state's methods."""
    runs = []
    for _ in range(repeats):
        state = make_state()
        start = time.perf_counter()
        value = _ravlin.mc_price(batch, state, data, {})
        runs.append((time.perf_counter() - start, state.inside, value))
    return min(runs)


def numpy_valuation(rows, kept):
    """The engine's valuation written in NumPy over the recorded path arrays."""
    discount = np.ones(1)
    amounts, index = [], 0
    previous = None
    for t, op, quantity, _ in rows:
        if t != previous:
            discount = discount * kept[index][1]
            index += 1
            previous = t
        amounts.append((op, discount * quantity * kept[index][1]))
        index += 1
    pv = np.zeros(PATHS)
    for op, amount in reversed(amounts):
        pv = pv + amount if op == "+" else np.fmax(pv, amount)
    return pv.mean()


def dataset():
    return {"BASE": "USD", "PRICING_TS": T0, "MC": {"PATHS": PATHS, "SEED": 9},
            "ASSETS": {"USD": ("ZERO_RATES", np.array([[15.0, 0.03], [30.0, 0.03]]))}}


def live_only():
    """The live run alone, for the child process with the tuned allocator."""
    batch, rows = contract()
    total_s, inside_s, _ = timed_runs(batch, dataset(), TimedState)
    recorder = TimedState(keep=True)
    _ravlin.mc_price(batch, recorder, dataset(), {})
    numpy_s, _ = best_of(5, lambda: numpy_valuation(rows, recorder.kept))
    print(f"{total_s} {inside_s} {numpy_s}")


def first_call_peak():
    """Peak memory of one live call in a fresh process (no pool pages yet)."""
    batch, _ = contract()
    state = TimedState()
    print(peak_memory(lambda: _ravlin.mc_price(batch, state, dataset(), {})))


def child(flag, env=None):
    return subprocess.run([sys.executable, __file__, flag], env=env, check=True,
                          capture_output=True, text=True).stdout.split()


def live_with_kept_memory():
    env = {**os.environ, "GLIBC_TUNABLES": KEEP_FREED_MEMORY}
    total_s, inside_s, numpy_s = (float(x) for x in child("--live-only", env))
    return total_s, inside_s, numpy_s


def main():
    batch, rows = contract()
    data = dataset()
    first = TimedState()
    start = time.perf_counter()
    _ravlin.mc_price(batch, first, data, {})
    first_total = time.perf_counter() - start
    total_s, inside_s, value = timed_runs(batch, data, TimedState)
    # The same paths again, recorded for the replay and the NumPy formulation.
    recorder = TimedState(keep=True)
    recorded_value = _ravlin.mc_price(batch, recorder, data, {})
    replay_total, replay_inside, replay_value = timed_runs(
        batch, data, lambda: ReplayState(recorder.kept))
    numpy_s, reference = best_of(5, lambda: numpy_valuation(rows, recorder.kept))
    assert recorded_value == replay_value
    assert abs(recorded_value - reference) <= 1e-12 * abs(reference), (recorded_value, reference)
    engine_s, replay_s = total_s - inside_s, replay_total - replay_inside
    peak = int(child("--peak")[0])
    kept_bytes = len(rows) * PATHS * 8
    kept_total, kept_inside, kept_numpy = live_with_kept_memory()
    report(f"Monte Carlo, {PATHS:,} paths, {len(rows)} events", [
        ("price", f"{value:.6f}"),
        ("live GBM, first call: total / engine's own",
         f"{first_total * 1e3:.1f} / {(first_total - first.inside) * 1e3:.1f} ms"),
        ("ratio first call / later calls (engine's own)", f"{(first_total - first.inside) / engine_s:.2f}"),
        ("live GBM: total", f"{total_s * 1e3:.1f} ms"),
        ("live GBM: inside the state's methods", f"{inside_s * 1e3:.1f} ms"),
        ("live GBM: engine's own time", f"{engine_s * 1e3:.1f} ms"),
        ("replay: total", f"{replay_total * 1e3:.1f} ms"),
        ("replay: inside the state's methods", f"{replay_inside * 1e3:.1f} ms"),
        ("replay: engine's own time", f"{replay_s * 1e3:.1f} ms"),
        ("NumPy formulation", f"{numpy_s * 1e3:.1f} ms"),
        ("ratio engine / NumPy (live)", f"{engine_s / numpy_s:.2f}"),
        ("ratio engine / NumPy (replay)", f"{replay_s / numpy_s:.2f}"),
        ("live, allocator keeps freed memory: total", f"{kept_total * 1e3:.1f} ms"),
        ("live, allocator keeps freed memory: inside", f"{kept_inside * 1e3:.1f} ms"),
        ("live, allocator keeps freed memory: engine's own", f"{(kept_total - kept_inside) * 1e3:.1f} ms"),
        ("ratio engine / NumPy (live, memory kept)", f"{(kept_total - kept_inside) / kept_numpy:.2f}"),
        ("peak memory (first live call, fresh process)", f"{peak / 1e6:.1f} MB"),
        ("per-event path arrays kept", f"{kept_bytes / 1e6:.1f} MB"),
        ("ratio peak / kept arrays", f"{peak / kept_bytes:.2f}"),
    ])


if __name__ == "__main__":
    if "--live-only" in sys.argv:
        live_only()
    elif "--peak" in sys.argv:
        first_call_peak()
    else:
        main()

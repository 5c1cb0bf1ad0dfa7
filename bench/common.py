"""Measuring helpers shared by the benchmarks."""

import ctypes
import gc
import sys
import time
from pathlib import Path

import pyarrow as pa

import ravlin

# demo/sigint.py interrupts a call from another thread, for bench_interrupt.py.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "demo"))

YEAR_MS = 31_536_000_000
T0 = 1_735_689_600_000  # 2025-01-01T00:00:00Z


def gbm_paths(spot, rate, vol, paths, seed):
    """Seeded antithetic GBM paths of "SPX" from `ravlin.paths` at a flat `rate`."""
    market = ravlin.Market(base="USD", pricing_time=T0,
                           curves={"USD": ravlin.ZeroCurve(times=[15.0, 30.0], rates=[rate, rate])})
    model = ravlin.paths.GeometricBrownianMotion(volatility={"SPX": vol}, spot={"SPX": spot}, antithetic=True)
    return model(market, paths, seed)


def per_call(fn, calls=2000, repeats=5):
    """The fastest mean time of one call over several loops of calls."""
    fn()
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def best_of(repeats, fn):
    """The fastest of several runs (seconds) and the last result."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def _status(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field):
            return int(line.split()[1]) * 1024
    raise KeyError(field)


def peak_memory(fn):
    """Bytes by which the resident set's peak rose above its level before fn."""
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)  # memory freed by earlier runs leaves the resident set
    Path("/proc/self/clear_refs").write_text("5")  # resets the peak to the current size
    before = _status("VmRSS:")
    fn()
    return _status("VmHWM:") - before


def dict_column(keys, dictionary):
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(dictionary, pa.string()))


def timetable(track_keys, tracks, times_ms, op_keys, ops, quantities, unit_keys, units):
    return pa.RecordBatch.from_arrays(
        [dict_column(track_keys, tracks), pa.array(times_ms, pa.timestamp("ms")),
         dict_column(op_keys, ops), pa.array(quantities, pa.float64()),
         dict_column(unit_keys, units)],
        names=["track", "time", "op", "quantity", "unit"])


def report(title, rows):
    print(title)
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"  {name:<{width}}  {value}")

"""The floors of the benchmarks: bench/floor.cpp built with the machine's g++
(once per change of the source, into build/bench) and loaded with ctypes."""

import ctypes
import subprocess
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
SOURCE = ROOT / "bench" / "floor.cpp"
LIBRARY = ROOT / "build" / "bench" / "libfloor.so"
# The engine's rule: no multiply and add fused into one rounding.
FLAGS = ["-O3", "-march=native", "-ffp-contract=off", "-shared", "-fPIC", "-std=c++17", "-Wno-psabi"]


def _library():
    if not LIBRARY.exists() or LIBRARY.stat().st_mtime < SOURCE.stat().st_mtime:
        LIBRARY.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["g++", *FLAGS, str(SOURCE), "-o", str(LIBRARY)], check=True)
    lib = ctypes.CDLL(str(LIBRARY))
    size, double, pointer = ctypes.c_size_t, ctypes.c_double, ctypes.c_void_p
    lib.cn_floor.argtypes = [size, size, size, double, double, double]
    lib.cn_floor.restype = double
    lib.fixed_floor.argtypes = [pointer, pointer, size, ctypes.c_int64, pointer, pointer, size]
    lib.fixed_floor.restype = double
    return lib


_LIB = None


def lib():
    global _LIB
    if _LIB is None:
        _LIB = _library()
    return _LIB


def cn_floor(nodes, tracks, steps, lower, diag, upper):
    return lib().cn_floor(nodes, tracks, steps, lower, diag, upper)


def fixed_floor(times_ms, quantities, pricing_ms, knot_times, knot_logs):
    times_ms = np.ascontiguousarray(times_ms, dtype=np.int64)
    quantities = np.ascontiguousarray(quantities, dtype=np.float64)
    knot_times = np.ascontiguousarray(knot_times, dtype=np.float64)
    knot_logs = np.ascontiguousarray(knot_logs, dtype=np.float64)
    return lib().fixed_floor(times_ms.ctypes.data, quantities.ctypes.data, len(times_ms), pricing_ms,
                             knot_times.ctypes.data, knot_logs.ctypes.data, len(knot_times))

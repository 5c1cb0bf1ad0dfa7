"""Builders of timetables and datasets shared by the tests."""

import math
import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pytest

import ravlin

# demo/sigint.py interrupts a call from another thread, for the tests of Ctrl-C.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "demo"))

DAY_MS = 86_400_000
YEAR_MS = 31_536_000_000
T0 = 1_704_067_200_000  # 2024-01-01T00:00:00Z


def dict_column(values, dictionary=None):
    """A dictionary<int64, utf8> array; None in `values` is a null index."""
    if dictionary is None:
        dictionary = []
        for v in values:
            if v is not None and v not in dictionary:
                dictionary.append(v)
    keys = [None if v is None else dictionary.index(v) for v in values]
    return pa.DictionaryArray.from_arrays(
        pa.array(keys, pa.int64()), pa.array(dictionary, pa.string())
    )


def timetable(rows, tracks=None, ops=None, units=None):
    """A record batch from rows (track, time_ms, op, quantity, unit)."""
    track, time, op, quantity, unit = (list(c) for c in zip(*rows)) if rows else ([],) * 5
    return pa.RecordBatch.from_arrays(
        [
            dict_column(track, tracks),
            pa.array(time, pa.timestamp("ms")),
            dict_column(op, ops),
            pa.array(quantity, pa.float64()),
            dict_column(unit, units),
        ],
        names=["track", "time", "op", "quantity", "unit"],
    )


def zero_curve(rate=0.05, times=(0.5, 1.0, 2.0, 5.0, 10.0, 30.0)):
    times = np.asarray(times, dtype=float)
    return ("ZERO_RATES", np.column_stack([times, np.full_like(times, rate)]))


def forward_curve(spot, growth=0.0, times=(0.0, 1.0, 5.0, 30.0)):
    times = np.asarray(times, dtype=float)
    return ("FORWARDS", np.column_stack([times, spot * np.exp(growth * times)]))


def dataset(**sections):
    """A dataset with a 5% USD base curve priced at T0, plus `sections`."""
    data = {"BASE": "USD", "ASSETS": {"USD": zero_curve()}, "PRICING_TS": T0}
    data.update(sections)
    return data


class Recorder:
    """A py_state that records the statistics handed to it."""

    def __init__(self):
        self.stats = []

    def set_stat(self, name, value):
        self.stats.append((name, value))

    def names(self):
        return [name for name, _ in self.stats]

    def get(self, name):
        return dict(self.stats)[name]


@pytest.fixture
def recorder():
    return Recorder()


def flat_rate(rate, horizon=30.0):
    return ("ZERO_RATES", np.array([[horizon / 2, rate], [horizon, rate]]))


class Recording:
    """Paths of `ravlin.paths` handed to the engine directly: they move as the engine asks,
    and the statistics the engine sets are kept."""

    def __init__(self, paths):
        self.advance, self.get_value = paths.advance, paths.get_value
        self.stats = {}

    def set_stat(self, name, value):
        self.stats[name] = value


def market(curve):
    """The market at T0 of a dataset's base curve ("ZERO_RATES", knots)."""
    knots = curve[1]
    return ravlin.Market(base="USD", pricing_time=T0,
                         curves={"USD": ravlin.ZeroCurve(times=knots[:, 0], rates=knots[:, 1])})


def gbm_paths(spot, rate, vol, paths, seed, antithetic=True):
    """Seeded GBM paths of "SPX" from `spot` at a flat `rate`, recording the engine's statistics."""
    model = ravlin.paths.GeometricBrownianMotion(volatility={"SPX": vol}, spot={"SPX": spot}, antithetic=antithetic)
    return Recording(model(market(flat_rate(rate)), paths, seed))


def antithetic_standard_error(pv):
    """Standard error of the mean of paths laid out as [half, mirrored half]."""
    half = len(pv) // 2
    pairs = (pv[:half] + pv[half:2 * half]) / 2
    return pairs.std(ddof=1) / math.sqrt(half)

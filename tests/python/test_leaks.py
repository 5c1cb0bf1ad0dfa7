"""Failing and succeeding calls release every reference they take."""

import gc
import sys
import tracemalloc

import numpy as np
import pytest

import _ravlin
from conftest import T0, dataset, timetable

CURVE = np.array([[1.0, 0.05], [2.0, 0.05]])


def phrase_fn(xs):
    return (1.0,)  # a tuple: refused on every evaluation


def snapper_fn(xs):
    return [xs[0]]


class State:
    def set_stat(self, name, value):
        pass

    def advance(self, t):
        return np.ones(3)

    def get_value(self, name):
        raise KeyError(name)


CALLS = [
    # dataset faults
    (_ravlin.fixed_price, [("leg", T0, "+", 1.0, "USD")], {"BASE": "USD", "ASSETS": {"USD": ["x", CURVE]}}, {}),
    (_ravlin.fixed_price, [("leg", T0, "+", 1.0, "USD")], {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", CURVE.T.copy())}}, {}),
    (_ravlin.mc_price, [("leg", T0, "+", 1.0, "USD")], dataset(MC={"PATHS": 1.5, "SEED": 0}), {}),
    # expression faults
    (_ravlin.fixed_price, [("leg", T0, "+", 1.0, "USD")], dataset(), {"p": {"type": "phrase", "fn": phrase_fn, "inp": "S"}}),
    # evaluation faults
    (_ravlin.fixed_price, [("leg", T0, "+", 1.0, "p")], dataset(), {"p": {"type": "phrase", "fn": phrase_fn, "inp": ["USD"]}}),
    (_ravlin.mc_price, [("leg", T0 + 1000, "+", 1.0, "EUR")], dataset(MC={"PATHS": 3, "SEED": 0}), {}),
    # grid faults and successes
    (_ravlin.fd_hullwhite_price, [("leg", T0 + 1000, "+", 1.0, "p")],
     dataset(FD={"N_X": 4, "MAX_X": 0.1, "TIMESTEP": 0.1}, HW={"MEANREV": 0.1, "VOL": 0.01}),
     {"p": {"type": "phrase", "fn": phrase_fn, "inp": []}}),
    (_ravlin.fd_blackscholes_price, [("leg", T0 + 1000, "+", 1.0, "USD")],
     dataset(FD={"N_X": 4, "MAX_X": 0.1, "TIMESTEP": 0.1, "FLAGS": 11}, BS={"VOL": 0.2, "ASSET": "USD"}), {}),
    # successes with statistics
    (_ravlin.fixed_price, [("leg", T0, "+", 1.0, "s"), ("leg", T0, "+", 1.0, "x")], dataset(FIXED={"FLAGS": 11}),
     {"s": {"type": "snapper", "fn": snapper_fn, "inp": ["USD"], "out": ["x"]}}),
]


@pytest.mark.parametrize("function, rows, data, expressions", CALLS)
def test_repeated_calls_keep_reference_counts(function, rows, data, expressions):
    batch, state = timetable(rows), State()
    watched = [batch, state, data, expressions, phrase_fn, snapper_fn, CURVE]

    def call():
        try:
            function(batch, state, data, expressions)
        except RuntimeError:
            pass

    for _ in range(20):
        call()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    for _ in range(200):
        call()
    gc.collect()
    size, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == before
    assert size < 200_000

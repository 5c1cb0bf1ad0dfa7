"""RELEASE_GIL (ours) of "FD" and "FIXED": the grids and the fixed model
compute without the interpreter lock, so that other Python threads run
meanwhile, and price exactly as with the lock held."""

import copy
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _ravlin
from conftest import Recorder, timetable
from test_fd import american_put, bs_data, hw_data, vanilla
from test_fixed import base_data, years


def released(data, section, value=1):
    return {**data, section: {**data.get(section, {}), "RELEASE_GIL": value}}


def double_eur(xs):
    return [xs[0] * 2.0]


PHRASES = {
    "p": {"type": "phrase", "fn": double_eur, "inp": ["EUR"]},
    "snap": {"type": "snapper", "fn": lambda xs: [xs[0] + 1.0], "inp": ["p"], "out": ["x"]},
}
FIXED_ROWS = [("leg", years(1.0), "+", 1.0, "p"), ("leg", years(1.0), "+", 1.0, "snap"),
              ("leg", years(2.0), ">", 1.0, "x"), ("leg", years(3.0), "+", 2.0, "EUR")]
CALLABLE = sorted([("bond", years(y), "+", 5.0, "USD") for y in range(1, 6)]
                  + [("bond", years(5), "+", 100.0, "USD")]
                  + [("bond", years(y), "<", 100.0, "USD") for y in (2, 3, 4)],
                  key=lambda row: (row[1], row[2] == "<"))

# (function, rows, dataset, expressions, section)
CASES = {
    "fixed with phrases": (_ravlin.fixed_price, FIXED_ROWS, base_data(FIXED={"FLAGS": 11}),
                           PHRASES, "FIXED"),
    "Black-Scholes American put": (_ravlin.fd_blackscholes_price, american_put(), bs_data(flags=11),
                                   {}, "FD"),
    "Hull-White callable bond": (_ravlin.fd_hullwhite_price, CALLABLE, hw_data(flags=11), {}, "FD"),
}


def same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a.dtype == b.dtype and np.array_equal(a, b)


@pytest.mark.parametrize("case", CASES)
def test_prices_and_statistics_are_the_same_bits_with_the_lock_released(case):
    function, rows, data, expressions, section = CASES[case]
    held, free = Recorder(), Recorder()
    price = function(timetable(rows), held, data, expressions)
    assert function(timetable(rows), free, released(data, section), expressions).hex() == price.hex()
    assert held.names() == free.names() and held.names()
    assert all(same(a, b) for (_, a), (_, b) in zip(held.stats, free.stats))


@pytest.mark.parametrize("function", [_ravlin.fixed_price, _ravlin.fd_hullwhite_price])
def test_release_gil_is_a_switch(function):
    section = "FIXED" if function is _ravlin.fixed_price else "FD"
    rows = timetable([("zcb", years(1.0), "+", 1.0, "USD")])
    with pytest.raises(RuntimeError) as error:
        function(rows, None, released(hw_data(n_x=5), section, 2), {})
    assert str(error.value) == ("Error while parsing Dataset, caused by\n"
                                "Invalid value '2' for key 'RELEASE_GIL'")


def progress_during(call):
    """The times at which another Python thread counted while `call` ran,
    from 50 ms after its start to 50 ms before its end."""
    stamps, stop = [], threading.Event()

    def count():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    assert end - start > 0.2, "the call must last long enough to be watched"
    return [t for t in stamps if start + 0.05 < t < end - 0.05]


@pytest.mark.parametrize("release", [0, 1])
def test_another_python_thread_runs_during_a_released_grid_price(release):
    # With the lock held the whole calculation, no bytecode of the counter
    # can run; released, it runs on the other core. An interpreter without
    # the lock (free-threaded) runs it either way.
    rows = timetable(vanilla("put", expiry=4.0))
    data = released(bs_data(n_x=1000, timestep=1 / 3650), "FD", release)
    stamps = progress_during(lambda: _ravlin.fd_blackscholes_price(rows, None, data, {}))
    lock = getattr(sys, "_is_gil_enabled", lambda: True)()
    assert (len(stamps) > 1000) if release or not lock else stamps == []


def test_many_threads_share_one_dataset_and_expressions():
    # One dataset, one expressions dict and one phrase function for every
    # thread, as a service prices from one market; each price must be the
    # one priced alone.
    calls = [(function, timetable(rows), released(data, section), expressions)
             for function, rows, data, expressions, section in CASES.values()]

    def price(k):
        function, rows, data, expressions = calls[k % len(calls)]
        return function(rows, None, data, expressions)

    alone = [price(k) for k in range(len(calls))]
    with ThreadPoolExecutor(8) as pool:
        together = list(pool.map(price, range(24)))
    assert together == [alone[k % len(calls)] for k in range(24)]


def test_prices_hold_while_another_thread_replaces_the_shared_items():
    # Equal but new objects put in the shared dataset and expressions free the
    # ones they replace: a reader that only borrowed them (unsafe without the
    # interpreter lock) would read freed memory.
    function, rows, data, expressions, section = CASES["fixed with phrases"]
    data, expressions = released(data, section), copy.deepcopy(expressions)
    batch = timetable(rows)
    expected = function(batch, None, data, expressions)
    stop = threading.Event()

    def replace():
        while not stop.is_set():
            expressions["p"]["inp"][0] = "".join(["E", "UR"])
            data[section] = dict(data[section])

    replacer = threading.Thread(target=replace)
    replacer.start()
    try:
        with ThreadPoolExecutor(4) as pool:
            prices = list(pool.map(lambda _: function(batch, None, data, expressions), range(200)))
    finally:
        stop.set()
        replacer.join()
    assert set(prices) == {expected}

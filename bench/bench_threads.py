"""Grids on threads: `price_many(engine="threads")` and another Python thread during a grid price.

Printed, all measured in this run:
- the throughput of `price_many(engine="threads", workers=2)` against
  `workers=1` and against the serial engine, on callable bonds on the
  Hull-White grid (401 nodes, weekly steps), as in bench_portfolio.py;
- how much of the time the two threads spent in grid calls they spent
  there at once, a measure that the machine's load changes little, against
  the same with the interpreter lock held throughout (a call's span is
  timed from Python, so a thread waiting for the lock to make its call
  counts as inside it: the reference is not zero);
- the speed of a pure-Python thread while another thread prices a 10-year
  put on the Black-Scholes grid (`ravlin.price`, which lets other threads
  run), against the same thread running alone, and against the same price
  with the interpreter lock held throughout (`RELEASE_GIL` 0).

The machine's load averages are printed first and last, and the cores
the process had during each run: on a shared machine the ratios are lower
than on an idle one.

    python bench/bench_threads.py [--contracts N]
"""

import argparse
import os
import threading
import time

import _ravlin
import ravlin
from bench_portfolio import MARKET, MODEL, book
from common import T0, YEAR_MS, report

SPX_MARKET = ravlin.Market(base="USD", pricing_time=T0,
                           curves={"USD": ravlin.ZeroCurve.flat(0.03), "SPX": ravlin.ForwardCurve.flat(100.0, 0.03)})
EXPIRY = T0 + 10 * YEAR_MS
PUT = [("option", EXPIRY, ">", 1.0, "exercise"), ("exercise", EXPIRY, "+", 100.0, "USD"),
       ("exercise", EXPIRY, "+", -1.0, "SPX")]
GRID = ravlin.BlackScholesGrid(asset="SPX", volatility=0.2, nodes_per_side=2000, timestep=1 / 365)


def timed(fn):
    """Seconds of wall time, the cores the process had meanwhile (its CPU time over the wall time) and
    the result."""
    start, cpu = time.perf_counter(), time.process_time()
    result = fn()
    seconds = time.perf_counter() - start
    return seconds, (time.process_time() - cpu) / seconds, result


CALLS = []  # (thread, start, end) of every grid call of the recorded models


def recorded_grid_price(*arguments):
    start = time.perf_counter()
    try:
        return _ravlin.fd_hullwhite_price(*arguments)
    finally:
        CALLS.append((threading.get_ident(), start, time.perf_counter()))


class RecordedGrid(ravlin.HullWhiteGrid):
    """The benchmark's grid, its engine calls recorded."""

    engine = staticmethod(recorded_grid_price)


class RecordedHeldGrid(RecordedGrid):
    """The same, holding the interpreter lock throughout each call."""

    def sections(self, market, batch):
        sections = super().sections(market, batch)
        return {**sections, "FD": {**sections["FD"], "RELEASE_GIL": 0}}


def concurrency(model, table):
    """The share of the time the threads spent in grid calls during which the other one was in a call
    too, for `price_many` on two threads."""
    CALLS.clear()
    ravlin.price_many(table, MARKET, model, engine="threads", workers=2)
    spans = {}
    for thread, start, end in CALLS:
        spans.setdefault(thread, []).append((start, end))
    if len(spans) != 2:
        return 0.0
    first, second = (sorted(each) for each in spans.values())
    both, i, j = 0.0, 0, 0
    while i < len(first) and j < len(second):
        both += max(0.0, min(first[i][1], second[j][1]) - max(first[i][0], second[j][0]))
        if first[i][1] < second[j][1]:
            i += 1
        else:
            j += 1
    inside = sum(end - start for start, end in first + second) / 2
    return both / inside


def load():
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def counting_speed(during):
    """Iterations a second of a pure-Python loop on another thread while during() runs."""
    count, stop = [0], threading.Event()

    def counter():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                count[0] = n
        count[0] = n

    thread = threading.Thread(target=counter)
    start = time.perf_counter()
    thread.start()
    during()
    stop.set()
    thread.join()
    return count[0] / (time.perf_counter() - start)


def held_put_price():
    """The same put through the engine directly, with the lock held throughout."""
    batch = ravlin.timetable(PUT)
    sections = GRID.sections(SPX_MARKET, batch)
    sections["FD"] = {**sections["FD"], "RELEASE_GIL": 0}
    return _ravlin.fd_blackscholes_price(batch, None, {**SPX_MARKET.dataset(), **sections}, {})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--contracts", type=int, default=1000)
    count = parser.parse_args().contracts
    print(f"load averages (1, 5, 15 min) at start: {load()}; {os.cpu_count()} cores")
    table = book(count)

    # The fastest of three runs each, taken in turns, so that a change in the
    # machine's load falls on every engine alike.
    runs = {"serial": {}, 1: {"engine": "threads", "workers": 1}, 2: {"engine": "threads", "workers": 2}}
    best, cores, results = dict.fromkeys(runs, float("inf")), {}, {}
    for _ in range(3):
        for key, options in runs.items():
            seconds, used, results[key] = timed(lambda: ravlin.price_many(table, MARKET, MODEL, **options))
            if seconds < best[key]:
                best[key], cores[key] = seconds, used
    (t_serial, serial), (t_one, one), (t_two, two) = ((best[key], results[key]) for key in runs)
    for name, result in [("one thread", one), ("two threads", two)]:
        assert result.column("price").to_pylist() == serial.column("price").to_pylist(), f"{name} differs"

    settings = {name: getattr(MODEL, name) for name in ("mean_reversion", "volatility", "nodes_per_side", "timestep")}
    together = concurrency(RecordedGrid(**settings), table)
    together_held = concurrency(RecordedHeldGrid(**settings), table)

    t_put, _, released = timed(lambda: ravlin.price(PUT, SPX_MARKET, GRID).price)
    alone = counting_speed(lambda: time.sleep(t_put))
    during_released = counting_speed(lambda: ravlin.price(PUT, SPX_MARKET, GRID))
    during_held = counting_speed(held_put_price)
    assert held_put_price() == released, "the price with the lock held differs"

    report(f"{count:,} callable bonds, Hull-White grid 401 nodes x weekly steps", [
        ("serial", f"{t_serial:7.2f} s  {count / t_serial:7.0f} contracts/s  {cores['serial']:.2f} cores"),
        ("threads, workers=1", f"{t_one:7.2f} s  throughput x{t_serial / t_one:.2f} serial  {cores[1]:.2f} cores"),
        ("threads, workers=2", f"{t_two:7.2f} s  throughput x{t_one / t_two:.2f} one thread, "
                               f"x{t_serial / t_two:.2f} serial  {cores[2]:.2f} cores"),
    ])
    print("  (cores: the process's CPU time over the wall time; a machine busy with other work gives fewer "
          "than the threads could use)")
    report("time in grid calls during which the other thread was in one too (threads, workers=2)", [
        ("lock released (ravlin's models)", f"{together:6.1%}"),
        ("RELEASE_GIL 0 (lock held)", f"{together_held:6.1%}"),
    ])
    report(f"a Python thread's speed during a put on 4001 nodes x 3650 steps ({t_put:.2f} s)", [
        ("alone", f"{alone:12,.0f} iterations/s"),
        ("during ravlin.price (lock released)", f"{during_released:12,.0f} iterations/s  "
                                                f"x{during_released / alone:.2f} alone"),
        ("during RELEASE_GIL 0 (lock held)", f"{during_held:12,.0f} iterations/s  x{during_held / alone:.2f} alone"),
    ])
    print(f"load averages at end: {load()}")


if __name__ == "__main__":
    main()

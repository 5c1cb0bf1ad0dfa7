"""price_many on 10,000 callable bonds on the Hull-White grid (401 nodes, weekly steps;
maturities of 2 to 10 years, annual coupons, callable at par on each coupon date
but the first and the last), from one table of interleaved rows.

Printed, all measured in this run: the thread, process and Dask engines'
throughput (2 workers each) against the serial engine, and the serial engine's
time against calling `_ravlin` directly on pre-built compact batches with
pre-built datasets (the cost of cutting, re-encoding and the front door).

    python bench/bench_portfolio.py [--contracts N]
"""

import argparse
import logging
import os
import time

import pyarrow as pa

import _ravlin
import ravlin
from common import T0, YEAR_MS, report

MARKET = ravlin.Market(base="USD", pricing_time=T0, curves={"USD": ravlin.ZeroCurve.flat(0.03)})
MODEL = ravlin.HullWhiteGrid(mean_reversion=0.05, volatility=0.01, nodes_per_side=200, timestep=1 / 52)
WORKERS = 2


def callable_bond(i):
    """Rows (track, time, op, quantity, unit): the coupon of a date before its call."""
    years, coupon = 2 + i % 9, 2.0 + (i % 7) * 0.5
    rows = []
    for year in range(1, years + 1):
        rows.append(("bond", T0 + year * YEAR_MS, "+", coupon, "USD"))
        if 1 < year < years:
            rows.append(("bond", T0 + year * YEAR_MS, "<", 100.0, "USD"))
    rows.append(("bond", T0 + years * YEAR_MS, "+", 100.0, "USD"))
    return rows


def book(count):
    """One table whose rows interleave the bonds by time, as a desk's event store would hold them."""
    rows = sorted(((f"bond-{i}", *row) for i in range(count) for row in callable_bond(i)),
                  key=lambda row: row[2])
    columns = list(zip(*rows))
    return pa.table({"contract_id": columns[0], "track": columns[1],
                     "time": pa.array(columns[2], pa.timestamp("ms")), "op": columns[3],
                     "quantity": pa.array(columns[4], pa.float64()), "unit": columns[5]})


class _NoStats:
    def set_stat(self, name, value):
        pass


def direct(count):
    """The engine alone: batches and datasets are built before the clock starts."""
    batches = [ravlin.timetable(callable_bond(i)) for i in range(count)]
    datasets = [{**MARKET.dataset(), **MODEL.sections(MARKET, batch)} for batch in batches]
    state = _NoStats()
    start = time.perf_counter()
    prices = [_ravlin.fd_hullwhite_price(b, state, d, {}) for b, d in zip(batches, datasets)]
    return time.perf_counter() - start, prices


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--contracts", type=int, default=10_000)
    count = parser.parse_args().contracts
    table = book(count)
    from dask.distributed import Client, LocalCluster

    t_direct, reference = direct(count)
    t_serial, serial = timed(lambda: ravlin.price_many(table, MARKET, MODEL))
    t_threads, threads = timed(lambda: ravlin.price_many(table, MARKET, MODEL, engine="threads", workers=WORKERS))
    t_processes, processes = timed(lambda: ravlin.price_many(table, MARKET, MODEL, engine="processes",
                                                             workers=WORKERS))
    t_embedded, embedded = timed(lambda: ravlin.price_many(table, MARKET, MODEL, engine="dask",
                                                           workers=WORKERS))
    t_start, cluster = timed(lambda: LocalCluster(n_workers=WORKERS, threads_per_worker=1,
                                                  dashboard_address=":0", silence_logs=logging.ERROR))
    with cluster, Client(cluster) as client:
        t_running, running = timed(lambda: ravlin.price_many(table, MARKET, MODEL, engine="dask",
                                                             client=client))
    prices = serial.column("price").to_pylist()
    assert prices == reference, "price_many differs from the engine called directly"
    for name, result in [("threads", threads), ("processes", processes), ("dask", embedded), ("dask client", running)]:
        assert result.column("price").to_pylist() == prices, f"{name} differs from serial"
    report(f"{count:,} callable bonds, Hull-White grid 401 nodes x weekly steps, "
           f"{os.cpu_count()} cores, {WORKERS} workers", [
               ("engine alone (pre-built batches)", f"{t_direct:8.2f} s  {count / t_direct:8.0f} contracts/s"),
               ("serial", f"{t_serial:8.2f} s  overhead over the engine alone {t_serial / t_direct - 1:+.1%}"),
               ("threads", f"{t_threads:8.2f} s  throughput x{t_serial / t_threads:.2f} serial"),
               ("processes", f"{t_processes:8.2f} s  throughput x{t_serial / t_processes:.2f} serial"),
               ("dask, embedded cluster", f"{t_embedded:8.2f} s  throughput x{t_serial / t_embedded:.2f} serial "
                                          "(cluster start included)"),
               ("dask, running cluster", f"{t_running:8.2f} s  throughput x{t_serial / t_running:.2f} serial "
                                         f"(cluster started in {t_start:.1f} s before)"),
           ])


if __name__ == "__main__":
    main()

"""price_many: contracts cut from any input price as they do alone, under every engine."""

import dataclasses
import doctest
import pickle
import random

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import ravlin
import ravlin.portfolio
from ravlin.paths import GeometricBrownianMotion

YEAR_MS = 31_536_000_000
T0 = 1_735_689_600_000  # 2025-01-01T00:00:00Z

MARKET = ravlin.Market(base="USD", pricing_time=T0,
                       curves={"USD": ravlin.ZeroCurve.flat(0.03),
                               "SPX": ravlin.ForwardCurve.flat(100.0, growth=0.03)})
MODELS = {
    "fixed": ravlin.Fixed(),
    "hw": ravlin.HullWhiteGrid(mean_reversion=0.05, volatility=0.01, nodes_per_side=60, timestep=1 / 12),
    "bs": ravlin.BlackScholesGrid(asset="SPX", volatility=0.2, nodes_per_side=60, timestep=1 / 24),
    "mc": ravlin.MonteCarlo(paths=256, state=GeometricBrownianMotion(volatility={"SPX": 0.2}), seed=11),
}


def _at(years):
    return T0 + round(years * YEAR_MS)


def contract_rows(i):
    """Contract i: a fixed-rate bond, a callable bond (a coupon before the call at the same time),
    or an option exercised into a helper track, under its model; rows (track, time, op, qty, unit)."""
    kind = ("fixed", "hw", "bs", "mc")[i % 4]
    years = 1 + i % 3
    if kind in ("fixed", "hw"):
        rows = [("bond", _at(y), "+", 4.0 + i % 5, "USD") for y in range(1, years + 1)]
        rows.append(("bond", _at(years), "+", 100.0, "USD"))
        if kind == "hw":
            calls = [("bond", _at(y), "<", 100.0, "USD") for y in range(1, years)]
            rows = sorted(rows + calls, key=lambda row: row[1])  # stable: coupons stay before calls
    else:
        strike = 90.0 + i % 20
        rows = [("option", _at(years), ">", 1.0, "exercise"),
                ("exercise", _at(years), "+", -strike, "USD"),
                ("exercise", _at(years), "+", 1.0, "SPX")]
    return kind, rows


def portfolio(n, bad=()):
    """n contracts with ids like "c7" whose rows interleave, as a table with a model column;
    contracts in `bad` pay in a currency the market lacks."""
    contracts = {f"c{i}": contract_rows(i) for i in range(n)}
    queues = [[(cid, kind, row) for row in rows] for cid, (kind, rows) in contracts.items()]
    rows = [queue.pop(0) for queue in queues]  # first rows in id order, so ids first appear in order
    queues, rng = [queue for queue in queues if queue], random.Random(3)
    while queues:  # the other rows merged at random, each contract's rows in order
        queue = rng.choice(queues)
        rows.append(queue.pop(0))
        if not queue:
            queues.remove(queue)
    columns = {"contract_id": [cid for cid, _, _ in rows], "model": [kind for _, kind, _ in rows],
               "track": [r[0] for _, _, r in rows], "time": pa.array([r[1] for _, _, r in rows], pa.timestamp("ms")),
               "op": [r[2] for _, _, r in rows], "quantity": [r[3] for _, _, r in rows],
               "unit": ["EUR" if cid in bad else r[4] for cid, _, r in rows]}
    return pa.table(columns), contracts


def alone(cid, kind, rows):
    """The contract's price from ravlin.price, seeded as price_many seeds it."""
    model = MODELS[kind]
    if isinstance(model, ravlin.MonteCarlo):
        model = dataclasses.replace(model, seed=ravlin.contract_seed(cid, model.seed))
    return ravlin.price(rows, MARKET, model).price


@pytest.fixture(scope="module")
def book():
    table, contracts = portfolio(40)
    return table, contracts, [alone(cid, *contracts[cid]) for cid in contracts]


def needs_dask():
    return pytest.importorskip("dask.distributed")


@pytest.fixture(scope="module")
def dask_client():
    distributed = needs_dask()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster) as client:
        yield client


def as_input(form, table, contracts, tmp_path):
    if form == "table":
        return table
    if form == "parquet":  # row groups of 7 rows cut contracts in the middle
        path = tmp_path / "book.parquet"
        pq.write_table(table, path, row_group_size=7)
        assert pq.ParquetFile(path).metadata.num_row_groups > 1
        return str(path)
    if form == "dataset":  # two files, the second continuing contracts of the first
        (tmp_path / "book").mkdir()
        half = table.num_rows // 2
        pq.write_table(table.slice(0, half), tmp_path / "book" / "part-0.parquet", row_group_size=5)
        pq.write_table(table.slice(half), tmp_path / "book" / "part-1.parquet", row_group_size=5)
        return tmp_path / "book"
    if form == "slices":  # slices of one big table carry its dictionaries and buffers
        return [(cid, table.filter(pa.compute.equal(table["contract_id"], cid)), kind)
                for cid, (kind, _) in contracts.items()]
    return [(cid, rows, kind) for cid, (kind, rows) in contracts.items()]


@pytest.mark.parametrize("form,engine,options", [
    ("table", "serial", {}),
    ("table", "threads", {"workers": 2}),
    ("parquet", "threads", {"workers": 3, "chunksize": 1}),
    ("parquet", "serial", {}),
    ("dataset", "processes", {"workers": 2, "chunksize": 3}),
    ("pairs", "serial", {}),
    ("slices", "processes", {"workers": 1}),
    ("parquet", "processes", {"workers": 2}),
    ("table", "dask", {}),
    ("parquet", "dask", {"chunksize": 1}),
])
def test_every_input_and_engine_gives_each_contracts_own_price(book, form, engine, options, tmp_path, request):
    table, contracts, expected = book
    if engine == "dask":
        options = {**options, "client": request.getfixturevalue("dask_client")}
    result = ravlin.price_many(as_input(form, table, contracts, tmp_path), MARKET, MODELS, engine=engine,
                               **options)
    assert result.column("contract_id").to_pylist() == list(contracts)
    assert result.column("error").null_count == len(contracts), result.column("error").drop_null().to_pylist()
    assert result.column("price").to_pylist() == expected  # bit for bit
    assert min(result.column("seconds").to_pylist()) > 0


def test_contracts_travel_with_their_own_dictionaries_and_buffers(book):
    table, contracts, _ = book
    packed, _ = ravlin._book.read_book(table, "contract_id", "model")
    for contract in packed.contracts():
        assert contract.batch.column("track").dictionary.to_pylist()[0] == contracts[contract.id][1][0][0]
    one = ravlin.timetable(contracts["c1"][1])
    assert len(pickle.dumps(packed.part(1, 2))) < 4 * len(pickle.dumps(one)) < len(pickle.dumps(table))


@pytest.mark.parametrize("engine", ["serial", "threads", "processes"])
def test_a_failing_contract_is_recorded_or_raised_and_the_others_go_on(engine):
    table, contracts = portfolio(12, bad={"c5", "c9"})
    result = ravlin.price_many(table, MARKET, MODELS, engine=engine, workers=2, chunksize=2)
    errors = dict(zip(result.column("contract_id").to_pylist(), result.column("error").to_pylist()))
    assert {cid for cid, error in errors.items() if error} == {"c5", "c9"}
    assert errors["c5"].startswith("PricingError: ") and "EUR" not in (errors["c0"] or "")
    prices = dict(zip(result.column("contract_id").to_pylist(), result.column("price").to_pylist()))
    assert prices["c5"] is None and prices["c6"] == alone("c6", *contracts["c6"])
    with pytest.raises(ravlin.PricingError) as raised:
        ravlin.price_many(table, MARKET, MODELS, engine=engine, workers=2, chunksize=2, errors="raise")
    assert "while pricing contract 'c5'" in raised.value.__notes__


def test_monte_carlo_seeds_follow_the_id_and_the_portfolio_seed():
    rows = contract_rows(3)[1]
    model = MODELS["mc"]
    pairs = [("a", rows), ("b", rows), ("a2", rows)]
    first = ravlin.price_many(pairs, MARKET, model).column("price").to_pylist()
    again = ravlin.price_many(pairs[::-1], MARKET, model).column("price").to_pylist()[::-1]
    reseeded = ravlin.price_many(pairs, MARKET, dataclasses.replace(model, seed=12)).column("price").to_pylist()
    assert first == again and len(set(first)) == 3 and not set(first) & set(reseeded)


def test_statistics_come_back_to_the_caller():
    model = dataclasses.replace(MODELS["mc"], statistics=True)
    pairs = [(7, contract_rows(3)[1]), (8, [("x", T0, "+", 1.0, "EUR")])]
    result = ravlin.price_many(pairs, MARKET, model, engine="processes", workers=1)
    assert result.column("contract_id").type == pa.int64()
    assert [len(v) if v else None for v in result.column("values").to_pylist()] == [256, None]
    assert result.column("standard_error")[0].as_py() > 0 and result.column("standard_error")[1].as_py() is None
    flows = result.column("cashflows").to_pylist()
    assert [flow["unit"] for flow in flows[0]] == ["exercise", "USD", "SPX"] and flows[1] is None


@pytest.mark.parametrize("connect", ["address", "embedded"])
def test_dask_reaches_a_cluster_by_address_or_starts_its_own(book, connect, request):
    needs_dask()
    table, _, expected = book
    options = ({"address": request.getfixturevalue("dask_client").scheduler.address} if connect == "address"
               else {"workers": 1})
    head = table.filter(pa.compute.is_in(table["contract_id"], pa.array(["c0", "c1", "c2", "c3"])))
    result = ravlin.price_many(head, MARKET, MODELS, engine="dask", **options)
    assert result.column("price").to_pylist() == expected[:4]


@pytest.mark.parametrize("portfolio_input,options,message", [
    (pa.table({"track": ["a"]}), {}, "no id column 'contract_id'"),
    (pa.table({"contract_id": [None]}), {}, "row 0 has no 'contract_id'"),
    ([], {"engine": "thread"}, "engine: expected one of"),
    ([], {"errors": "ignore"}, "errors: expected 'record' or 'raise'"),
    ([], {"workers": 0}, "workers must be a positive integer"),
])
def test_malformed_calls_say_what_is_wrong(portfolio_input, options, message):
    with pytest.raises(ValueError, match=message):
        ravlin.price_many(portfolio_input, MARKET, ravlin.Fixed(), **options)


def test_docstring_examples_run():
    assert doctest.testmod(ravlin.portfolio).failed == 0


SCRIPT = """
import ravlin

market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={"USD": ravlin.ZeroCurve.flat(0.03)})
book = [("a", "bond", "2026-01-01", "+", 100.0, "USD"), ("b", "bond", "2027-01-01", "+", 100.0, "USD")]
"""
RUN = """with open("runs.txt", "a") as runs:
    runs.write("run\\n")
print(ravlin.price_many(book, market, ravlin.Fixed(), engine="{engine}", workers=2).column("price"))
"""


@pytest.mark.parametrize("engine", ["processes", "dask"])
@pytest.mark.parametrize("guarded", [True, False], ids=["guarded", "plain"])
def test_a_script_runs_once_and_a_pool_outside_its_main_guard_fails_at_once(tmp_path, engine, guarded):
    import os
    import subprocess
    import sys
    import textwrap
    from pathlib import Path

    run = RUN.format(engine=engine)
    body = 'if __name__ == "__main__":\n' + textwrap.indent(run, "    ") if guarded else run
    (tmp_path / "script.py").write_text(SCRIPT + body)
    env = {**os.environ, "PYTHONPATH": str(Path(ravlin.__file__).parents[1])}  # this ravlin, wherever it is
    done = subprocess.run([sys.executable, "script.py"], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)
    assert (tmp_path / "runs.txt").read_text() == "run\n"  # the script's own work, once, never in a worker
    if guarded:
        assert done.returncode == 0 and "97.04" in done.stdout, done.stderr
    else:
        assert done.returncode != 0 and 'if __name__ == "__main__":' in done.stderr
        assert "line 8 calls price_many outside the main guard" in done.stderr, done.stderr

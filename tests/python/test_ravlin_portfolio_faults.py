"""price_many when things go wrong: dying workers, Ctrl-C, corrupt books, prices that are not numbers."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import psutil
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from sigint import interrupted_after

import ravlin

MARKET = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.04, horizon=60)})


def loopback(address):
    return address in ("127.0.0.1", "::1") or address.startswith("127.")


def tagged_processes(tag):
    """Every process on the machine that carries `tag` in its environment, as the script's workers do."""
    found = []
    for process in psutil.process_iter():
        try:
            if process.environ().get("RAVLIN_FAULT_TAG") == tag:
                found.append(process)
        except psutil.Error:
            pass
    return found


@pytest.mark.parametrize("engine", ["processes", "dask"])
def test_the_book_survives_its_workers_and_ctrl_c_leaves_nothing_behind(engine, tmp_path):
    if engine == "dask":
        pytest.importorskip("dask.distributed")
    tag = uuid.uuid4().hex
    env = {**os.environ, "RAVLIN_FAULT_TAG": tag, "PYTHONPATH": str(Path(ravlin.__file__).parents[1])}
    script = Path(__file__).with_name("book_faults.py")
    run = subprocess.Popen([sys.executable, str(script), engine, str(tmp_path)], env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    try:
        dying = json.loads(run.stdout.readline())
        deadline = time.time() + 120
        while not (tmp_path / "pricing").exists() and time.time() < deadline and run.poll() is None:
            time.sleep(0.05)
        sent = time.time()
        run.send_signal(signal.SIGINT)
        stopped = json.loads(run.stdout.readline())
        run.wait(60)
    finally:
        run.kill()
    psutil.wait_procs(tagged_processes(tag), timeout=10)

    errors = {cid: error for cid, error in zip(dying["ids"], dying["errors"]) if error}
    assert list(errors) == ["c57"] and "worker died while pricing contract 'c57'" in errors["c57"]
    assert {cid: p for cid, p in zip(dying["ids"], dying["prices"]) if cid != "c57"} == dying["serial"]  # bit for bit
    assert (tmp_path / "killed-once").exists()  # c123's first worker was killed, and c123 kept its price
    assert stopped["interrupted"] and stopped["at"] - sent < 30
    for phase in (dying, stopped):
        assert phase["processes"] == phase["listening"] == phase["shared_memory"] == []
    assert [port for port in dying["listening_before"] + dying["listening_during"] if not loopback(port[0])] == []
    assert bool(dying["listening_during"]) == (engine == "dask")  # the watch did see the cluster listen
    assert tagged_processes(tag) == []


def test_ctrl_c_stops_the_threads_engine_and_its_threads():
    # Each contract calls a phrase that sleeps 50 ms: 200 of them on two threads, each pricing a chunk of
    # 100, would take 5 s; the threads stop between contracts.
    pairs = [(f"c{i}", [("bond", "2026-01-02", "+", 1.0, "slow")]) for i in range(200)]
    expressions = {"slow": ravlin.Phrase(lambda: time.sleep(0.05) or 1.0)}
    raised, seconds = interrupted_after(0.5, lambda: ravlin.price_many(pairs, MARKET, ravlin.Fixed(),
                                                                       expressions=expressions, engine="threads",
                                                                       workers=2, chunksize=100))
    assert isinstance(raised, KeyboardInterrupt) and seconds < 2
    assert [t.name for t in threading.enumerate() if t.name.startswith("ravlin-thread")] == []


def test_prices_that_are_not_numbers_are_errors():
    expressions = {"nan": ravlin.Phrase(lambda: float("nan")), "inf": ravlin.Phrase(lambda: float("-inf"))}
    pairs = [(unit, [("bond", "2026-01-02", "+", 1.0, unit)]) for unit in ("USD", "nan", "inf")]
    pairs.append(("quantity", [("bond", "2026-01-02", "+", float("nan"), "USD")]))
    result = ravlin.price_many(pairs, MARKET, ravlin.Fixed(), expressions=expressions).to_pydict()
    assert result["price"][0] > 0 and result["price"][1:] == [None] * 3
    assert result["error"][1:3] == ["PricingError: the price is nan, not a finite number",
                                    "PricingError: the price is -inf, not a finite number"]
    assert result["error"][3] is not None


@pytest.mark.parametrize("damage", ["page", "footer"])
def test_a_damaged_parquet_book_is_an_error_naming_the_file(damage, tmp_path):
    count = 1000
    table = pa.table({"contract_id": [f"c{i}" for i in range(count)], "track": ["bond"] * count,
                      "time": pa.array([1_767_312_000_000] * count, pa.timestamp("ms")), "op": ["+"] * count,
                      "quantity": [100.0 + i for i in range(count)], "unit": ["USD"] * count})
    (tmp_path / "book").mkdir()
    pq.write_table(table.slice(0, 10), tmp_path / "book" / "a.parquet", write_page_checksum=True)
    path = tmp_path / "book" / "b.parquet"
    pq.write_table(table, path, write_page_checksum=True, compression="none")
    raw = bytearray(path.read_bytes())
    if damage == "page":  # 8 bytes of the quantities overwritten: still a readable file
        start = pq.ParquetFile(path).metadata.row_group(0).column(4).data_page_offset + 100
        raw[start:start + 8] = bytes(range(8))
    else:
        del raw[-50:]
    path.write_bytes(raw)
    with pytest.raises(ravlin.TimetableError, match=r"b\.parquet"):
        ravlin.price_many(tmp_path / "book", MARKET, ravlin.Fixed())

"""`price_many`: a portfolio of contracts in one call, on one core, on all cores or on a cluster.

The portfolio is cut into contracts first (`ravlin._book`): each contract
becomes a compact record batch of its own, so it prices the same wherever
it is priced, and chunks of contracts travel packed in a few buffers.

Monte Carlo paths are seeded per contract from the contract id and the
model's seed (`contract_seed`), so a price never depends on the engine,
the number of workers or the partitioning.
"""

from __future__ import annotations

import dataclasses
import hashlib
import math
import os
import sys
import threading
import time
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from types import FrameType
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, Union

import numpy as np

from . import _checks
from ._arrow import pyarrow
from ._book import Book, BookContract, read_book
from ._engine import bound_breach, check_market, check_model, price_batch
from ._workers import Ranges, dumps, run_dask, run_processes, run_threads
from .errors import ArbitrageWarning, PricingError
from .expressions import Expression, engine_entries
from .market import Market
from .models import Model, MonteCarlo
from .result import Result

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["price_many", "contract_seed", "ENGINES"]

ENGINES = ("serial", "threads", "processes", "dask")
"""The engines of `price_many`."""

Engine = Literal["serial", "threads", "processes", "dask"]
ContractId = Union[str, int, bytes]
Models = Union[Model, Mapping[str, Model]]

# Chunks per worker: enough to even out contracts of unequal cost, few
# enough that a task's fixed cost stays small against the pricing in it.
_CHUNKS_PER_WORKER = 8
_MAX_CHUNK = 1000
# A progress bar appears only for portfolios that run longer than this.
_PROGRESS_DELAY = 3.0
_SEED_DOMAIN = b"ravlin.contract_seed.v1"


# ---------------------------------------------------------------- seeds

def contract_seed(contract_id: ContractId, seed: int = 0) -> int:
    """The Monte Carlo seed of one contract: a stable 63-bit hash of its id and the portfolio seed.

    The same in every process and on every machine (unlike `hash`), so
    `ravlin.price` of one contract with this seed reproduces its price in
    `price_many`. Integer ids hash by value, whatever their Arrow width.

    >>> contract_seed("bond-17", 7) == contract_seed("bond-17", 7)
    True
    >>> contract_seed("bond-17", 7) != contract_seed("bond-18", 7), contract_seed(5) == contract_seed(np.int32(5))
    (True, True)
    """
    seed = _checks.whole(seed, "seed", 0)
    digest = hashlib.blake2b(_SEED_DOMAIN, digest_size=8)
    digest.update(b"%d\x00" % int(seed))
    digest.update(_id_bytes(contract_id))
    return int.from_bytes(digest.digest(), "little") >> 1


def _id_bytes(contract_id: object) -> bytes:
    """A contract id as typed bytes, so "1", b"1" and 1 hash apart."""
    if isinstance(contract_id, str):
        return b"s" + contract_id.encode("utf-8")
    if isinstance(contract_id, bytes):
        return b"b" + contract_id
    if isinstance(contract_id, (int, np.integer)) and not isinstance(contract_id, bool):
        return b"i%d" % int(contract_id)
    raise TypeError(f"contract id {contract_id!r}: Monte Carlo seeds need string, bytes or integer ids, "
                    f"got {type(contract_id).__name__}")


# ---------------------------------------------------------------- pricing one contract

class _Statistics(NamedTuple):
    """One contract's statistics as they travel back from a worker: arrays and tables only,
    never the model, whose path factory may not pickle."""

    standard_error: float | None
    values: np.ndarray | None
    nodes: np.ndarray | None
    choices: pa.Table | None
    cashflows: pa.Table | None


class _Outcome(NamedTuple):
    """What pricing one contract gives back to the caller."""

    price: float | None
    error: str | None
    seconds: float | None  # None for a contract whose workers died
    statistics: _Statistics | None
    exception: BaseException | None  # kept only when the caller wants failures raised


@dataclass(frozen=True)
class _Job:
    """What every contract of one `price_many` call shares."""

    market: Market
    models: Models
    expressions: Mapping[str, Expression] | None
    raise_errors: bool
    statistics: bool

    def model_for(self, contract: BookContract) -> Model:
        """The contract's model; Monte Carlo seeded for this contract."""
        if isinstance(self.models, Mapping):
            if contract.model is None or contract.model not in self.models:
                raise KeyError(f"the contract names the model {contract.model!r}; "
                               f"models are given for {sorted(self.models)}")
            model = self.models[contract.model]
        else:
            model = self.models
        if isinstance(model, MonteCarlo):
            model = dataclasses.replace(model, seed=contract_seed(contract.id, model.seed))
        return model

    def price(self, contract: BookContract) -> _Outcome:
        """One contract's price or its failure, with the time it took."""
        start = time.perf_counter()
        try:
            if isinstance(contract.batch, BaseException):
                raise contract.batch
            result = price_batch(contract.batch, self.market, self.model_for(contract),
                                 engine_entries(self.expressions))
        except Exception as error:  # a contract's failure is its own; the others go on
            return self.failed(error, time.perf_counter() - start)
        statistics = _Statistics(result.standard_error, result.values, result.nodes, result.choices,
                                 result.cashflows) if self.statistics else None
        return _Outcome(result.price, None, time.perf_counter() - start, statistics, None)

    def failed(self, error: Exception, seconds: float | None) -> _Outcome:
        return _Outcome(None, f"{type(error).__name__}: {error}", seconds, None,
                        error if self.raise_errors else None)

    def lost(self, contract_id: ContractId, how: str) -> _Outcome:
        """The outcome of a contract given up after the workers pricing it died."""
        return self.failed(PricingError(f"worker died while pricing contract {contract_id!r} ({how})"), None)

    def price_chunk(self, book: Book, stop: threading.Event | None = None) -> list[_Outcome]:
        """A chunk of contracts; when failures are raised, the chunk stops at its first, and it
        stops before the next contract once `stop` is set (its outcomes are then not wanted)."""
        outcomes: list[_Outcome] = []
        for contract in book.contracts():
            if stop is not None and stop.is_set():
                break
            outcomes.append(self.price(contract))
            if outcomes[-1].exception is not None:
                break
        return outcomes


# ---------------------------------------------------------------- engines

def price_many(portfolio: Any, market: Market, model: Models, *, by: str = "contract_id",
               expressions: Mapping[str, Expression] | None = None, engine: Engine = "serial",
               workers: int | None = None, chunksize: int | None = None, client: Any = None,
               address: str | None = None, errors: Literal["record", "raise"] = "record",
               model_by: str = "model", progress: bool | None = None) -> pa.Table:
    """Prices every contract of `portfolio`; one row per contract, in order of first appearance.

    `portfolio` is one table holding the id column `by` and the event
    columns (anything `ravlin.timetable` reads: pyarrow, polars, pandas, a
    mapping of columns, or rows as mappings or as tuples (id, track, time,
    op, quantity, unit)), a Parquet file or dataset directory with those
    columns, or an iterable of (id, timetable) pairs, where a timetable may
    be a rates instrument (its rows written for `market`). Rows are grouped by id
    keeping their order, wherever the rows or row groups of a contract lie;
    a contract cut from a table prices its first row's track.

    `model` is one model for every contract, or a mapping of names to
    models: each contract then names its model in the column `model_by`
    (or as the third item of a pair). Monte Carlo paths are seeded per
    contract with `contract_seed(id, model.seed)`.

    `engine` is "serial" (in this process), "threads" (`workers` threads
    of this process sharing the market and models, nothing pickled: grids
    and the fixed model price side by side, Monte Carlo holds the
    interpreter lock), "processes" (a pool of `workers` processes; for
    both, `workers` defaults to the core count, and chunks of `chunksize`
    contracts are chosen when None) or "dask" (`client`, a
    `dask.distributed.Client`; or a new client of the scheduler at
    `address`; or by default an embedded cluster of `workers` processes).
    Prices are the same bit for bit under every engine.

    The table has the columns `by`, "price" (null on failure), "error" (the
    exception's type and message, null on success) and "seconds" (the time
    the contract took). When a model asks for statistics, the columns
    "standard_error", "values", "nodes", "choices" and "cashflows" hold each
    contract's (see `ravlin.Result`). With `errors="raise"` the first
    failing contract, in portfolio order, raises its exception. `progress`
    shows a bar (tqdm) after a few seconds; by default only on a terminal.
    Instruments given as pairs are held to their no-arbitrage bounds as
    `ravlin.price` holds them: one `ArbitrageWarning` names the contracts
    whose prices lie outside.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01",
    ...                        curves={"USD": ravlin.ZeroCurve.flat(0.05)})
    >>> book = [("a", "bond", "2026-01-01", "+", 100.0, "USD"),
    ...         ("b", "bond", "2027-01-01", "+", 100.0, "USD"),
    ...         ("a", "bond", "2027-01-01", "+", 100.0, "USD")]
    >>> table = ravlin.price_many(book, market, ravlin.Fixed())
    >>> table.column("contract_id").to_pylist(), [round(p, 4) for p in table.column("price").to_pylist()]
    (['a', 'b'], [185.6067, 90.4837])
    """
    check_market(market)
    if engine not in ENGINES:
        raise ValueError(f"engine: expected one of {ENGINES}, got {engine!r}")
    if errors not in ("record", "raise"):
        raise ValueError(f"errors: expected 'record' or 'raise', got {errors!r}")
    _check_models(model)
    bounded: dict[int, Any] = {}
    book, id_type = read_book(portfolio, by, model_by if isinstance(model, Mapping) else None, market, bounded)
    job = _Job(market, model, expressions, errors == "raise", _asks_statistics(model))
    count = _worker_count(workers)
    size = _chunk_size(len(book), count) if chunksize is None else _checks.whole(chunksize, "chunksize", 1)
    if engine == "processes" or (engine == "dask" and client is None and address is None):
        _check_main_guard(engine)
    with _progress_bar(progress, len(book)) as bar:
        if engine == "serial":
            outcomes = _run_serial(job, book, bar)
        else:
            outcomes = _run_pool(engine, job, book, size, count, client, address, bar)
    _check_bounds(job, book, bounded, outcomes)
    return _table(book, outcomes, by, id_type, job.statistics)


# The warning of a book whose prices leave their bounds names at most this many contracts.
_BREACHES_NAMED = 5


def _check_bounds(job: _Job, book: Book, bounded: Mapping[int, Any], outcomes: list[_Outcome]) -> None:
    """Warns once (`ArbitrageWarning`) when prices of the book's instruments lie outside the
    no-arbitrage bounds they state, naming the contracts, as `price` warns for one. Checked here,
    in the caller's process, where the instruments are; a Monte Carlo price without its
    per-path values is not checked."""
    breaches = []
    for i, instrument in bounded.items():
        outcome = outcomes[i]
        if outcome.price is None:
            continue
        model = job.model_for(BookContract(book.ids[i], None, book.models[i]))
        values = None if outcome.statistics is None else outcome.statistics.values
        breach = bound_breach(instrument, job.market, Result(price=outcome.price, model=model, values=values))
        if breach is not None:
            breaches.append(f"contract {book.ids[i]!r}: {breach}")
    if breaches:
        more = len(breaches) - _BREACHES_NAMED
        named = "; ".join(breaches[:_BREACHES_NAMED]) + (f"; and {more} more" if more > 0 else "")
        warnings.warn(ArbitrageWarning(f"{len(breaches)} prices lie outside their no-arbitrage bounds: {named}: "
                                       "these settings do not resolve the contracts"), stacklevel=3)


def _check_main_guard(engine: str) -> None:
    """Refuses at once a pool started from a script's top level outside its main guard.

    New worker processes (the fork server's, an embedded Dask cluster's)
    start by importing the caller's main script again, under another
    `__name__`. A call outside `if __name__ == "__main__":` would then run
    the whole script again in them, from its first line: rewriting its
    files, pricing its book and starting pools of its own, until the pool
    breaks. Only a script that the workers import again is checked, and
    only while its top level runs.
    """
    main = sys.modules.get("__main__")
    path = _reimported_path(main)
    if main is None or path is None:
        return
    frame: FrameType | None = sys._getframe(1)
    while frame is not None and not (frame.f_globals is main.__dict__ and frame.f_code.co_name == "<module>"):
        frame = frame.f_back
    if frame is None or _guarded(path, frame.f_lineno):
        return
    raise RuntimeError(
        f'engine="{engine}" starts worker processes that import the script {path} again, and its line '
        f'{frame.f_lineno} calls price_many outside the main guard, so every worker would run the whole '
        'script again. Put what the script does under the guard:\n\n'
        '    if __name__ == "__main__":\n        ...\n\nor use engine="serial".')


def _reimported_path(main: Any) -> str | None:
    """The file of the main module that new worker processes import again, or None (an
    interactive session, python -c, a package's __main__), as multiprocessing decides."""
    module_spec = getattr(main, "__spec__", None)
    if module_spec is not None:
        name = module_spec.name
        return None if name == "__main__" or name.endswith(".__main__") else getattr(module_spec, "origin", None)
    return getattr(main, "__file__", None)


def _guarded(path: str, line: int) -> bool:
    """Whether `line` of the script lies in the body of an `if __name__ == "__main__":`."""
    import ast
    import tokenize

    try:
        with tokenize.open(path) as source:
            tree = ast.parse(source.read())
    except (OSError, SyntaxError, ValueError):
        return True  # a script we cannot read is not ours to refuse
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and _is_main_test(node.test) and node.body:
            if node.body[0].lineno <= line <= (node.body[-1].end_lineno or node.body[-1].lineno):
                return True
    return False


def _is_main_test(test: Any) -> bool:
    import ast

    if not (isinstance(test, ast.Compare) and len(test.ops) == 1 and isinstance(test.ops[0], ast.Eq)):
        return False
    sides = [test.left, test.comparators[0]]
    return (any(isinstance(s, ast.Name) and s.id == "__name__" for s in sides)
            and any(isinstance(s, ast.Constant) and s.value == "__main__" for s in sides))


def _check_models(model: Models) -> None:
    for each in (model.values() if isinstance(model, Mapping) else [model]):
        check_model(each, "model (or each model of the mapping)")


def _asks_statistics(model: Models) -> bool:
    return any(each.statistics is not False and each.statistics != ()
               for each in (model.values() if isinstance(model, Mapping) else [model]))


def _worker_count(workers: int | None) -> int:
    if workers is None:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return _checks.whole(workers, "workers", 1)


def _chunk_size(contracts: int, workers: int) -> int:
    return max(1, min(_MAX_CHUNK, math.ceil(contracts / (workers * _CHUNKS_PER_WORKER))))


def _run_serial(job: _Job, book: Book, bar: Any) -> list[_Outcome]:
    outcomes = []
    for contract in book.contracts():
        outcomes.append(job.price(contract))
        bar.update(1)
        _raise_failure(contract.id, outcomes[-1])
    return outcomes


def _run_pool(engine: Engine, job: _Job, book: Book, size: int, workers: int, client: Any, address: str | None,
              bar: Any) -> list[_Outcome]:
    """The outcomes of a pool engine: ranges of `size` contracts, in book order whatever finishes first;
    a failure to raise is raised once every contract before it is in."""
    ranges = Ranges(len(book), size, lambda i, how: job.lost(book.ids[i], how),
                    lambda i, outcome: _raise_failure(book.ids[i], outcome))
    if engine == "threads":
        run_threads(job.price_chunk, book, ranges, workers, bar)
    elif engine == "processes":
        run_processes(dumps(job), book, ranges, workers, bar)
    else:
        run_dask(dumps(job), book, ranges, client, address, workers, bar)
    return ranges.results()


def _raise_failure(contract_id: Any, outcome: _Outcome) -> None:
    if outcome.exception is not None:
        error = outcome.exception
        error.add_note(f"while pricing contract {contract_id!r}")
        raise error


# ---------------------------------------------------------------- progress

class _NoBar:
    def update(self, n: int) -> None:
        pass

    def __enter__(self) -> _NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


def _progress_bar(progress: bool | None, total: int) -> Any:
    """A tqdm bar when asked for (by default: when stderr is a terminal and tqdm is installed)."""
    if progress is False or (progress is None and not sys.stderr.isatty()):
        return _NoBar()
    try:
        from tqdm.auto import tqdm
    except ImportError as missing:
        if progress:
            raise ImportError("progress=True needs tqdm: pip install ravlin[progress]") from missing
        return _NoBar()
    return tqdm(total=total, unit="contract", delay=_PROGRESS_DELAY, smoothing=0.05)


# ---------------------------------------------------------------- the result table

def _table(book: Book, outcomes: list[_Outcome], by: str, id_type: pa.DataType | None,
           statistics: bool) -> pa.Table:
    pa = pyarrow()
    ids = book.ids
    columns: dict[str, Any] = {
        by: pa.array(ids, id_type) if id_type is not None else pa.array(ids),
        "price": pa.array([o.price for o in outcomes], pa.float64()),
        "error": pa.array([o.error for o in outcomes], pa.string()),
        "seconds": pa.array([o.seconds for o in outcomes], pa.float64()),
    }
    if statistics:
        columns.update(_statistics(pa, [o.statistics for o in outcomes]))
    return pa.table(columns)


def _statistics(pa: Any, results: list[_Statistics | None]) -> dict[str, Any]:
    """Each contract's statistics as columns; null where a contract failed or its model has none."""

    def arrays(name: str) -> list[np.ndarray | None]:
        return [None if r is None or getattr(r, name) is None else np.asarray(getattr(r, name), dtype=float)
                for r in results]

    return {
        "standard_error": pa.array([None if r is None else r.standard_error for r in results], pa.float64()),
        "values": pa.array(arrays("values"), pa.list_(pa.float64())),
        "nodes": pa.array(arrays("nodes"), pa.list_(pa.float64())),
        "choices": _nested(pa, [None if r is None else r.choices for r in results]),
        "cashflows": _nested(pa, [None if r is None else r.cashflows for r in results]),
    }


def _nested(pa: Any, tables: list[pa.Table | None]) -> pa.Array:
    """Per-contract tables as one list<struct> column."""
    present = [t for t in tables if t is not None]
    if not present:
        return pa.nulls(len(tables), pa.list_(pa.struct([])))
    values = pa.concat_tables(present).combine_chunks()
    struct = pa.StructArray.from_arrays([c.chunk(0) if c.num_chunks else pa.array([], c.type)
                                         for c in values.columns], names=values.column_names)
    offsets, total = [0], 0
    for t in tables:
        total += 0 if t is None else t.num_rows
        offsets.append(total)
    mask = pa.array([t is None for t in tables])
    return pa.ListArray.from_arrays(pa.array(offsets, pa.int32()), struct, mask=mask)

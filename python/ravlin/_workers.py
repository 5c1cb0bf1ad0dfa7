"""Pools for `price_many` that finish the book when their workers die.

A contract can kill the process that prices it: a phrase that exits or
crashes the interpreter, or the system's out-of-memory killer. The book is
priced in ranges of contracts; a range whose worker died is priced again one
contract per task, so the contracts beside the culprit keep their prices
(the same bit for bit, since a contract prices the same in any range), and a
contract alone is given up, with an error of its own, once two workers died
while pricing it. A single death of a worker killed from outside costs no
price.

The process pool is our own rather than `concurrent.futures`: each worker
has a pipe of its own, so a death is known to be the death of the range that
worker was pricing, and only that worker is replaced while the others go on.
On Dask, the scheduler fails a task with `KilledWorker` once its workers
died (the number it allows); an embedded cluster fails it at the first death
and gives each worker one task at a time, so only the task of the dying
worker is blamed.

Threads share the caller's job as it is, with nothing pickled: the engine
computes grids and the fixed model without the interpreter lock, so they
price side by side. A contract that kills its thread's process kills the
caller too; the other pools are the ones that survive such a contract.
"""

from __future__ import annotations

import collections
import contextlib
import pickle
import queue
import signal
import sys
import threading
import time
from collections.abc import Callable
from multiprocessing.connection import Connection, wait
from typing import Any, Generic, Self, TypeVar

from ._book import Book

__all__ = ["Ranges", "dumps", "loads", "run_dask", "run_processes", "run_threads"]

T = TypeVar("T")
Span = tuple[int, int]

# Workers that may die while pricing one contract alone before it is given up:
# the first death may be the system's doing, not the contract's.
_DEATHS_ALONE = 2
# How often a caller waiting on its workers looks at a pending Ctrl-C, which
# the interpreter may have received on another of the caller's threads.
_WAKE_SECONDS = 0.2
# How long workers get to exit before they are killed.
_EXIT_SECONDS = 5.0
# How often a Dask run looks at its cluster while no task ends, and how long a
# cluster that had workers may be without any before the run gives up.
_DASK_WAKE_SECONDS = 1.0
_WORKERLESS_SECONDS = 120.0


def dumps(value: Any) -> bytes:
    """cloudpickle where it is installed (phrases are often lambdas), else pickle."""
    try:
        import cloudpickle
    except ImportError:
        return pickle.dumps(value)
    payload: bytes = cloudpickle.dumps(value)
    return payload


def loads(payload: bytes) -> Any:
    return pickle.loads(payload)


# ---------------------------------------------------------------- what is left to price

class Ranges(Generic[T]):
    """The contracts of a book still to price, as ranges [start, stop), and the results of the others.

    `lost(i, how)` is the result of contract i given up after its workers
    died (`how` says how many, and how the last one ended where that is
    known); `check(i, result)` sees every result in book order, as soon as all
    before it are in (it raises to end the run at the first failure in order).
    """

    def __init__(self, count: int, size: int, lost: Callable[[int, str], T],
                 check: Callable[[int, T], None]) -> None:
        self.todo: collections.deque[Span] = collections.deque(
            (start, min(start + size, count)) for start in range(0, count, size))
        self._count, self._lost, self._check = count, lost, check
        self._done: dict[int, tuple[int, list[T]]] = {}
        self._deaths: collections.Counter[int] = collections.Counter()
        self._cursor = 0

    @property
    def complete(self) -> bool:
        return self._cursor >= self._count

    def take(self) -> Span | None:
        return self.todo.popleft() if self.todo else None

    def finished(self, span: Span, results: list[T]) -> None:
        self._done[span[0]] = (span[1], results)
        while self._cursor in self._done:
            stop, results = self._done[self._cursor]
            for i, result in enumerate(results):
                self._check(self._cursor + i, result)
            self._cursor = stop

    def died(self, span: Span, deaths: int, last: str | None = None) -> None:
        """`deaths` workers died while pricing `span` (the last one `last`, as "killed by SIGSEGV",
        where known): its contracts go again one by one, first."""
        start, stop = span
        if stop - start > 1:
            self.todo.extendleft((i, i + 1) for i in reversed(range(start, stop)))
            return
        self._deaths[start] += deaths
        if self._deaths[start] < _DEATHS_ALONE:
            self.todo.appendleft(span)
            return
        how = f"{self._deaths[start]} workers died" + (f", the last {last}" if last else "")
        self.finished(span, [self._lost(start, how)])

    def results(self) -> list[T]:
        return [result for start in sorted(self._done) for result in self._done[start][1]]


# ---------------------------------------------------------------- processes

_READY, _DONE, _RAISED = "ready", "done", "raised"


def _serve(connection: Connection, payload: bytes) -> None:
    """A worker: loads the job once, then prices each book it is sent until its pipe closes."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the caller's, who stops the workers
    try:
        job = loads(payload)
        reply: tuple[str, Any] = (_READY, None)
        while True:
            connection.send(reply)
            reply = (_DONE, job.price_chunk(connection.recv()))
    except EOFError:  # the caller is done with this worker
        return
    except BaseException as error:  # whatever escapes the job is the caller's to raise
        try:
            connection.send((_RAISED, _picklable(error)))
        except OSError:
            pass


def _picklable(error: BaseException) -> BaseException:
    try:
        pickle.dumps(error)
    except Exception:  # any failure to pickle
        return RuntimeError(f"{type(error).__name__}: {error}")
    return error


class _Worker:
    """One worker process, its pipe, and the range it is pricing (None while idle)."""

    def __init__(self, context: Any, payload: bytes) -> None:
        self.connection, self._child = context.Pipe()
        self.process = context.Process(target=_serve, args=(self._child, payload), name="ravlin-worker", daemon=True)
        self.span: Span | None = None
        self.ready = False

    def start(self) -> None:
        try:
            self.process.start()
        finally:
            self._child.close()  # the worker's end lives in the worker only, so its death closes the pipe

    def send(self, span: Span, book: Book) -> None:
        self.span = span
        try:
            self.connection.send(book)
        except OSError:
            pass  # it has died: its pipe says so at the next wait

    def receive(self) -> tuple[str, Any] | None:
        """Its next message, once woken; None when it has died."""
        try:
            if self.connection.poll():
                return self.connection.recv()  # type: ignore[no-any-return]
        except (EOFError, OSError):
            pass
        return None

    def stop(self) -> None:
        """Lets an idle worker exit (its pipe closes); a busy or starting one is terminated."""
        self.connection.close()
        if self.process.pid is not None and (self.span is not None or not self.ready):
            self.process.terminate()

    def end(self) -> str:
        """Waits for the process to end (killing it if it lingers), releases it and says how it ended."""
        if self.process.pid is not None:
            self.process.join(_EXIT_SECONDS)
            if self.process.is_alive():
                self.process.kill()
                self.process.join()
        code = self.process.exitcode
        self.process.close()
        if code is not None and code < 0:
            try:
                return f"killed by {signal.Signals(-code).name}"
            except ValueError:
                return f"killed by signal {-code}"
        return f"with exit code {code}"


class _ProcessPool:
    """Up to `size` workers started by a fork server, each loading the job in `payload` once;
    a worker that dies is replaced while there is work left."""

    def __init__(self, payload: bytes, size: int) -> None:
        import multiprocessing

        # forkserver: workers never inherit the threads (a Dask client, a progress
        # monitor) of the calling process, which a plain fork could deadlock on.
        self._context = multiprocessing.get_context("forkserver" if sys.platform != "win32" else "spawn")
        self._payload, self._size = payload, size
        self._workers: list[_Worker] = []
        self._deaths_starting = 0

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        for worker in self._workers:
            worker.stop()
        while self._workers:
            self._workers[-1].end()
            self._workers.pop()

    def run(self, book: Book, ranges: Ranges[Any], bar: Any) -> None:
        while not ranges.complete:
            while len(self._workers) < self._size and ranges.todo:
                self._workers.append(_Worker(self._context, self._payload))
                self._workers[-1].start()
            for worker in self._workers:
                if worker.ready and worker.span is None and (span := ranges.take()) is not None:
                    worker.send(span, book.part(*span))
            for worker in self._woken():
                self._answer(worker, worker.receive(), ranges, bar)

    def _woken(self) -> list[_Worker]:
        """The workers with a message or an end to read, after at most `_WAKE_SECONDS`."""
        handles: dict[Any, _Worker] = {}
        for worker in self._workers:
            handles[worker.connection] = handles[worker.process.sentinel] = worker
        woken = {id(handles[handle]): handles[handle] for handle in wait(list(handles), _WAKE_SECONDS)}
        return list(woken.values())

    def _answer(self, worker: _Worker, message: tuple[str, Any] | None, ranges: Ranges[Any], bar: Any) -> None:
        if message is None:
            how = worker.end()
            self._workers.remove(worker)
            if not worker.ready:
                self._deaths_starting += 1
                if self._deaths_starting >= _DEATHS_ALONE:
                    raise RuntimeError(f"price_many's worker processes die as they start, the last {how}")
            elif worker.span is not None:
                ranges.died(worker.span, 1, how)
        elif message[0] == _READY:
            worker.ready = True
        elif message[0] == _DONE:
            assert worker.span is not None, "a worker answers the range it was sent"
            ranges.finished(worker.span, message[1])
            bar.update(worker.span[1] - worker.span[0])
            worker.span = None
        elif message[0] == _RAISED:
            if not worker.ready:
                message[1].add_note("while a price_many worker loaded the market, models and expressions")
            raise message[1]


def run_processes(payload: bytes, book: Book, ranges: Ranges[Any], workers: int, bar: Any) -> None:
    """Prices `ranges` on `workers` processes; a dead worker is replaced and its range priced again."""
    with _ProcessPool(payload, min(workers, len(ranges.todo))) as pool:
        pool.run(book, ranges, bar)


# ---------------------------------------------------------------- threads

class _ThreadPool:
    """`size` threads of this process pricing the ranges they take from a queue with `price_chunk`.

    The caller's thread alone reads the answers and keeps the `Ranges`. On
    exit (the book done, a failure raised, Ctrl-C) the threads stop before
    their next contract and are waited for: a contract that one of them is
    pricing finishes first, since a calculation in the engine only stops for
    a signal in the main thread. A second Ctrl-C while waiting leaves them to
    finish on their own.
    """

    def __init__(self, price_chunk: Callable[[Book, threading.Event], list[Any]], book: Book, size: int) -> None:
        self._price_chunk, self._book = price_chunk, book
        self._todo: queue.SimpleQueue[Span | None] = queue.SimpleQueue()
        self._answers: queue.SimpleQueue[tuple[Span, str, Any]] = queue.SimpleQueue()
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._serve, name=f"ravlin-thread-{i}", daemon=True)
                         for i in range(size)]

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        for _ in self._threads:
            self._todo.put(None)
        for thread in self._threads:
            if thread.ident is not None:
                thread.join()

    def _serve(self) -> None:
        while not self._stop.is_set() and (span := self._todo.get()) is not None:
            try:
                self._answers.put((span, _DONE, self._price_chunk(self._book.part(*span), self._stop)))
            except BaseException as error:  # whatever escapes the job is the caller's to raise
                self._answers.put((span, _RAISED, error))
                return

    def run(self, ranges: Ranges[Any], bar: Any) -> None:
        while (span := ranges.take()) is not None:
            self._todo.put(span)
        for thread in self._threads:
            thread.start()
        while not ranges.complete:
            try:
                span, kind, answer = self._answers.get(timeout=_WAKE_SECONDS)
            except queue.Empty:
                continue
            if kind == _RAISED:
                raise answer
            ranges.finished(span, answer)
            bar.update(span[1] - span[0])


def run_threads(price_chunk: Callable[[Book, threading.Event], list[Any]], book: Book, ranges: Ranges[Any],
                workers: int, bar: Any) -> None:
    """Prices `ranges` on `workers` threads of this process with `price_chunk`, which they share; it
    stops before its next contract once the event it is given is set."""
    with _ThreadPool(price_chunk, book, min(workers, len(ranges.todo))) as pool:
        pool.run(ranges, bar)


# ---------------------------------------------------------------- Dask

def run_dask(payload: bytes, book: Book, ranges: Ranges[Any], client: Any, address: str | None,
             workers: int, bar: Any) -> None:
    """Prices `ranges` as tasks of `client`, of a client of the scheduler at `address`, or of an
    embedded cluster of `workers` processes; a range whose task killed its workers is priced again."""
    distributed = _distributed()
    if client is not None and address is not None:
        raise ValueError("give client= or address=, not both")
    with _DaskClient(distributed, client, address, workers) as session:
        _run_tasks(distributed, session, payload, book, ranges, bar)


def _distributed() -> Any:
    try:
        import dask.distributed
    except ImportError as missing:
        raise ImportError("engine='dask' needs dask.distributed: pip install ravlin[dask]") from missing
    return dask.distributed


def _price_with(job: Any, book: Book) -> Any:
    return job.price_chunk(book)


def _run_tasks(distributed: Any, session: Any, payload: bytes, book: Book, ranges: Ranges[Any], bar: Any) -> None:
    from distributed.scheduler import KilledWorker

    # The job travels once, as the result of a task that every range depends
    # on; workers fetch it from each other. (A broadcast scatter was seen to
    # hang while an embedded cluster's workers were starting.)
    shared = session.submit(loads, payload, pure=False)
    submitted, pending, spans = [shared], set(), {}
    watch = _Workerless(session)
    try:
        while not ranges.complete:
            while (span := ranges.take()) is not None:
                future = session.submit(_price_with, shared, book.part(*span), pure=False)
                submitted.append(future)
                pending.add(future)
                spans[future.key] = span
            for future in _done(distributed, pending, watch):
                pending.remove(future)
                span = spans[future.key]
                error = future.exception() if future.status == "error" else None
                if isinstance(error, KilledWorker) and error.task == future.key:
                    ranges.died(span, error.allowed_failures + 1)
                else:
                    ranges.finished(span, future.result())
                    bar.update(span[1] - span[0])
    finally:
        session.cancel(submitted)


def _done(distributed: Any, pending: set[Any], watch: _Workerless) -> list[Any]:
    """The tasks among `pending` that have ended, once some have."""
    while True:
        try:
            return list(distributed.wait(list(pending), timeout=_DASK_WAKE_SECONDS, return_when="FIRST_COMPLETED").done)
        except TimeoutError:
            watch.check()


class _Workerless:
    """Raises once a cluster that had workers during the run has had none for `_WORKERLESS_SECONDS`.

    A nanny whose worker fails to restart leaves its slot empty, and a cluster
    closes for good a worker that stays away too long (15 s by default, which
    a contract that kills its workers brings about on a loaded machine): the
    book would wait forever. A cluster without workers from the start may be
    one that scales up on demand, and is waited for.
    """

    def __init__(self, session: Any) -> None:
        self._session = session
        self._had_workers = bool(session.nthreads())
        self._since: float | None = None

    def check(self) -> None:
        if self._session.nthreads():
            self._had_workers, self._since = True, None
        elif self._had_workers and self._since is None:
            self._since = time.monotonic()
        elif self._since is not None and time.monotonic() - self._since > _WORKERLESS_SECONDS:
            raise RuntimeError(f"price_many's Dask cluster lost all its workers {_WORKERLESS_SECONDS:g} s ago, "
                               "and none came back")


class _DaskClient:
    """The caller's client as it is, or a client (and embedded cluster) of our own, closed on exit."""

    def __init__(self, distributed: Any, client: Any, address: str | None, workers: int) -> None:
        self._distributed, self._client, self._address, self._workers = distributed, client, address, workers
        self._owned: list[Any] = []
        self._settings = contextlib.ExitStack()

    def __enter__(self) -> Any:
        if self._client is not None:
            return self._client
        if self._address is not None:
            client = self._distributed.Client(self._address)
        else:
            self._owned.append(self._embedded_cluster())
            client = self._distributed.Client(self._owned[0])
        self._owned.insert(0, client)
        return client

    def _embedded_cluster(self) -> Any:
        """Single-threaded worker processes on this machine. Everything listens on the loopback
        interface only, the dashboard on a free port (so clusters side by side never contend).

        The scheduler gives each worker one task at a time and fails a task at its worker's first
        death, so a death blames only the task that was running, and the retries are ours. A
        worker that dies is restarted by its nanny however long it stays away (see `_Workerless`).
        The settings hold while the cluster lives.
        """
        import logging

        import dask

        self._settings.enter_context(dask.config.set({
            "distributed.scheduler.allowed-failures": 0,
            "distributed.scheduler.worker-saturation": 1.0,
            "distributed.deploy.lost-worker-timeout": "100000 days",
        }))
        return self._distributed.LocalCluster(n_workers=self._workers, threads_per_worker=1, processes=True,
                                              host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                              silence_logs=logging.ERROR)

    def __exit__(self, *exc: object) -> None:
        with self._settings:
            for owned in self._owned:
                owned.close()

"""A book priced while its workers die, then a book interrupted by Ctrl-C, on one engine.

Run by test_ravlin_portfolio_faults.py as `python book_faults.py ENGINE DIRECTORY`; prints one JSON
line per phase. Its own process is the caller, so what its pools leave behind is what a user's
script would be left with.
"""

import gc
import json
import multiprocessing.resource_tracker as tracker
import os
import signal
import sys
import threading
import time

import psutil

import ravlin

MARKET = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.04, horizon=60)})
KILLER, KILLED_ONCE = 57, 123  # the contract that kills every worker it runs on; the one killed once from outside
REGISTERED = []  # the semaphores and shared memory this process creates, as multiprocessing registers them


def record_registration(name, kind, register=tracker.register):
    REGISTERED.append(name)
    register(name, kind)


tracker.register = record_registration


def kill():
    os._exit(3)


def killed_once():
    """The system's SIGKILL of the worker the first time; a plain 1 afterwards (and in the caller)."""
    mark = os.path.join(sys.argv[2], "killed-once")
    if not os.path.exists(mark):
        open(mark, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return 1.0


def slow():
    open(os.path.join(sys.argv[2], "pricing"), "a").close()
    time.sleep(0.05)
    return 1.0


EXPRESSIONS = {"kill": ravlin.Phrase(kill), "once": ravlin.Phrase(killed_once), "slow": ravlin.Phrase(slow)}


def book(unit_of):
    return [(f"c{i}", [("bond", f"{2026 + i % 5}-01-02", "+", 100.0 + i, unit_of(i))]) for i in range(200)]


def listeners():
    """The listening sockets of this process and its descendants, as (address, port)."""
    found = set()
    me = psutil.Process()
    for process in [me, *me.children(recursive=True)]:
        try:
            found.update((c.laddr.ip, c.laddr.port) for c in process.net_connections("inet")
                         if c.status == psutil.CONN_LISTEN)
        except psutil.Error:  # ended meanwhile
            pass
    return found


def watch_listeners(seen, stop):
    while not stop.wait(0.05):
        seen.update(listeners())


def helper(process):
    """The interpreter's own multiprocessing helpers, started once and kept until it exits."""
    try:
        command = " ".join(process.cmdline())
    except psutil.Error:
        return True
    return "multiprocessing.forkserver" in command or "multiprocessing.resource_tracker" in command


def leftovers():
    gc.collect()
    return {"processes": [p.pid for p in psutil.Process().children(recursive=True) if not helper(p)],
            "listening": sorted(listeners()),
            "shared_memory": [name for name in REGISTERED
                              if os.path.exists("/dev/shm/" + ("sem." if name.startswith("/mp-") else "")
                                                + name.lstrip("/"))]}


def dying_workers(engine):
    units = {KILLER: "kill", KILLED_ONCE: "once"}
    seen, stop = set(), threading.Event()
    before = listeners()
    watcher = threading.Thread(target=watch_listeners, args=(seen, stop))
    watcher.start()
    try:
        result = ravlin.price_many(book(lambda i: units.get(i, "USD")), MARKET, ravlin.Fixed(),
                                   expressions=EXPRESSIONS, engine=engine, workers=2)
    finally:
        stop.set()
        watcher.join()
    survivors = [(cid, rows) for cid, rows in book(lambda i: units.get(i, "USD")) if cid != f"c{KILLER}"]
    serial = ravlin.price_many(survivors, MARKET, ravlin.Fixed(), expressions=EXPRESSIONS)
    return {"ids": result.column("contract_id").to_pylist(),
            "prices": [None if p is None else p.hex() for p in result.column("price").to_pylist()],
            "errors": result.column("error").to_pylist(),
            "serial": dict(zip(serial.column("contract_id").to_pylist(),
                               (p.hex() for p in serial.column("price").to_pylist()))),
            "listening_before": sorted(before), "listening_during": sorted(seen), **leftovers()}


def interrupted(engine):
    """Returns once Ctrl-C (sent by the test when pricing has begun) has stopped the call."""
    try:
        ravlin.price_many(book(lambda i: "slow"), MARKET, ravlin.Fixed(), expressions=EXPRESSIONS,
                          engine=engine, workers=2)
    except KeyboardInterrupt:
        return {"interrupted": True, "at": time.time(), **leftovers()}
    return {"interrupted": False}


if __name__ == "__main__":
    for phase in (dying_workers, interrupted):
        print(json.dumps(phase(sys.argv[1])), flush=True)

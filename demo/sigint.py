"""Ctrl-C sent during a call, as the tests and the benchmarks send it."""

import os
import subprocess
import sys
import time


def interrupted_after(delay, call):
    """Runs call() while another process sends this one SIGINT after `delay`
    seconds (a thread of this process could not: a pricing call holds the
    interpreter lock); the exception that call() ended with (None if it
    returned) and the seconds from the signal to that end."""
    timer = subprocess.Popen(
        [sys.executable, "-c",
         f"import os, signal, time; time.sleep({delay}); print(time.time(), flush=True); "
         f"os.kill({os.getpid()}, signal.SIGINT)"], stdout=subprocess.PIPE, text=True)
    raised = None
    try:
        call()
    except BaseException as error:  # KeyboardInterrupt is the point
        raised = error
    ended = time.time()
    sent = float(timer.stdout.readline())
    timer.wait()
    return raised, ended - sent

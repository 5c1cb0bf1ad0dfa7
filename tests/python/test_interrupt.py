"""Ctrl-C stops a pricing call, and a KeyboardInterrupt raised by the caller's
own code reaches the caller as itself."""

import gc
import sys
import time

import numpy as np
import pytest
from sigint import interrupted_after

import _ravlin
from conftest import T0, Recorder, timetable
from test_fixed import years
from test_limits import grid_data
from test_mc import Quiet, mc_data


@pytest.fixture(autouse=True)
def no_gc_callbacks():
    """Python raises a KeyboardInterrupt that arrives during a gc callback in the callback,
    where it is swallowed as unraisable: keep other libraries' callbacks (hypothesis installs
    one) out of these calls, as they are out of a plain script's."""
    saved = gc.callbacks[:]
    gc.callbacks.clear()
    yield
    gc.callbacks[:] = saved


class Slow(Recorder):
    """A path object that takes a millisecond for every value."""

    def advance(self, t):
        return None

    def get_value(self, name):
        time.sleep(0.001)
        return np.ones(4)


LONG_CALLS = {
    # 5 years in steps of a tenth of a second: days of stepping if not stopped
    "hull-white": lambda state: _ravlin.fd_hullwhite_price(
        timetable([("leg", years(5.0), "+", 1.0, "USD")]), state, grid_data(50, 3e-9), {}),
    "black-scholes": lambda state: _ravlin.fd_blackscholes_price(
        timetable([("leg", years(5.0), "+", 1.0, "SPX")]), state, grid_data(50, 3e-9), {}),
    # without the interpreter lock (RELEASE_GIL, ours), taken back to poll
    "black-scholes released": lambda state: _ravlin.fd_blackscholes_price(
        timetable([("leg", years(5.0), "+", 1.0, "SPX")]), state,
        grid_data(50, 3e-9, RELEASE_GIL=1), {}),
    "monte-carlo": lambda state: _ravlin.mc_price(
        timetable([("leg", T0 + k, "+", 1.0, "EUR") for k in range(1, 100_001)]), state,
        mc_data(paths=4), {}),
}


@pytest.mark.parametrize("name", LONG_CALLS)
def test_ctrl_c_stops_a_long_call_and_releases_everything(name):
    state = Slow()
    before = sys.getrefcount(state)
    raised, seconds = interrupted_after(0.5, lambda: LONG_CALLS[name](state))
    assert isinstance(raised, KeyboardInterrupt)
    assert seconds < 10  # unstopped, each call runs for a minute or more
    del raised  # its traceback holds the call's frames, in a cycle
    gc.collect()
    assert sys.getrefcount(state) == before


def raise_interrupt(*_):
    raise KeyboardInterrupt("from the caller's code")


class Interrupting(Quiet):
    def __init__(self, method):
        super().__init__()
        self.method = method

    def advance(self, t):
        return raise_interrupt() if self.method == "advance" else None

    def get_value(self, name):
        if self.method == "get_value":
            raise_interrupt()
        if self.method == "__float__":
            return type("Number", (), {"__float__": raise_interrupt})()
        return None

    def set_stat(self, name, value):
        if self.method == "set_stat":
            raise_interrupt()


PHRASE = {"p": {"type": "phrase", "fn": raise_interrupt, "inp": []}}
SNAPPER = {"sn": {"type": "snapper", "fn": raise_interrupt, "inp": [], "out": ["x"]}}


@pytest.mark.parametrize("function, method, expressions, unit, flags", [
    (_ravlin.mc_price, "advance", {}, "USD", 0),
    (_ravlin.mc_price, "get_value", {}, "EUR", 0),
    (_ravlin.mc_price, "__float__", {}, "EUR", 0),  # while its result is converted
    (_ravlin.mc_price, "set_stat", {}, "USD", 1),  # whose other failures are ignored
    (_ravlin.mc_price, None, PHRASE, "p", 0),
    (_ravlin.fixed_price, None, PHRASE, "p", 0),
    (_ravlin.fixed_price, None, SNAPPER, "sn", 0),
    (_ravlin.fixed_price, "set_stat", {}, "USD", 1),
])
def test_keyboard_interrupt_from_the_callers_code_is_raised_as_itself(function, method,
                                                                      expressions, unit, flags):
    data = mc_data(flags=flags)
    data["FIXED"] = {"FLAGS": flags}
    with pytest.raises(KeyboardInterrupt, match="from the caller's code"):
        function(timetable([("leg", years(1.0), "+", 1.0, unit)]), Interrupting(method), data,
                 expressions)

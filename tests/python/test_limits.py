"""Inputs at the edges of what a call can do: deep phrase chains, extreme
times, grids and path counts beyond the machine, and generated bad input."""

import threading

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

import _ravlin
from conftest import T0, timetable
from test_fixed import base_data, years
from test_mc import Quiet, mc_data

ME = "Error during model evaluation, caused by\n"
FUNCTIONS = [_ravlin.fixed_price, _ravlin.mc_price, _ravlin.fd_blackscholes_price,
             _ravlin.fd_hullwhite_price]


def grid_data(n_x=20, timestep=0.01, **settings):
    data = mc_data()
    data["ASSETS"]["SPX"] = ("FORWARDS", np.array([[0.0, 100.0], [30.0, 100.0]]))
    data.update(FD={"N_X": n_x, "MAX_X": 1.0, "TIMESTEP": timestep, **settings},
                BS={"VOL": 0.2, "ASSET": "SPX"}, HW={"MEANREV": 0.1, "VOL": 0.01})
    return data


def chain(length):
    """Phrase p0 adds one to p1, ... down to p{length}, which is 1."""
    expressions = {f"p{i}": {"type": "phrase", "fn": lambda xs: [xs[0] + 1.0], "inp": [f"p{i + 1}"]}
                   for i in range(length)}
    expressions[f"p{length}"] = {"type": "phrase", "fn": lambda xs: [1.0], "inp": []}
    return expressions


def outcome_of(call):
    try:
        return call()
    except Exception as error:
        return error


def on_stack(call, stack_bytes):
    """The outcome of call() on this thread, or on a new one with a stack of `stack_bytes`."""
    if stack_bytes is None:
        return outcome_of(call)
    outcome = []
    previous = threading.stack_size(stack_bytes)
    try:
        worker = threading.Thread(target=lambda: outcome.append(outcome_of(call)))
        worker.start()
    finally:
        threading.stack_size(previous)
    worker.join()
    return outcome[0]


@pytest.mark.parametrize("stack_bytes", [None, 1 << 20])
def test_a_deep_chain_of_phrases_is_evaluated_on_any_stack(stack_bytes):
    rows = [("leg", T0, "+", 1.0, "p0")]
    cyclic = {**chain(3000), "p3000": {"type": "phrase", "fn": lambda xs: [1.0], "inp": ["p0"]}}
    price = lambda expressions: on_stack(
        lambda: _ravlin.fixed_price(timetable(rows), None, base_data(), expressions), stack_bytes)
    assert price(chain(10_000)) == 10_001.0
    error = price(cyclic)
    assert isinstance(error, RuntimeError)
    assert str(error).endswith("Phrase 'p0' depends on its own value")


@pytest.mark.parametrize("function", [_ravlin.fixed_price, _ravlin.mc_price])
@pytest.mark.parametrize("pricing_ts, row_time", [(-2**63, 0), (-2**63, 2**63 - 1), (0, 2**63 - 1)])
def test_year_fractions_beyond_int64_differences_reach_the_curve(function, pricing_ts, row_time):
    data = mc_data()
    data["PRICING_TS"] = pricing_ts
    years_apart = (row_time - pricing_ts) / 31_536_000_000.0
    with pytest.raises(RuntimeError) as error:
        function(timetable([("leg", row_time, "+", 1.0, "USD")]), Quiet(), data, {})
    assert f"Interpolation out of range at time {years_apart!r}." in str(error.value)


@pytest.mark.parametrize("function", [_ravlin.fd_blackscholes_price, _ravlin.fd_hullwhite_price])
@pytest.mark.parametrize("n_x, raised, text", [
    (2**59, RuntimeError, "N_X must be at most 144115188075855871, got 576460752303423488"),
    (2**64 - 1, RuntimeError, "N_X must be at most 144115188075855871, got 18446744073709551615"),
    (2**57 - 1, MemoryError, "Cannot allocate 288230376151711743 x 168 bytes for value arrays"),
    (2**40, MemoryError, "Cannot allocate 2199023255553 x 168 bytes for value arrays"),
])
def test_grids_beyond_the_machine_are_refused_before_allocating(function, n_x, raised, text):
    with pytest.raises(raised) as error:
        function(timetable([("leg", years(1.0), "+", 1.0, "USD")]), None, grid_data(n_x=n_x), {})
    assert text in str(error.value)


HUGE = np.broadcast_to(1.0, 2**40)  # 8 TB of values that take no memory


@pytest.mark.parametrize("paths, value, expressions, unit", [
    (2**62, 1.0, {}, "EUR"),  # the ledger's paths
    (3 * 10**12, None, {}, "EUR"),
    (4, HUGE, {}, "EUR"),  # an array handed back by get_value
    (4, None, {"p": {"type": "phrase", "fn": lambda xs: [HUGE], "inp": []}}, "p"),
])
def test_path_arrays_beyond_the_machine_raise_memory_error(paths, value, expressions, unit):
    rows = [("leg", years(1.0), "+", 1.0, unit)]
    with pytest.raises(MemoryError, match="bytes for value arrays: they may take"):
        _ravlin.mc_price(timetable(rows), Quiet(value=value), mc_data(paths=paths), expressions)
    # Nothing of the refused call stays counted against the limit.
    assert _ravlin.mc_price(timetable([("leg", years(1.0), "+", 1.0, "EUR")]), Quiet(),
                            mc_data(paths=4), {}) > 0


# ---------------------------------------------------------------------------
# Generated bad input: every call ends in a price or a Python exception.

names = st.sampled_from(["USD", "EUR", "SPX", "leg", "p", "s", "snap", "", "\x00"])
times = st.one_of(st.none(), st.sampled_from([T0, years(0.5), years(2.0), years(40.0), 0,
                                              -2**63, 2**63 - 1]))
rows = st.lists(st.tuples(names, times, st.sampled_from(["+", ">", "<", "s", "x"]),
                          st.floats(allow_nan=True, allow_infinity=True), st.one_of(st.none(), names)),
                max_size=6)
results = st.one_of(
    st.none(), st.floats(), st.integers(min_value=-2**70, max_value=2**70), st.text(max_size=3),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
    st.lists(st.one_of(st.floats(), st.text(max_size=1)), max_size=5),
    st.sampled_from([np.ones(4), np.ones(3, np.float32), np.arange(4), np.array(["a"]),
                     np.ones((2, 2)), np.array([1.0], ">f8"), np.array([], float), HUGE,
                     np.array([None], object), (1.0,), b"x"]))
# Settings that are wrong, or right but at the edges; none makes a grid of
# more than a few nodes or steps that the machine could hold.
settings_values = st.sampled_from([None, -1, 0, 1, True, 2**32, 2**63, 2**64, 2**65, -0.0, 0.5,
                                   1e-12, float("nan"), float("inf"), "x", [1]])


COLUMNS = ["track", "time", "op", "quantity", "unit"]
# A column of another type (or left out) in place of one of the five.
manglings = st.one_of(st.none(), st.tuples(st.sampled_from(COLUMNS), st.sampled_from(
    [None, pa.int64(), pa.float64(), pa.string(), pa.timestamp("s"),
     pa.dictionary(pa.int32(), pa.string()), pa.dictionary(pa.int64(), pa.int64())])))


def mangled(batch, mangling):
    if mangling is None:
        return batch
    name, replacement = mangling
    columns = {column: batch.column(column) for column in COLUMNS}
    if replacement is None:
        del columns[name]
    elif pa.types.is_dictionary(replacement):
        indices = pa.array([0] * batch.num_rows, replacement.index_type)
        values = pa.array(["x"] if pa.types.is_string(replacement.value_type) else [1],
                          replacement.value_type)
        columns[name] = pa.DictionaryArray.from_arrays(indices, values)
    else:
        columns[name] = pa.nulls(batch.num_rows, replacement)
    return pa.RecordBatch.from_arrays(list(columns.values()), names=list(columns))


class Generated:
    def __init__(self, advance, value):
        self.advance_result, self.value_result = advance, value

    def advance(self, t):
        return self.advance_result

    def get_value(self, name):
        return self.value_result

    def set_stat(self, name, value):
        pass


@seed(20240101)
@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(function=st.sampled_from(FUNCTIONS), rows=rows, mangling=manglings, advance=results,
       value=results,
       phrase_result=results, overrides=st.dictionaries(
           st.sampled_from(["PATHS", "SEED", "FLAGS", "N_X", "MAX_X", "TIMESTEP", "VOL", "MEANREV",
                            "PRICING_TS"]), settings_values, max_size=3))
def test_generated_bad_input_ends_in_a_price_or_an_exception(function, rows, mangling, advance,
                                                             value, phrase_result, overrides):
    data = grid_data(n_x=4, timestep=0.25)
    for key, setting in overrides.items():
        for section in (data, data["MC"], data["FD"], data["BS"], data["HW"]):
            if key in section:
                section[key] = setting
    expressions = {
        "p": {"type": "phrase", "fn": lambda xs: [phrase_result], "inp": ["EUR"]},
        "s": {"type": "phrase", "fn": lambda xs: phrase_result, "inp": []},
        "sn": {"type": "snapper", "fn": lambda xs: [phrase_result], "inp": ["p"], "out": ["snap"]},
    }
    try:
        result = function(mangled(timetable(rows), mangling), Generated(advance, value), data,
                          expressions)
    except (RuntimeError, TypeError, MemoryError):
        return
    assert isinstance(result, float)

"""The module, its functions, argument binding and conversion of arguments."""

import inspect
import subprocess
import sys

import pyarrow as pa
import pytest

import _ravlin
from conftest import T0, dataset, timetable

FUNCTIONS = ["mc_price", "fixed_price", "fd_hullwhite_price", "fd_blackscholes_price"]
PARAMETERS = ["events_rb", "py_state", "dataset", "expressions"]
BOND = [("leg", T0, "+", 100.0, "USD")]


def test_module_definition():
    assert _ravlin.__name__ == "_ravlin"
    assert _ravlin.__doc__ == "basic"
    assert [n for n in _ravlin.__dict__ if n in FUNCTIONS] == FUNCTIONS


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_carries_text_signature(name):
    function = getattr(_ravlin, name)
    assert list(inspect.signature(function).parameters) == PARAMETERS
    sentence = function.__doc__.splitlines()[0]
    method = "finite difference grid" if name.startswith("fd_") else "monte carlo simulation"
    assert sentence == (
        "Takes the timetable as a pyarrow record batch and calculates price using " + method + "."
    )
    assert function.__text_signature__ == "(events_rb, py_state, dataset, expressions)"


def test_import_needs_no_pyarrow_first():
    code = "import sys, _ravlin; assert 'pyarrow' not in sys.modules; print(_ravlin.__doc__)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "basic"


def test_keywords_in_any_order():
    kwargs = dict(expressions={}, dataset=dataset(), py_state=None, events_rb=timetable(BOND))
    assert _ravlin.fixed_price(**kwargs) == pytest.approx(100.0)
    assert _ravlin.fixed_price(timetable(BOND), None, expressions={}, dataset=dataset()) == (
        pytest.approx(100.0)
    )


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3), {}, "missing 1 required positional argument: 'expressions'"),
        ((), {}, "missing 4 required positional arguments"),
        ((1, 2, 3, 4, 5), {}, "takes 4 positional arguments but 5 were given"),
        ((1, 2, 3), {"events_rb": 0}, "got multiple values for argument 'events_rb'"),
        ((1, 2, 3, 4), {"extra": 0}, "got an unexpected keyword argument 'extra'"),
    ],
)
def test_binding_errors_come_before_anything_is_read(name, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        getattr(_ravlin, name)(*args, **kwargs)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_events_rb_must_be_a_record_batch(name):
    with pytest.raises(TypeError) as error:
        getattr(_ravlin, name)([1, 2], None, {}, {})
    assert str(error.value) == (
        "argument 'events_rb': Expected instance of pyarrow.lib.RecordBatch, got builtins.list"
    )


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("argument", ["dataset", "expressions"])
def test_dicts_are_checked_before_the_timetable(name, argument):
    args = {"events_rb": pa.record_batch({"x": [1]}), "py_state": None, "dataset": {},
            "expressions": {}}
    args[argument] = [("BASE", "USD")]
    with pytest.raises(TypeError) as error:
        getattr(_ravlin, name)(**args)
    assert str(error.value) == f"argument '{argument}': 'list' object cannot be converted to 'PyDict'"


def test_dict_subclass_counts_as_dict():
    class Settings(dict):
        pass

    assert _ravlin.fixed_price(timetable(BOND), None, Settings(dataset()), Settings()) == (
        pytest.approx(100.0)
    )


class CapsuleOnly:
    """Exposes a record batch only through the Arrow PyCapsule protocol."""

    def __init__(self, batch):
        self.batch = batch

    def __arrow_c_array__(self, requested_schema=None):
        return self.batch.__arrow_c_array__(requested_schema)


def test_capsule_protocol_and_sliced_batches():
    rows = [("leg", T0, "+", q, "USD") for q in (1.0, 10.0, 100.0, 1000.0)]
    batch = timetable(rows)
    assert _ravlin.fixed_price(CapsuleOnly(batch), None, dataset(), {}) == pytest.approx(1111.0)
    # The slice's columns carry offsets: only rows 1 and 2 are priced.
    assert _ravlin.fixed_price(batch.slice(1, 2), None, dataset(), {}) == pytest.approx(110.0)


class BadCapsules:
    def __init__(self, result):
        self.result = result

    def __arrow_c_array__(self, requested_schema=None):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


def test_capsule_protocol_faults():
    with pytest.raises(TypeError, match="argument 'events_rb': __arrow_c_array__ must return"):
        _ravlin.fixed_price(BadCapsules((1, 2)), None, {}, {})
    with pytest.raises(KeyError, match="boom"):
        _ravlin.fixed_price(BadCapsules(KeyError("boom")), None, {}, {})


def test_struct_array_with_top_level_nulls_is_refused():
    struct = pa.array([{"a": 1}, None], pa.struct([("a", pa.int64())]))
    with pytest.raises((TypeError, ValueError), match="argument 'events_rb'"):
        _ravlin.fixed_price(CapsuleOnly(struct), None, {}, {})


def test_a_timetable_fault_hides_a_dataset_fault():
    batch = pa.record_batch({"track": [1]})
    with pytest.raises(RuntimeError) as error:
        _ravlin.fixed_price(batch, None, {}, {})
    assert str(error.value) == "Error while parsing Timetable, caused by \nColumn 'time' not found"


def test_an_internal_fault_becomes_a_python_exception():
    class Declines:
        def advance(self, t):
            return None

        def get_value(self, name):
            return None

    # Present values for 2**61 paths cannot be allocated: the guard turns the
    # fault into MemoryError instead of letting it cross into the interpreter.
    data = dataset(MC={"PATHS": 2**61, "SEED": 0})
    with pytest.raises(MemoryError):
        _ravlin.mc_price(timetable(BOND), Declines(), data, {})
    assert _ravlin.fixed_price(timetable(BOND), None, dataset(), {}) == pytest.approx(100.0)

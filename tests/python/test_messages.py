"""Exact texts of the errors of building timetables and reading datasets."""

import numpy as np
import pyarrow as pa
import pytest

import _ravlin
from conftest import T0, dataset, dict_column, timetable

TT = "Error while parsing Timetable, caused by \n"
DS = "Error while parsing Dataset, caused by\n"
BOND = [("leg", T0, "+", 100.0, "USD")]
GOOD = timetable(BOND)


def columns(**overrides):
    """The good timetable's columns, some replaced (None drops a column)."""
    cols = {name: GOOD.column(name) for name in GOOD.schema.names}
    cols.update(overrides)
    cols = {k: v for k, v in cols.items() if v is not None}
    return pa.RecordBatch.from_arrays(list(cols.values()), names=list(cols.keys()))


def int_dict(values, index_type=pa.int64()):
    return pa.DictionaryArray.from_arrays(pa.array([0], index_type), pa.array(values))


def error_of(batch, data=None, expressions=None, function=_ravlin.fixed_price):
    with pytest.raises(RuntimeError) as error:
        function(batch, None, dataset() if data is None else data, expressions or {})
    return str(error.value)


@pytest.mark.parametrize(
    "batch, text",
    [
        (columns(time=None, unit=None), "Column 'time' not found"),
        (columns(quantity=None), "Column 'quantity' not found"),
        (columns(time=pa.array([T0], pa.int64())), "Couldn't convert column 'time', likely incorrect type"),
        (columns(time=pa.array([T0], pa.timestamp("us"))), "Couldn't convert column 'time', likely incorrect type"),
        (columns(track=pa.array(["leg"])), "Couldn't convert column 'track', likely incorrect type"),
        (columns(track=int_dict(["leg"], pa.int32())), "Couldn't convert column 'track', likely incorrect type"),
        (columns(op=int_dict(["+"], pa.uint64())), "Couldn't convert column 'op', likely incorrect type"),
        (columns(quantity=pa.array([1.0], pa.float32())), "Couldn't convert column 'quantity', likely incorrect type"),
        (columns(op=int_dict([1], pa.int64())), "Error in ops column, expected strings"),
        (columns(op=int_dict(pa.array(["+"], pa.large_string()))), "Error in ops column, expected strings"),
        (columns(unit=int_dict([7])), "Error in units column, expected strings"),
        (columns(track=int_dict([7])), "Error in tracks column, expected strings"),
        (columns(track=dict_column(["leg"], ["leg", None])), "Missing Track Value"),
        (columns(op=dict_column(["+"], ["+", "x"])), "Invalid value 'x' for key 'Op'"),
        (columns(op=dict_column(["+"], ["+", ""])), "Invalid value '' for key 'Op'"),
        (columns(op=dict_column(["+"], ["+", "++"])), "Invalid value '++' for key 'Op'"),
        (columns(op=dict_column(["+"], ["+", "S"])), "Invalid value 'S' for key 'Op'"),
        (
            columns(unit=pa.DictionaryArray.from_arrays(pa.array([3], pa.int64()), pa.array(["USD"]), safe=False)),
            "Dictionary index out of range in column 'unit'",
        ),
        (
            columns(track=pa.DictionaryArray.from_arrays(pa.array([-1], pa.int64()), pa.array(["leg"]), safe=False)),
            "Dictionary index out of range in column 'track'",
        ),
    ],
)
def test_timetable_faults(batch, text):
    assert error_of(batch) == TT + text


def test_vocabulary_allows_the_four_codes_and_null():
    batch = columns(op=dict_column(["+"], ["+", ">", "<", "s", None]), extra=pa.array(["note"]))
    assert _ravlin.fixed_price(batch, None, dataset(), {}) == pytest.approx(100.0)


def phrase(**entry):
    return {"type": "phrase", "fn": lambda xs: xs, "inp": ["USD"], **entry}


@pytest.mark.parametrize(
    "expressions, text",
    [
        ({"cpn": {"type": "phrse"}}, "Error while parsing expression 'cpn', caused by \nInvalid value 'phrse' for key 'type'"),
        ({"cpn": {"type": "Phrase"}}, "Error while parsing expression 'cpn', caused by \nInvalid value 'Phrase' for key 'type'"),
        ({"cpn": {"type": "batch"}}, "Error while parsing expression 'cpn', caused by \nBatch is not supported in this package"),
        ({"cpn": {"type": "phrase", "inp": ["S"]}}, "Error while parsing expression 'cpn', caused by \nPy Dictionary is missing key 'fn'"),
        ({"cpn": {"inp": ["S"]}}, "Error while parsing expression 'cpn', caused by \nPy Dictionary is missing key 'type'"),
        ({"cpn": {"type": 3}}, "Error while parsing expression 'cpn', caused by \nError in value of type, likely incorrect type. caused by \nTypeError: 'int' object cannot be converted to 'PyString'"),
        ({"cpn": phrase(inp="S")}, "Error while parsing expression 'cpn', caused by \nError in value of inp, likely incorrect type. caused by \nTypeError: Can't extract `str` to `Vec`"),
        ({"cpn": phrase(inp=5)}, "Error while parsing expression 'cpn', caused by \nError in value of inp, likely incorrect type. caused by \nTypeError: 'int' object cannot be converted to 'Sequence'"),
        ({"cpn": phrase(inp=["a", 1])}, "Error while parsing expression 'cpn', caused by \nError in value of inp, likely incorrect type. caused by \nTypeError: 'int' object cannot be converted to 'PyString'"),
        ({"cpn": {**phrase(), "type": "snapper"}}, "Error while parsing expression 'cpn', caused by \nPy Dictionary is missing key 'out'"),
        ({"cpn": ["phrase"]}, "Error in value of n/a, likely incorrect type. caused by \n'list' object cannot be converted to 'PyDict'"),
        ({7: phrase()}, "TypeError: 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_expression_faults(expressions, text):
    assert error_of(GOOD, expressions=expressions) == TT + text


def test_expression_fault_hides_op_fault():
    batch = columns(op=dict_column(["+"], ["+", "x"]))
    text = error_of(batch, expressions={"e": {"type": "unknown"}})
    assert text == TT + "Error while parsing expression 'e', caused by \nInvalid value 'unknown' for key 'type'"


def test_a_non_callable_fn_is_accepted_until_evaluated():
    expressions = {"cpn": {"type": "phrase", "fn": 42, "inp": []}}
    assert _ravlin.fixed_price(GOOD, None, dataset(), expressions) == pytest.approx(100.0)


CURVE = np.array([[1.0, 0.05], [2.0, 0.05]])


def with_assets(**assets):
    return dataset(ASSETS={"USD": ("ZERO_RATES", CURVE), **assets})


@pytest.mark.parametrize(
    "data, text",
    [
        ({"ASSETS": {}, "PRICING_TS": T0}, "Py Dictionary is missing key 'BASE'"),
        ({"BASE": 1, "ASSETS": {}, "PRICING_TS": T0}, "Error in value of BASE, likely incorrect type. caused by \nTypeError: 'int' object cannot be converted to 'PyString'"),
        ({"BASE": "USD", "PRICING_TS": T0}, "Py Dictionary is missing key 'ASSETS'"),
        ({"BASE": "USD", "ASSETS": [], "PRICING_TS": T0}, "Error in value of ASSETS, likely incorrect type. caused by \n'list' object cannot be converted to 'PyDict'"),
        (with_assets(EUR=["FORWARDS", CURVE]), "Error in value of n/a, likely incorrect type. caused by \n'list' object cannot be converted to 'PyTuple'"),
        (with_assets(EUR=("FORWARDS", CURVE.astype(np.float32))), "TypeError: type mismatch:\n from=float32, to=float64"),
        (with_assets(EUR=("FORWARDS", CURVE[:, 0].copy())), "TypeError: dimensionality mismatch:\n from=1, to=2"),
        (with_assets(EUR=("FORWARDS", CURVE.tolist())), "TypeError: 'list' object cannot be converted to 'PyArray<T, D>'"),
        (with_assets(EUR=("FORWARDS",)), "IndexError: tuple index out of range"),
        (with_assets(EUR=(1, CURVE)), "TypeError: 'int' object cannot be converted to 'PyString'"),
        (with_assets(EUR=("SPOT", CURVE)), "Unknown asset type SPOT"),
        (with_assets(EUR=("FORWARDS", np.zeros((0, 2)))), "Array of asset 'EUR' must have at least one row and two columns, got shape (0, 2)"),
        (with_assets(EUR=("FORWARDS", np.ones((3, 1)))), "Array of asset 'EUR' must have at least one row and two columns, got shape (3, 1)"),
        (with_assets(EUR=("FORWARDS", np.array([[1.0, 100.0], [2.0, 0.0]]))), "Asset 'EUR' has a forward of 0 at time 2; forwards must be positive"),
        (with_assets(EUR=("FORWARDS", np.array([[1.0, 100.0], [2.0, np.nan]]))), "Asset 'EUR' has a forward of NaN at time 2; forwards must be positive"),
        (with_assets(EUR=("FORWARDS", np.array([[1.0, 100.0], [1.0, 101.0]]))), "Error while parsing Asset, caused by \nBuilderError Values in the x axis need to be strictly monotonic rising"),
        (with_assets(EUR=("FORWARDS", np.array([[np.nan, 100.0], [1.0, 101.0]]))), "Error while parsing Asset, caused by \nBuilderError Values in the x axis need to be strictly monotonic rising"),
        ({"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", CURVE)}}, "Py Dictionary is missing key 'PRICING_TS'"),
        (dataset(PRICING_TS=1.5), "Error in value of PRICING_TS, likely incorrect type. caused by \nTypeError: 'float' object cannot be interpreted as an integer"),
        (dataset(PRICING_TS=2**63), "Error in value of PRICING_TS, likely incorrect type. caused by \nOverflowError: int too big to convert"),
        (dataset(FIXED={"FLAGS": 16}), "Invalid bits set in FLAG"),
        (dataset(FIXED={"FLAGS": -1}), "Error in value of FLAGS, likely incorrect type. caused by \nOverflowError: can't convert negative int to unsigned"),
        (dataset(FIXED={"FLAGS": 1.0}), "Error in value of FLAGS, likely incorrect type. caused by \nTypeError: 'float' object cannot be interpreted as an integer"),
        (dataset(FIXED={"FLAGS": None}), "Error in value of FLAGS, likely incorrect type. caused by \nTypeError: 'NoneType' object cannot be interpreted as an integer"),
        (dataset(FIXED={"FLAGS": 2**32}), "Error in value of FLAGS, likely incorrect type. caused by \nOverflowError: out of range integral type conversion attempted"),
    ],
)
def test_fixed_dataset_faults(data, text):
    assert error_of(GOOD, data) == DS + text


@pytest.mark.parametrize("fixed", [None, 5, {"FLAGS": 15}, {"FLAGS": True}, {}])
def test_fixed_section_is_optional(fixed):
    data = dataset() if fixed is None else dataset(FIXED=fixed)
    assert _ravlin.fixed_price(GOOD, None, data, {}) == pytest.approx(100.0)


MC = {"PATHS": 10, "SEED": 1}
FD = {"N_X": 10, "MAX_X": 1.0, "TIMESTEP": 0.01}


@pytest.mark.parametrize(
    "function, data, text",
    [
        (_ravlin.mc_price, dataset(), "Py Dictionary is missing key 'MC'"),
        (_ravlin.mc_price, dataset(MC=[]), "Error in value of MC, likely incorrect type. caused by \n'list' object cannot be converted to 'PyDict'"),
        (_ravlin.mc_price, dataset(MC={"SEED": 1}), "Py Dictionary is missing key 'PATHS'"),
        (_ravlin.mc_price, dataset(MC={"PATHS": 1000.0, "SEED": 1}), "Error in value of PATHS, likely incorrect type. caused by \nTypeError: 'float' object cannot be interpreted as an integer"),
        (_ravlin.mc_price, dataset(MC={"PATHS": -5, "SEED": 1}), "Error in value of PATHS, likely incorrect type. caused by \nOverflowError: can't convert negative int to unsigned"),
        (_ravlin.mc_price, dataset(MC={"PATHS": 10}), "Py Dictionary is missing key 'SEED'"),
        (_ravlin.mc_price, dataset(MC={**MC, "FLAGS": 99}), "Invalid bits set in FLAG"),
        (_ravlin.mc_price, {**dataset(MC=MC), "BASE": None}, "Error in value of BASE, likely incorrect type. caused by \nTypeError: 'NoneType' object cannot be converted to 'PyString'"),
        (_ravlin.fd_blackscholes_price, dataset(), "Py Dictionary is missing key 'FD'"),
        (_ravlin.fd_blackscholes_price, dataset(FD={**FD, "N_X": 2.5}), "Error in value of N_X, likely incorrect type. caused by \nTypeError: 'float' object cannot be interpreted as an integer"),
        (_ravlin.fd_blackscholes_price, dataset(FD={**FD, "MAX_X": "1"}), "Error in value of MAX_X, likely incorrect type. caused by \nTypeError: must be real number, not str"),
        (_ravlin.fd_blackscholes_price, dataset(FD={**FD, "TIMESTEP": None}), "Error in value of TIMESTEP, likely incorrect type. caused by \nTypeError: must be real number, not NoneType"),
        (_ravlin.fd_blackscholes_price, dataset(FD=FD), "Py Dictionary is missing key 'BS'"),
        (_ravlin.fd_blackscholes_price, dataset(FD=FD, BS={"ASSET": "EUR"}), "Py Dictionary is missing key 'VOL'"),
        (_ravlin.fd_blackscholes_price, dataset(FD=FD, BS={"VOL": 1}), "Py Dictionary is missing key 'ASSET'"),
        (_ravlin.fd_hullwhite_price, dataset(FD=FD), "Py Dictionary is missing key 'HW'"),
        (_ravlin.fd_hullwhite_price, dataset(FD=FD, HW={"VOL": 0.01}), "Py Dictionary is missing key 'MEANREV'"),
        (_ravlin.fd_hullwhite_price, dataset(FD=FD, HW={"MEANREV": 0.1}), "Py Dictionary is missing key 'VOL'"),
        (_ravlin.fd_hullwhite_price, {**dataset(FD=FD, HW={"MEANREV": 0.1, "VOL": 0.01}), "PRICING_TS": "x"}, "Error in value of PRICING_TS, likely incorrect type. caused by \nTypeError: 'str' object cannot be interpreted as an integer"),
    ],
)
def test_model_settings_faults(function, data, text):
    assert error_of(GOOD, data, function=function) == DS + text


class Explodes:
    def __eq__(self, other):
        raise ValueError("no comparison")

    def __hash__(self):
        return hash("BASE")


def test_a_lookup_that_raises_is_a_python_error():
    data = {Explodes(): 1, "ASSETS": {}, "PRICING_TS": T0}
    assert error_of(GOOD, data) == DS + "ValueError: no comparison"


def test_exception_whose_str_fails():
    class Broken(Exception):
        def __str__(self):
            raise RuntimeError("nope")

    def fn(xs):
        raise Broken()

    batch = timetable([("leg", T0, "+", 1.0, "p")])
    text = error_of(batch, expressions={"p": {"type": "phrase", "fn": fn, "inp": []}})
    assert text.endswith("Error in Phrase Evaluation, caused by \nBroken: <exception str() failed>")


@pytest.mark.parametrize("null_at, first, rows, missing", [
    (2, 3, 140, False),    # a null before the slice, in its first byte of bits
    (100, 3, 90, False),   # and one after it
    (70, 3, 140, True),    # inside, where whole words of bits are read
    (141, 3, 139, True),   # the slice's last row
    (5, 5, 1, True),       # a slice of one null row
])
def test_null_track_keys_are_found_wherever_the_slice_starts(null_at, first, rows, missing):
    n = 200
    track = dict_column([None if i == null_at else "leg" for i in range(n)])
    batch = pa.RecordBatch.from_arrays(
        [track, pa.array([T0] * n, pa.timestamp("ms")), dict_column(["+"] * n),
         pa.array([1.0] * n), dict_column(["USD"] * n)],
        names=["track", "time", "op", "quantity", "unit"]).slice(first, rows)
    if missing:
        assert error_of(batch).endswith(f"No track specified at event#{null_at - first}")
    else:
        assert _ravlin.fixed_price(batch, None, dataset(), {}) == pytest.approx(rows)

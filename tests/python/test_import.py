"""Timetables from any Arrow producer: slices, malformed buffers, faulty producers."""

import numpy as np
import pyarrow as pa
import pytest

import _ravlin
from conftest import T0, YEAR_MS, dataset, timetable

FUNCTIONS = [_ravlin.fixed_price, _ravlin.mc_price, _ravlin.fd_blackscholes_price,
             _ravlin.fd_hullwhite_price]


class Capsules:
    """Offers an Arrow array only through the PyCapsule protocol."""

    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__(requested_schema)


def utf8(data, offsets):
    """A string array over raw buffers, offsets unchecked."""
    return pa.Array.from_buffers(pa.string(), len(offsets) - 1,
                                 [None, pa.py_buffer(np.array(offsets, np.int32).tobytes()),
                                  pa.py_buffer(data)])


def batch_with(column, values):
    """The one-row bond with the dictionary of `column` replaced by `values`."""
    bond = timetable([("leg", T0, "+", 100.0, "USD")])
    columns = dict(zip(bond.schema.names, bond.columns))
    columns[column] = pa.DictionaryArray.from_arrays(pa.array([0], pa.int64()), values)
    return pa.RecordBatch.from_arrays(list(columns.values()), names=list(columns))


@pytest.mark.parametrize("column", ["track", "op", "unit"])
@pytest.mark.parametrize("offsets", [[0, 1 << 30, 5], [0, 4, 2, 5], [0, -3, 5]])
@pytest.mark.parametrize("function", FUNCTIONS)
def test_malformed_dictionary_offsets_are_refused_before_any_read(function, column, offsets):
    batch = batch_with(column, utf8(b"USDEQ", offsets))
    with pytest.raises(RuntimeError) as error:
        function(batch, None, dataset(), {})
    assert str(error.value).startswith(
        f"Error while parsing Timetable, caused by \nInvalid column '{column}': ")


def rows_by_quantity(quantities):
    return timetable([("leg", T0 + YEAR_MS, "+", q, "USD") for q in quantities])


@pytest.mark.parametrize("make_slice", [
    lambda batch: Capsules(pa.StructArray.from_arrays(batch.columns, names=batch.schema.names)
                           .slice(1, 2)),
    lambda batch: batch.slice(1, 2),
    lambda batch: Capsules(pa.StructArray.from_arrays([c.slice(1) for c in batch.columns],
                                                      names=batch.schema.names).slice(0, 2)),
], ids=["struct-offset", "column-offsets", "both"])
def test_a_slice_prices_its_own_rows(make_slice):
    batch = rows_by_quantity([1.0, 10.0, 100.0, 1000.0])
    whole = _ravlin.fixed_price(rows_by_quantity([10.0, 100.0]), None, dataset(), {})
    assert _ravlin.fixed_price(make_slice(batch), None, dataset(), {}) == whole


class Producer:
    def __init__(self, method):
        self.__arrow_c_array__ = method


@pytest.mark.parametrize("method, expected", [
    (lambda: (_ for _ in ()).throw(TypeError("nope")), "argument 'events_rb': nope"),
    (3, "argument 'events_rb': 'int' object is not callable"),
])
def test_a_producers_type_error_names_the_argument(method, expected):
    with pytest.raises(TypeError) as error:
        _ravlin.fixed_price(Producer(method), None, dataset(), {})
    assert str(error.value) == expected


@pytest.mark.parametrize("function", [_ravlin.fixed_price, _ravlin.mc_price])
def test_keys_rewritten_during_the_call_are_not_read(function):
    # The unit keys live in the caller's writable NumPy buffer, which the
    # phrase of the first row rewrites before the second row is valued.
    keys = np.array([0, 1], np.int64)
    unit = pa.DictionaryArray.from_arrays(
        pa.Array.from_buffers(pa.int64(), 2, [None, pa.py_buffer(keys)]),
        pa.array(["cpn", "USD"]))
    plain = timetable([("leg", T0, "+", 1.0, "cpn"), ("leg", T0, "+", 100.0, "USD")])
    batch = pa.RecordBatch.from_arrays(
        [plain.column("track"), plain.column("time"), plain.column("op"),
         plain.column("quantity"), unit], names=plain.schema.names)

    def rewrite(inputs):
        keys[:] = 1 << 40
        return [2.0]

    class Declines:
        def advance(self, t):
            return None

        def get_value(self, name):
            return None

    expressions = {"cpn": {"type": "phrase", "fn": rewrite, "inp": []}}
    data = dataset(MC={"PATHS": 4, "SEED": 0})
    assert function(batch, Declines(), data, expressions) == pytest.approx(102.0)

"""ravlin.timetable: every input form and column type reaches the engine's layout."""

import datetime as dt
import decimal

import numpy as np
import polars as pl
import pyarrow as pa
import pytest

import ravlin
from conftest import T0
from conftest import timetable as engine_batch

ROWS = [("swap", T0, "+", 2.0, "USD"), ("leg", T0 + 1000, ">", 1.0, "swap"),
        ("swap", T0 + 86_400_000, "s", -3.0, "EUR"), ("leg", T0 + 86_400_000, "<", 4.0, None)]
REFERENCE = engine_batch(ROWS)


def columns(**changed):
    """The reference rows as plain pyarrow arrays, with some columns replaced."""
    track, time, op, quantity, unit = (list(c) for c in zip(*ROWS))
    base = {"track": pa.array(track).dictionary_encode(), "time": pa.array(time, pa.timestamp("ms")),
            "op": pa.array(op).dictionary_encode(), "quantity": pa.array(quantity),
            "unit": pa.array(unit).dictionary_encode()}
    return pa.table({**base, **changed})


def recoded(name, index_type, value_type=pa.string()):
    source = REFERENCE.column(name)
    if value_type == pa.string_view():  # older pyarrow cannot cast to it
        values = pa.array(source.dictionary.to_pylist(), value_type)
    else:
        values = source.dictionary.cast(value_type)
    return pa.DictionaryArray.from_arrays(source.indices.cast(index_type), values)


class Capsules:
    """Only the Arrow PyCapsule interface of `data`, as nanoarrow or a foreign library offers it."""

    def __init__(self, data, method):
        setattr(self, method, getattr(data, method))


TIMES = [T0, T0 + 1000, T0 + 86_400_000, T0 + 86_400_000]
FORMS = {
    "int8 indices": columns(track=recoded("track", pa.int8())),
    "uint16 indices, large strings": columns(op=recoded("op", pa.uint16(), pa.large_string())),
    "uint64 indices, string views": columns(unit=recoded("unit", pa.uint64(), pa.string_view())),
    "plain strings": columns(track=pa.array([r[0] for r in ROWS]), unit=pa.array([r[4] for r in ROWS],
                                                                                    pa.large_string())),
    "microseconds, zone": columns(time=pa.array([t * 1000 for t in TIMES], pa.timestamp("us", tz="Asia/Tokyo"))),
    "nanoseconds": columns(time=pa.array([t * 1_000_000 for t in TIMES], pa.timestamp("ns"))),
    "integer quantities": columns(quantity=pa.array([2, 1, -3, 4], pa.int32())),
    "decimal quantities": columns(quantity=pa.array([decimal.Decimal(q) for q in ("2.0", "1", "-3.00", "4")])),
    "chunks": pa.Table.from_batches([columns().to_batches()[0].slice(0, 2), columns().to_batches()[0].slice(2)]),
    "extra column": columns(comment=pa.array(list("abcd"))),
    "record batch": REFERENCE,
    "array capsule": Capsules(REFERENCE, "__arrow_c_array__"),
    "stream capsule": Capsules(columns(), "__arrow_c_stream__"),
    "reader": pa.RecordBatchReader.from_batches(REFERENCE.schema, [REFERENCE]),
    "rows": [(r[0], dt.datetime(2024, 1, 1) + dt.timedelta(milliseconds=r[1] - T0), *r[2:]) for r in ROWS],
    "mapping rows": [dict(zip(("track", "time", "op", "quantity", "unit"), r)) for r in ROWS],
    "polars": pl.from_arrow(columns(track=pa.array([r[0] for r in ROWS]))),
    "pandas": columns(time=pa.array([t * 1000 for t in TIMES], pa.timestamp("us"))).to_pandas(),
}


@pytest.mark.parametrize("data", FORMS.values(), ids=FORMS.keys())
def test_every_form_becomes_the_engine_batch(data):
    assert ravlin.timetable(data).equals(REFERENCE)


DAYS = [19723, 19723, 19724, 19724]  # 2024-01-01 and the day after


@pytest.mark.parametrize("times", [
    pa.array([d * 86_400 for d in DAYS], pa.timestamp("s")),
    pa.array([d * 86_400 for d in DAYS], pa.timestamp("s", tz="America/New_York")).cast(pa.timestamp("ns", tz="UTC")),
    pa.array(DAYS, pa.date32()),
    pa.array([d * 86_400_000 for d in DAYS], pa.date64()),
], ids=["seconds", "nanoseconds in a zone", "date32", "date64"])
def test_timestamps_of_every_unit_and_dates_are_milliseconds(times):
    batch = ravlin.timetable(columns(time=times))
    assert batch.column("time").cast(pa.int64()).to_pylist() == [d * 86_400_000 for d in DAYS]


def test_a_slice_travels_without_its_parent_buffers():
    big = engine_batch(ROWS * 1000)
    batch = ravlin.timetable(big.slice(4, 4))
    assert batch.equals(REFERENCE)
    assert all(c.offset == 0 for c in batch.columns)
    assert batch.column("quantity").get_total_buffer_size() == 4 * 8


@pytest.mark.parametrize("data, message", [
    (columns(track=pa.array([1, 2, 1, 2])), "column 'track': expected strings or a dictionary of strings, got int64"),
    (columns(unit=pa.array([1.0] * 4).dictionary_encode()),
     "column 'unit': expected strings or a dictionary of strings, got dictionary<values=double"),
    (columns(time=pa.array(TIMES)), "column 'time': expected timestamps or dates, got int64"),
    (columns(time=pa.array([T0 * 1000 + 1] * 4, pa.timestamp("us"))),
     "column 'time': row 0 is not a whole millisecond"),
    (columns(time=pa.array([T0, None, T0, T0], pa.timestamp("ms"))), "column 'time': row 1 has no time"),
    (columns(quantity=pa.array(["1"] * 4)), "column 'quantity': expected numbers, got string"),
    (columns(quantity=pa.array([1.0, 2.0, None, 1.0])), "column 'quantity': row 2 has no quantity"),
    (columns(op=pa.array(["+", "x", "+", "+"])), "column 'op': unknown operation 'x'"),
    (columns().drop_columns(["unit"]), "no column 'unit' among"),
    ([("a", "2024-13-01", "+", 1.0, "USD")], "column 'time': time '2024-13-01' is not an ISO 8601"),
    ([("a", T0, "+", 1.0)], "row 0: expected (track, time, op, quantity, unit)"),
    (42, "expected a record batch, table, stream, data frame or list of rows, got int"),
])
def test_faults_name_the_column_and_the_types(data, message):
    with pytest.raises(ravlin.TimetableError) as caught:
        ravlin.timetable(data)
    assert str(caught.value).startswith(message)
    assert isinstance(caught.value, ValueError)


def test_import_works_without_pyarrow_and_timetables_say_how_to_get_it():
    import subprocess
    import sys

    script = ("import sys; sys.modules['pyarrow'] = None\n"
              "import ravlin\n"
              "try:\n    ravlin.timetable([])\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert "pip install ravlin[arrow]" in out


def test_numpy_datetimes_in_rows_and_no_rows_at_all():
    rows = [(r[0], np.datetime64(r[1], "ms"), *r[2:]) for r in ROWS]
    assert ravlin.timetable(rows).equals(REFERENCE)
    assert ravlin.timetable([]).schema.equals(REFERENCE.schema)

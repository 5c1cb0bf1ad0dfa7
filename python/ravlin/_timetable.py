"""Timetables from anything a user has, in the exact form the engine reads.

The engine takes one record batch with the columns "track", "op" and "unit"
as dictionary<int64, utf8>, "time" as timestamp[ms] and "quantity" as
float64. `timetable` brings every common Arrow producer and Python form to
that layout: dictionary indices of any integer width, the three string
types, plain string columns (encoded in order of first appearance, so the
first row's track is the priced one), timestamps of any unit or time zone,
dates, integer or decimal quantities, several chunks, sliced arrays.
"""

from __future__ import annotations

import decimal
import numbers
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._arrow import pyarrow
from ._time import to_millis
from .errors import TimetableError

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["timetable", "COLUMNS", "as_table", "first_null"]

COLUMNS = ("track", "time", "op", "quantity", "unit")
"""The event columns, in the order of a row tuple."""

OPS = ("+", ">", "<", "s")
_MS_PER = {"s": 1000, "ms": 1, "us": 1000, "ns": 1_000_000}
# Buffer bytes beyond an array's own that `_compact` leaves in place.
_SLACK_BYTES = 4096
_DAY_MS = 86_400_000


def timetable(data: Any) -> pa.RecordBatch:
    """The events of `data` as the record batch the engine reads.

    `data` is a pyarrow RecordBatch, Table or RecordBatchReader, any object
    with `__arrow_c_stream__` or `__arrow_c_array__` (a polars DataFrame,
    nanoarrow), a pandas DataFrame, a mapping of column name to values, or
    a list of rows: tuples (track, time, op, quantity, unit) or mappings
    with those keys. Times in rows are datetimes, dates, numpy.datetime64,
    ISO strings or ints of milliseconds since 1970 (UTC). Other columns are
    dropped. Raises `TimetableError` naming the column and the types.

    >>> batch = timetable([("bond", "2025-01-01", "+", 5, "USD"),
    ...                    ("bond", "2026-01-01", "+", 105, "USD")])
    >>> batch.schema.field("time").type, batch.column("track").type.index_type
    (TimestampType(timestamp[ms]), DataType(int64))
    """
    if callable(getattr(type(data), "to_batch", None)):
        # Contracts and instruments build their batch once, already in the engine's layout.
        data = data.to_batch()
        if _is_engine_layout(data):
            return data
    pa = pyarrow()
    table = as_table(pa, data)
    columns = [_column(pa, table, name) for name in COLUMNS]
    return pa.RecordBatch.from_arrays(columns, names=list(COLUMNS))


_ENGINE_SCHEMAS: list[Any] = []


def _is_engine_layout(data: Any) -> bool:
    """Whether `data` is a record batch with exactly the engine's columns and types."""
    pa = pyarrow()
    if not isinstance(data, pa.RecordBatch):
        return False
    if not _ENGINE_SCHEMAS:
        names = pa.dictionary(pa.int64(), pa.string())
        _ENGINE_SCHEMAS.extend(pa.schema([("track", names), ("time", time), ("op", names),
                                          ("quantity", pa.float64()), ("unit", names)])
                               for time in (pa.timestamp("ms", tz="UTC"), pa.timestamp("ms")))
    return any(data.schema.equals(schema) for schema in _ENGINE_SCHEMAS)


def as_table(pa: Any, data: Any) -> pa.Table:
    """Any supported input as one pyarrow Table."""
    if isinstance(data, pa.RecordBatch):
        return pa.Table.from_batches([data])
    if isinstance(data, pa.Table):
        return data
    if isinstance(data, pa.RecordBatchReader):
        return data.read_all()
    if type(data).__module__.partition(".")[0] == "pandas":
        return pa.Table.from_pandas(data, preserve_index=False)
    if hasattr(data, "__arrow_c_stream__") or hasattr(data, "__arrow_c_array__"):
        return pa.table(data)
    if isinstance(data, Mapping):
        return _mapping(pa, data)
    if isinstance(data, Sequence) and not isinstance(data, (str, bytes)):
        return _rows(pa, data)
    raise TimetableError("expected a record batch, table, stream, data frame or list of rows, "
                         f"got {type(data).__name__}")


def _rows(pa: Any, rows: Sequence[Any]) -> pa.Table:
    """Rows as columns, each read as a list of Python values."""
    columns: dict[str, list[Any]] = {name: [] for name in COLUMNS}
    for i, row in enumerate(rows):
        values = [row.get(name) for name in COLUMNS] if isinstance(row, Mapping) else list(row)
        if len(values) != len(COLUMNS):
            raise TimetableError(f"row {i}: expected (track, time, op, quantity, unit), got {row!r}")
        for name, value in zip(COLUMNS, values):
            columns[name].append(value)
    return pa.table({name: _listed(pa, name, values) for name, values in columns.items()})


def _mapping(pa: Any, data: Mapping[str, Any]) -> pa.Table:
    """Columns by name: lists are read value by value as rows are, arrays as Arrow reads them."""
    arrays = {}
    for name, values in data.items():
        if isinstance(values, (list, tuple)):
            arrays[name] = _listed(pa, name, list(values))
            continue
        try:
            arrays[name] = values if isinstance(values, (pa.Array, pa.ChunkedArray)) else pa.array(values)
        except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError, TypeError, ValueError) as bad:
            raise TimetableError(f"column {name!r}: {bad}") from None
    try:
        return pa.table(arrays)
    except pa.ArrowInvalid as bad:
        raise TimetableError(f"columns of different lengths: {bad}") from None


def _listed(pa: Any, name: str, values: list[Any]) -> pa.Array:
    """A column given as Python values; times become milliseconds here, where their forms are known."""
    if name == "time":
        try:
            return pa.array([None if t is None else to_millis(t) for t in values], pa.timestamp("ms"))
        except (TypeError, ValueError, OverflowError) as bad:
            raise TimetableError(f"column 'time': {bad}") from None
    if name == "quantity":
        return pa.array(_row_quantities(values), pa.float64())
    if name in COLUMNS:
        return pa.array(_row_names(name, values), pa.string())
    return pa.nulls(len(values))  # a column the engine does not read


def _row_names(name: str, values: list[Any]) -> list[Any]:
    for i, value in enumerate(values):
        if value is not None and not isinstance(value, str):
            raise TimetableError(f"column '{name}': row {i} holds {value!r}, expected a string")
    return values


def _row_quantities(values: list[Any]) -> list[float | None]:
    """Quantities of rows as floats: ints, floats and decimals, never bools."""
    quantities: list[float | None] = []
    for i, value in enumerate(values):
        if value is None:
            quantities.append(None)
        elif isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, decimal.Decimal)):
            raise TimetableError(f"column 'quantity': row {i} holds {value!r}, expected a number")
        else:
            try:
                quantities.append(float(value))
            except OverflowError:
                raise TimetableError(f"column 'quantity': row {i} holds {value!r}, beyond the range of a float") \
                    from None
    return quantities


def _column(pa: Any, table: pa.Table, name: str) -> pa.Array:
    """One event column in the engine's type, in one compact chunk."""
    if name not in table.column_names:
        raise TimetableError(f"no column '{name}' among {table.column_names}")
    column = table.column(name)
    convert = {"time": _time, "quantity": _quantity}.get(name, _names)
    return _compact(pa, convert(pa, name, column))


def _names(pa: Any, name: str, column: pa.ChunkedArray) -> pa.Array:
    """A string or dictionary-of-strings column as dictionary<int64, utf8>."""
    target = pa.dictionary(pa.int64(), pa.string())
    kind = column.type
    if pa.types.is_null(kind):
        return pa.DictionaryArray.from_arrays(pa.nulls(len(column), pa.int64()), pa.array([], pa.string()))
    if pa.types.is_dictionary(kind):
        if not (pa.types.is_integer(kind.index_type) and _is_string(pa, kind.value_type)):
            raise TimetableError(f"column '{name}': expected strings or a dictionary of strings, got {kind}")
        column = column.unify_dictionaries() if column.num_chunks > 1 else column
        combined = column.combine_chunks()
        array = pa.DictionaryArray.from_arrays(combined.indices.cast(pa.int64()),
                                               _utf8(pa, combined.dictionary))
    elif _is_string(pa, kind):
        array = _utf8(pa, column.combine_chunks()).dictionary_encode().cast(target)
    else:
        raise TimetableError(f"column '{name}': expected strings or a dictionary of strings, got {kind}")
    if name == "op":
        _check_ops(array)
    return array


def _utf8(pa: Any, strings: pa.Array) -> pa.Array:
    """Strings of any layout as utf8; pyarrow before 17 cannot cast string views."""
    try:
        return strings.cast(pa.string())
    except pa.ArrowNotImplementedError:
        return pa.array(strings.to_pylist(), pa.string())


def _is_string(pa: Any, kind: pa.DataType) -> bool:
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_string_view(kind))


def _check_ops(array: pa.DictionaryArray) -> None:
    for op in array.dictionary.to_pylist():
        if op is not None and op not in OPS:
            raise TimetableError(f"column 'op': unknown operation {op!r}, expected '+', '>', '<' or 's'")


def _time(pa: Any, name: str, column: pa.ChunkedArray) -> pa.Array:
    """Timestamps of any unit (UTC, whatever the zone) or dates, as timestamp[ms]."""
    kind = column.type
    if pa.types.is_timestamp(kind):
        millis = _timestamp_millis(pa, column.combine_chunks().cast(pa.int64()), kind.unit)
    elif pa.types.is_date32(kind):
        millis = _checked(pa, "multiply", column.combine_chunks().cast(pa.int32()).cast(pa.int64()), _DAY_MS)
    elif pa.types.is_date64(kind):
        millis = column.combine_chunks().cast(pa.int64())
    else:
        raise TimetableError(f"column 'time': expected timestamps or dates, got {kind}")
    if millis.null_count:
        raise TimetableError(f"column 'time': row {first_null(millis)} has no time")
    return millis.cast(pa.timestamp("ms"))


def _timestamp_millis(pa: Any, raw: pa.Array, unit: str) -> pa.Array:
    import pyarrow.compute as pc

    if unit == "s":
        return _checked(pa, "multiply", raw, 1000)
    if unit == "ms":
        return raw
    try:
        # One pass, which refuses a time that is not a whole millisecond.
        return raw.cast(pa.timestamp(unit)).cast(pa.timestamp("ms")).cast(pa.int64())
    except pa.ArrowInvalid:
        pass  # the row to name is found below
    per = _MS_PER[unit]
    rest = pc.fill_null(pc.not_equal(pc.subtract(raw, pc.multiply(pc.divide(raw, per), per)), 0), False)
    if pc.any(rest).as_py():
        row = pc.index(rest, True).as_py()
        raise TimetableError(f"column 'time': row {row} is not a whole millisecond "
                             f"({raw[row].as_py()} {unit})")
    return pc.divide(raw, per)


def _checked(pa: Any, operation: str, values: pa.Array, factor: int) -> pa.Array:
    import pyarrow.compute as pc

    try:
        return getattr(pc, operation + "_checked")(values, factor)
    except pa.ArrowInvalid:
        raise TimetableError("column 'time': a time lies outside the range of milliseconds since 1970") from None


def _quantity(pa: Any, name: str, column: pa.ChunkedArray) -> pa.Array:
    """Integer, floating or decimal quantities as float64; a null or non-finite quantity is refused."""
    import pyarrow.compute as pc

    kind = column.type
    if not (pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_decimal(kind)):
        raise TimetableError(f"column 'quantity': expected numbers, got {kind}")
    array = column.combine_chunks().cast(pa.float64())
    if array.null_count:
        raise TimetableError(f"column 'quantity': row {first_null(array)} has no quantity")
    row = pc.index(pc.is_finite(array), False).as_py()
    if row >= 0:
        raise TimetableError(f"column 'quantity': row {row} is {array[row].as_py()}, not a finite number")
    return array


def first_null(array: pa.Array) -> int:
    import pyarrow.compute as pc

    return int(pc.index(array.is_null(), True).as_py())


def _compact(pa: Any, array: pa.Array) -> pa.Array:
    """A copy without offset or surplus buffer bytes when `array` is a slice of a
    larger one. A few bytes of slack (a dictionary's padded offsets) are no
    reason to copy a whole column."""
    surplus = array.get_total_buffer_size() - array.nbytes
    if array.offset or surplus > max(_SLACK_BYTES, array.nbytes // 4):
        return pa.concat_arrays([array])
    return array

"""A portfolio cut into contracts and packed for travel.

A portfolio is cut into contracts by its id column before anything is
priced: rows are grouped by id in a stable way (a contract keeps the order
of its rows), and each contract becomes a compact record batch of its own,
with dictionaries that hold only its own tracks, ops and units. So a
contract prices the same wherever it is priced, and what travels to a
worker is the contract's own bytes, never the portfolio's buffers.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from ._arrow import pyarrow
from ._timetable import COLUMNS, as_table, first_null, timetable
from .errors import TimetableError
from .rates import for_market

if TYPE_CHECKING:
    import pyarrow as pa

    from .market import Market

__all__ = ["Book", "BookContract", "read_book"]


class BookContract(NamedTuple):
    """One contract: its id, its own batch (or why it has none), its model's name."""

    id: Any
    batch: Any  # pa.RecordBatch, or the exception that reading its timetable raised
    model: str | None


_DICTIONARY_COLUMNS = ("track", "op", "unit")


@dataclass(frozen=True)
class Book:
    """Contracts packed one after another, which is how they travel: a handful of buffers for a
    whole chunk instead of a record batch per contract, so sending costs little.

    Contract i has the rows bounds[i] to bounds[i + 1] of `events`, whose
    "track", "op" and "unit" columns hold keys into the contract's own
    dictionary: values[name][0] sliced from values[name][1][i] to
    values[name][1][i + 1]. `failures` holds the contracts whose timetable
    could not be read, by position.
    """

    ids: list[Any]
    models: list[str | None]
    bounds: np.ndarray
    events: Any  # pa.RecordBatch
    values: dict[str, tuple[Any, np.ndarray]]
    failures: dict[int, BaseException]

    def __len__(self) -> int:
        return len(self.ids)

    def part(self, start: int, stop: int) -> Book:
        """Contracts start to stop as a book of their own, in fresh compact buffers."""
        pa = pyarrow()
        first, last = int(self.bounds[start]), int(self.bounds[stop])
        events = pa.RecordBatch.from_arrays([pa.concat_arrays([c.slice(first, last - first)])
                                             for c in self.events.columns], names=self.events.schema.names)
        values = {name: (pa.concat_arrays([array.slice(offsets[start], offsets[stop] - offsets[start])]),
                         offsets[start:stop + 1] - offsets[start])
                  for name, (array, offsets) in self.values.items()}
        return Book(self.ids[start:stop], self.models[start:stop], self.bounds[start:stop + 1] - first, events,
                     values, {i - start: e for i, e in self.failures.items() if start <= i < stop})

    def contracts(self) -> Iterator[BookContract]:
        """Each contract with its own record batch (views of the book's buffers)."""
        pa = pyarrow()
        for i, contract_id in enumerate(self.ids):
            if i in self.failures:
                yield BookContract(contract_id, self.failures[i], self.models[i])
                continue
            start, length = int(self.bounds[i]), int(self.bounds[i + 1] - self.bounds[i])
            columns = []
            for name in COLUMNS:
                column = self.events.column(name).slice(start, length)
                if name in self.values:
                    array, offsets = self.values[name]
                    own = array.slice(offsets[i], offsets[i + 1] - offsets[i])
                    column = pa.DictionaryArray.from_arrays(column, own)
                columns.append(column)
            yield BookContract(contract_id, pa.RecordBatch.from_arrays(columns, names=list(COLUMNS)), self.models[i])

    @staticmethod
    def concat(books: list[Book]) -> Book:
        """Books one after another."""
        pa = pyarrow()
        if not books:
            return _pack(pa, _empty_events(pa), np.zeros(1, np.int64), by_appearance=True)
        rows = np.cumsum([0] + [int(b.bounds[-1]) for b in books])
        # An instrument's times carry the UTC zone, rows read from plain dates none; the same instants.
        schema = books[0].events.schema
        events = pa.Table.from_batches([b.events if b.events.schema.equals(schema) else pa.RecordBatch.from_arrays(
            [c.cast(f.type) for c, f in zip(b.events.columns, schema)], schema=schema) for b in books]
        ).combine_chunks().to_batches()
        values = {}
        for name in _DICTIONARY_COLUMNS:
            starts = np.cumsum([0] + [int(b.values[name][1][-1]) for b in books])
            values[name] = (pa.concat_arrays([b.values[name][0] for b in books]),
                            np.concatenate([[0]] + [b.values[name][1][1:] + s for b, s in zip(books, starts)]))
        counts = np.cumsum([0] + [len(b) for b in books])
        return Book([i for b in books for i in b.ids], [m for b in books for m in b.models],
                     np.concatenate([[0]] + [b.bounds[1:] + r for b, r in zip(books, rows)]),
                     events[0],
                     values, {i + int(c): e for b, c in zip(books, counts) for i, e in b.failures.items()})


def read_book(portfolio: Any, by: str, model_by: str | None, market: Market | None = None,
              bounded: dict[int, Any] | None = None) -> tuple[Book, pa.DataType | None]:
    """The contracts of any portfolio input, in order of first appearance, and the id type; rates
    instruments among (id, timetable) pairs write their rows for `market`. `bounded`, when given,
    receives by position the instruments among the pairs that state their price bounds: they stay
    with the caller, out of the book that travels to the workers."""
    pa = pyarrow()
    if isinstance(portfolio, (str, os.PathLike)):
        return _from_table(pa, _read_parquet(pa, portfolio), by, model_by)
    if _is_row_list(portfolio):
        return _from_table(pa, _row_table(pa, portfolio, by, model_by), by, model_by)
    if _is_tabular(pa, portfolio):
        return _from_table(pa, as_table(pa, portfolio), by, model_by)
    if isinstance(portfolio, Iterable):
        return _from_pairs(pa, portfolio, market, {} if bounded is None else bounded), None
    raise TypeError(f"portfolio: expected a table, a Parquet path or an iterable of (id, timetable) pairs, "
                    f"got {type(portfolio).__name__}")


def _is_tabular(pa: Any, data: Any) -> bool:
    return (isinstance(data, (pa.RecordBatch, pa.Table, pa.RecordBatchReader, Mapping))
            or hasattr(data, "__arrow_c_stream__") or hasattr(data, "__arrow_c_array__")
            or type(data).__module__.partition(".")[0] == "pandas")


def _is_row_list(data: Any) -> bool:
    """A list of rows: mappings with the id key, or tuples (id, track, time, op, quantity, unit)."""
    if not isinstance(data, Sequence) or isinstance(data, (str, bytes)) or not data:
        return False
    first = data[0]
    return isinstance(first, Mapping) or (isinstance(first, tuple) and len(first) == len(COLUMNS) + 1)


def _row_table(pa: Any, rows: Sequence[Any], by: str, model_by: str | None) -> pa.Table:
    """Rows as a table: the event columns as `ravlin.timetable` reads them, plus the id (and model)."""
    mapped = isinstance(rows[0], Mapping)
    ids = [row.get(by) if mapped else row[0] for row in rows]
    events = timetable([row if mapped else row[1:] for row in rows])
    table = pa.Table.from_batches([events]).append_column(by, pa.array(ids))
    if mapped and model_by is not None:
        table = table.append_column(model_by, pa.array([row.get(model_by) for row in rows], pa.string()))
    return table


def _read_parquet(pa: Any, path: str | os.PathLike[str]) -> pa.Table:
    """A Parquet file or dataset directory, in file and row-group order, its pages checked against
    the checksums written with them (`pyarrow.parquet.write_table(..., write_page_checksum=True)`).

    A file that cannot be read, truncated or corrupt, is a `TimetableError` naming it.
    """
    import pyarrow.dataset as ds

    name = os.fspath(path)
    try:
        dataset = ds.dataset(name, format=_checked_parquet(ds))
    except (pa.ArrowException, OSError) as error:
        if isinstance(error, FileNotFoundError):
            raise
        raise TimetableError(f"portfolio: cannot read the Parquet book {name!r}: {error}") from error
    tables = []
    for fragment in dataset.get_fragments():
        try:
            tables.append(fragment.to_table(schema=dataset.schema))
        except (pa.ArrowException, OSError) as error:
            raise TimetableError(f"portfolio: cannot read the Parquet file {fragment.path!r}: {error}") from error
    return pa.concat_tables(tables) if tables else dataset.schema.empty_table()


def _checked_parquet(ds: Any) -> Any:
    """The Parquet format that verifies page checksums where pyarrow can (16 does; 14 reads unchecked)."""
    try:
        options = ds.ParquetFragmentScanOptions(page_checksum_verification=True)
    except TypeError:
        return ds.ParquetFileFormat()
    return ds.ParquetFileFormat(default_fragment_scan_options=options)


def _from_table(pa: Any, table: pa.Table, by: str, model_by: str | None) -> tuple[Book, pa.DataType]:
    """Cuts a table into contracts: a stable grouping by id, one compact batch per contract."""
    if by not in table.column_names:
        raise ValueError(f"portfolio: no id column {by!r} among {table.column_names}")
    ids = table.column(by).combine_chunks()
    if pa.types.is_dictionary(ids.type):
        ids = ids.cast(ids.type.value_type)
    if ids.null_count:
        raise ValueError(f"portfolio: row {first_null(ids)} has no {by!r}")
    encoded = ids.dictionary_encode()  # codes in order of first appearance
    codes = encoded.indices.to_numpy(zero_copy_only=False)
    order = np.argsort(codes, kind="stable")
    if np.any(np.diff(order) != 1):
        table = table.take(pa.array(order))
    bounds = np.concatenate([[0], np.cumsum(np.bincount(codes, minlength=len(encoded.dictionary)))])
    models = _model_names(table, model_by, bounds)
    book = _book_of_table(pa, table, bounds)
    return dataclasses.replace(book, ids=encoded.dictionary.to_pylist(), models=models), ids.type


def _book_of_table(pa: Any, table: pa.Table, bounds: np.ndarray) -> Book:
    """The contracts of a table grouped by id; when one contract's rows cannot be read, each contract
    is read alone, so that contract alone records the fault."""
    try:
        events = timetable(table)
    except ValueError:
        return Book.concat([_own_book(table.slice(start, end - start), None, None, by_appearance=True)
                             for start, end in zip(bounds[:-1].tolist(), bounds[1:].tolist())])
    return _pack(pa, events, bounds, by_appearance=True)


def _model_names(table: pa.Table, model_by: str | None, bounds: np.ndarray) -> list[str | None]:
    """The model each contract names in its first row; every row of a contract must name the same."""
    if model_by is None:
        return [None] * (len(bounds) - 1)
    if model_by not in table.column_names:
        raise ValueError(f"portfolio: the models are named by column {model_by!r}, "
                         f"which is not among {table.column_names}")
    names = table.column(model_by).to_pylist()
    result = []
    for start, end in zip(bounds[:-1], bounds[1:]):
        named = set(names[start:end])
        if len(named) != 1:
            raise ValueError(f"portfolio: one contract's rows name the models {sorted(map(str, named))}; "
                             "a contract is priced under one model")
        result.append(names[start])
    return result


def _from_pairs(pa: Any, pairs: Iterable[Any], market: Market | None, bounded: dict[int, Any]) -> Book:
    """(id, timetable) or (id, timetable, model name) items, each timetable one contract."""
    books = []
    for i, item in enumerate(pairs):
        if not isinstance(item, tuple) or len(item) not in (2, 3):
            raise TypeError(f"portfolio item {i}: expected (id, timetable) or (id, timetable, model), "
                            f"got {type(item).__name__}")
        contract_id, data, *model = item
        if callable(getattr(data, "price_bounds", None)):
            bounded[i] = data
        books.append(_own_book(data, contract_id, model[0] if model else None, by_appearance=False, market=market))
    return Book.concat(books)


def _own_book(data: Any, contract_id: Any, model: str | None, by_appearance: bool,
              market: Market | None = None) -> Book:
    """One contract as a book; a timetable that cannot be read becomes the contract's failure."""
    pa = pyarrow()
    try:
        book = _pack(pa, timetable(data if market is None else for_market(data, market)), None, by_appearance)
    except (ValueError, TypeError) as error:
        book = dataclasses.replace(_pack(pa, _empty_events(pa), None, by_appearance), failures={0: error})
    return dataclasses.replace(book, ids=[contract_id], models=[model])


def _empty_events(pa: Any) -> pa.RecordBatch:
    return timetable({name: pa.array([], pa.string() if name in _DICTIONARY_COLUMNS else
                                         pa.timestamp("ms") if name == "time" else pa.float64())
                         for name in COLUMNS})


def _pack(pa: Any, events: pa.RecordBatch, bounds: np.ndarray | None, by_appearance: bool) -> Book:
    """The contracts of `events` (rows bounds[i] to bounds[i + 1]; None: all rows are one contract).

    Each dictionary holds only the values its contract uses: tracks in order
    of first appearance when the contract was cut from a table (its first
    row's track is the priced one), in the order of the contract's own
    dictionary when it came as a timetable of its own. The re-encoding is a
    few passes over the whole table, not one per contract.
    """
    if bounds is None:
        bounds = np.array([0, events.num_rows])
    contract = np.repeat(np.arange(bounds.size - 1), np.diff(bounds))
    columns, values = [], {}
    for name in COLUMNS:
        column = events.column(name)
        if name in _DICTIONARY_COLUMNS:
            keys, dictionary, offsets = _own_keys(pa, column, contract, bounds.size - 1, by_appearance)
            column = pa.array(keys, pa.int64(), mask=keys < 0)
            values[name] = (dictionary, offsets)
        columns.append(column)
    count = bounds.size - 1
    return Book([None] * count, [None] * count, bounds, pa.RecordBatch.from_arrays(columns, names=list(COLUMNS)),
                 values, {})


def _own_keys(pa: Any, array: pa.DictionaryArray, contract: np.ndarray, contracts: int, by_appearance: bool
              ) -> tuple[np.ndarray, pa.Array, np.ndarray]:
    """Per-contract keys of a dictionary column (-1 for a null), the values of every contract's
    dictionary one contract after the other, and where each contract's values start."""
    keys = array.indices.fill_null(-1).to_numpy()
    valid = keys >= 0
    width = len(array.dictionary) + 1
    pairs, first, inverse = np.unique(contract[valid] * width + keys[valid], return_index=True,
                                      return_inverse=True)
    owner, value = pairs // width, pairs % width
    order = np.lexsort((first if by_appearance else value, owner))
    starts = np.searchsorted(owner[order], np.arange(contracts + 1))
    rank = np.empty(order.size, dtype=np.int64)
    rank[order] = np.arange(order.size) - starts[owner[order]]
    own = np.full(keys.size, -1, dtype=np.int64)
    own[valid] = rank[inverse.reshape(-1)]
    return own, array.dictionary.take(pa.array(value[order], pa.int64())), starts

"""Contracts written in code: a builder of timetables, one event at a time.

A timetable is a table of events (track, time, op, quantity, unit) that the
engine values backward from its last row. `Contract` writes one row per call
and produces the record batch the engine reads, with the priced track first
in the track dictionary and the rows in the order they were written.

>>> c = (Contract(track="bond")
...      .pay("2025-06-30", 2.5, "USD")
...      .pay("2025-12-31", 102.5, "USD"))
>>> c.to_batch().num_rows
2
"""

from __future__ import annotations

import functools
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, Union

import numpy as np

from . import _checks
from ._arrow import pyarrow
from ._time import TimeLike, iso, to_date, to_datetime, to_millis, to_millis_array

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["Contract", "Event", "TimeLike", "to_date", "to_datetime", "to_millis"]

OPS = ("+", ">", "<", "s")


class Event(NamedTuple):
    """One row of a timetable; `time` in milliseconds since 1970 (UTC).

    >>> Contract().pay("1970-01-02", 5.0, "USD").events()[0]
    Event(track='main', time=86400000, op='+', quantity=5.0, unit='USD')
    """

    track: str
    time: int
    op: str
    quantity: float
    unit: str


class _Rows(NamedTuple):
    """Rows written at once, as columns; a name column is one name for every row or a list."""

    tracks: str | list[str]
    times: np.ndarray  # int64 milliseconds
    ops: str | list[str]
    quantities: np.ndarray  # float64
    units: str | list[str]

    def column(self, name: str) -> list[str]:
        value = getattr(self, name)
        return [value] * self.times.size if isinstance(value, str) else value

    def events(self) -> list[Event]:
        return [Event(*row) for row in zip(self.column("tracks"), self.times.tolist(), self.column("ops"),
                                           self.quantities.tolist(), self.column("units"))]


Piece = Union[Event, _Rows]


class Contract:
    """An immutable builder of timetables: each call returns a new contract.

    `track` names the priced track, which rows use unless they name another.
    Rows keep the order in which they are written and their times must not
    decrease; rows at one time are valued in reverse order (the last one
    written acts first), so write a payment that survives an exercise before
    the choice row. A unit is an asset of the market, another track (the row
    then pays that track's value of its later rows; write quantity 1), or a
    named expression. Appending is constant time: a contract shares its rows
    with the one it was built from. Many rows at once (`from_columns`) are
    kept as arrays.

    >>> base = Contract(track="opt")
    >>> c = (base.holder_choice("2025-01-02", 1.0, "exercise")
    ...      .pay("2025-01-02", 100.0, "USD", track="exercise")
    ...      .pay("2025-01-02", -1.0, "SPX", track="exercise"))
    >>> len(base), len(c)
    (0, 3)
    >>> c.to_batch().column("track").dictionary.to_pylist()
    ['opt', 'exercise']
    """

    __slots__ = ("_track", "_parent", "_piece", "_length", "_last", "_batch")

    def __init__(self, track: str = "main") -> None:
        self._track = _checks.name(track, "track")
        self._parent: Contract | None = None
        self._piece: Piece | None = None
        self._length = 0
        self._last: int | None = None  # the time of the last row
        self._batch: pa.RecordBatch | None = None

    @classmethod
    def from_events(cls, events: Iterable[Event | tuple[str, TimeLike, str, float, str]],
                    track: str | None = None) -> Contract:
        """A contract from rows (track, time, op, quantity, unit) in order.

        The priced track is `track`, or the first row's track when omitted.

        >>> Contract.from_events([("leg", "2025-01-01", "+", 1.0, "USD")]).track
        'leg'
        """
        rows = list(events)
        if track is None:
            if not rows:
                raise ValueError("a contract without rows needs its track named")
            track = rows[0][0]
        if not rows:
            return cls(track)
        tracks, times, ops, quantities, units = (list(column) for column in zip(*rows))
        return cls.from_columns(track, tracks=tracks, times=times, ops=ops, quantities=quantities, units=units)

    @classmethod
    def from_columns(cls, track: str, *, times: Any, quantities: Any, units: str | Sequence[str],
                     ops: str | Sequence[str] = "+", tracks: str | Sequence[str] | None = None) -> Contract:
        """A contract of many rows at once, given as columns.

        `times` are times in order (an array of datetime64 or of integer
        milliseconds, or a list of times) and `quantities` numbers; `units`,
        `ops` and `tracks` are one value for every row or one per row
        (`tracks` defaults to `track`, the priced track). The rows are kept
        as arrays, so many rows cost about what a few do.

        >>> leg = Contract.from_columns("leg", times=["2025-06-30", "2025-12-31"], quantities=[2.5, 102.5],
        ...                             units="USD")
        >>> [(e.op, e.quantity) for e in leg]
        [('+', 2.5), ('+', 102.5)]
        """
        contract = cls(track)
        millis = to_millis_array(times)
        amounts = _quantities(quantities, millis.size)
        rows = _Rows(_name_column(track if tracks is None else tracks, "track", millis.size), millis,
                     _op_column(ops, millis.size), amounts, _name_column(units, "unit", millis.size))
        return contract._extend(rows) if millis.size else contract

    @property
    def track(self) -> str:
        """The priced track (the first value of the track dictionary)."""
        return self._track

    def pay(self, time: TimeLike, quantity: float, unit: str, *, track: str | None = None) -> Contract:
        """Pay `quantity` of `unit` at `time` (op "+").

        >>> Contract().pay("2025-01-01", 100.0, "USD").events()[0].op
        '+'
        """
        return self._append("+", time, quantity, unit, track)

    def holder_choice(self, time: TimeLike, quantity: float, unit: str, *, track: str | None = None) -> Contract:
        """The holder takes the larger of the track's later value and this row's (op ">").

        >>> Contract().holder_choice("2025-01-01", 1.0, "exercise").events()[0].op
        '>'
        """
        return self._append(">", time, quantity, unit, track)

    def issuer_choice(self, time: TimeLike, quantity: float, unit: str, *, track: str | None = None) -> Contract:
        """The issuer takes the smaller of the track's later value and this row's (op "<").

        >>> Contract().issuer_choice("2025-01-01", 101.0, "USD").events()[0].op
        '<'
        """
        return self._append("<", time, quantity, unit, track)

    def conditional(self, time: TimeLike, quantity: float, unit: str, *, track: str | None = None) -> Contract:
        """Pay on the share given by the name "s" and keep the track's later value on the rest (op "s").

        "s" is a phrase, snap or asset of the valuation with values in [0, 1];
        grids do not value conditional rows.

        >>> Contract().conditional("2025-01-01", 100.0, "USD").events()[0].op
        's'
        """
        return self._append("s", time, quantity, unit, track)

    def events(self) -> list[Event]:
        """The rows in the order written.

        >>> Contract().pay("1970-01-02", 1.0, "USD").events()
        [Event(track='main', time=86400000, op='+', quantity=1.0, unit='USD')]
        """
        rows: list[Event] = []
        for piece in self._pieces():
            if isinstance(piece, Event):
                rows.append(piece)
            else:
                rows.extend(piece.events())
        return rows

    def to_batch(self) -> pa.RecordBatch:
        """The timetable as the engine reads it.

        Columns: "track", "op" and "unit" as dictionary<int64, utf8> (the
        priced track first in its dictionary), "time" as timestamp[ms, UTC],
        "quantity" as float64.

        >>> Contract(track="x").pay("2025-01-01", 1.0, "USD").to_batch().schema.field("time").type
        TimestampType(timestamp[ms, tz=UTC])
        """
        if self._batch is None:
            self._batch = _record_batch(self._track, self._columns())
        return self._batch

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        """The Arrow C data interface of `to_batch()`.

        >>> import pyarrow as pa
        >>> pa.record_batch(Contract().pay("2025-01-01", 1.0, "USD")).num_rows
        1
        """
        capsules: tuple[Any, Any] = self.to_batch().__arrow_c_array__(requested_schema)
        return capsules

    def __len__(self) -> int:
        return self._length

    def __iter__(self) -> Iterator[Event]:
        return iter(self.events())

    def __repr__(self) -> str:
        return f"Contract(track={self._track!r}, rows={self._length})"

    def _append(self, op: str, when: TimeLike, quantity: float, unit: str, track: str | None) -> Contract:
        event = Event(self._track if track is None else _checks.name(track, "track"), to_millis(when),
                      op, _checks.number(quantity, "quantity"), _checks.name(unit, "unit"))
        self._check_after(event.time, self._length)
        return self._child(event, 1, event.time)

    def _extend(self, rows: _Rows) -> Contract:
        self._check_after(int(rows.times[0]), self._length)
        steps = np.diff(rows.times)
        if (steps < 0).any():
            row = int(np.flatnonzero(steps < 0)[0]) + 1
            raise ValueError(f"row {self._length + row} at {iso(int(rows.times[row]))} comes before the previous "
                             f"row at {iso(int(rows.times[row - 1]))}: times must not decrease")
        return self._child(rows, rows.times.size, int(rows.times[-1]))

    def _check_after(self, millis: int, row: int) -> None:
        if self._last is not None and millis < self._last:
            raise ValueError(f"row {row} at {iso(millis)} comes before the previous row "
                             f"at {iso(self._last)}: times must not decrease")

    def _child(self, piece: Piece, rows: int, last: int) -> Contract:
        child = Contract.__new__(Contract)
        child._track, child._parent, child._piece = self._track, self, piece
        child._length, child._last, child._batch = self._length + rows, last, None
        return child

    def _pieces(self) -> list[Piece]:
        """The pieces of rows, first written first."""
        pieces: list[Piece] = []
        node: Contract | None = self
        while node is not None and node._piece is not None:
            pieces.append(node._piece)
            node = node._parent
        pieces.reverse()
        return pieces

    def _columns(self) -> _Rows:
        """All rows as one set of columns."""
        pieces = self._pieces()
        if len(pieces) == 1 and isinstance(pieces[0], _Rows):
            return pieces[0]
        blocks = [_Rows(p.track, np.array([p.time], np.int64), p.op, np.array([p.quantity]), p.unit)
                  if isinstance(p, Event) else p for p in pieces]
        if not blocks:
            return _Rows([], np.zeros(0, np.int64), [], np.zeros(0), [])
        joined = {name: [v for b in blocks for v in b.column(name)] for name in ("tracks", "ops", "units")}
        return _Rows(joined["tracks"], np.concatenate([b.times for b in blocks]), joined["ops"],
                     np.concatenate([b.quantities for b in blocks]), joined["units"])


def _name_column(values: str | Sequence[str], what: str, rows: int) -> str | list[str]:
    """One checked name for every row, or a list of one per row."""
    if isinstance(values, str):
        return _checks.name(values, what)
    column = list(values)
    if len(column) != rows:
        raise ValueError(f"{what}s: expected one name or {rows}, got {len(column)}")
    for value in set(column) if all(isinstance(v, str) for v in column) else column:
        _checks.name(value, what)
    return column


def _op_column(values: str | Sequence[str], rows: int) -> str | list[str]:
    column = _name_column(values, "op", rows)
    for op in {column} if isinstance(column, str) else set(column):
        if op not in OPS:
            raise ValueError(f"op must be one of {', '.join(map(repr, OPS))}, got {op!r}")
    return column


def _quantities(values: Any, rows: int) -> np.ndarray:
    """Quantities as float64, refused unless real and finite (bools too, as a row refuses them)."""
    array = np.asarray(values)
    if array.ndim != 1 or array.dtype.kind not in "iuf":
        array = np.array([_checks.number(value, "quantity") for value in values], dtype=np.float64)
    array = np.array(array, dtype=np.float64)  # a copy of our own: the caller may change theirs
    if array.size != rows:
        raise ValueError(f"quantities: expected {rows}, got {array.size}")
    bad = ~np.isfinite(array)
    if bad.any():
        _checks.number(float(array[bad][0]), "quantity")
    return array


# A dictionary of at most this many names is kept for later batches: most contracts name a
# track or two, one currency and an op or two, and a fresh string array costs more than the rest.
SHARED_NAMES = 8


@functools.cache
def _arrow_types() -> tuple[pa.DataType, pa.DataType, pa.DataType]:
    """The engine's types: dictionary<int64, utf8>, timestamp[ms, UTC], float64."""
    pa = pyarrow()
    return pa.dictionary(pa.int64(), pa.string()), pa.timestamp("ms", tz="UTC"), pa.float64()


@functools.lru_cache(maxsize=256)
def _shared_names(names: tuple[str, ...]) -> pa.Array:
    return _names(names)


def _names(names: tuple[str, ...]) -> pa.Array:
    pa = pyarrow()
    return pa.array(names, pa.string())


def _dictionary(values: str | list[str], rows: int, first: str | None = None) -> pa.DictionaryArray:
    """Dictionary-encode in order of first appearance (after `first`)."""
    keys: dict[str, int] = {} if first is None else {first: 0}
    if isinstance(values, str):
        indices: Any = np.full(rows, keys.setdefault(values, len(keys)), dtype=np.int64)
    else:
        indices = np.fromiter((keys.setdefault(v, len(keys)) for v in values), dtype=np.int64, count=rows)
    names = tuple(keys)
    dictionary = _shared_names(names) if len(names) <= SHARED_NAMES else _names(names)
    # The indices are in range by construction, so the array is assembled without a check.
    return pyarrow().DictionaryArray.from_buffers(_arrow_types()[0], rows, [None, _buffer(indices)], dictionary)


def _buffer(array: np.ndarray) -> pa.Buffer:
    """A buffer over a contiguous copy-free view of `array`, which keeps it alive."""
    return pyarrow().py_buffer(np.ascontiguousarray(array))


def _record_batch(track: str, rows: _Rows) -> pa.RecordBatch:
    """The rows as the engine's batch, each numeric column a view of the rows' own array."""
    pa = pyarrow()
    count = rows.times.size
    _, timestamp, float64 = _arrow_types()
    return pa.RecordBatch.from_arrays(
        [_dictionary(rows.tracks, count, first=track),
         pa.Array.from_buffers(timestamp, count, [None, _buffer(rows.times.astype(np.int64, copy=False))]),
         _dictionary(rows.ops, count),
         pa.Array.from_buffers(float64, count, [None, _buffer(rows.quantities.astype(np.float64, copy=False))]),
         _dictionary(rows.units, count)],
        names=["track", "time", "op", "quantity", "unit"])

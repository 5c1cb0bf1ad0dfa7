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

from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, NamedTuple

from ._arrow import pyarrow
from . import _checks
from ._time import TimeLike, iso, to_date, to_datetime, to_millis

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["Contract", "Event", "TimeLike", "to_date", "to_datetime", "to_millis"]


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


class Contract:
    """An immutable builder of timetables: each call returns a new contract.

    `track` names the priced track, which rows use unless they name another.
    Rows keep the order in which they are written and their times must not
    decrease; rows at one time are valued in reverse order (the last one
    written acts first), so write a payment that survives an exercise before
    the choice row. A unit is an asset of the market, another track (the row
    then pays that track's value of its later rows; write quantity 1), or a
    named expression. Appending is constant time: a contract shares its rows
    with the one it was built from.

    >>> base = Contract(track="opt")
    >>> c = (base.holder_choice("2025-01-02", 1.0, "exercise")
    ...      .pay("2025-01-02", 100.0, "USD", track="exercise")
    ...      .pay("2025-01-02", -1.0, "SPX", track="exercise"))
    >>> len(base), len(c)
    (0, 3)
    >>> c.to_batch().column("track").dictionary.to_pylist()
    ['opt', 'exercise']
    """

    __slots__ = ("_track", "_parent", "_event", "_length", "_batch")

    def __init__(self, track: str = "main") -> None:
        self._track = _checks.name(track, "track")
        self._parent: Contract | None = None
        self._event: Event | None = None
        self._length = 0
        self._batch: pa.RecordBatch | None = None

    @classmethod
    def from_events(cls, events: Iterable[Event | tuple[str, TimeLike, str, float, str]],
                    track: str | None = None) -> Contract:
        """A contract from rows (track, time, op, quantity, unit) in order.

        The priced track is `track`, or the first row's track when omitted.

        >>> Contract.from_events([("leg", "2025-01-01", "+", 1.0, "USD")]).track
        'leg'
        """
        contract: Contract | None = None if track is None else cls(track)
        for row in events:
            name, when, op, quantity, unit = row
            if contract is None:
                contract = cls(name)
            contract = contract._append(op, when, quantity, unit, name)
        if contract is None:
            raise ValueError("a contract without rows needs its track named")
        return contract

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
        node: Contract | None = self
        while node is not None and node._event is not None:
            rows.append(node._event)
            node = node._parent
        rows.reverse()
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
            self._batch = _record_batch(self._track, self.events())
        return self._batch

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        """The Arrow C data interface of `to_batch()`.

        >>> import pyarrow as pa
        >>> pa.record_batch(Contract().pay("2025-01-01", 1.0, "USD")).num_rows
        1
        """
        return self.to_batch().__arrow_c_array__(requested_schema)

    def __len__(self) -> int:
        return self._length

    def __iter__(self) -> Iterator[Event]:
        return iter(self.events())

    def __repr__(self) -> str:
        return f"Contract(track={self._track!r}, rows={self._length})"

    def _append(self, op: str, when: TimeLike, quantity: float, unit: str, track: str | None) -> Contract:
        event = Event(self._track if track is None else _checks.name(track, "track"), to_millis(when),
                      op, _checks.number(quantity, "quantity"), _checks.name(unit, "unit"))
        last = self._event
        if last is not None and event.time < last.time:
            raise ValueError(f"row {self._length} at {iso(event.time)} comes before the previous row "
                             f"at {iso(last.time)}: times must not decrease")
        child = Contract.__new__(Contract)
        child._track, child._parent, child._event = self._track, self, event
        child._length, child._batch = self._length + 1, None
        return child


def _dictionary(values: list[str], first: str | None = None) -> pa.DictionaryArray:
    """Dictionary-encode in order of first appearance (after `first`)."""
    pa = pyarrow()
    keys: dict[str, int] = {} if first is None else {first: 0}
    indices = [keys.setdefault(v, len(keys)) for v in values]
    return pa.DictionaryArray.from_arrays(pa.array(indices, pa.int64()), pa.array(list(keys), pa.string()))


def _record_batch(track: str, events: list[Event]) -> pa.RecordBatch:
    pa = pyarrow()
    tracks, times, ops, quantities, units = (list(c) for c in zip(*events)) if events else ([],) * 5
    return pa.RecordBatch.from_arrays(
        [_dictionary(tracks, first=track), pa.array(times, pa.timestamp("ms", tz="UTC")),
         _dictionary(ops), pa.array(quantities, pa.float64()), _dictionary(units)],
        names=["track", "time", "op", "quantity", "unit"])

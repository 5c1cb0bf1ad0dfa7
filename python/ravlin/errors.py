"""The two exception types of the package."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any

from ._time import iso

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["TimetableError", "PricingError"]

# Each link of the engine's chains ends in "caused by" and a line feed, with
# or without a blank before the line feed.
_LINK = re.compile(r",? caused by ?\n")
_EVENT_ROW = re.compile(r"^Error at event:\n  #(\d+):", re.MULTILINE)


class TimetableError(ValueError):
    """A timetable that cannot be read: the message names the column and the types.

    >>> import ravlin
    >>> try:
    ...     ravlin.timetable([("bond", "2025-01-01", "x", 1.0, "USD")])
    ... except ravlin.TimetableError as error:
    ...     print(error)
    column 'op': unknown operation 'x', expected '+', '>', '<' or 's'
    """


class PricingError(RuntimeError):
    """A failure reported by the engine, with its whole message.

    `causes` is the chain from the outermost context down to the root cause;
    `row` is the timetable row the engine was valuing, or None. When the
    row is known, a note (PEP 678, shown under the traceback) gives it in
    the timetable's own terms: its track, ISO time, op, quantity and unit.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01",
    ...                        curves={"USD": ravlin.ZeroCurve.flat(0.05)})
    >>> try:
    ...     ravlin.price([("bond", "2024-06-01", "+", 1.0, "USD")], market, ravlin.Fixed())
    ... except ravlin.PricingError as error:
    ...     print(error.row, error.__notes__[0])
    0 at row 0: track 'bond', 2024-06-01T00:00:00Z, op '+', quantity 1, unit 'USD'
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.causes: list[str] = _LINK.split(message)
        found = _EVENT_ROW.search(message)
        self.row: int | None = int(found.group(1)) if found else None

    @classmethod
    def from_engine(cls, error: BaseException, batch: pa.RecordBatch | None = None) -> PricingError:
        """The engine's exception as a `PricingError`, with the note of its row in `batch`."""
        made = cls(str(error))
        if batch is not None and made.row is not None and 0 <= made.row < batch.num_rows:
            made.add_note(_row_note(batch, made.row))
        return made


def _row_note(batch: pa.RecordBatch, row: int) -> str:
    values: dict[str, Any] = {name: batch.column(name)[row].as_py() for name in ("track", "op", "quantity", "unit")}
    millis = batch.column("time").cast("int64")[row].as_py()
    return (f"at row {row}: track {values['track']!r}, {iso(millis)}, op {values['op']!r}, "
            f"quantity {values['quantity']:g}, unit {values['unit']!r}")

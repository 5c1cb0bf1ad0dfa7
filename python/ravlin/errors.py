"""The exception and warning types of the package."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ._time import iso

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["TimetableError", "PricingError", "ArbitrageWarning"]


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

    `causes` is the chain's messages from the outermost context down to the
    root cause; `row` is the timetable row the engine was valuing, or None. When the
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

    def __init__(self, message: str, causes: Sequence[str] | None = None, row: int | None = None) -> None:
        super().__init__(message)
        self.causes: tuple[str, ...] = tuple(causes) if causes is not None else (message,)
        self.row: int | None = row

    @classmethod
    def from_engine(cls, error: BaseException, batch: pa.RecordBatch | None = None) -> PricingError:
        """The engine's exception as a `PricingError`, with its chain and row, and the note of
        that row in `batch`."""
        row = getattr(error, "row", None)
        made = cls(str(error), getattr(error, "causes", None), row if isinstance(row, int) else None)
        if batch is not None and made.row is not None and 0 <= made.row < batch.num_rows:
            made.add_note(_row_note(batch, made.row))
        return made


class ArbitrageWarning(RuntimeWarning):
    """A price outside the no-arbitrage bounds of its instrument: the model's settings cannot
    resolve the contract. Turn it into an error with `warnings.simplefilter("error", ArbitrageWarning)`.

    >>> issubclass(ArbitrageWarning, RuntimeWarning)
    True
    """


def _row_note(batch: pa.RecordBatch, row: int) -> str:
    values: dict[str, Any] = {name: batch.column(name)[row].as_py() for name in ("track", "op", "quantity", "unit")}
    millis = batch.column("time").cast("int64")[row].as_py()
    quantity = "none" if values["quantity"] is None else f"{values['quantity']:g}"
    return (f"at row {row}: track {values['track']!r}, {_time_text(millis)}, op {values['op']!r}, "
            f"quantity {quantity}, unit {values['unit']!r}")


def _time_text(millis: int | None) -> str:
    """The row's time in ISO 8601, or what stands in its place: a null time, or one beyond
    the calendar, is what the engine may be reporting."""
    if millis is None:
        return "no time"
    try:
        return iso(millis)
    except (OverflowError, ValueError):
        return f"{millis} ms since 1970"

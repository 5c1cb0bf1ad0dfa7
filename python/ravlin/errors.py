"""The two exception types of the package."""

from __future__ import annotations

import re

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
    `row` is the timetable row the engine was valuing, or None.

    >>> error = PricingError("Error during model evaluation, caused by\\nError at event:\\n"
    ...                      "  #3: track: ..., caused by \\nUnknown Unit")
    >>> error.row, error.causes[-1]
    (3, 'Unknown Unit')
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.causes: list[str] = _LINK.split(message)
        found = _EVENT_ROW.search(message)
        self.row: int | None = int(found.group(1)) if found else None

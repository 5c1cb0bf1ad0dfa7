"""Times as the engine counts them: integer milliseconds since 1970-01-01 UTC.

Dates and naive datetimes are taken as UTC. A time finer than a millisecond
is refused rather than rounded, so no event moves silently.
"""

from __future__ import annotations

from datetime import date, datetime, time, timedelta, timezone
from typing import Union

import numpy as np

YEAR_MS = 31_536_000_000
"""Milliseconds of the 365-day year in which the engine measures year fractions."""

DateLike = Union[datetime, date, np.datetime64, str]
"""A calendar time: a `datetime` (naive means UTC), a `date` (midnight UTC),
a `numpy.datetime64` or an ISO 8601 string."""

_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


def is_date_like(value: object) -> bool:
    """True for the calendar forms of `DateLike`, False for numbers.

    >>> is_date_like("2025-01-01"), is_date_like(0.5)
    (True, False)
    """
    return isinstance(value, (date, np.datetime64, str))


def to_millis(value: DateLike | int) -> int:
    """Milliseconds since 1970-01-01T00:00:00 UTC; an int is taken as milliseconds.

    >>> to_millis("2024-01-01")
    1704067200000
    >>> to_millis(np.datetime64("2024-01-01T00:00:00.001"))
    1704067200001
    """
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        return int(value)
    if isinstance(value, np.datetime64):
        return _numpy_millis(value)
    micros = (_as_utc(value) - _EPOCH) // timedelta(microseconds=1)
    millis, rest = divmod(micros, 1000)
    if rest:
        raise ValueError(f"time {value!r} is not a whole millisecond")
    return millis


def to_datetime(millis: int) -> datetime:
    """The UTC datetime of a millisecond timestamp.

    >>> to_datetime(1704067200000)
    datetime.datetime(2024, 1, 1, 0, 0, tzinfo=datetime.timezone.utc)
    """
    return _EPOCH + timedelta(milliseconds=millis)


def _as_utc(value: object) -> datetime:
    if isinstance(value, str):
        try:
            value = datetime.fromisoformat(value)
        except ValueError:
            raise ValueError(f"time {value!r} is not an ISO 8601 date or date-time") from None
    if isinstance(value, datetime):
        return value.replace(tzinfo=timezone.utc) if value.tzinfo is None else value.astimezone(timezone.utc)
    if isinstance(value, date):
        return datetime.combine(value, time(), timezone.utc)
    raise TypeError("expected a datetime, date, numpy.datetime64, ISO string or int of milliseconds "
                    f"as time, got {type(value).__name__}")


def _numpy_millis(value: np.datetime64) -> int:
    if np.isnat(value):
        raise ValueError("time NaT is not a time")
    nanos = value.astype("datetime64[ns]").astype(np.int64) if np.datetime_data(value.dtype)[0] in (
        "us", "ns", "ps", "fs", "as") else None
    if nanos is None:
        return int(value.astype("datetime64[ms]").astype(np.int64))
    millis, rest = divmod(int(nanos), 1_000_000)
    if rest:
        raise ValueError(f"time {value!r} is not a whole millisecond")
    return millis

"""Times as the engine counts them: integer milliseconds since 1970-01-01 UTC.

The one home of the package's time conversions. Dates and naive datetimes
are taken as UTC; an int is milliseconds since 1970. A time finer than a
millisecond is refused rather than rounded, so no event moves silently.
"""

from __future__ import annotations

from datetime import UTC, date, datetime, time, timedelta
from typing import Any, Union

import numpy as np

YEAR_MS = 31_536_000_000
"""Milliseconds of the 365-day year in which the engine measures year fractions."""

DAY_MS = 86_400_000
"""Milliseconds of a day."""

DateLike = Union[datetime, date, np.datetime64, str]
"""A calendar time: a `datetime` (naive means UTC), a `date` (midnight UTC),
a `numpy.datetime64` or an ISO 8601 string."""

TimeLike = Union[datetime, date, np.datetime64, str, int]
"""An event time: a `DateLike`, or an int of milliseconds since 1970 (UTC)."""

_EPOCH = datetime(1970, 1, 1, tzinfo=UTC)
_EPOCH_ORDINAL = date(1970, 1, 1).toordinal()
# Ticks of the datetime64 units finer than a millisecond, per millisecond.
_TICKS_PER_MS = {"us": 10**3, "ns": 10**6, "ps": 10**9, "fs": 10**12, "as": 10**15}
# Milliseconds per tick of the datetime64 units of fixed length from a millisecond up.
_MS_PER_UNIT = {"ms": 1, "s": 1000, "m": 60_000, "h": 3_600_000, "D": DAY_MS, "W": 7 * DAY_MS}
_INT64_MAX = 2**63 - 1


def is_date_like(value: object) -> bool:
    """True for the calendar forms of `DateLike`, False for numbers.

    >>> is_date_like("2025-01-01"), is_date_like(0.5)
    (True, False)
    """
    return isinstance(value, (date, np.datetime64, str))


def is_millis(value: object) -> bool:
    """True for an int (a Python or NumPy integer, not a bool): a time in milliseconds.

    >>> is_millis(1704067200000), is_millis(True), is_millis(1.0)
    (True, False, False)
    """
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def to_millis(value: TimeLike) -> int:
    """Milliseconds since 1970-01-01T00:00:00 UTC of a time; an int is taken as milliseconds.

    >>> to_millis("2024-01-01")
    1704067200000
    >>> to_millis(datetime.fromisoformat("2024-01-01T12:00:00+02:00"))
    1704103200000
    >>> to_millis(np.datetime64("2024-01-01T00:00:00.001"))
    1704067200001
    """
    if is_millis(value):
        return int(value)  # type: ignore[arg-type]
    if isinstance(value, np.datetime64):
        return _numpy_millis(value)
    micros = (_as_utc(value) - _EPOCH) // timedelta(microseconds=1)
    millis, rest = divmod(micros, 1000)
    if rest:
        raise ValueError(f"time {value!r} is not a whole millisecond")
    return millis


def to_millis_array(values: Any) -> np.ndarray:
    """`to_millis` of many times at once, as an int64 array.

    An array of datetime64 or integers and a list of plain dates convert in
    one pass; other lists time by time.

    >>> to_millis_array([date(2024, 1, 1), date(2024, 1, 2)]).tolist()
    [1704067200000, 1704153600000]
    >>> to_millis_array(np.array(["2024-01-01T00:00:00.000001"], dtype="datetime64[us]"))
    Traceback (most recent call last):
    ...
    ValueError: time ...datetime64('2024-01-01T00:00:00.000001') is not a whole millisecond
    """
    if isinstance(values, np.ndarray):
        if values.dtype.kind == "M":
            return _numpy_millis_array(values.ravel())
        if values.dtype.kind in "iu":
            return values.astype(np.int64).ravel()
        values = values.tolist()
    values = list(values)
    if values and all(type(v) is date for v in values):
        days = np.fromiter((v.toordinal() for v in values), dtype=np.int64, count=len(values))
        return (days - _EPOCH_ORDINAL) * DAY_MS
    return np.fromiter((to_millis(v) for v in values), dtype=np.int64, count=len(values))


def to_datetime(value: TimeLike) -> datetime:
    """The instant of a time as an aware UTC datetime, exact to the millisecond.

    >>> to_datetime(1704067200000)
    datetime.datetime(2024, 1, 1, 0, 0, tzinfo=datetime.timezone.utc)
    >>> to_datetime(np.datetime64("2024-01-01T06:30"))
    datetime.datetime(2024, 1, 1, 6, 30, tzinfo=datetime.timezone.utc)
    """
    return _EPOCH + timedelta(milliseconds=to_millis(value))


def to_date(value: TimeLike) -> date:
    """The calendar date (UTC) of a time, for schedules and day counts.

    >>> to_date("2024-02-29T18:00:00")
    datetime.date(2024, 2, 29)
    >>> to_date(np.datetime64("2024-03-01"))
    datetime.date(2024, 3, 1)
    """
    if isinstance(value, date) and not isinstance(value, datetime):
        return value
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError("time NaT is not a time")
        return date(1970, 1, 1) + timedelta(days=int(value.astype("datetime64[D]").astype(np.int64)))
    if is_millis(value):
        return to_datetime(value).date()
    return _as_utc(value).date()


def iso(millis: int) -> str:
    """A time in milliseconds as ISO 8601 in UTC, with a "Z".

    >>> iso(1704067200000), iso(1704067200001)
    ('2024-01-01T00:00:00Z', '2024-01-01T00:00:00.001000Z')
    """
    return to_datetime(millis).isoformat().replace("+00:00", "Z")


def _as_utc(value: object) -> datetime:
    """An aware UTC datetime from a datetime, date or ISO string."""
    if isinstance(value, str):
        try:
            value = datetime.fromisoformat(value)
        except ValueError:
            raise ValueError(f"time {value!r} is not an ISO 8601 date or date-time") from None
    if isinstance(value, datetime):
        return value.replace(tzinfo=UTC) if value.tzinfo is None else value.astimezone(UTC)
    if isinstance(value, date):
        return datetime.combine(value, time(), UTC)
    raise TypeError("expected a datetime, date, numpy.datetime64, ISO string or int of milliseconds "
                    f"as time, got {type(value).__name__}")


def _numpy_millis_array(values: np.ndarray) -> np.ndarray:
    if np.isnat(values).any():
        raise ValueError("time NaT is not a time")
    unit, count = np.datetime_data(values.dtype)
    per = _TICKS_PER_MS.get(unit)
    ticks = values.view(np.int64)
    if unit in _MS_PER_UNIT and count == 1:
        factor = _MS_PER_UNIT[unit]
        too_far = np.abs(ticks) > _INT64_MAX // factor
        if too_far.any():
            raise ValueError(_outside_range(values[np.flatnonzero(too_far)[0]]))
        return ticks * factor
    if per is None or count != 1 or per > 10**6:  # rare units: exact in Python integers
        return np.fromiter((_numpy_millis(v) for v in values), dtype=np.int64, count=values.size)
    millis, rest = np.divmod(ticks, per)
    if rest.any():
        raise ValueError(f"time {values[np.flatnonzero(rest)[0]]!r} is not a whole millisecond")
    return millis


def _numpy_millis(value: np.datetime64) -> int:
    if np.isnat(value):
        raise ValueError("time NaT is not a time")
    unit, count = np.datetime_data(value.dtype)
    ticks = int(value.astype(np.int64)) * count
    per = _TICKS_PER_MS.get(unit)
    if per is not None:
        millis, rest = divmod(ticks, per)
        if rest:
            raise ValueError(f"time {value!r} is not a whole millisecond")
    elif unit in _MS_PER_UNIT:
        millis = ticks * _MS_PER_UNIT[unit]
    elif unit in ("Y", "M"):  # the first day of the month, in whole days
        months = ticks * 12 if unit == "Y" else ticks
        millis = _days_from_civil(1970 + months // 12, months % 12 + 1) * DAY_MS
    else:
        raise ValueError(f"time {value!r} has no unit of time")
    if not -_INT64_MAX <= millis <= _INT64_MAX:
        raise ValueError(_outside_range(value))
    return millis


def _outside_range(value: np.datetime64) -> str:
    return f"time {value!r} lies outside the range of milliseconds since 1970 in 64 bits"


def _days_from_civil(year: int, month: int) -> int:
    """Days from 1970-01-01 to the first of `month` of `year` (proleptic Gregorian), for any year."""
    year -= month <= 2
    era = year // 400
    of_era = year - era * 400
    of_year = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5
    days_of_era = of_era * 365 + of_era // 4 - of_era // 100 + of_year
    return era * 146097 + days_of_era - 719468

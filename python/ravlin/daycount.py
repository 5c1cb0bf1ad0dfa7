"""Day count conventions: the year fraction of an accrual period.

>>> DayCount.ACT_360.year_fraction(date(2024, 1, 1), date(2024, 7, 1))
0.5055555555555555
>>> day_count("30/360").year_fraction(date(2024, 1, 31), date(2024, 3, 31))
0.16666666666666666
"""

from __future__ import annotations

import calendar
from datetime import date
from enum import Enum
from typing import TypeVar

__all__ = ["DayCount", "day_count"]


class DayCount(Enum):
    """The day count conventions of accrued interest.

    - ACT/365F: actual days / 365.
    - ACT/360: actual days / 360.
    - 30/360: bond basis (ISDA 30/360): a 31st is read as the 30th, and an
      end date's 31st only when the start fell on the 30th or 31st.
    - ACT/ACT ISDA: the days in each calendar year over that year's length.

    >>> DayCount("ACT/ACT ISDA").year_fraction(date(2003, 11, 1), date(2004, 5, 1))
    0.49772438056740775
    """

    ACT_365F = "ACT/365F"
    ACT_360 = "ACT/360"
    THIRTY_360 = "30/360"
    ACT_ACT_ISDA = "ACT/ACT ISDA"

    def year_fraction(self, start: date, end: date) -> float:
        """The year fraction from `start` to `end` (negative when `end` is earlier).

        >>> DayCount.ACT_365F.year_fraction(date(2024, 1, 1), date(2025, 1, 1))
        1.0027397260273974
        """
        if end < start:
            return -self.year_fraction(end, start)
        if self is DayCount.ACT_365F:
            return (end - start).days / 365.0
        if self is DayCount.ACT_360:
            return (end - start).days / 360.0
        if self is DayCount.THIRTY_360:
            return _thirty_360(start, end)
        return _act_act_isda(start, end)


def day_count(value: DayCount | str) -> DayCount:
    """A day count from itself or its name ("ACT/365F", "ACT/360", "30/360", "ACT/ACT ISDA").

    >>> day_count("ACT/365F") is DayCount.ACT_365F
    True
    """
    return parse_convention(DayCount, value, "day count")


E = TypeVar("E", bound=Enum)


def parse_convention(kind: type[E], value: E | str, what: str) -> E:
    """The member of a convention enum given itself or its name, or an error listing the names.

    >>> parse_convention(DayCount, "ACT/360", "day count")
    <DayCount.ACT_360: 'ACT/360'>
    """
    if isinstance(value, kind):
        return value
    try:
        return kind(value)
    except ValueError:
        names = ", ".join(repr(member.value) for member in kind)
        raise ValueError(f"unknown {what} {value!r}; expected one of {names}") from None


def _thirty_360(start: date, end: date) -> float:
    d1 = min(start.day, 30)
    d2 = min(end.day, 30) if d1 == 30 else end.day
    return (360 * (end.year - start.year) + 30 * (end.month - start.month) + d2 - d1) / 360.0


def _act_act_isda(start: date, end: date) -> float:
    """Days in each calendar year, each over 365 or 366."""
    fraction = 0.0
    for year in range(start.year, end.year + 1):
        first = max(start, date(year, 1, 1))
        last = min(end, date(year + 1, 1, 1))
        fraction += (last - first).days / (366.0 if calendar.isleap(year) else 365.0)
    return fraction

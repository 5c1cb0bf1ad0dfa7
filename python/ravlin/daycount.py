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
    - 30E/360: Eurobond basis: every 31st is read as the 30th.
    - 30/360 US: the bond basis with the end-of-month rules of US securities:
      a start on the last day of February is read as the 30th, and so is an
      end on the last day of February when the start was one too.
    - ACT/ACT ISDA: the days in each calendar year over that year's length.
    - ACT/ACT ICMA: the days of the period over the days of its regular
      coupon period times the number of periods a year; a stub is counted
      against the notional regular periods that it covers. It needs the
      regular `reference` period in which the accrual lies (a schedule's
      `Period.reference`); without one, the accrual is its own reference.

    >>> DayCount("ACT/ACT ISDA").year_fraction(date(2003, 11, 1), date(2004, 5, 1))
    0.49772438056740775
    >>> DayCount("ACT/ACT ICMA").year_fraction(date(2003, 11, 1), date(2004, 5, 1))
    0.5
    """

    ACT_365F = "ACT/365F"
    ACT_360 = "ACT/360"
    THIRTY_360 = "30/360"
    THIRTY_E_360 = "30E/360"
    THIRTY_360_US = "30/360 US"
    ACT_ACT_ISDA = "ACT/ACT ISDA"
    ACT_ACT_ICMA = "ACT/ACT ICMA"

    def year_fraction(self, start: date, end: date, reference: tuple[date, date] | None = None) -> float:
        """The year fraction from `start` to `end` (negative when `end` is earlier).

        `reference` is the regular coupon period that ACT/ACT ICMA counts
        against; the other conventions ignore it.

        >>> DayCount.ACT_365F.year_fraction(date(2024, 1, 1), date(2025, 1, 1))
        1.0027397260273974
        >>> DayCount.ACT_ACT_ICMA.year_fraction(date(2024, 1, 1), date(2024, 3, 1),
        ...                                     reference=(date(2024, 1, 1), date(2024, 7, 1)))
        0.16483516483516483
        """
        if end < start:
            return -self.year_fraction(end, start, reference)
        if self is DayCount.ACT_365F:
            return (end - start).days / 365.0
        if self is DayCount.ACT_360:
            return (end - start).days / 360.0
        if self is DayCount.THIRTY_360:
            return _thirty_360(start, end)
        if self is DayCount.THIRTY_E_360:
            return _days_360(start, end, min(start.day, 30), min(end.day, 30))
        if self is DayCount.THIRTY_360_US:
            return _thirty_360_us(start, end)
        if self is DayCount.ACT_ACT_ICMA:
            return _act_act_icma(start, end, reference or (start, end))
        return _act_act_isda(start, end)


def day_count(value: DayCount | str) -> DayCount:
    """A day count from itself or its name ("ACT/365F", "ACT/360", "30/360", "30E/360",
    "30/360 US", "ACT/ACT ISDA", "ACT/ACT ICMA").

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


def _days_360(start: date, end: date, d1: int, d2: int) -> float:
    return (360 * (end.year - start.year) + 30 * (end.month - start.month) + d2 - d1) / 360.0


def _thirty_360(start: date, end: date) -> float:
    d1 = min(start.day, 30)
    return _days_360(start, end, d1, min(end.day, 30) if d1 == 30 else end.day)


def _last_of_february(day: date) -> bool:
    return day.month == 2 and day.day == calendar.monthrange(day.year, 2)[1]


def _thirty_360_us(start: date, end: date) -> float:
    d1, d2 = start.day, end.day
    if _last_of_february(start):
        d2 = 30 if _last_of_february(end) else d2
        d1 = 30
    d2 = 30 if d2 == 31 and d1 >= 30 else d2
    return _days_360(start, end, min(d1, 30), d2)


def _month_end(day: date) -> bool:
    return day.day == calendar.monthrange(day.year, day.month)[1]


def add_months(day: date, months: int, end_of_month: bool = False) -> date:
    """`day` moved by whole months, the day clipped to the month's length; with
    `end_of_month`, a month end stays a month end.

    >>> add_months(date(2024, 1, 31), 1), add_months(date(2024, 2, 29), 12, end_of_month=True)
    (datetime.date(2024, 2, 29), datetime.date(2025, 2, 28))
    """
    year, month = divmod(day.year * 12 + day.month - 1 + months, 12)
    last = calendar.monthrange(year, month + 1)[1]
    at_end = end_of_month and _month_end(day)
    return date(year, month + 1, last if at_end else min(day.day, last))


def _act_act_icma(start: date, end: date, reference: tuple[date, date]) -> float:
    """Days over the days of each (notional) regular period they fall in, over the periods a year.

    The notional periods step from the reference by its length in whole
    months, backward for a front stub and forward for a back stub.
    """
    ref_start, ref_end = reference
    if not ref_start < ref_end:
        raise ValueError(f"ACT/ACT ICMA: the reference period {ref_start} to {ref_end} is empty")
    months = round(12 * (ref_end - ref_start).days / 365)
    if months == 0:  # shorter than half a month: count against the year from the start
        ref_start, ref_end, months = start, add_months(start, 12), 12
    month_ends = _month_end(ref_start) and _month_end(ref_end)
    bounds = [ref_start, ref_end]
    while bounds[0] > start:
        bounds.insert(0, add_months(ref_start, (1 - len(bounds)) * months, month_ends))
    ahead = 0
    while bounds[-1] < end:
        ahead += 1
        bounds.append(add_months(ref_end, ahead * months, month_ends))
    return sum(_icma_part(start, end, a, b, months) for a, b in zip(bounds, bounds[1:]))


def _icma_part(start: date, end: date, ref_start: date, ref_end: date, months: int) -> float:
    overlap = (min(end, ref_end) - max(start, ref_start)).days
    return max(overlap, 0) * months / (12.0 * (ref_end - ref_start).days)


def _act_act_isda(start: date, end: date) -> float:
    """Days in each calendar year, each over 365 or 366."""
    fraction = 0.0
    for year in range(start.year, end.year + 1):
        first = max(start, date(year, 1, 1))
        last = min(end, date(year + 1, 1, 1))
        fraction += (last - first).days / (366.0 if calendar.isleap(year) else 365.0)
    return fraction

"""Payment schedules: periods rolled back from maturity, business-day adjustment.

>>> s = Schedule(start=date(2024, 3, 15), maturity=date(2025, 6, 30), frequency=Frequency.SEMIANNUAL)
>>> [p.end.isoformat() for p in s.periods()]
['2024-06-30', '2024-12-31', '2025-06-30']
"""

from __future__ import annotations

import calendar
from collections.abc import Iterable
from dataclasses import dataclass, field
from datetime import date, timedelta
from enum import Enum, IntEnum
from typing import NamedTuple

from ._time import TimeLike, to_date
from .daycount import parse_convention

__all__ = ["BusinessDay", "Frequency", "Period", "Schedule", "adjust", "business_day", "is_business_day"]


class Frequency(IntEnum):
    """Payments per year; each divides twelve months evenly.

    >>> Frequency(4).months
    3
    """

    ANNUAL = 1
    SEMIANNUAL = 2
    QUARTERLY = 4
    MONTHLY = 12

    @property
    def months(self) -> int:
        """Months in one regular period."""
        return 12 // self.value


class BusinessDay(Enum):
    """How a date that is not a business day moves.

    >>> adjust(date(2024, 8, 31), BusinessDay.MODIFIED_FOLLOWING)
    datetime.date(2024, 8, 30)
    """

    UNADJUSTED = "unadjusted"
    FOLLOWING = "following"
    MODIFIED_FOLLOWING = "modified following"


def business_day(value: BusinessDay | str) -> BusinessDay:
    """A convention from itself or its name ("unadjusted", "following", "modified following").

    >>> business_day("following") is BusinessDay.FOLLOWING
    True
    """
    return parse_convention(BusinessDay, value, "business day convention")


def is_business_day(day: date, holidays: frozenset[date] = frozenset()) -> bool:
    """Monday to Friday and not a holiday.

    >>> is_business_day(date(2024, 12, 25), frozenset({date(2024, 12, 25)}))
    False
    """
    return day.weekday() < 5 and day not in holidays


def adjust(day: date, convention: BusinessDay | str, holidays: frozenset[date] = frozenset()) -> date:
    """The business day that `day` moves to under `convention`.

    Following takes the next business day; modified following does too
    unless that leaves the month, and then takes the previous one.

    >>> adjust(date(2024, 6, 29), "following")
    datetime.date(2024, 7, 1)
    """
    convention = business_day(convention)
    if convention is BusinessDay.UNADJUSTED:
        return day
    following = _step(day, 1, holidays)
    if convention is BusinessDay.MODIFIED_FOLLOWING and following.month != day.month:
        return _step(day, -1, holidays)
    return following


def _step(day: date, direction: int, holidays: frozenset[date]) -> date:
    while not is_business_day(day, holidays):
        day += timedelta(days=direction)
    return day


class Period(NamedTuple):
    """One accrual period: unadjusted `start` and `end`, adjusted `payment` date.

    >>> Period(date(2025, 1, 1), date(2025, 7, 1), date(2025, 7, 1)).end.month
    7
    """

    start: date
    end: date
    payment: date


@dataclass(frozen=True, kw_only=True)
class Schedule:
    """Periods rolled back from `maturity` in steps of the frequency.

    The first period runs from `start` to the first roll date and is a short
    front stub unless `start` lies on the roll. With `end_of_month`, a
    maturity on the last day of its month rolls to month ends. Accrual uses
    the unadjusted dates; payments fall on the adjusted period ends.

    >>> s = Schedule(start="2024-01-15", maturity="2026-02-28", frequency=2,
    ...              convention="following")
    >>> [p.payment.isoformat() for p in s.periods()][:2]
    ['2024-02-29', '2024-09-02']
    """

    start: date
    maturity: date
    frequency: Frequency = Frequency.SEMIANNUAL
    convention: BusinessDay = BusinessDay.MODIFIED_FOLLOWING
    holidays: frozenset[date] = field(default_factory=frozenset)
    end_of_month: bool = True

    def __init__(self, *, start: TimeLike, maturity: TimeLike, frequency: Frequency | int = Frequency.SEMIANNUAL,
                 convention: BusinessDay | str = BusinessDay.MODIFIED_FOLLOWING,
                 holidays: Iterable[TimeLike] = (), end_of_month: bool = True) -> None:
        first, last = to_date(start), to_date(maturity)
        if last <= first:
            raise ValueError(f"maturity {last} must come after start {first}")
        try:
            frequency = Frequency(frequency)
        except ValueError:
            raise ValueError(f"frequency must be 1, 2, 4 or 12 payments a year, got {frequency!r}") from None
        object.__setattr__(self, "start", first)
        object.__setattr__(self, "maturity", last)
        object.__setattr__(self, "frequency", frequency)
        object.__setattr__(self, "convention", business_day(convention))
        object.__setattr__(self, "holidays", frozenset(to_date(h) for h in holidays))
        object.__setattr__(self, "end_of_month", bool(end_of_month))

    def dates(self) -> list[date]:
        """The unadjusted dates from `start` to `maturity`, both included."""
        rolls = [self.maturity]
        while (roll := self._roll(len(rolls))) > self.start:
            rolls.append(roll)
        rolls.append(self.start)
        return rolls[::-1]

    def periods(self) -> list[Period]:
        """The accrual periods in order, each with its adjusted payment date."""
        dates = self.dates()
        return [Period(s, e, self.adjust(e)) for s, e in zip(dates, dates[1:])]

    def adjust(self, day: date) -> date:
        """`day` moved to a business day by this schedule's convention and holidays."""
        return adjust(day, self.convention, self.holidays)

    def _roll(self, count: int) -> date:
        """The date `count` periods before maturity, counted from maturity so days never drift."""
        months = self.maturity.year * 12 + self.maturity.month - 1 - count * self.frequency.months
        year, month = divmod(months, 12)
        last_day = calendar.monthrange(year, month + 1)[1]
        month_end = self.maturity.day == calendar.monthrange(self.maturity.year, self.maturity.month)[1]
        day = last_day if self.end_of_month and month_end else min(self.maturity.day, last_day)
        return date(year, month + 1, day)

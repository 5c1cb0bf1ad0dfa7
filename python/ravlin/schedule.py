"""Payment schedules: periods rolled from maturity or start, stubs, business days, tenors.

>>> s = Schedule(start=date(2024, 3, 15), maturity=date(2025, 6, 30), frequency=Frequency.SEMIANNUAL)
>>> [p.end.isoformat() for p in s.periods()]
['2024-06-30', '2024-12-31', '2025-06-30']
>>> add_tenor(date(2024, 1, 31), "1M"), advance(date(2024, 12, 24), 2, Calendar(holidays=["2024-12-25"]))
(datetime.date(2024, 2, 29), datetime.date(2024, 12, 27))
"""

from __future__ import annotations

import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from datetime import date, timedelta
from enum import Enum, IntEnum
from typing import Literal, NamedTuple, Union

from . import _checks
from ._time import TimeLike, to_date
from .calendars import Calendar
from .daycount import add_months, parse_convention

__all__ = ["BusinessDay", "Frequency", "Period", "Schedule", "Stub", "Holidays", "adjust", "add_tenor",
           "advance", "business_day", "holiday_set", "is_business_day"]

Holidays = Union[Calendar, frozenset[date]]
"""Holidays as a schedule reads them: a `Calendar` or a set of dates."""

Stub = Literal["short front", "long front", "short back", "long back"]
_STUBS = ("short front", "long front", "short back", "long back")


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
    PRECEDING = "preceding"
    MODIFIED_PRECEDING = "modified preceding"


def business_day(value: BusinessDay | str) -> BusinessDay:
    """A convention from itself or its name ("unadjusted", "following", "modified following",
    "preceding", "modified preceding").

    >>> business_day("following") is BusinessDay.FOLLOWING
    True
    """
    return parse_convention(BusinessDay, value, "business day convention")


def holiday_set(holidays: Holidays | Iterable[TimeLike]) -> Holidays:
    """A `Calendar` as it is, any other collection of dates as a frozen set of dates.

    >>> holiday_set(["2025-12-25"])
    frozenset({datetime.date(2025, 12, 25)})
    """
    if isinstance(holidays, Calendar):
        return holidays
    if isinstance(holidays, (str, date)):
        raise TypeError(f"holidays: expected a Calendar or a collection of dates, got {holidays!r}")
    return frozenset(to_date(h) for h in holidays)


def is_business_day(day: date, holidays: Holidays = frozenset()) -> bool:
    """Monday to Friday and not a holiday.

    >>> is_business_day(date(2024, 12, 25), frozenset({date(2024, 12, 25)}))
    False
    """
    return day.weekday() < 5 and day not in holidays


def adjust(day: date, convention: BusinessDay | str, holidays: Holidays = frozenset()) -> date:
    """The business day that `day` moves to under `convention`.

    Following takes the next business day, preceding the previous one; the
    modified forms do too unless that leaves the month, and then go the
    other way.

    >>> adjust(date(2024, 6, 29), "following"), adjust(date(2024, 6, 1), "modified preceding")
    (datetime.date(2024, 7, 1), datetime.date(2024, 6, 3))
    """
    convention = business_day(convention)
    if convention is BusinessDay.UNADJUSTED:
        return day
    direction = -1 if convention in (BusinessDay.PRECEDING, BusinessDay.MODIFIED_PRECEDING) else 1
    moved = _step(day, direction, holidays)
    modified = convention in (BusinessDay.MODIFIED_FOLLOWING, BusinessDay.MODIFIED_PRECEDING)
    if modified and moved.month != day.month:
        return _step(day, -direction, holidays)
    return moved


def advance(day: date, business_days: int, holidays: Holidays = frozenset()) -> date:
    """`day` moved by a number of business days (back when negative); 0 moves a holiday forward.

    >>> advance(date(2025, 1, 3), 1), advance(date(2025, 1, 6), -1)
    (datetime.date(2025, 1, 6), datetime.date(2025, 1, 3))
    """
    if business_days == 0:
        return _step(day, 1, holidays)
    direction = 1 if business_days > 0 else -1
    for _ in range(abs(business_days)):
        day = _step(day + timedelta(days=direction), direction, holidays)
    return day


_TENOR = re.compile(r"^\s*(\d+)\s*([DWMY])\s*$", re.IGNORECASE)


def add_tenor(day: date, tenor: str, end_of_month: bool = False) -> date:
    """`day` moved by a tenor such as "2D", "1W", "3M" or "10Y" (calendar days, weeks, months, years).

    >>> add_tenor(date(2024, 2, 29), "1Y"), add_tenor(date(2024, 4, 30), "1M", end_of_month=True)
    (datetime.date(2025, 2, 28), datetime.date(2024, 5, 31))
    """
    count, unit = tenor_parts(tenor)
    if unit == "D":
        return day + timedelta(days=count)
    if unit == "W":
        return day + timedelta(weeks=count)
    return add_months(day, count * (12 if unit == "Y" else 1), end_of_month)


def tenor_parts(tenor: str) -> tuple[int, str]:
    """A tenor's count and unit ("D", "W", "M" or "Y").

    >>> tenor_parts("18m")
    (18, 'M')
    """
    match = _TENOR.match(tenor) if isinstance(tenor, str) else None
    if match is None:
        raise ValueError(f"tenor {tenor!r}: expected a whole number of days, weeks, months or years "
                         "such as '2D', '1W', '3M' or '10Y'")
    return int(match.group(1)), match.group(2).upper()


def _step(day: date, direction: int, holidays: Holidays) -> date:
    while not is_business_day(day, holidays):
        day += timedelta(days=direction)
    return day


class Period(NamedTuple):
    """One accrual period: `start` and `end` (unadjusted unless the schedule adjusts its
    accrual), the `payment` date, and the regular period it is counted against
    (`reference`, the period itself unless it is a stub).

    >>> Period(date(2025, 1, 1), date(2025, 7, 1), date(2025, 7, 1)).end.month
    7
    """

    start: date
    end: date
    payment: date
    reference: tuple[date, date] | None = None


@dataclass(frozen=True, kw_only=True)
class Schedule:
    """Periods rolled in steps of the frequency, with at most one stub.

    With a front stub (the default) the dates roll back from `maturity` and
    the first period runs from `start` to the first roll date; with a back
    stub they roll forward from `start` and the last period ends at
    `maturity`. A short stub stands alone, a long one is merged with its
    neighbouring regular period. With `end_of_month`, a roll anchor on the
    last day of its month rolls to month ends. Accrual uses the unadjusted
    dates unless `adjust_accrual` (as swap legs do); payments fall on the
    adjusted period ends, `payment_lag` business days later. `holidays` is
    a `Calendar` or a collection of dates.

    >>> s = Schedule(start="2024-01-15", maturity="2026-02-28", frequency=2,
    ...              convention="following")
    >>> [p.payment.isoformat() for p in s.periods()][:2]
    ['2024-02-29', '2024-09-02']
    >>> [p.end.isoformat() for p in Schedule(start="2024-01-15", maturity="2025-03-15", frequency=2,
    ...                                       stub="long back").periods()]
    ['2024-07-15', '2025-03-15']
    """

    start: date
    maturity: date
    frequency: Frequency = Frequency.SEMIANNUAL
    convention: BusinessDay = BusinessDay.MODIFIED_FOLLOWING
    holidays: Holidays = field(default_factory=frozenset)
    end_of_month: bool = True
    stub: Stub = "short front"
    payment_lag: int = 0
    adjust_accrual: bool = False

    def __init__(self, *, start: TimeLike, maturity: TimeLike, frequency: Frequency | int = Frequency.SEMIANNUAL,
                 convention: BusinessDay | str = BusinessDay.MODIFIED_FOLLOWING,
                 holidays: Holidays | Iterable[TimeLike] = (), end_of_month: bool = True,
                 stub: Stub = "short front", payment_lag: int = 0, adjust_accrual: bool = False) -> None:
        first, last = to_date(start), to_date(maturity)
        if last <= first:
            raise ValueError(f"maturity {last} must come after start {first}")
        try:
            frequency = Frequency(frequency)
        except ValueError:
            raise ValueError(f"frequency must be 1, 2, 4 or 12 payments a year, got {frequency!r}") from None
        if stub not in _STUBS:
            raise ValueError(f"stub must be one of {', '.join(map(repr, _STUBS))}, got {stub!r}")
        if isinstance(payment_lag, bool) or not isinstance(payment_lag, int) or payment_lag < 0:
            raise ValueError(f"payment_lag must be a non-negative number of business days, got {payment_lag!r}")
        object.__setattr__(self, "start", first)
        object.__setattr__(self, "maturity", last)
        object.__setattr__(self, "frequency", frequency)
        object.__setattr__(self, "convention", business_day(convention))
        object.__setattr__(self, "holidays", holiday_set(holidays))
        object.__setattr__(self, "end_of_month", _checks.flag(end_of_month, "end_of_month"))
        object.__setattr__(self, "stub", stub)
        object.__setattr__(self, "payment_lag", payment_lag)
        object.__setattr__(self, "adjust_accrual", _checks.flag(adjust_accrual, "adjust_accrual"))

    def dates(self) -> list[date]:
        """The unadjusted dates from `start` to `maturity`, both included."""
        rolls = self._rolls()
        back = self.stub.endswith("back")
        periods = len(rolls) - 1
        on_roll = (self._shift(self.start, periods) == self.maturity if back
                   else self._shift(self.maturity, -periods) == self.start)
        if self.stub.startswith("long") and periods > 1 and not on_roll:
            del rolls[-2 if back else 1]
        return rolls

    def periods(self) -> list[Period]:
        """The accrual periods in order, each with its payment date and its regular reference period."""
        dates = self.dates()
        n = len(dates) - 1
        periods = []
        for i, (s, e) in enumerate(zip(dates, dates[1:])):
            # A stub is counted against the regular period next to it, on the anchor's rolls.
            reference = (s, e)
            if i == 0 and self.stub.endswith("front"):
                reference = (self._shift(self.maturity, -n), e)
            elif i == n - 1 and self.stub.endswith("back"):
                reference = (s, self._shift(self.start, n))
            if self.adjust_accrual:
                s, e = self.adjust(s), self.adjust(e)
            periods.append(Period(s, e, advance(self.adjust(e), self.payment_lag, self.holidays)
                                  if self.payment_lag else self.adjust(e), reference))
        return periods

    def adjust(self, day: date) -> date:
        """`day` moved to a business day by this schedule's convention and holidays."""
        return adjust(day, self.convention, self.holidays)

    def _rolls(self) -> list[date]:
        """Roll dates from the anchor (maturity for a front stub, start for a back one), counted
        from the anchor so days never drift, closed by the other end."""
        if self.stub.endswith("back"):
            rolls = [self.start]
            while (roll := self._shift(self.start, len(rolls))) < self.maturity:
                rolls.append(roll)
            return [*rolls, self.maturity]
        rolls = [self.maturity]
        while (roll := self._shift(self.maturity, -len(rolls))) > self.start:
            rolls.append(roll)
        return [self.start, *rolls[::-1]]

    def _shift(self, anchor: date, periods: int) -> date:
        return add_months(anchor, periods * self.frequency.months, self.end_of_month)

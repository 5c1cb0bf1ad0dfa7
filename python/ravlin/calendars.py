"""Holiday calendars of financial centres, and joint calendars of several.

A `Calendar` is a set of holidays that schedules read with `day in
calendar`: weekends are handled by the schedule, holidays here. Centres
come from the maintained `holidays` package (`pip install "ravlin[calendars]"`),
imported only when a named centre is first asked about: a financial market
code such as "XNYS", "XLON", "ECB" or "FED", a country code with an optional
subdivision such as "US", "GB-ENG" or "AU-NSW" (its public holidays, and its
bank holidays where the package has them), or one of the aliases below.
Plain dates can be added to any calendar, and a calendar of dates alone
needs no package.

>>> cal = Calendar(holidays=["2025-12-25", "2025-12-26"])
>>> date(2025, 12, 25) in cal, date(2025, 12, 24) in cal
(True, False)
>>> joint = cal | Calendar(holidays=["2025-01-01"])
>>> sorted(joint.holidays)[0]
datetime.date(2025, 1, 1)
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from datetime import date
from typing import Any

from ._time import TimeLike, to_date

__all__ = ["Calendar", "CENTRES"]

CENTRES = {
    "TARGET": "ECB",        # euro settlement days (TARGET2 closing days)
    "NEW YORK": "FED",      # US Federal Reserve holidays: dollar settlement, SOFR
    "LONDON": "GB-ENG",     # bank holidays of England and Wales
    "TOKYO": "JP",
    "ZURICH": "CH-ZH",
    "SYDNEY": "AU-NSW",
    "TORONTO": "CA-ON",
}
"""Aliases of the major centres, each naming the `holidays` calendar it stands for."""


@dataclass(frozen=True)
class Calendar:
    """Holidays of one or more centres and of given dates: a day is a holiday if any has it.

    `centres` names calendars of the `holidays` package (or an alias of
    `CENTRES`); `holidays` adds dates. `a | b` is the joint calendar of both,
    as a cross-currency trade needs.

    >>> Calendar(holidays=["2025-07-04"]).is_business_day(date(2025, 7, 4))
    False
    >>> Calendar().is_business_day(date(2025, 7, 5))  # a Saturday
    False
    """

    centres: tuple[str, ...] = ()
    holidays: frozenset[date] = frozenset()
    _sources: tuple[Any, ...] = field(default=(), init=False, repr=False, compare=False)

    def __init__(self, centres: Iterable[str] | str = (), *, holidays: Iterable[TimeLike] = ()) -> None:
        names = (centres,) if isinstance(centres, str) else tuple(centres)
        for name in names:
            if not isinstance(name, str) or not name:
                raise TypeError(f"centres: expected names of financial centres, got {name!r}")
        object.__setattr__(self, "centres", tuple(dict.fromkeys(names)))
        if isinstance(holidays, (str, bytes)):
            raise TypeError(f"holidays: expected a collection of dates, got the single string {holidays!r}")
        object.__setattr__(self, "holidays", frozenset(to_date(d) for d in holidays))
        object.__setattr__(self, "_sources", tuple(_source(name) for name in self.centres))

    def __contains__(self, day: object) -> bool:
        return isinstance(day, date) and (day in self.holidays or any(day in s for s in self._sources))

    def __or__(self, other: Calendar) -> Calendar:
        if not isinstance(other, Calendar):
            return NotImplemented
        return Calendar((*self.centres, *other.centres), holidays=self.holidays | other.holidays)

    def is_business_day(self, day: date) -> bool:
        """Monday to Friday and a holiday of none of the centres."""
        return day.weekday() < 5 and day not in self

    @classmethod
    def joint(cls, *calendars: Calendar) -> Calendar:
        """The calendar whose holidays are those of any of `calendars`.

        >>> Calendar.joint(Calendar(holidays=["2025-05-26"]), Calendar(holidays=["2025-05-05"])).holidays \\
        ...     == {date(2025, 5, 26), date(2025, 5, 5)}
        True
        """
        joint = cls()
        for calendar in calendars:
            joint = joint | calendar
        return joint


def _source(name: str) -> Any:
    """The `holidays` calendar of a centre, market code or country (with subdivision)."""
    try:
        import holidays
    except ImportError:
        raise ImportError(f"calendar {name!r} needs the holidays package: pip install \"ravlin[calendars]\"") from None
    code = CENTRES.get(name.upper(), name)
    if code in holidays.list_supported_financial():
        return holidays.financial_holidays(code)
    country, _, subdivision = code.partition("-")
    try:
        public = holidays.country_holidays(country, subdiv=subdivision or None)
    except NotImplementedError:
        raise ValueError(f"unknown calendar {name!r}: expected a financial market code of the holidays "
                         f"package (such as 'XNYS', 'ECB'), a country code such as 'US' or 'GB-ENG', "
                         f"or one of {sorted(CENTRES)}") from None
    if "bank" not in public.supported_categories:
        return public
    # Settlement needs the banks open: bank holidays too (Japan's 2 and 3 January and
    # 31 December, the August bank holiday of New South Wales).
    return holidays.country_holidays(country, subdiv=subdivision or None, categories=("public", "bank"))

"""Instruments as small immutable value objects that write their own timetables.

Every instrument gives its timetable as a `Contract` (`contract()`), as a
record batch (`to_batch()`) and through the Arrow C data interface, so it can
be priced as it is. `contract(after=...)` drops the rows before a time: a
seasoned bond keeps only what it still pays, and its value is the dirty price.

Bonds pay coupons of notional × coupon × year fraction (unadjusted accrual
dates, the bond's day count) on the adjusted period ends, and the notional at
the adjusted maturity. An issuer's call (a holder's put) at a date pays
notional × price / 100 plus the interest accrued since the last period end;
the row is an issuer's (holder's) choice between that amount and the bond's
later value, written after the coupon of the same day, which is paid either
way.

Options exercise into a helper track, `<track>.exercise`, whose rows at each
exercise time pay strike × currency and ∓1 × asset, so the helper's value
there is the intrinsic value (S − K for a call, K − S for a put) on every path
or grid node, and the option row takes the larger of its later value and the
helper's. One helper serves every date: before its strike and asset rows act,
it is reset to exactly 0 by an issuer's choice of −1e300 of the currency (any
later value gives way to it) and a payment of +1e300 (which cancels it to
exactly 0). Rows at one time act in reverse order, so the table reads, per
date: choice, strike, asset, reset payment, reset choice. Two tracks are
stepped on a grid however many dates there are; a helper per date would step
one more track from each date back to the pricing time.

>>> put = AmericanOption(start="2025-01-01", expiry="2026-01-01", strike=100.0,
...                      kind="put", asset="SPX", currency="USD")
>>> put.to_batch().column("track").dictionary.to_pylist()
['option', 'option.exercise']
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from datetime import date
from typing import TYPE_CHECKING, Any, Literal, cast

import numpy as np

from . import _checks
from ._time import DAY_MS, TimeLike, to_date, to_datetime, to_millis, to_millis_array
from .contract import Contract
from .daycount import DayCount, day_count
from .schedule import BusinessDay, Frequency, Period, Schedule, Stub, adjust, advance, business_day, holiday_set

if TYPE_CHECKING:
    import pyarrow as pa

    from .market import Market

__all__ = ["FixedRateBond", "ZeroCouponBond", "EuropeanOption", "BermudanOption", "AmericanOption", "Instrument"]

OptionKind = Literal["call", "put"]
ExerciseSchedule = Mapping[TimeLike, float] | Iterable[tuple[TimeLike, float]]

# Large enough that no value of a helper track is below -_RESET, and exactly
# representable as its own negative, so -_RESET + _RESET is exactly zero.
_RESET = 1e300


class Instrument(ABC):
    """What every instrument offers: its contract, its batch, the Arrow interface."""

    @abstractmethod
    def contract(self, *, after: TimeLike | None = None) -> Contract:
        """The instrument's rows, without those before `after` when it is given."""

    def to_batch(self) -> pa.RecordBatch:
        """The whole timetable as the engine reads it (built once per instrument)."""
        batch = self.__dict__.get("_batch")
        if batch is None:
            batch = self.contract().to_batch()
            object.__setattr__(self, "_batch", batch)  # a cache, not a field: equality ignores it
        return batch

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]:
        """The Arrow C data interface of `to_batch()`."""
        capsules: tuple[Any, Any] = self.to_batch().__arrow_c_array__(requested_schema)
        return capsules


def _contract(track: str, after: TimeLike | None, *, times: np.ndarray, ops: str | list[str],
              quantities: Any, units: str | list[str], tracks: str | list[str] | None = None) -> Contract:
    """A contract of rows given as columns (already in time order), from `after` on."""
    if after is not None:
        keep = times >= to_millis(after)
        times, quantities = times[keep], np.asarray(quantities, dtype=float)[keep]
        ops, units = _kept(ops, keep), _kept(units, keep)
        tracks = None if tracks is None else _kept(tracks, keep)
    return Contract.from_columns(track, times=times, ops=ops, quantities=quantities, units=units, tracks=tracks)


def _kept(column: str | list[str], keep: np.ndarray) -> str | list[str]:
    """A name column's rows where `keep` holds; one name for every row stays one name."""
    return column if isinstance(column, str) else [value for value, kept in zip(column, keep) if kept]


def _names(instrument: object, *fields: str) -> None:
    for name in fields:
        _checks.name(getattr(instrument, name), name)


# ---------------------------------------------------------------- bonds

@dataclass(frozen=True, kw_only=True)
class FixedRateBond(Instrument):
    """A fixed-rate bond, optionally callable by the issuer or putable by the holder.

    `coupon` is the annual rate (0.05 for 5%); `calls` and `puts` map exercise
    dates to prices in percent of notional (accrued interest is added).
    Dates are moved to business days by `convention` and `holidays` (a
    `ravlin.Calendar` or dates); `stub` places a short or long stub at
    either end (`ravlin.Schedule`). A bond bought on `after` settles
    `settlement_days` business days later: `contract(after=...)` keeps what
    falls due from the settlement date on, but for a coupon paid on that
    date, which goes to the seller. With `ex_coupon_days`, a coupon
    belongs to whoever holds the bond that many business days before it is
    paid: `contract(after=...)` drops it when the settlement is that late,
    and `accrued` turns negative (the interest still to run to the coupon
    date).

    >>> bond = FixedRateBond(start="2024-03-15", maturity="2026-06-30", coupon=0.05,
    ...                      currency="USD", calls={"2025-06-30": 100.0})
    >>> [e.op for e in bond.contract()]
    ['+', '+', '+', '<', '+', '+', '+']
    >>> bond.contract().events()[0].quantity  # the short first period
    1.4583333333333335
    """

    start: TimeLike
    maturity: TimeLike
    coupon: float
    currency: str
    frequency: Frequency | int = Frequency.SEMIANNUAL
    notional: float = 100.0
    day_count: DayCount | str = DayCount.THIRTY_360
    convention: BusinessDay | str = BusinessDay.MODIFIED_FOLLOWING
    holidays: Iterable[TimeLike] = field(default=frozenset())
    end_of_month: bool = True
    stub: Stub = "short front"
    settlement_days: int = 0
    ex_coupon_days: int = 0
    calls: ExerciseSchedule = field(default=())
    puts: ExerciseSchedule = field(default=())
    track: str = "bond"

    def __post_init__(self) -> None:
        schedule = Schedule(start=self.start, maturity=self.maturity, frequency=self.frequency,
                            convention=self.convention, holidays=self.holidays, end_of_month=self.end_of_month,
                            stub=self.stub)
        _checks.whole(self.ex_coupon_days, "ex_coupon_days", 0)
        _checks.whole(self.settlement_days, "settlement_days", 0)
        _names(self, "currency", "track")
        coupon = _checks.number(self.coupon, "coupon")
        for name, value in [("start", schedule.start), ("maturity", schedule.maturity),
                            ("frequency", schedule.frequency), ("convention", schedule.convention),
                            ("holidays", schedule.holidays), ("coupon", coupon),
                            ("notional", _checks.positive(self.notional, "notional")),
                            ("day_count", day_count(self.day_count)),
                            ("calls", _exercise(self.calls, schedule, "call")),
                            ("puts", _exercise(self.puts, schedule, "put"))]:
            object.__setattr__(self, name, value)

    @property
    def schedule(self) -> Schedule:
        """The bond's coupon schedule."""
        return Schedule(start=self.start, maturity=self.maturity, frequency=self.frequency,
                        convention=self.convention, holidays=self.holidays, end_of_month=self.end_of_month,
                        stub=self.stub)

    def accrued(self, day: TimeLike) -> float:
        """Interest accrued at `day` since the start of its period (0 on a period end);
        in the ex-coupon period, minus the interest from `day` to the period end.

        >>> FixedRateBond(start="2024-01-01", maturity="2025-01-01", coupon=0.06,
        ...               currency="USD").accrued("2024-04-01")
        1.5
        >>> FixedRateBond(start="2024-01-01", maturity="2025-01-01", coupon=0.06, currency="USD",
        ...               day_count="ACT/360", ex_coupon_days=5).accrued("2024-12-30")
        -0.03333333333333333
        """
        return self._accrued(to_date(day), ex_coupon=True)

    def _accrued(self, when: date, ex_coupon: bool) -> float:
        for period in self.schedule.periods():
            if period.start <= when < period.end:
                if ex_coupon and when >= self._ex_date(period):
                    return -self._interest(period, when, period.end)
                return self._interest(period, period.start, when)
        return 0.0

    def contract(self, *, after: TimeLike | None = None) -> Contract:
        """Coupons, redemption and exercise rows in time order; see the module notes.

        >>> len(FixedRateBond(start="2024-01-01", maturity="2025-01-01", coupon=0.06,
        ...                   currency="USD").contract(after="2024-08-01"))
        2
        >>> len(FixedRateBond(start="2024-01-01", maturity="2025-01-01", coupon=0.06, currency="USD",
        ...                   ex_coupon_days=7, settlement_days=2).contract(after="2024-12-20"))
        1
        """
        schedule = self.schedule
        periods = schedule.periods()
        if after is not None and self.settlement_days:
            after = advance(to_date(after), self.settlement_days, schedule.holidays)
        if after is not None:  # a coupon gone ex by the settlement belongs to the seller
            first = to_date(after)
            periods = [p for p in periods if self._ex_date(p) > first or p.payment < first]
        rows = [(p.payment, 0, "+", self._interest(p, p.start, p.end)) for p in periods]
        rows.append((schedule.adjust(schedule.maturity), 0, "+", self.notional))
        exercises = cast(list[tuple[str, tuple[tuple[date, float], ...]]], [(">", self.puts), ("<", self.calls)])
        for rank, (op, exercise) in enumerate(exercises, start=1):
            rows += [(schedule.adjust(d), rank, op, self.notional * price / 100.0 + self._accrued(d, ex_coupon=False))
                     for d, price in exercise]
        rows.sort(key=lambda row: (row[0], row[1]))
        days, _, ops, amounts = zip(*rows)
        return _contract(self.track, after, times=to_millis_array(days), ops=list(ops), quantities=amounts,
                         units=self.currency)

    def _interest(self, period: Period, start: date, end: date) -> float:
        return self.notional * self.coupon * cast(DayCount, self.day_count).year_fraction(start, end, period.reference)

    def _ex_date(self, period: Period) -> date:
        """The first day on which the period's coupon no longer goes with the bond: its payment
        date without an ex-coupon period, since a coupon paid on the settlement date is paid to
        the seller, who holds the bond until then."""
        if not self.ex_coupon_days:
            return period.payment
        return advance(period.payment, -self.ex_coupon_days, self.schedule.holidays)


def _exercise(entries: ExerciseSchedule, schedule: Schedule, what: str) -> tuple[tuple[date, float], ...]:
    """Exercise dates with their prices, sorted, each strictly inside the bond's life."""
    pairs = entries.items() if isinstance(entries, Mapping) else entries
    result: dict[date, float] = {}
    for when, price in pairs:
        day = to_date(when)
        if not schedule.start < day < schedule.maturity:
            raise ValueError(f"{what} date {day} must lie after the start {schedule.start} "
                             f"and before the maturity {schedule.maturity}")
        if day in result:
            raise ValueError(f"{what} date {day} is given twice")
        result[day] = _checks.positive(price, f"{what} price at {day}")
    return tuple(sorted(result.items()))


@dataclass(frozen=True, kw_only=True)
class ZeroCouponBond(Instrument):
    """A bond that pays its notional at maturity and nothing before.

    >>> ZeroCouponBond(maturity="2026-01-03", currency="EUR").contract().events()[0].unit
    'EUR'
    """

    maturity: TimeLike
    currency: str
    notional: float = 100.0
    convention: BusinessDay | str = BusinessDay.MODIFIED_FOLLOWING
    holidays: Iterable[TimeLike] = field(default=frozenset())
    track: str = "bond"

    def __post_init__(self) -> None:
        _names(self, "currency", "track")
        object.__setattr__(self, "maturity", to_date(self.maturity))
        object.__setattr__(self, "convention", business_day(self.convention))
        object.__setattr__(self, "notional", _checks.positive(self.notional, "notional"))
        object.__setattr__(self, "holidays", holiday_set(self.holidays))

    def contract(self, *, after: TimeLike | None = None) -> Contract:
        """One payment of the notional on the adjusted maturity."""
        payment = adjust(cast(date, self.maturity), self.convention, cast(frozenset[date], self.holidays))
        return _contract(self.track, after, times=to_millis_array([payment]), ops="+",
                         quantities=[self.notional], units=self.currency)


# ---------------------------------------------------------------- options

@dataclass(frozen=True, kw_only=True)
class _Option(Instrument):
    strike: float
    kind: OptionKind
    asset: str
    currency: str
    track: str = "option"

    def __post_init__(self) -> None:
        _names(self, "asset", "currency", "track")
        if self.kind not in ("call", "put"):
            raise ValueError(f"kind must be 'call' or 'put', got {self.kind!r}")
        object.__setattr__(self, "strike", _checks.positive(self.strike, "strike"))

    @abstractmethod
    def exercise_times(self) -> list[int]:
        """Exercise times in milliseconds since 1970, ascending."""

    def price_bounds(self, market: Market) -> tuple[float, float] | None:
        """The no-arbitrage bounds of the price in `market` (None when nothing is left to exercise).

        Held to any exercise date the option is worth at least that date's
        discounted intrinsic value on the forward. A call pays at most the
        asset, so it is worth at most the largest discounted forward of its
        dates; a put at most the largest discounted strike.

        >>> from ravlin import Market, ZeroCurve, ForwardCurve
        >>> market = Market(base="USD", pricing_time="2025-01-01",
        ...                 curves={"USD": ZeroCurve.flat(0.0), "SPX": ForwardCurve.flat(100.0)})
        >>> call = EuropeanOption(expiry="2026-01-01", strike=90.0, kind="call", asset="SPX", currency="USD")
        >>> [round(bound, 9) for bound in call.price_bounds(market)]
        [10.0, 100.0]
        """
        dates = [to_datetime(t) for t in self.exercise_times() if t >= market.pricing_ms]
        if not dates:
            return None
        sign = 1.0 if self.kind == "call" else -1.0
        discounts = [market.discount_factor(d) for d in dates]
        forwards = [market.forward(self.asset, d) for d in dates]
        lower = max(df * max(sign * (f - self.strike), 0.0) for df, f in zip(discounts, forwards))
        upper = max(df * (f if sign > 0 else self.strike) for df, f in zip(discounts, forwards))
        return lower, upper

    def contract(self, *, after: TimeLike | None = None) -> Contract:
        """Exercise rows of every date into one helper track; see the module notes."""
        helper = f"{self.track}.exercise"
        sign = 1.0 if self.kind == "call" else -1.0
        times = np.asarray(self.exercise_times(), dtype=np.int64)
        # Per date: the choice, the strike and asset rows, and the helper's reset (none after the last date).
        tracks = [self.track, helper, helper, helper, helper]
        ops = [">", "+", "+", "+", "<"]
        quantities = [1.0, -sign * self.strike, sign, _RESET, -_RESET]
        units = [helper, self.currency, self.asset, self.currency, self.currency]
        rows = len(ops) * times.size - 2
        return _contract(self.track, after, times=np.repeat(times, len(ops))[:rows], ops=(ops * times.size)[:rows],
                         quantities=np.tile(quantities, times.size)[:rows], units=(units * times.size)[:rows],
                         tracks=(tracks * times.size)[:rows])


@dataclass(frozen=True, kw_only=True)
class EuropeanOption(_Option):
    """A call or put on one asset, exercised at `expiry` only.

    >>> EuropeanOption(expiry="2026-01-01", strike=100.0, kind="call",
    ...                asset="SPX", currency="USD").exercise_times()
    [1767225600000]
    """

    expiry: TimeLike

    def __post_init__(self) -> None:
        super().__post_init__()
        object.__setattr__(self, "expiry", to_datetime(self.expiry))

    def exercise_times(self) -> list[int]:
        """The expiry in milliseconds since 1970."""
        return [to_millis(self.expiry)]


@dataclass(frozen=True, kw_only=True)
class BermudanOption(_Option):
    """A call or put exercisable at each of `exercise_dates`.

    >>> BermudanOption(exercise_dates=["2025-07-01", "2025-01-01"], strike=100.0,
    ...                kind="put", asset="SPX", currency="USD").exercise_times()[0]
    1735689600000
    """

    exercise_dates: Iterable[TimeLike]

    def __post_init__(self) -> None:
        super().__post_init__()
        dates = sorted({to_datetime(d) for d in self.exercise_dates})
        if not dates:
            raise ValueError("a Bermudan option needs at least one exercise date")
        object.__setattr__(self, "exercise_dates", tuple(dates))

    def exercise_times(self) -> list[int]:
        """The exercise dates in milliseconds since 1970, ascending."""
        return [to_millis(d) for d in self.exercise_dates]


@dataclass(frozen=True, kw_only=True)
class AmericanOption(_Option):
    """A call or put exercisable every day from `start` to `expiry`.

    The exercise times are `expiry` and every whole day before it back to
    `start` (included when it lies a whole number of days before expiry).

    >>> len(AmericanOption(start="2025-01-01", expiry="2025-01-31", strike=100.0,
    ...                    kind="put", asset="SPX", currency="USD").exercise_times())
    31
    """

    start: TimeLike
    expiry: TimeLike

    def __post_init__(self) -> None:
        super().__post_init__()
        start, expiry = to_datetime(self.start), to_datetime(self.expiry)
        if expiry < start:
            raise ValueError(f"expiry {expiry.isoformat()} comes before start {start.isoformat()}")
        object.__setattr__(self, "start", start)
        object.__setattr__(self, "expiry", expiry)

    def exercise_times(self) -> list[int]:
        """Daily exercise times rolled back from expiry, ascending."""
        expiry, start = to_millis(self.expiry), to_millis(self.start)
        return list(range(expiry - (expiry - start) // DAY_MS * DAY_MS, expiry + 1, DAY_MS))

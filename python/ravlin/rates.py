"""Rates instruments: deposits, FRAs, swaps, OIS, floating-rate notes, caps, floors, swaptions.

Each instrument is a frozen value object whose rows depend on the market:
`contract(market)` writes them from the pricing time on (coupons already
fixed pay their fixing from `market.fixings`, earlier rows are dropped),
and `ravlin.price(instrument, market, model)` calls it. `npv(market)` sums
the same rows discounted on the base curve in Python (what `ravlin.Fixed`
gives, without the engine), which is what `ravlin.bootstrap` solves on.

A floating coupon of an index projected on its own curve P_p is written
with the deterministic-basis identity: the rate fixed for the period from
t1 to t2 satisfies 1 + L·τ = B / P_d(t1, t2) on the base curve P_d, with
B = [P_p(0,t1)/P_p(0,t2)] / [P_d(0,t1)/P_d(0,t2)], so the coupon N·L·τ paid
at t2 is worth the rows +N·B at t1 and -N at t2 on every model, the grids
included (B = 1 on a single curve). A coupon accruing τ_acc on a period
whose index accrues τ scales both rows by τ_acc/τ; a payment later than t2
pays -N there and scales +N·B by the forward discount from t2 to the
payment (exact on the curve; on a stochastic model it leaves out the small
timing convexity of the lag).

Options exercise through helper tracks, as `ravlin.EuropeanOption` does:
each caplet or floorlet writes its two rows on a helper track, whose value
at the fixing is the payoff's underlying; a holder's choice of 0 there (an
issuer's for a short one, on negated rows) turns it into the option, and
the instrument's track takes the helper's value with a track reference.
One helper serves every period whose rows end before the next one starts;
before an earlier period's rows act it is cleared to exactly 0 by an
issuer's choice of -1e300 and a payment of +1e300. A swaption accumulates
the underlying swap on one track from the last period back and takes, at
each exercise, the larger of its later value and that track's.

>>> import ravlin
>>> libor = ravlin.IborIndex(name="USD-3M", tenor="3M")
>>> swap = ravlin.InterestRateSwap.par(trade_date="2025-01-02", tenor="2Y", rate=0.04, index=libor)
>>> market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
>>> len(swap.contract(market)), round(swap.fair_rate(market), 6)  # rows of one date merged
(3, 0.040811)
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field, replace
from datetime import date
from functools import cached_property
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, cast

from . import _checks
from ._checks import whole
from ._time import TimeLike, to_date, to_datetime, to_millis
from .contract import Contract, Event
from .daycount import DayCount, day_count
from .market import Market
from .schedule import (
    BusinessDay,
    Frequency,
    Holidays,
    Period,
    Schedule,
    Stub,
    add_tenor,
    adjust,
    advance,
    business_day,
    holiday_set,
    tenor_parts,
)

if TYPE_CHECKING:
    import pyarrow as pa

    from .models import Model

__all__ = ["IborIndex", "OvernightIndex", "FixedLeg", "FloatingLeg", "Deposit", "ForwardRateAgreement",
           "InterestRateSwap", "OvernightIndexedSwap", "FloatingRateNote", "CapFloor", "Caplet", "Swaption"]

SwapKind = Literal["payer", "receiver"]
# As for the options: no helper value is below -_RESET, and -_RESET + _RESET is exactly 0.
_RESET = 1e300


def _check_terms(instrument: Any, kinds: tuple[str, ...] = (), numbers: tuple[str, ...] = ()) -> None:
    """The names, kind and numeric terms of an instrument, each refused with its field's name."""
    _checks.name(instrument.currency, "currency")
    _checks.name(instrument.track, "track")
    if kinds and instrument.kind not in kinds:
        raise ValueError(f"kind must be {' or '.join(map(repr, kinds))}, got {instrument.kind!r}")
    for name in numbers:
        _checks.number(getattr(instrument, name), name)


def _frequency(value: Frequency | int | str) -> Frequency:
    """A frequency from itself, payments a year, or a tenor that divides a year ("3M", "1Y")."""
    if isinstance(value, str):
        count, unit = tenor_parts(value)
        months = count * 12 if unit == "Y" else count if unit == "M" else 0
        if months not in (1, 3, 6, 12):
            raise ValueError(f"frequency {value!r}: expected a period of 1, 3, 6 or 12 months")
        return Frequency(12 // months)
    try:
        return Frequency(value)
    except ValueError:
        raise ValueError(f"frequency must be 1, 2, 4 or 12 payments a year, got {value!r}") from None


# ---------------------------------------------------------------- indices

@dataclass(frozen=True, kw_only=True)
class IborIndex:
    """A term rate (LIBOR, EURIBOR, term SOFR) fixed `fixing_days` business days before its period.

    `name` keys the market's projection curve and fixings of the index.

    >>> IborIndex(name="EUR-6M", tenor="6M", fixing_days=2).frequency
    <Frequency.SEMIANNUAL: 2>
    """

    name: str
    tenor: str
    day_count: DayCount | str = DayCount.ACT_360
    fixing_days: int = 2
    holidays: Holidays | Iterable[TimeLike] = field(default=frozenset())
    convention: BusinessDay | str = BusinessDay.MODIFIED_FOLLOWING
    end_of_month: bool = False

    def __post_init__(self) -> None:
        _checks.name(self.name, "name")
        object.__setattr__(self, "day_count", day_count(self.day_count))
        object.__setattr__(self, "holidays", holiday_set(self.holidays))
        object.__setattr__(self, "convention", business_day(self.convention))
        whole(self.fixing_days, "fixing_days", 0)
        _frequency(self.tenor)  # a tenor that divides a year

    @property
    def frequency(self) -> Frequency:
        """Coupons a year of a leg that pays this index at its own tenor."""
        return _frequency(self.tenor)

    @property
    def calendar(self) -> Holidays:
        """The holidays of the index's fixings and periods."""
        return cast(Holidays, self.holidays)


@dataclass(frozen=True, kw_only=True)
class OvernightIndex:
    """An overnight rate (SOFR, ESTR, SONIA), compounded daily over each coupon period.

    >>> import ravlin
    >>> OvernightIndex(name="SOFR", holidays=ravlin.Calendar(holidays=["2025-07-04"])).day_count
    <DayCount.ACT_360: 'ACT/360'>
    """

    name: str
    day_count: DayCount | str = DayCount.ACT_360
    holidays: Holidays | Iterable[TimeLike] = field(default=frozenset())
    convention: BusinessDay | str = BusinessDay.MODIFIED_FOLLOWING
    end_of_month: bool = False

    fixing_days = 0

    @property
    def calendar(self) -> Holidays:
        """The holidays of the index's fixings."""
        return cast(Holidays, self.holidays)

    def __post_init__(self) -> None:
        _checks.name(self.name, "name")
        object.__setattr__(self, "day_count", day_count(self.day_count))
        object.__setattr__(self, "holidays", holiday_set(self.holidays))
        object.__setattr__(self, "convention", business_day(self.convention))


Index = IborIndex | OvernightIndex


# ---------------------------------------------------------------- rows

class _Row(NamedTuple):
    """A row before ordering: rows sort by time, then rank (rows of one time act last rank first)."""

    time: date
    rank: int
    track: str
    op: str
    quantity: float
    unit: str


# Ranks of rows at one time, in the order written (so they act from the last rank down):
# an earlier period's payments act after the helper is cleared (and after a swaption takes
# its swap), the clearing after the exercise, which sees the period's value folded in, which
# happens after the helper's choice, which follows the period's first rows.
_PAY, _CLEAR_PAY, _CLEAR_CHOICE, _EXERCISE, _FOLD, _CHOICE, _START = range(7)


def _contract(main: str, rows: list[_Row], after: int) -> Contract:
    """The rows from `after` on, in time and rank order, with payments of one
    currency on one track at one time and rank merged into one row."""
    tracks = {r.track for r in rows}
    kept = sorted((r for r in rows if to_millis(r.time) >= after and not (
        r.op == "+" and r.quantity == 0.0 and r.unit not in tracks)), key=lambda r: (r.time, r.rank))
    merged: list[_Row] = []
    for row in kept:
        last = merged[-1] if merged else None
        if (last is not None and row.op == last.op == "+" and row[:3] == last[:3] and row.unit == last.unit
                and abs(row.quantity) < _RESET and abs(last.quantity) < _RESET):
            merged[-1] = last._replace(quantity=last.quantity + row.quantity)
        else:
            merged.append(row)
    merged = [r for r in merged if not (r.op == "+" and r.quantity == 0.0 and r.unit not in tracks)]
    return Contract.from_events([Event(r.track, to_millis(r.time), r.op, r.quantity, r.unit) for r in merged],
                                track=main)


class Curves:
    """What coupons read of a market: the pricing date, discount factors on the base and
    projection curves, fixings. Built on a `Market`, or on trial curves while bootstrapping."""

    def __init__(self, today: date, discount: Callable[[date], float], projected: Callable[[str, date], float],
                 given: Callable[[str, date], float | None]) -> None:
        self.today, self.discount, self._projected, self.given = today, discount, projected, given

    @classmethod
    def of(cls, market: Market) -> Curves:
        return cls(market.pricing_time.date(), market.discount_factor, market.projected_discount, market.fixing)

    def basis(self, index: str, start: date, end: date) -> float:
        """B: the projected growth from start to end over the base curve's."""
        projected = self._projected(index, start) / self._projected(index, end)
        return projected / (self.discount(start) / self.discount(end))

    def fixed(self, index: str, day: date) -> bool:
        """Whether the index's rate of `day` is known: fixed before today, or today when given."""
        return day < self.today or (day == self.today and self.given(index, day) is not None)

    def fixing(self, index: str, day: date) -> float:
        rate = self.given(index, day)
        if rate is None:
            raise ValueError(f"index {index!r} fixed on {day}, before the pricing date {self.today}: "
                             f"give its fixing in Market(fixings={{{index!r}: {{date: rate}}}})")
        return rate


# ---------------------------------------------------------------- legs

@dataclass(frozen=True, kw_only=True)
class _Leg:
    start: TimeLike
    maturity: TimeLike
    notional: float = 100.0
    frequency: Frequency | int | str | None = None
    day_count: DayCount | str | None = None
    convention: BusinessDay | str | None = None
    holidays: Holidays | Iterable[TimeLike] | None = None
    end_of_month: bool = False
    stub: Stub = "short front"
    payment_lag: int = 0

    def _settle(self, frequency: Frequency | int | str, count: DayCount | str, convention: BusinessDay | str,
                holidays: Holidays | Iterable[TimeLike]) -> None:
        for name, value in (("frequency", frequency), ("day_count", count), ("convention", convention),
                            ("holidays", holidays)):
            if getattr(self, name) is None:
                object.__setattr__(self, name, value)
        object.__setattr__(self, "frequency", _frequency(self.frequency))  # type: ignore[arg-type]
        object.__setattr__(self, "day_count", day_count(self.day_count))  # type: ignore[arg-type]
        object.__setattr__(self, "notional", _checks.positive(self.notional, "notional"))
        object.__setattr__(self, "start", to_date(self.start))
        object.__setattr__(self, "maturity", to_date(self.maturity))
        self.schedule.dates()  # checks the dates, convention, stub and lag

    @cached_property
    def periods(self) -> tuple[Period, ...]:
        """The leg's accrual periods (computed once)."""
        return tuple(self.schedule.periods())

    @property
    def schedule(self) -> Schedule:
        """The leg's schedule; swap legs accrue between adjusted dates."""
        return Schedule(start=self.start, maturity=self.maturity, frequency=self.frequency,  # type: ignore[arg-type]
                        convention=self.convention, holidays=self.holidays,  # type: ignore[arg-type]
                        end_of_month=self.end_of_month, stub=self.stub, payment_lag=self.payment_lag,
                        adjust_accrual=True)

    def _accrual(self, period: Period) -> float:
        return self.day_count.year_fraction(period.start, period.end, period.reference)  # type: ignore[union-attr]


@dataclass(frozen=True, kw_only=True)
class FixedLeg(_Leg):
    """Fixed coupons notional × rate × accrual, accruing between adjusted dates.

    Defaults: annual, 30/360, modified following, no holidays.

    >>> leg = FixedLeg(start="2025-01-06", maturity="2027-01-06", rate=0.04, notional=1e6)
    >>> [round(amount, 2) for _, amount in leg.flows()]
    [40000.0, 40000.0]
    """

    rate: float

    def __post_init__(self) -> None:
        _checks.number(self.rate, "rate")
        self._settle(Frequency.ANNUAL, DayCount.THIRTY_360, BusinessDay.MODIFIED_FOLLOWING, frozenset())

    def flows(self) -> list[tuple[date, float]]:
        """(payment date, amount) of every coupon."""
        return [(p.payment, self.notional * self.rate * self._accrual(p)) for p in self.periods]

    def annuity_flows(self) -> list[tuple[date, float]]:
        """(payment date, notional × accrual): the leg's value per unit of rate."""
        return [(p.payment, self.notional * self._accrual(p)) for p in self.periods]


class _Coupon(NamedTuple):
    """One floating coupon: its accrual period and the index period it fixes on."""

    start: date
    end: date
    payment: date
    accrual: float
    fixing: date
    index_accrual: float


@dataclass(frozen=True, kw_only=True)
class FloatingLeg(_Leg):
    """Coupons of an index plus `spread`, each notional × (rate + spread) × accrual.

    The schedule, day count, convention and holidays default to the index's
    (its tenor; annual for an overnight index). A term rate fixes
    `fixing_days` business days before its period (the index's by default)
    on the period itself (par coupons); an overnight rate compounds daily
    over the period.

    >>> leg = FloatingLeg(start="2025-01-06", maturity="2026-01-06", index=IborIndex(name="USD-3M", tenor="3M"))
    >>> [c.fixing.isoformat() for c in leg.coupons()][:2]
    ['2025-01-02', '2025-04-03']
    """

    index: Index
    spread: float = 0.0
    fixing_days: int | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.index, (IborIndex, OvernightIndex)):
            raise TypeError(f"index: expected an IborIndex or OvernightIndex, got {type(self.index).__name__}")
        _checks.number(self.spread, "spread")
        index = self.index
        frequency = index.frequency if isinstance(index, IborIndex) else Frequency.ANNUAL
        self._settle(frequency, index.day_count, index.convention, index.holidays)
        if self.fixing_days is None:
            object.__setattr__(self, "fixing_days", index.fixing_days)
        whole(self.fixing_days, "fixing_days", 0)

    def coupons(self) -> list[_Coupon]:
        """The coupons with their fixing dates and the index's accrual of their periods."""
        return list(self._coupons)

    @cached_property
    def _coupons(self) -> tuple[_Coupon, ...]:
        index_days = self.index.day_count
        return tuple(_Coupon(p.start, p.end, p.payment, self._accrual(p),
                             advance(p.start, -cast(int, self.fixing_days), self.index.calendar),
                             index_days.year_fraction(p.start, p.end))  # type: ignore[union-attr]
                     for p in self.periods)

    def rows(self, curves: Curves, track: str, currency: str, sign: float = 1.0,
             coupons: Sequence[_Coupon] | None = None) -> list[_Row]:
        """Each coupon (of `coupons`, by default all) as rows: a fixed one pays its amount,
        a projected one the identity's two rows."""
        rows: list[_Row] = []
        for coupon in self.coupons() if coupons is None else coupons:
            if coupon.payment < curves.today:
                continue
            projected = self._projected(coupon, curves)
            if projected is None:
                amount = self.notional * coupon.accrual * (self._fixed_rate(coupon, curves) + self.spread)
                rows.append(_Row(coupon.payment, _PAY, track, "+", sign * amount, currency))
                continue
            start, growth = projected
            scale = sign * self.notional * coupon.accrual / coupon.index_accrual
            rows += [_Row(start, _PAY, track, "+", scale * growth, currency),
                     _Row(coupon.payment, _PAY, track, "+",
                          -scale + sign * self.notional * self.spread * coupon.accrual, currency)]
        return rows

    def optionlet(self, coupon: _Coupon, curves: Curves, strike: float, call: bool
                  ) -> tuple[list[tuple[date, float]], bool]:
        """A caplet (`call`) or floorlet at `strike` on the coupon's index rate, per unit of
        notional, and whether it is still an option: if so, the two rows of its underlying,
        whose value at the fixing less nothing is the payoff before the floor at 0; once fixed,
        the payoff itself."""
        omega = 1.0 if call else -1.0
        projected = self._projected(coupon, curves)
        if projected is None:
            rate = self._fixed_rate(coupon, curves)
            return [(coupon.payment, coupon.accrual * max(omega * (rate - strike), 0.0))], False
        start, growth = projected
        ratio = coupon.accrual / coupon.index_accrual
        return [(start, omega * ratio * growth), (coupon.payment, -omega * (ratio + strike * coupon.accrual))], True

    def _projected(self, coupon: _Coupon, curves: Curves) -> tuple[date, float] | None:
        """For a coupon not yet fixed: the date of its first row and the growth it pays there
        (B times the rate known so far, times the forward discount of a payment lag)."""
        name = self.index.name
        lag = curves.discount(coupon.payment) / curves.discount(coupon.end)
        if isinstance(self.index, IborIndex):
            if curves.fixed(name, coupon.fixing):
                return None
            return coupon.start, curves.basis(name, coupon.start, coupon.end) * lag
        known, first = self._compounded(coupon, curves)
        if first >= coupon.end:
            return None
        return first, known * curves.basis(name, first, coupon.end) * lag

    def _compounded(self, coupon: _Coupon, curves: Curves) -> tuple[float, date]:
        """The growth of the overnight fixings before the pricing date (and on it, when given),
        and the first day still to be projected."""
        day, growth = coupon.start, 1.0
        days = self.index.day_count
        while day < coupon.end and curves.fixed(self.index.name, day):
            following = min(advance(day, 1, self.index.calendar), coupon.end)
            growth *= 1 + curves.fixing(self.index.name, day) * days.year_fraction(day, following)  # type: ignore[union-attr]
            day = following
        return growth, day

    def _fixed_rate(self, coupon: _Coupon, curves: Curves) -> float:
        if isinstance(self.index, IborIndex):
            return curves.fixing(self.index.name, coupon.fixing)
        growth, _ = self._compounded(coupon, curves)
        return (growth - 1) / coupon.index_accrual

    def forecast(self, market: Market) -> list[tuple[_Coupon, float]]:
        """The coupons still to pay with the index rate of each: its fixing once known, else
        the rate whose coupon is worth what the coupon's rows are worth on the curves.

        >>> import ravlin
        >>> market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
        ...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
        >>> leg = FloatingLeg(start="2025-01-06", maturity="2025-07-06", index=IborIndex(name="USD-3M", tenor="3M"))
        >>> [round(rate, 6) for _, rate in leg.forecast(market)]
        [0.039649, 0.039649]
        """
        curves = Curves.of(market)
        rates = []
        for coupon in self.coupons():
            if coupon.payment < curves.today:
                continue
            projected = self._projected(coupon, curves)
            if projected is None:
                rates.append((coupon, self._fixed_rate(coupon, curves)))
                continue
            first, growth = projected
            rate = (growth * curves.discount(first) / curves.discount(coupon.payment) - 1) / coupon.index_accrual
            rates.append((coupon, rate))
        return rates

    def annuity_flows(self) -> list[tuple[date, float]]:
        """(payment date, notional × accrual): the leg's value per unit of spread."""
        return [(c.payment, self.notional * c.accrual) for c in self.coupons()]


# ---------------------------------------------------------------- instruments

class _RatesInstrument:
    """Rows that depend on the market, their sum on the base curve, and their batch."""

    currency: str
    track: str

    def contract(self, market: Market, *, after: TimeLike | None = None) -> Contract:
        """The rows from the pricing time (or `after`, when later) on, for this market."""
        first = market.pricing_ms if after is None else max(to_millis(after), market.pricing_ms)
        contract = _contract(self.track, self._rows(Curves.of(market)), first)
        if not len(contract):
            raise ValueError(f"this {type(self).__name__} has nothing left from {to_datetime(first)} on")
        return contract

    def to_batch(self, market: Market) -> pa.RecordBatch:
        """The timetable for `market` as the engine reads it."""
        return self.contract(market).to_batch()

    def npv(self, market: Market) -> float:
        """The rows' value discounted on the base curve: the price under `ravlin.Fixed`,
        summed in Python (exact for instruments without choices)."""
        return self.value_on(Curves.of(market))

    # The rows' value discounted on `curves`: a market's, or trial curves while bootstrapping.
    def value_on(self, curves: Curves) -> float:
        rows = self._rows(curves)
        if any(r.op != "+" for r in rows):
            raise TypeError(f"a {type(self).__name__} with options has no value without a model: "
                            "use ravlin.price(instrument, market, model)")
        return math.fsum(r.quantity * curves.discount(r.time) for r in rows
                         if r.unit == self.currency and r.time >= curves.today)

    def _rows(self, curves: Curves) -> list[_Row]:
        raise NotImplementedError

    @property
    def indices(self) -> tuple[str, ...]:
        """Names of the indices whose projection curves the rows read."""
        return ()


def for_market(timetable: Any, market: Market) -> Any:
    """A rates instrument's contract for `market`; anything else as it is.

    >>> for_market([("x", "2025-01-01", "+", 1.0, "USD")], None)
    [('x', '2025-01-01', '+', 1.0, 'USD')]
    """
    return timetable.contract(market) if isinstance(timetable, _RatesInstrument) else timetable


def _engine_value(rows: list[_Row], market: Market, model: Model | None, track: str) -> float:
    """The value of rows on `model` (the fixed model by default) through the engine."""
    from .models import Fixed
    from .pricing import price

    chosen: Model = Fixed() if model is None else model
    return price(_contract(track, rows, market.pricing_ms), market, chosen).price


def _flow_rows(flows: Iterable[tuple[date, float]], track: str, currency: str, sign: float) -> list[_Row]:
    return [_Row(day, _PAY, track, "+", sign * amount, currency) for day, amount in flows]


@dataclass(frozen=True, kw_only=True)
class Deposit(_RatesInstrument):
    """A cash deposit: `notional` lent at `start` and repaid with interest at `maturity`.

    One track, two rows. As a quote of `ravlin.bootstrap` it fixes the
    curve that discounts (a deposit is money lent, not an index).

    >>> d = Deposit.par(trade_date="2025-01-02", tenor="3M", rate=0.043)
    >>> d.start, d.maturity
    (datetime.date(2025, 1, 6), datetime.date(2025, 4, 7))
    """

    start: TimeLike
    maturity: TimeLike
    rate: float
    day_count: DayCount | str = DayCount.ACT_360
    notional: float = 100.0
    currency: str = "USD"
    track: str = "deposit"

    def __post_init__(self) -> None:
        _check_terms(self, numbers=("rate",))
        object.__setattr__(self, "start", to_date(self.start))
        object.__setattr__(self, "maturity", to_date(self.maturity))
        object.__setattr__(self, "day_count", day_count(self.day_count))
        object.__setattr__(self, "notional", _checks.positive(self.notional, "notional"))
        if self.maturity <= self.start:  # type: ignore[operator]
            raise ValueError(f"maturity {self.maturity} must come after start {self.start}")

    @classmethod
    def par(cls, *, trade_date: TimeLike, tenor: str, rate: float, settlement_days: int = 2,
            holidays: Holidays | Iterable[TimeLike] = (), convention: BusinessDay | str = "modified following",
            **terms: Any) -> Deposit:
        """The deposit traded on `trade_date` for `tenor` from spot (`settlement_days` later)."""
        holidays = holiday_set(holidays)
        start = advance(to_date(trade_date), whole(settlement_days, "settlement_days", 0), holidays)
        return cls(start=start, maturity=adjust(add_tenor(start, tenor), convention, holidays), rate=rate, **terms)

    @property
    def pillar(self) -> date:
        return self.maturity  # type: ignore[return-value]

    @property
    def rate_guess(self) -> float:
        return self.rate

    def _rows(self, curves: Curves) -> list[_Row]:
        interest = self.rate * self.day_count.year_fraction(self.start, self.maturity)  # type: ignore[union-attr,arg-type]
        return [_Row(self.start, _PAY, self.track, "+", -self.notional, self.currency),  # type: ignore[arg-type]
                _Row(self.maturity, _PAY, self.track, "+", self.notional * (1 + interest), self.currency)]  # type: ignore[arg-type]


@dataclass(frozen=True, kw_only=True)
class ForwardRateAgreement(_RatesInstrument):
    """A FRA on `index` for the period from `start` to `end`, settled at `start`.

    The buyer receives notional × (L - rate) × τ / (1 + L × τ) at the start
    of the period, L being the index's fixing `fixing_days` before it and τ
    the index's accrual. One track, two rows: +N at the start and
    -N (1 + rate × τ) / B at the end (B the basis of the projection curve
    over the base), exact on every model.

    >>> libor = IborIndex(name="USD-3M", tenor="3M")
    >>> fra = ForwardRateAgreement.par(trade_date="2025-01-02", start="3M", index=libor, rate=0.045)
    >>> fra.start, fra.end
    (datetime.date(2025, 4, 7), datetime.date(2025, 7, 7))
    """

    start: TimeLike
    end: TimeLike
    index: IborIndex
    rate: float
    kind: Literal["buyer", "seller"] = "buyer"
    notional: float = 100.0
    currency: str = "USD"
    track: str = "fra"

    def __post_init__(self) -> None:
        if not isinstance(self.index, IborIndex):
            raise TypeError(f"index: expected an IborIndex, got {type(self.index).__name__}")
        _check_terms(self, ("buyer", "seller"), ("rate",))
        object.__setattr__(self, "start", to_date(self.start))
        object.__setattr__(self, "end", to_date(self.end))
        object.__setattr__(self, "notional", _checks.positive(self.notional, "notional"))
        if self.end <= self.start:  # type: ignore[operator]
            raise ValueError(f"end {self.end} must come after start {self.start}")

    @classmethod
    def par(cls, *, trade_date: TimeLike, start: str, index: IborIndex, rate: float, end: str | None = None,
            **terms: Any) -> ForwardRateAgreement:
        """The FRA traded on `trade_date` for the index period `start` after spot ("3M" for a 3x6
        on a 3M index; "0M" for the spot period, the index's deposit), ending `end` after spot
        (the index's tenor later by default)."""
        spot = advance(to_date(trade_date), index.fixing_days, index.calendar)
        first = adjust(add_tenor(spot, start, index.end_of_month), index.convention, index.calendar)
        last = add_tenor(first, index.tenor, index.end_of_month) if end is None else \
            add_tenor(spot, end, index.end_of_month)
        return cls(start=first, end=adjust(last, index.convention, index.calendar), index=index,
                   rate=rate, **terms)

    @property
    def fixing(self) -> date:
        """The date the index fixes the FRA's rate."""
        return advance(self.start, -self.index.fixing_days, self.index.calendar)  # type: ignore[arg-type]

    @property
    def pillar(self) -> date:
        return self.end  # type: ignore[return-value]

    @property
    def rate_guess(self) -> float:
        return self.rate

    @property
    def indices(self) -> tuple[str, ...]:
        return (self.index.name,)

    def _rows(self, curves: Curves) -> list[_Row]:
        sign = 1.0 if self.kind == "buyer" else -1.0
        tau = self.index.day_count.year_fraction(self.start, self.end)  # type: ignore[union-attr,arg-type]
        start, end = self.start, self.end
        if curves.fixed(self.index.name, self.fixing):
            fixed = curves.fixing(self.index.name, self.fixing)
            amount = self.notional * (fixed - self.rate) * tau / (1 + fixed * tau)
            return [_Row(start, _PAY, self.track, "+", sign * amount, self.currency)]  # type: ignore[arg-type]
        basis = curves.basis(self.index.name, start, end)  # type: ignore[arg-type]
        return [_Row(start, _PAY, self.track, "+", sign * self.notional, self.currency),  # type: ignore[arg-type]
                _Row(end, _PAY, self.track, "+", -sign * self.notional * (1 + self.rate * tau) / basis,  # type: ignore[arg-type]
                     self.currency)]


@dataclass(frozen=True, kw_only=True)
class InterestRateSwap(_RatesInstrument):
    """A fixed-for-floating swap: a payer pays the fixed leg and receives the floating one.

    The legs have their own schedules, conventions and notionals. One
    track; each fixed coupon is one row, each floating coupon two (the
    identity's rows; one when already fixed), rows of one date merged.
    `fair_rate` and `fair_spread` zero its value.

    >>> libor = IborIndex(name="USD-3M", tenor="3M")
    >>> swap = InterestRateSwap(fixed=FixedLeg(start="2025-01-06", maturity="2030-01-06", rate=0.04),
    ...                         floating=FloatingLeg(start="2025-01-06", maturity="2030-01-06", index=libor))
    >>> len(swap.fixed.flows()), len(swap.floating.coupons())
    (5, 20)
    """

    fixed: FixedLeg
    floating: FloatingLeg
    kind: SwapKind = "payer"
    currency: str = "USD"
    track: str = "swap"

    def __post_init__(self) -> None:
        if not isinstance(self.fixed, FixedLeg) or not isinstance(self.floating, FloatingLeg):
            raise TypeError("fixed and floating: expected a FixedLeg and a FloatingLeg")
        _check_terms(self, ("payer", "receiver"))

    @classmethod
    def par(cls, *, trade_date: TimeLike, tenor: str, rate: float, index: Index, settlement_days: int | None = None,
            fixed_frequency: Frequency | int | str = Frequency.ANNUAL,
            fixed_day_count: DayCount | str = DayCount.THIRTY_360, spread: float = 0.0, notional: float = 100.0,
            forward_start: str | None = None, payment_lag: int = 0, **terms: Any) -> InterestRateSwap:
        """The swap traded on `trade_date` for `tenor` from spot (the index's fixing days later,
        or `settlement_days`; `forward_start` later again), legs on the index's calendar.

        >>> InterestRateSwap.par(trade_date="2025-01-02", tenor="5Y", rate=0.04,
        ...                      index=IborIndex(name="USD-3M", tenor="3M")).fixed.maturity
        datetime.date(2030, 1, 6)
        """
        holidays = index.calendar
        days = index.fixing_days if settlement_days is None else whole(settlement_days, "settlement_days", 0)
        start = advance(to_date(trade_date), days, holidays)
        if forward_start is not None:
            start = adjust(add_tenor(start, forward_start, index.end_of_month), index.convention, holidays)
        maturity = add_tenor(start, tenor, index.end_of_month)
        legs = dict(start=start, maturity=maturity, notional=notional, holidays=holidays,
                    end_of_month=index.end_of_month, payment_lag=payment_lag)
        return cls(fixed=FixedLeg(**legs, rate=rate, frequency=fixed_frequency, day_count=fixed_day_count,  # type: ignore[arg-type]
                                  convention=index.convention),
                   floating=FloatingLeg(**legs, index=index, spread=spread), **terms)  # type: ignore[arg-type]

    @property
    def pillar(self) -> date:
        return max(self.fixed.periods[-1].payment, self.floating.coupons()[-1].payment)

    @property
    def rate_guess(self) -> float:
        return self.fixed.rate

    @property
    def indices(self) -> tuple[str, ...]:
        return (self.floating.index.name,)

    @property
    def _sign(self) -> float:
        return 1.0 if self.kind == "payer" else -1.0

    def _rows(self, curves: Curves) -> list[_Row]:
        return [*self.floating.rows(curves, self.track, self.currency, self._sign),
                *_flow_rows(self._fixed_flows(curves), self.track, self.currency, -self._sign)]

    def _fixed_flows(self, curves: Curves) -> list[tuple[date, float]]:
        return [(day, amount) for day, amount in self.fixed.flows() if day >= curves.today]

    def annuity(self, market: Market) -> float:
        """The fixed leg's value per unit of rate on the base curve (the payments still to come):
        the annuity of Black and Bachelier swaption formulas.

        >>> import ravlin
        >>> market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.0)})
        >>> InterestRateSwap.par(trade_date="2025-01-02", tenor="2Y", rate=0.04, notional=1.0,
        ...                      index=IborIndex(name="USD-3M", tenor="3M")).annuity(market)
        2.0
        """
        curves = Curves.of(market)
        return math.fsum(amount * curves.discount(day) for day, amount in self.fixed.annuity_flows()
                         if day >= curves.today)

    def from_date(self, start: TimeLike) -> InterestRateSwap:
        """The same swap without its periods before `start` (a period start of both legs).

        >>> swap = InterestRateSwap.par(trade_date="2025-01-02", tenor="3Y", rate=0.04,
        ...                             index=IborIndex(name="USD-3M", tenor="3M"))
        >>> len(swap.from_date("2026-01-06").fixed.periods)
        2
        """
        day = to_date(start)
        return replace(self, fixed=replace(self.fixed, start=day), floating=replace(self.floating, start=day))

    def fair_rate(self, market: Market, model: Model | None = None) -> float:
        """The fixed rate that gives the swap the value 0, from the engine (`model`, by
        default `ravlin.Fixed`): the floating leg's value over the fixed leg's per unit rate.

        >>> import ravlin
        >>> libor = IborIndex(name="USD-3M", tenor="3M")
        >>> market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.03)},
        ...                 projections={"USD-3M": ravlin.ZeroCurve.flat(0.035)})
        >>> swap = InterestRateSwap.par(trade_date="2025-01-02", tenor="5Y", rate=0.0, index=libor)
        >>> round(swap.fair_rate(market), 10) == round(swap.fair_rate(market, ravlin.Fixed()), 10)
        True
        """
        curves = Curves.of(market)
        floating = _engine_value(self.floating.rows(curves, self.track, self.currency), market, model, self.track)
        annuity = _engine_value(_flow_rows([f for f in self.fixed.annuity_flows() if f[0] >= curves.today],
                                           self.track, self.currency, 1.0), market, model, self.track)
        return floating / annuity

    def fair_spread(self, market: Market, model: Model | None = None) -> float:
        """The spread over the index that gives the swap the value 0, from the engine."""
        curves = Curves.of(market)
        value = _engine_value(self._rows(curves), market, model, self.track)
        annuity = _engine_value(_flow_rows([f for f in self.floating.annuity_flows() if f[0] >= curves.today],
                                           self.track, self.currency, 1.0), market, model, self.track)
        return self.floating.spread - self._sign * value / annuity


@dataclass(frozen=True, kw_only=True)
class OvernightIndexedSwap(InterestRateSwap):
    """A swap of a fixed rate against an overnight index compounded over each period.

    The floating leg's index is an `OvernightIndex`; coupons already
    running compound the past fixings from `market.fixings` and project
    the rest. Rows as `InterestRateSwap`.

    >>> sofr = OvernightIndex(name="SOFR")
    >>> ois = OvernightIndexedSwap.par(trade_date="2025-01-02", tenor="18M", rate=0.041, index=sofr)
    >>> [p.end.isoformat() for p in ois.fixed.schedule.periods()]
    ['2025-07-07', '2026-07-06']
    """

    def __post_init__(self) -> None:
        super().__post_init__()
        if not isinstance(self.floating.index, OvernightIndex):
            raise TypeError(f"an OvernightIndexedSwap's floating leg needs an OvernightIndex, "
                            f"got {type(self.floating.index).__name__}")

    @classmethod
    def par(cls, *, trade_date: TimeLike, tenor: str, rate: float, index: Index, settlement_days: int | None = 2,
            fixed_frequency: Frequency | int | str = Frequency.ANNUAL, fixed_day_count: DayCount | str | None = None,
            **terms: Any) -> InterestRateSwap:
        """The OIS traded on `trade_date` for `tenor` from spot, both legs annual on the index's day count."""
        return super().par(trade_date=trade_date, tenor=tenor, rate=rate, index=index,
                           settlement_days=settlement_days, fixed_frequency=fixed_frequency,
                           fixed_day_count=index.day_count if fixed_day_count is None else fixed_day_count,
                           **terms)


# ---------------------------------------------------------------- blocks on helper tracks

class _Block(NamedTuple):
    """Rows of currency whose value joins a target track at `fold`, all at or after it; with
    `choice` (">" or "<"), the holder's or issuer's choice of 0 is taken first. `deadline`,
    when given, is the next time the target is read: rows up to it (payments only at it) may
    go on the target itself."""

    fold: date
    rows: list[tuple[date, float]]
    choice: str | None = None
    deadline: date | None = None


def _blocks(blocks: Sequence[_Block], target: str, currency: str) -> list[_Row]:
    """The blocks' rows on `target` or on the fewest helper tracks (`<target>.period`,
    `<target>.period2`, ...): a block goes on a helper when it has a choice or pays after the
    target is next read, and shares it with earlier blocks whose rows end by its fold."""
    rows: list[_Row] = []
    helpers: list[date] = []  # per helper, the last row time of its latest block
    for block in sorted(blocks, key=lambda b: b.fold):
        last = max(day for day, _ in block.rows)
        if block.choice is None and (block.deadline is None or last <= block.deadline):
            rows += [_Row(day, _START if day == block.fold else _PAY, target, "+", q, currency)
                     for day, q in block.rows]
            continue
        free = [i for i, busy in enumerate(helpers) if busy <= block.fold]
        slot = free[0] if free else len(helpers)
        name = f"{target}.period" + (str(slot + 1) if slot else "")
        if free:  # an earlier block's rows follow on this helper: clear it before they act
            rows += [_Row(block.fold, _CLEAR_PAY, name, "+", _RESET, currency),
                     _Row(block.fold, _CLEAR_CHOICE, name, "<", -_RESET, currency)]
            helpers[slot] = last
        else:
            helpers.append(last)
        rows += [_Row(day, _START if day == block.fold else _PAY, name, "+", q, currency) for day, q in block.rows]
        if block.choice is not None:
            rows.append(_Row(block.fold, _CHOICE, name, block.choice, 0.0, currency))
        rows.append(_Row(block.fold, _FOLD, target, "+", 1.0, name))
    return rows


def _scaled(rows: Iterable[tuple[date, float]], factor: float) -> list[tuple[date, float]]:
    return [(day, factor * q) for day, q in rows]


def _optionlets(leg: FloatingLeg, curves: Curves, strike: float, call: bool, long: bool
                ) -> tuple[list[_Block], list[tuple[date, float]]]:
    """Caplets or floorlets of a leg's coupons, bought (`long`) or sold: blocks for those still
    to fix, plain payoffs for those fixed."""
    if not isinstance(leg.index, IborIndex):
        raise ValueError("caps and floors need a term rate (IborIndex): an overnight rate compounded over "
                         "the period is known only at its end")
    sign = leg.notional * (1.0 if long else -1.0)
    blocks, fixed = [], []
    for coupon in leg.coupons():
        if coupon.payment < curves.today:
            continue
        rows, live = leg.optionlet(coupon, curves, strike, call)
        if live:
            blocks.append(_Block(max(coupon.fixing, curves.today), _scaled(rows, sign), ">" if long else "<"))
        else:
            fixed += _scaled(rows, sign)
    return blocks, fixed


# ---------------------------------------------------------------- notes and options

@dataclass(frozen=True, kw_only=True)
class FloatingRateNote(FloatingLeg, _RatesInstrument):
    """A note paying `index` + `spread` on its notional each period, optionally capped or floored.

    The coupon rate is min(max(index + spread, floor), cap). One track
    ("frn") holds the coupons (the identity's two rows each, one once
    fixed) and the notional at maturity; a floor adds a bought floorlet
    per coupon and a cap a sold caplet, each on a helper track (one helper
    per kind without a fixing lag; two with one, since a coupon's rows then
    outlast the next fixing), four rows per optionlet and two more that clear
    a helper before each earlier one.

    >>> import ravlin
    >>> note = FloatingRateNote(start="2025-01-06", maturity="2027-01-06", spread=0.002,
    ...                         index=IborIndex(name="USD-3M", tenor="3M"), floor=0.0)
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
    ...                 projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
    >>> note.contract(market).to_batch().column("track").dictionary.to_pylist()
    ['frn', 'frn.period', 'frn.period2']

    The terms are those of its `FloatingLeg` (the note is one), plus `cap`,
    `floor`, `currency` and `track`.
    """

    cap: float | None = None
    floor: float | None = None
    currency: str = "USD"
    track: str = "frn"

    def __post_init__(self) -> None:
        super().__post_init__()
        _check_terms(self, numbers=tuple(n for n in ("cap", "floor") if getattr(self, n) is not None))
        if self.cap is not None and self.floor is not None and self.cap < self.floor:
            raise ValueError(f"cap {self.cap} is below floor {self.floor}")

    @property
    def leg(self) -> FloatingLeg:
        """The note's coupons as a floating leg."""
        return self

    @property
    def indices(self) -> tuple[str, ...]:
        return (self.index.name,)

    def _rows(self, curves: Curves) -> list[_Row]:
        leg = self.leg
        redemption = leg.coupons()[-1].payment
        rows = [*leg.rows(curves, self.track, self.currency),
                _Row(redemption, _PAY, self.track, "+", self.notional, self.currency)]
        blocks: list[_Block] = []
        flows: list[tuple[date, float]] = []
        for strike, call, long in ((self.floor, False, True), (self.cap, True, False)):
            if strike is not None:
                live, fixed = _optionlets(leg, curves, strike - self.spread, call, long)
                blocks += live
                flows += fixed
        return rows + _blocks(blocks, self.track, self.currency) + _flow_rows(flows, self.track, self.currency, 1.0)


class Caplet(NamedTuple):
    """One caplet or floorlet still to fix: its dates, accrual, the index's forward rate for its
    period, and the discount factor of its payment (the payoff is paid on the leg's accrual,
    the rate accrues on the index's)."""

    fixing: date
    start: date
    end: date
    payment: date
    accrual: float
    forward: float
    discount: float


@dataclass(frozen=True, kw_only=True)
class CapFloor(_RatesInstrument):
    """A cap (caplets) or floor (floorlets) at `strike` on the coupons of a floating leg, bought.

    Each caplet pays notional × accrual × max(L - strike, 0) at the
    coupon's payment (a floorlet max(strike - L, 0)); it is a holder's
    choice at the fixing on a helper track, folded into the track "cap".
    A caplet already fixed pays its payoff as a plain row. Tracks: "cap"
    and one helper (two when coupons fix before their period starts or pay
    after it ends: a coupon's rows then outlast the next fixing); rows:
    four per caplet (two on the helper, the choice, the fold) and two that
    clear the helper before each earlier caplet.

    >>> import ravlin
    >>> cap = CapFloor(leg=FloatingLeg(start="2025-01-06", maturity="2030-01-06", notional=1e6,
    ...                                index=IborIndex(name="USD-3M", tenor="3M", fixing_days=0)),
    ...                strike=0.045, kind="cap")
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-06", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
    ...                 projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
    >>> batch = cap.to_batch(market)
    >>> batch.column("track").dictionary.to_pylist(), batch.num_rows
    (['cap', 'cap.period'], 118)
    """

    leg: FloatingLeg
    strike: float
    kind: Literal["cap", "floor"] = "cap"
    currency: str = "USD"
    track: str = "cap"

    def __post_init__(self) -> None:
        if not isinstance(self.leg, FloatingLeg):
            raise TypeError(f"leg: expected a FloatingLeg, got {type(self.leg).__name__}")
        _check_terms(self, ("cap", "floor"), ("strike",))

    @property
    def indices(self) -> tuple[str, ...]:
        return (self.leg.index.name,)

    def caplets(self, market: Market) -> list[Caplet]:
        """The caplets (floorlets) still to fix, with the forward rate of each and the discount
        factor of its payment: what Black and Bachelier caplet formulas read.

        >>> import ravlin
        >>> market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
        ...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
        >>> cap = CapFloor(leg=FloatingLeg(start="2025-01-06", maturity="2026-01-06",
        ...                                index=IborIndex(name="USD-3M", tenor="3M")), strike=0.04)
        >>> [round(c.forward, 6) for c in cap.caplets(market)]
        [0.039649, 0.039649, 0.039649, 0.039652]
        """
        curves, leg = Curves.of(market), self.leg
        name = leg.index.name
        caplets = []
        for c in leg.coupons():
            if c.payment < curves.today or curves.fixed(name, c.fixing):
                continue
            growth = market.projected_discount(name, c.start) / market.projected_discount(name, c.end)
            caplets.append(Caplet(c.fixing, c.start, c.end, c.payment, c.accrual, (growth - 1) / c.index_accrual,
                                  curves.discount(c.payment)))
        return caplets

    def optionlet_flows(self, market: Market) -> tuple[list[tuple[date, list[tuple[date, float]]]],
                                                      list[tuple[date, float]]]:
        """Each caplet still to fix as its decision date (the fixing, or today) and the payments
        of currency whose value there, when positive, it pays; and the payoffs of those fixed.
        What closed forms of short-rate models read.

        >>> import ravlin
        >>> market = ravlin.Market(base="USD", pricing_time="2025-01-06", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
        ...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
        >>> cap = CapFloor(leg=FloatingLeg(start="2025-04-07", maturity="2025-10-07", notional=1.0,
        ...                                index=IborIndex(name="USD-3M", tenor="3M", fixing_days=0)), strike=0.04)
        >>> [(day.isoformat(), len(rows)) for day, rows in cap.optionlet_flows(market)[0]]
        [('2025-04-07', 2), ('2025-07-07', 2)]
        """
        blocks, fixed = _optionlets(self.leg, Curves.of(market), self.strike, self.kind == "cap", True)
        return [(b.fold, b.rows) for b in blocks], fixed

    def _rows(self, curves: Curves) -> list[_Row]:
        blocks, fixed = _optionlets(self.leg, curves, self.strike, self.kind == "cap", True)
        return _blocks(blocks, self.track, self.currency) + _flow_rows(fixed, self.track, self.currency, 1.0)


@dataclass(frozen=True, kw_only=True)
class Swaption(_RatesInstrument):
    """The right to enter `swap` (its periods from the exercise date on), physically settled.

    European with one exercise date, Bermudan with several. Each exercise
    date must start a period of both legs; the holder decides
    `notice_days` business days before it (on the floating index's
    calendar). A payer swaption enters a payer swap.

    The option is the swap from the first exercise plus the value of
    waiting over it: O_j = U_j + D_j with D_j = max(0, D_(j+1) - P_j), U_j
    the swap from exercise j, P_j its periods up to exercise j+1. So the
    track "swaption" holds the swap's rows negated and, at each decision, a
    holder's choice of 0 (one row); after the first decision it takes the
    value of "swaption.swap", which holds the swap's rows. Every choice
    compares a continuation with 0, which Monte Carlo estimates by
    regression, where the larger of the option's continuation and the
    swap's value along the path would see the path's future. Two tracks and
    twice the swap's rows, plus one row per exercise and one more; with
    notice days or a payment lag a period's payments outlast the next
    decision, so each period's negated rows go on a helper track folded in
    at the period's start (one or two helpers, three rows more per period).

    >>> import ravlin
    >>> libor = IborIndex(name="USD-3M", tenor="3M")
    >>> swap = InterestRateSwap.par(trade_date="2025-01-02", tenor="5Y", forward_start="5Y", rate=0.04, index=libor)
    >>> bermudan = Swaption(swap=swap, exercise_dates=[p.start for p in swap.fixed.schedule.periods()])
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
    ...                 projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
    >>> bermudan.to_batch(market).column("track").dictionary.to_pylist()
    ['swaption', 'swaption.swap']
    """

    swap: InterestRateSwap
    exercise_dates: Iterable[TimeLike]
    notice_days: int = 0
    track: str = "swaption"
    currency: str = field(init=False, default="")

    def __post_init__(self) -> None:
        if not isinstance(self.swap, InterestRateSwap):
            raise TypeError(f"swap: expected an InterestRateSwap, got {type(self.swap).__name__}")
        _checks.name(self.track, "track")
        whole(self.notice_days, "notice_days", 0)
        object.__setattr__(self, "currency", self.swap.currency)
        dates = tuple(sorted({to_date(d) for d in self.exercise_dates}))
        if not dates:
            raise ValueError("a swaption needs at least one exercise date")
        starts = {p.start for p in self.swap.fixed.periods} & {c.start for c in self.swap.floating.coupons()}
        for day in dates:
            if day not in starts:
                raise ValueError(f"exercise date {day} starts no period of both legs of the swap; "
                                 f"common period starts are {sorted(d.isoformat() for d in starts)}")
        object.__setattr__(self, "exercise_dates", dates)
        for day, decision in zip(dates[1:], self.decisions()[1:]):
            if decision <= dates[dates.index(day) - 1]:
                raise ValueError(f"the notice before the exercise on {day} falls before the previous exercise")

    def decisions(self) -> list[date]:
        """The dates on which the holder decides, `notice_days` business days before each exercise."""
        holidays = cast(Holidays, self.swap.floating.holidays)
        return [advance(day, -self.notice_days, holidays) if self.notice_days else day for day in self._dates]

    @property
    def _dates(self) -> tuple[date, ...]:
        return cast(tuple[date, ...], self.exercise_dates)

    @property
    def indices(self) -> tuple[str, ...]:
        return self.swap.indices

    def underlying_flows(self, market: Market) -> tuple[date, list[tuple[date, float]]]:
        """The first decision date still to come, and the payments of currency of the swap
        entered at it (from its exercise date on): a European swaption pays their value there
        when positive. What closed forms of short-rate models read.

        >>> import ravlin
        >>> libor = IborIndex(name="USD-3M", tenor="3M", fixing_days=0)
        >>> swap = InterestRateSwap.par(trade_date="2025-01-06", tenor="1Y", forward_start="1Y", rate=0.04,
        ...                             index=libor, notional=1.0)
        >>> market = ravlin.Market(base="USD", pricing_time="2025-01-06", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
        ...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
        >>> decision, flows = Swaption(swap=swap, exercise_dates=[swap.fixed.start]).underlying_flows(market)
        >>> decision.isoformat(), [round(q, 6) for _, q in flows]
        ('2026-01-06', [1.0, -1.04])
        """
        curves, swap = Curves.of(market), self.swap
        upcoming = [(e, d) for e, d in zip(self._dates, self.decisions()) if d >= curves.today]
        if not upcoming:
            raise ValueError(f"the swaption's last decision date {self.decisions()[-1]} has passed")
        start, decision = upcoming[0]
        coupons = [c for c in swap.floating.coupons() if c.start >= start]
        flows = [(r.time, r.quantity) for r in swap.floating.rows(curves, self.track, self.currency, swap._sign,
                                                                   coupons)]
        flows += [(p.payment, -swap._sign * swap.fixed.notional * swap.fixed.rate * swap.fixed._accrual(p))
                  for p in swap.fixed.periods if p.start >= start]
        merged: dict[date, float] = {}
        for day, quantity in flows:
            merged[day] = merged.get(day, 0.0) + quantity
        return decision, sorted((day, q) for day, q in merged.items() if q != 0.0)

    def _rows(self, curves: Curves) -> list[_Row]:
        swap, underlying = self.swap, f"{self.track}.swap"
        exercises = [(e, d) for e, d in zip(self._dates, self.decisions()) if d >= curves.today]
        if not exercises:
            return []
        sign = swap._sign
        blocks, swap_rows = [], []
        for j, (start, _) in enumerate(exercises):
            end = exercises[j + 1][0] if j + 1 < len(exercises) else date.max
            coupons = [c for c in swap.floating.coupons() if start <= c.start < end]
            rows = [(r.time, r.quantity) for r in swap.floating.rows(curves, underlying, self.currency, sign, coupons)]
            rows += [(p.payment, -sign * swap.fixed.notional * swap.fixed.rate * swap.fixed._accrual(p))
                     for p in swap.fixed.periods if start <= p.start < end]
            deadline = exercises[j + 1][1] if j + 1 < len(exercises) else None
            blocks.append(_Block(start, _scaled(rows, -1.0), None, deadline))
            swap_rows += [_Row(day, _START, underlying, "+", q, self.currency) for day, q in rows]
        choices = [_Row(decision, _EXERCISE, self.track, ">", 0.0, self.currency) for _, decision in exercises]
        # The swap joins after the first choice has compared the waiting value with 0.
        entry = _Row(exercises[0][1], _CLEAR_PAY, self.track, "+", 1.0, underlying)
        return [*choices, entry, *_blocks(blocks, self.track, self.currency), *swap_rows]

"""Market data: the base currency's zero curve and the forward curves of assets.

Curve times are year fractions from the pricing time (the engine's year is
365 days of milliseconds) or calendar dates, which the `Market` turns into
year fractions. Curves interpolate linearly in log value (zero rate × time
for the base curve, log forward for an asset), exactly as the engine does.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from datetime import date, datetime
from typing import Any, Union

import numpy as np

from ._checks import non_negative, positive
from ._checks import number as _number
from ._time import YEAR_MS, DateLike, TimeLike, is_date_like, is_millis, to_date, to_datetime, to_millis

__all__ = ["Market", "ZeroCurve", "ForwardCurve", "CurveTime", "DividendSchedule", "dividend_rows"]

CurveTime = Union[float, DateLike]
"""A knot time: a year fraction from the pricing time, or a calendar date."""

When = Union[float, DateLike]
"""A time for the market's look-ups: a year fraction from the pricing time as a
float, or a calendar date. An int is refused: elsewhere in ravlin it means
milliseconds since 1970, so neither reading would be safe here."""

_LONG_HORIZON = 100.0

DividendSchedule = Union[Mapping[TimeLike, float], Iterable[tuple[TimeLike, float]]]
"""Dividends by ex-date: a mapping of date (or time) to amount, or (date, amount) pairs."""


def dividend_rows(entries: DividendSchedule, what: str, proportional: bool = False) -> tuple[tuple[int, float], ...]:
    """Dividends as (ex-date in milliseconds, amount), sorted by ex-date: cash amounts not
    negative, proportional ones (shares of the price) from 0 up to, not including, 1.

    >>> dividend_rows({"2025-06-02": 1.5}, "dividends")
    ((1748822400000, 1.5),)
    """
    if isinstance(entries, (str, bytes)):
        raise TypeError(f"{what}: expected a mapping of ex-date to amount or (ex-date, amount) pairs, got a string")
    pairs = entries.items() if isinstance(entries, Mapping) else entries
    rows = []
    for entry in pairs:
        if not isinstance(entry, tuple) or len(entry) != 2:
            raise TypeError(f"{what}: expected (ex-date, amount) pairs, got {entry!r}")
        when, amount = entry
        value = non_negative(amount, f"{what}: the amount on {when}")
        if proportional and not value < 1:
            raise ValueError(f"{what}: the share on {when} must be below 1, got {amount!r}")
        rows.append((to_millis(when), value))
    return tuple(sorted(rows, key=lambda row: row[0]))


def _knots(times: Iterable[CurveTime], values: Iterable[float], what: str, label: str
           ) -> tuple[tuple[float | int, ...], tuple[float, ...]]:
    """Checked knots: times as year fractions or as milliseconds (for dates), finite values."""
    times, values = tuple(times), tuple(_number(v, f"{what}: {label}") for v in values)
    if not times:
        raise ValueError(f"{what} needs at least one knot")
    if len(times) != len(values):
        raise ValueError(f"{what} has {len(times)} times but {len(values)} {label}")
    dated = [is_date_like(t) for t in times]
    if any(dated) and not all(dated):
        raise ValueError(f"{what}: times are either all year fractions or all dates")
    knots = (tuple(to_millis(t) for t in times) if all(dated)  # type: ignore[arg-type]
             else tuple(float(t) for t in times))  # type: ignore[arg-type]
    if not all(math.isfinite(t) for t in knots):
        raise ValueError(f"{what}: times must be finite, got {times}")
    if any(b <= a for a, b in zip(knots, knots[1:])):
        raise ValueError(f"{what}: times must be strictly increasing, got {times}")
    if not all(math.isfinite(v) for v in values):
        raise ValueError(f"{what}: {label} must be finite, got {values}")
    return knots, values


@dataclass(frozen=True, kw_only=True)
class ZeroCurve:
    """Continuously compounded zero rates of the base currency.

    The first rate holds flat from the pricing time to the first knot; the
    curve ends at its last knot.

    >>> ZeroCurve(times=[1.0, 5.0], rates=[0.03, 0.035]).rates
    (0.03, 0.035)
    >>> ZeroCurve.flat(0.04).times
    (100.0,)
    """

    times: tuple[CurveTime, ...]
    rates: tuple[float, ...]
    _knots: tuple[float | int, ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        knots, rates = _knots(self.times, self.rates, "ZeroCurve", "rates")
        object.__setattr__(self, "times", tuple(self.times))
        object.__setattr__(self, "rates", rates)
        object.__setattr__(self, "_knots", knots)

    @classmethod
    def flat(cls, rate: float, horizon: float = _LONG_HORIZON) -> ZeroCurve:
        """One rate for every maturity up to `horizon` years.

        >>> ZeroCurve.flat(0.05, horizon=30.0)
        ZeroCurve(times=(30.0,), rates=(0.05,))
        """
        return cls(times=(float(horizon),), rates=(rate,))

    label = "ZERO_RATES"

    @staticmethod
    def _log_values(years: np.ndarray, rates: np.ndarray) -> np.ndarray:
        logs: np.ndarray = years * rates
        return logs


@dataclass(frozen=True, kw_only=True)
class ForwardCurve:
    """Forward prices of an asset, in units of the base currency.

    `spot` is the price at the pricing time; give it unless the first knot
    lies at the pricing time itself, so a curve can never start from an
    implied price of 1.

    >>> ForwardCurve(spot=100.0, times=[0.5, 1.0], forwards=[101.0, 102.0]).forwards
    (101.0, 102.0)
    >>> ForwardCurve.flat(100.0, growth=0.02).forwards
    (100.0, 738.905609893065)
    """

    times: tuple[CurveTime, ...]
    forwards: tuple[float, ...]
    spot: float | None = None
    _knots: tuple[float | int, ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        knots, forwards = _knots(self.times, self.forwards, "ForwardCurve", "forwards")
        if not all(f > 0 for f in forwards):
            raise ValueError(f"ForwardCurve: forwards must be positive, got {forwards}")
        if self.spot is not None:
            object.__setattr__(self, "spot", positive(self.spot, "ForwardCurve: spot"))
        object.__setattr__(self, "times", tuple(self.times))
        object.__setattr__(self, "forwards", forwards)
        object.__setattr__(self, "_knots", knots)

    @classmethod
    def flat(cls, spot: float, growth: float = 0.0, horizon: float = _LONG_HORIZON) -> ForwardCurve:
        """Forwards growing at the continuous rate `growth` (rate less yield) for `horizon` years.

        >>> ForwardCurve.flat(50.0).forwards
        (50.0, 50.0)
        """
        return cls(times=(0.0, float(horizon)), forwards=(spot, spot * math.exp(growth * horizon)))

    @classmethod
    def with_dividends(cls, spot: float, *, pricing_time: TimeLike, growth: float = 0.0,
                       dividends: DividendSchedule = (), proportional_dividends: DividendSchedule = (),
                       horizon: float = _LONG_HORIZON) -> ForwardCurve:
        """The forward of a price that grows at `growth` and falls at each ex-date by its cash
        dividend (`dividends`) or by its share of the price (`proportional_dividends`).

        The fall takes the last millisecond before the ex-date, so a grid or path
        that stops at the ex-date sees the whole of it there. Ex-dates at or before
        `pricing_time` are already in the spot.

        >>> curve = ForwardCurve.with_dividends(100.0, pricing_time="2025-01-01", dividends={"2025-07-01": 2.0})
        >>> market = Market(base="USD", pricing_time="2025-01-01",
        ...                 curves={"USD": ZeroCurve.flat(0.03), "SPX": curve})
        >>> round(market.forward("SPX", "2025-06-30"), 12), round(market.forward("SPX", "2025-07-01"), 12)
        (100.0, 98.0)
        """
        origin = to_millis(pricing_time)
        falls = [(ms, amount, False) for ms, amount in dividend_rows(dividends, "dividends")]
        falls += [(ms, share, True) for ms, share in dividend_rows(proportional_dividends, "proportional_dividends",
                                                                   proportional=True)]
        knots, log_forward, at = [origin], math.log(positive(spot, "spot")), origin
        logs = [log_forward]
        for ms, amount, proportional in sorted(f for f in falls if f[0] > origin):
            log_forward += growth * (ms - 1 - at) / YEAR_MS
            forward = math.exp(log_forward)
            after = forward * (1 - amount) if proportional else forward - amount
            if not after > 0:
                raise ValueError(f"ForwardCurve.with_dividends: the dividend of {amount} on {to_datetime(ms)} "
                                 f"exceeds the forward {forward:.6g}")
            if ms - 1 > knots[-1]:
                knots.append(ms - 1)
                logs.append(log_forward)
            else:
                logs[-1] = log_forward
            log_forward, at = math.log(after), ms
            knots.append(ms)
            logs.append(log_forward)
        end = origin + round(positive(horizon, "horizon") * YEAR_MS)
        if end <= knots[-1]:
            raise ValueError(f"ForwardCurve.with_dividends: horizon {horizon} years ends before the last ex-date")
        knots.append(end)
        logs.append(log_forward + growth * (end - at) / YEAR_MS)
        return cls(times=tuple(np.datetime64(k, "ms") for k in knots), forwards=tuple(np.exp(logs)))

    label = "FORWARDS"

    @staticmethod
    def _log_values(years: np.ndarray, forwards: np.ndarray) -> np.ndarray:
        logs: np.ndarray = np.log(forwards)
        return logs


Curve = Union[ZeroCurve, ForwardCurve]


def _years(what: str, knots: tuple[float | int, ...], pricing_ms: int) -> np.ndarray:
    """Knot times as year fractions from the pricing time (dates are kept as milliseconds)."""
    dated = isinstance(knots[0], int)
    times = np.array([(k - pricing_ms) / YEAR_MS for k in knots] if dated else knots, dtype=float)
    if times[0] < 0:
        raise ValueError(f"{what}: its first knot lies before the pricing time")
    return times


def _interpolated(what: str, times: np.ndarray, values: np.ndarray, years: float) -> float:
    """A log value as the engine interpolates it: a line from 0 to a first knot after the
    pricing time, linear between knots, undefined past the last knot."""
    if times[0] > 0 and years <= times[0]:
        return float(values[0] * years / times[0])
    if not times[0] <= years <= times[-1]:
        raise ValueError(f"{what} ends at {times[-1]} years; {years} years is outside it")
    return float(np.interp(years, times, values))


def _fixings(index: str, history: Mapping[Any, float]) -> dict[date, float]:
    """Fixings by date, each a finite rate."""
    if not isinstance(history, Mapping):
        raise TypeError(f"fixings of {index!r}: expected a mapping of date to rate, got {type(history).__name__}")
    checked = {}
    for day, rate in history.items():
        value = float(rate)
        if not math.isfinite(value):
            raise ValueError(f"fixings of {index!r}: the fixing on {day} is {rate!r}, not a finite rate")
        checked[to_date(day)] = value
    return checked


@dataclass(frozen=True, kw_only=True)
class Market:
    """The market of one pricing: base currency, pricing time and curves.

    `pricing_time` is a datetime (naive means UTC), date, numpy.datetime64,
    ISO string or int of milliseconds since 1970; it is the origin of every
    year fraction. `curves` maps each name used in timetables to its curve:
    a `ZeroCurve` (or `ravlin.DiscountCurve`) for `base`, a `ForwardCurve`
    for every other asset. The base curve discounts every cash flow.

    Rates instruments read two more inputs: `projections` maps the name of
    each rate index to the curve that projects it (a `ZeroCurve` or
    `DiscountCurve`, such as a 3M curve over an OIS base; give the base curve
    itself for single-curve pricing), and `fixings` maps an index name to its
    past fixings ({date: rate}), which seasoned coupons need.

    >>> market = Market(base="USD", pricing_time="2025-01-01",
    ...                 curves={"USD": ZeroCurve.flat(0.04), "SPX": ForwardCurve.flat(100.0)})
    >>> round(market.discount_factor(1.0), 6), round(market.forward("SPX", 0.5), 9)
    (0.960789, 100.0)
    """

    base: str
    pricing_time: datetime
    curves: Mapping[str, Curve]
    projections: Mapping[str, ZeroCurve] = field(default_factory=dict)
    fixings: Mapping[str, Mapping[date, float]] = field(default_factory=dict)
    # Per curve: knot times in year fractions and the dataset's second column.
    _arrays: Mapping[str, tuple[np.ndarray, np.ndarray]] = field(init=False, repr=False, compare=False)
    _pricing_ms: int = field(init=False, repr=False, compare=False)
    _dataset: dict[str, Any] = field(init=False, repr=False, compare=False)
    _projection_arrays: Mapping[str, tuple[np.ndarray, np.ndarray]] = field(init=False, repr=False,
                                                                          compare=False)

    def __post_init__(self) -> None:
        pricing_ms = to_millis(self.pricing_time)
        object.__setattr__(self, "pricing_time", to_datetime(pricing_ms))
        if not isinstance(self.curves, Mapping):
            raise TypeError(f"curves: expected a mapping of name to curve, got {type(self.curves).__name__}")
        if self.base not in self.curves:
            raise ValueError(f"base {self.base!r} has no curve; curves are given for {sorted(self.curves)}")
        arrays = {name: self._checked(name, curve, pricing_ms) for name, curve in self.curves.items()}
        object.__setattr__(self, "curves", dict(self.curves))
        object.__setattr__(self, "_arrays", arrays)
        object.__setattr__(self, "_pricing_ms", pricing_ms)
        object.__setattr__(self, "_dataset", self._engine_keys())
        for what, mapping in (("projections", self.projections), ("fixings", self.fixings)):
            if not isinstance(mapping, Mapping):
                raise TypeError(f"{what}: expected a mapping by index name, got {type(mapping).__name__}")
        projections = {}
        for name, curve in self.projections.items():
            if not isinstance(curve, ZeroCurve):
                raise TypeError(f"projection {name!r}: expected a ZeroCurve or DiscountCurve, "
                                f"got {type(curve).__name__}")
            projections[name] = self._zero_arrays(f"projection {name!r}", curve, pricing_ms)
        object.__setattr__(self, "projections", dict(self.projections))
        object.__setattr__(self, "_projection_arrays", projections)
        object.__setattr__(self, "fixings", {name: _fixings(name, history) for name, history in self.fixings.items()})

    @property
    def pricing_ms(self) -> int:
        """The pricing time in milliseconds since 1970 (UTC)."""
        return self._pricing_ms

    def years(self, when: When) -> float:
        """The year fraction of a date (or a year fraction itself) from the pricing time.

        An int is refused: ravlin reads ints as milliseconds since 1970 in
        times and as years nowhere, so `years(expiry_ms)` cannot pass unseen.

        >>> market = Market(base="USD", pricing_time="2025-01-01", curves={"USD": ZeroCurve.flat(0.04)})
        >>> market.years("2026-01-01"), market.years(0.5)
        (1.0, 0.5)
        """
        if is_date_like(when):
            return (to_millis(when) - self._pricing_ms) / YEAR_MS  # type: ignore[arg-type]
        if is_millis(when):
            raise TypeError(f"when: an int is ambiguous here, got {when!r}; give years as a float "
                            f"({float(when)!r}) or a date (ravlin.to_datetime(milliseconds) for a time in "  # type: ignore[arg-type]
                            "milliseconds)")
        if isinstance(when, (bool, np.bool_)) or not isinstance(when, numbers.Real):
            raise TypeError(f"when: expected a year fraction (float) or a date, got {type(when).__name__}")
        return float(when)

    def discount_factor(self, when: When) -> float:
        """The base currency's discount factor from the pricing time to `when`.

        >>> Market(base="USD", pricing_time="2025-01-01",
        ...        curves={"USD": ZeroCurve.flat(0.05)}).discount_factor(2.0) == math.exp(-0.1)
        True
        """
        return math.exp(-self.log_value(self.base, self.years(when)))

    def forward(self, asset: str, when: When) -> float:
        """The forward price of `asset` for `when`; the base currency is worth 1.

        >>> Market(base="USD", pricing_time="2025-01-01",
        ...        curves={"USD": ZeroCurve.flat(0.05)}).forward("USD", 3.0)
        1.0
        """
        if asset == self.base:
            return 1.0
        return math.exp(self.log_value(asset, self.years(when)))

    def projected_discount(self, index: str, when: CurveTime) -> float:
        """The discount factor to `when` on the curve that projects `index`.

        >>> Market(base="USD", pricing_time="2025-01-01", curves={"USD": ZeroCurve.flat(0.03)},
        ...        projections={"USD-3M": ZeroCurve.flat(0.04)}).projected_discount("USD-3M", 1.0) == math.exp(-0.04)
        True
        """
        if index not in self._projection_arrays:
            known = sorted(self.projections) or "none"
            raise KeyError(f"no projection curve for index {index!r} (projections are given for {known}); "
                           "give projections={index: curve}, the base curve itself for single-curve pricing")
        times, rates = self._projection_arrays[index]
        return math.exp(-_interpolated(f"projection {index!r}", times, times * rates, self.years(when)))

    def fixing(self, index: str, day: date) -> float | None:
        """The past fixing of `index` on `day`, or None when none is given.

        >>> Market(base="USD", pricing_time="2025-01-01", curves={"USD": ZeroCurve.flat(0.03)},
        ...        fixings={"USD-3M": {"2024-12-30": 0.043}}).fixing("USD-3M", date(2024, 12, 30))
        0.043
        """
        return self.fixings.get(index, {}).get(day)

    def log_value(self, name: str, years: float) -> float:
        """The curve's log value at a year fraction: zero rate × time, or log forward.

        It is a straight line from 0 to the first knot when that knot lies
        after the pricing time, linear between knots, and undefined past
        the last knot (ValueError).

        >>> Market(base="USD", pricing_time="2025-01-01",
        ...        curves={"USD": ZeroCurve(times=[1.0, 2.0], rates=[0.05, 0.05])}).log_value("USD", 0.5)
        0.025
        """
        times, values = self.knots(name)
        return _interpolated(f"curve {name!r}", times, values, years)

    def rate(self, name: str, start: float, end: float) -> float:
        """The average continuous rate of a curve's log value between two year fractions.

        >>> Market(base="USD", pricing_time="2025-01-01",
        ...        curves={"USD": ZeroCurve.flat(0.05)}).rate("USD", 0.0, 2.0)
        0.05
        """
        return (self.log_value(name, end) - self.log_value(name, start)) / (end - start)

    def knots(self, name: str) -> tuple[np.ndarray, np.ndarray]:
        """A curve's knot times in year fractions from the pricing time and its log values
        there (zero rate × time, or log forward), between which the engine interpolates.

        >>> market = Market(base="USD", pricing_time="2025-01-01",
        ...                 curves={"USD": ZeroCurve(times=[1.0, 2.0], rates=[0.05, 0.04])})
        >>> [a.tolist() for a in market.knots("USD")]
        [[1.0, 2.0], [0.05, 0.08]]
        """
        if name not in self._arrays:
            raise KeyError(f"no curve for {name!r}")
        times, column = self._arrays[name]
        return times, self.curves[name]._log_values(times, column)

    def dataset(self) -> dict[str, Any]:
        """The engine's market keys: "BASE", "ASSETS" and "PRICING_TS".

        Built once per market; the arrays are read-only.

        >>> sorted(Market(base="USD", pricing_time="2025-01-01",
        ...               curves={"USD": ZeroCurve.flat(0.05)}).dataset())
        ['ASSETS', 'BASE', 'PRICING_TS']
        """
        return dict(self._dataset)

    def _engine_keys(self) -> dict[str, Any]:
        assets = {}
        for name, curve in self.curves.items():
            table = np.column_stack(self._arrays[name])
            table.setflags(write=False)
            assets[name] = (curve.label, table)
        return {"BASE": self.base, "ASSETS": assets, "PRICING_TS": self._pricing_ms}

    def _checked(self, name: str, curve: object, pricing_ms: int) -> tuple[np.ndarray, np.ndarray]:
        """Knot times in year fractions and the rates or forwards of one curve, after its checks."""
        wanted = ZeroCurve if name == self.base else ForwardCurve
        if not isinstance(curve, wanted):
            role = "the base currency" if name == self.base else "an asset other than the base"
            raise TypeError(f"curve {name!r}: {role} takes a {wanted.__name__}, got {type(curve).__name__}")
        if isinstance(curve, ZeroCurve):
            return self._zero_arrays(f"curve {name!r}", curve, pricing_ms)
        return self._with_spot(name, curve, _years(f"curve {name!r}", curve._knots, pricing_ms),
                               np.asarray(curve.forwards))

    @staticmethod
    def _zero_arrays(what: str, curve: ZeroCurve, pricing_ms: int) -> tuple[np.ndarray, np.ndarray]:
        """Knot times in year fractions and zero rates; a curve with a reference date must start
        at the pricing time, since its discount factors are counted from there."""
        reference = getattr(curve, "reference", None)
        if reference is not None and to_millis(reference) != pricing_ms:
            raise ValueError(f"{what}: its discount factors are from {to_datetime(to_millis(reference))}, "
                             f"not from the pricing time {to_datetime(pricing_ms)}")
        times = _years(what, curve._knots, pricing_ms)
        if times[-1] <= 0:
            raise ValueError(f"{what}: its last knot is at the pricing time, so it discounts nothing after it; "
                             "give it a knot at the longest maturity to price")
        return times, np.asarray(curve.rates)

    @staticmethod
    def _with_spot(name: str, curve: ForwardCurve, times: np.ndarray, forwards: np.ndarray
                   ) -> tuple[np.ndarray, np.ndarray]:
        """A forward curve that starts at the pricing time, from its spot or its first knot."""
        if times[0] == 0:
            if curve.spot is not None and curve.spot != forwards[0]:
                raise ValueError(f"curve {name!r}: spot {curve.spot} differs from the forward "
                                 f"{forwards[0]} at the pricing time")
            return times, forwards
        if curve.spot is None:
            raise ValueError(f"curve {name!r}: the first forward is {times[0]:g} years after the pricing "
                             "time; give spot= (the price at the pricing time)")
        return np.concatenate([[0.0], times]), np.concatenate([[curve.spot], forwards])

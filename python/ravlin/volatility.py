"""Volatility inputs of the equity models: term structures, implied surfaces, local volatility.

Like the curves, these are frozen value objects that hold quotes; the
models read them against the market of each pricing. Times are year
fractions from the pricing time (`Market.years` turns a date into one).

- `VolatilityTermStructure`: implied volatilities by expiry, flat-forward in
  variance between expiries (the total variance σ²T is linear in T).
- `VolatilitySurface`: implied volatilities by expiry and strike (or
  moneyness, strike over forward), interpolated in total variance: a
  natural cubic spline in log-moneyness at each expiry, linear in time at
  fixed moneyness. A surface with calendar or
  butterfly arbitrage is refused, naming the points.
- `LocalVolSurface`: a local volatility σ(t, S), from a surface by Dupire's
  formula or given as a table.

None of them extrapolates past its last expiry: like a curve, it ends there.

>>> term = VolatilityTermStructure(times=[0.5, 1.0], volatilities=[0.2, 0.25])
>>> round(term.volatility(0.75), 12), round(term.variance(1.0), 12)
(0.234520787991, 0.0625)
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol, Union

import numpy as np

from . import _checks
from .formulas import black_otm

if TYPE_CHECKING:
    from .market import Market

__all__ = ["VolatilityTermStructure", "VolatilitySurface", "LocalVolSurface", "Volatility", "VOLATILITY_OBJECTS",
           "level", "shifted"]

_LONG_HORIZON = 100.0
# The interpolated smile is checked for a negative density at this many points
# between two quoted strikes, and between expiries at this many per quote.
_CHECK_POINTS = 16
# Slack of the arbitrage checks, relative to the prices and variances compared.
_CHECK_TOLERANCE = 1e-10
# Denominator of Dupire's formula below which the local variance is capped.
_DENSITY_FLOOR = 1e-6
# Paths read Dupire's volatility off a table of this many log-moneyness points,
# reaching this many deviations (of the largest total variance) past the quotes.
_TABLE_POINTS = 2001
_TABLE_DEVIATIONS = 8.0


def _times(values: Sequence[float], what: str) -> np.ndarray:
    times = np.asarray([_checks.positive(t, f"{what}: time") for t in values], dtype=float)
    if times.size == 0:
        raise ValueError(f"{what} needs at least one expiry")
    if np.any(np.diff(times) <= 0):
        raise ValueError(f"{what}: times must be strictly increasing, got {tuple(values)}")
    return times


def _years(t: Any, what: str) -> np.ndarray:
    years = np.asarray(t, dtype=float)
    if not np.all(np.isfinite(years)) or np.any(years < 0):
        raise ValueError(f"{what}: times must be finite year fractions of at least 0, got {t!r}")
    return years


def _ends(what: str, last: float, t: float) -> ValueError:
    return ValueError(f"{what} ends at {last:g} years; {t:g} years is outside it")


# ---------------------------------------------------------------- term structure

@dataclass(frozen=True, kw_only=True)
class VolatilityTermStructure:
    """Implied volatilities by expiry, flat-forward in variance.

    Before the first expiry the first volatility holds; between expiries the
    forward variance is constant; past the last expiry the structure ends.
    A total variance that falls from one expiry to the next (calendar
    arbitrage) is refused, naming both expiries.

    >>> VolatilityTermStructure(times=[1.0, 2.0], volatilities=[0.3, 0.2])
    Traceback (most recent call last):
    ...
    ValueError: VolatilityTermStructure: calendar arbitrage: the total variance falls from 0.09 at 1 years ...
    >>> VolatilityTermStructure.flat(0.2).volatility(3.0)
    0.2
    """

    times: tuple[float, ...]
    volatilities: tuple[float, ...]
    _knots: np.ndarray = field(init=False, repr=False, compare=False)
    _variances: np.ndarray = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        what = "VolatilityTermStructure"
        times = _times(self.times, what)
        vols = np.asarray([_checks.non_negative(v, f"{what}: volatility") for v in self.volatilities], dtype=float)
        if vols.size != times.size:
            raise ValueError(f"{what} has {times.size} times but {vols.size} volatilities")
        variances = vols**2 * times
        for i in np.flatnonzero(np.diff(variances) < -_CHECK_TOLERANCE * variances[1:]):
            raise ValueError(f"{what}: calendar arbitrage: the total variance falls from {variances[i]:.6g} at "
                             f"{times[i]:g} years (volatility {vols[i]:g}) to {variances[i + 1]:.6g} at "
                             f"{times[i + 1]:g} years (volatility {vols[i + 1]:g})")
        object.__setattr__(self, "times", tuple(float(t) for t in times))
        object.__setattr__(self, "volatilities", tuple(float(v) for v in vols))
        object.__setattr__(self, "_knots", np.concatenate([[0.0], times]))
        object.__setattr__(self, "_variances", np.concatenate([[0.0], np.maximum.accumulate(variances)]))

    @classmethod
    def flat(cls, volatility: float, horizon: float = _LONG_HORIZON) -> VolatilityTermStructure:
        """One volatility for every expiry up to `horizon` years.

        >>> VolatilityTermStructure.flat(0.15, horizon=10.0)
        VolatilityTermStructure(times=(10.0,), volatilities=(0.15,))
        """
        return cls(times=(float(horizon),), volatilities=(volatility,))

    def variance(self, expiry: Any) -> Any:
        """The total implied variance σ(T)² T at `expiry` years (a number or an array).

        >>> VolatilityTermStructure(times=[1.0, 2.0], volatilities=[0.2, 0.3]).variance([0.5, 1.5])
        array([0.02, 0.11])
        """
        t = _years(expiry, "VolatilityTermStructure")
        if np.any(t > self._knots[-1]):
            raise _ends("VolatilityTermStructure", self._knots[-1], float(np.max(t)))
        values = np.interp(t, self._knots, self._variances)
        return float(values) if values.ndim == 0 else values

    def volatility(self, expiry: Any) -> Any:
        """The implied volatility at `expiry` years; at 0 the first volatility.

        >>> VolatilityTermStructure(times=[1.0, 2.0], volatilities=[0.2, 0.3]).volatility(0.0)
        0.2
        """
        t = _years(expiry, "VolatilityTermStructure")
        with np.errstate(invalid="ignore", divide="ignore"):
            values = np.where(t > 0, np.sqrt(np.asarray(self.variance(t)) / np.where(t > 0, t, 1.0)),
                              self.volatilities[0])
        return float(values) if values.ndim == 0 else values

    def forward_variance(self, start: float, end: float) -> float:
        """The mean instantaneous variance between two year fractions (the flat forward there).

        >>> round(VolatilityTermStructure(times=[1.0, 2.0], volatilities=[0.2, 0.3]).forward_variance(1.0, 2.0), 12)
        0.14
        """
        if end <= start:
            raise ValueError(f"forward_variance: end {end!r} must come after start {start!r}")
        return (float(self.variance(end)) - float(self.variance(start))) / (end - start)


# ---------------------------------------------------------------- splines

class _Spline:
    """A natural cubic spline through (x, y), continued by straight lines beyond the ends.

    The lines keep the end slopes where the smile rises outward (falling
    to the left, rising to the right) and are flat where it would fall
    outward, so the total variance never falls below its outermost quotes
    and the continuation only adds density where it bends.
    """

    def __init__(self, x: np.ndarray, y: np.ndarray) -> None:
        self.x, self.y = x, y
        self.m = self._curvatures(x, y)
        if x.size == 1:
            self.ends = (0.0, 0.0)
        else:
            h0, h1 = x[1] - x[0], x[-1] - x[-2]
            left = (y[1] - y[0]) / h0 - h0 * (2 * self.m[0] + self.m[1]) / 6
            right = (y[-1] - y[-2]) / h1 + h1 * (self.m[-2] + 2 * self.m[-1]) / 6
            self.ends = (min(left, 0.0), max(right, 0.0))

    @staticmethod
    def _curvatures(x: np.ndarray, y: np.ndarray) -> np.ndarray:
        n = x.size
        m = np.zeros(n)
        if n < 3:
            return m
        h = np.diff(x)
        slope = np.diff(y) / h
        a = np.zeros((n - 2, n - 2))
        for i in range(n - 2):
            a[i, i] = 2 * (h[i] + h[i + 1])
            if i > 0:
                a[i, i - 1] = h[i]
            if i < n - 3:
                a[i, i + 1] = h[i + 1]
        m[1:-1] = np.linalg.solve(a, 6 * np.diff(slope))
        return m

    def __call__(self, z: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Value, first and second derivative at each point of `z`."""
        x, y, m = self.x, self.y, self.m
        z = np.asarray(z, dtype=float)
        if x.size == 1:
            return np.full_like(z, y[0]), np.zeros_like(z), np.zeros_like(z)
        zc = np.clip(z, x[0], x[-1])
        j = np.clip(np.searchsorted(x, zc, side="right") - 1, 0, x.size - 2)
        h = x[j + 1] - x[j]
        left, right = x[j + 1] - zc, zc - x[j]
        c0, c1 = y[j] / h - m[j] * h / 6, y[j + 1] / h - m[j + 1] * h / 6
        value = (m[j] * left**3 + m[j + 1] * right**3) / (6 * h) + c0 * left + c1 * right
        slope = (m[j + 1] * right**2 - m[j] * left**2) / (2 * h) - c0 + c1
        curvature = (m[j] * left + m[j + 1] * right) / h
        below, above = z < x[0], z > x[-1]
        value = np.where(below, y[0] + self.ends[0] * (z - x[0]),
                         np.where(above, y[-1] + self.ends[1] * (z - x[-1]), value))
        slope = np.where(below, self.ends[0], np.where(above, self.ends[1], slope))
        return value, slope, np.where(below | above, 0.0, curvature)


# ---------------------------------------------------------------- implied surface

@dataclass(frozen=True, kw_only=True)
class VolatilitySurface:
    """Implied volatilities by expiry (rows) and strike or moneyness (columns).

    Give `strikes` (absolute) or `moneyness` (strike over the forward of
    each expiry), not both. `volatilities[i][j]` is the implied volatility
    of expiry i at strike (or moneyness) j. The total variance w = σ²T is
    interpolated by a cubic spline in log-moneyness ln(K/F(T)) with zero
    slope at the outermost quotes, flat beyond them, and linearly in time
    at fixed moneyness (flat volatility before the first expiry). Quotes
    in moneyness are checked for arbitrage when the surface is made;
    quotes in strikes, which need the forward, whenever it is read against
    a market. Checked: call prices falling and convex in strike at every
    expiry, the interpolated smile's density nowhere negative, and the
    total variance at fixed moneyness never falling with the expiry.

    >>> surface = VolatilitySurface(expiries=[0.5, 1.0], moneyness=[0.9, 1.0, 1.1],
    ...                             volatilities=[[0.24, 0.2, 0.18], [0.23, 0.2, 0.185]])
    >>> from ravlin import Market, ZeroCurve, ForwardCurve
    >>> market = Market(base="USD", pricing_time="2025-01-01",
    ...                 curves={"USD": ZeroCurve.flat(0.03), "SPX": ForwardCurve.flat(100.0, 0.01)})
    >>> round(surface.volatility(market, "SPX", 1.0, 100.0 * math.exp(0.01) * 1.1), 12)
    0.185
    >>> VolatilitySurface(expiries=[1.0], moneyness=[0.9, 1.0, 1.1], volatilities=[[0.2, 0.25, 0.2]])
    Traceback (most recent call last):
    ...
    ValueError: VolatilitySurface: butterfly arbitrage at expiry 1 between moneyness 0.9, 1 and 1.1: ...
    """

    expiries: tuple[float, ...]
    volatilities: tuple[tuple[float, ...], ...]
    strikes: tuple[float, ...] | None = None
    moneyness: tuple[float, ...] | None = None
    _quotes: np.ndarray = field(init=False, repr=False, compare=False)
    _levels: np.ndarray = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        what = "VolatilitySurface"
        expiries = _times(self.expiries, what)
        if (self.strikes is None) == (self.moneyness is None):
            raise ValueError(f"{what}: give either strikes or moneyness")
        by_strike = self.strikes is not None
        label = "strike" if by_strike else "moneyness"
        given = self.strikes if by_strike else self.moneyness
        assert given is not None, "one of strikes and moneyness is given"
        levels = np.asarray([_checks.positive(x, f"{what}: {label}") for x in given], dtype=float)
        if levels.size == 0 or np.any(np.diff(levels) <= 0):
            raise ValueError(f"{what}: {label} values must be strictly increasing and at least one")
        quotes = np.asarray(self.volatilities, dtype=float)
        if quotes.shape != (expiries.size, levels.size):
            raise ValueError(f"{what}: volatilities must be {expiries.size} rows (expiries) of {levels.size} "
                             f"values ({label}), got shape {quotes.shape}")
        if not np.all(np.isfinite(quotes)) or np.any(quotes <= 0):
            raise ValueError(f"{what}: volatilities must be positive and finite")
        object.__setattr__(self, "expiries", tuple(float(t) for t in expiries))
        object.__setattr__(self, "volatilities", tuple(tuple(float(v) for v in row) for row in quotes))
        object.__setattr__(self, "_quotes", quotes)
        object.__setattr__(self, "_levels", levels)
        if by_strike:
            object.__setattr__(self, "strikes", tuple(float(x) for x in levels))
        else:
            object.__setattr__(self, "moneyness", tuple(float(x) for x in levels))
            _Smiles.of(self, np.ones(expiries.size))

    def volatility(self, market: Market, asset: str, expiry: Any, strike: Any) -> Any:
        """The implied volatility at `expiry` years and `strike` against the asset's forward.

        Arrays broadcast; each expiry must lie within the surface.
        """
        smiles = self._smiles(market, asset)
        t, k = np.broadcast_arrays(_years(expiry, "VolatilitySurface"), np.asarray(strike, dtype=float))
        out = np.empty(t.shape)
        for when in np.unique(t):
            at = t == when
            moneyness = np.log(k[at] / market.forward(asset, float(when)))
            w = smiles.variance(float(when), moneyness)[0]
            out[at] = np.sqrt(w / when) if when > 0 else smiles.first_volatility(moneyness)
        return float(out) if out.ndim == 0 else out

    def _smiles(self, market: Market, asset: str) -> _Smiles:
        forwards = np.array([market.forward(asset, t) for t in self.expiries]) if self.strikes is not None \
            else np.ones(len(self.expiries))
        return _Smiles.of(self, forwards)


class _Smiles:
    """A surface read against forwards: a spline of total variance in log-moneyness per expiry."""

    def __init__(self, expiries: np.ndarray, logs: list[np.ndarray], variances: list[np.ndarray]) -> None:
        self.expiries = expiries
        self.splines = [_Spline(k, w) for k, w in zip(logs, variances)]

    @classmethod
    def of(cls, surface: VolatilitySurface, forwards: np.ndarray) -> _Smiles:
        """The smiles of `surface` given the forward at each expiry, after the arbitrage checks."""
        expiries = np.asarray(surface.expiries)
        logs = [np.log(surface._levels / f) for f in forwards]
        variances = [surface._quotes[i] ** 2 * t for i, t in enumerate(expiries)]
        smiles = cls(expiries, logs, variances)
        _Arbitrage(surface, smiles, logs).check()
        return smiles

    def first_volatility(self, k: np.ndarray) -> np.ndarray:
        volatility: np.ndarray = np.sqrt(self.splines[0](k)[0] / self.expiries[0])
        return volatility

    def variance(self, t: float, k: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """w, ∂w/∂k, ∂²w/∂k² and ∂w/∂t at time t and log-moneyness k."""
        expiries = self.expiries
        if t > expiries[-1] * (1 + 1e-12):
            raise _ends("VolatilitySurface", expiries[-1], t)
        i = int(np.searchsorted(expiries, t))
        if i == 0:
            w, wk, wkk = self.splines[0](k)
            a = t / expiries[0]
            return a * w, a * wk, a * wkk, w / expiries[0]
        i = min(i, expiries.size - 1)
        lo, hi = self.splines[i - 1](k), self.splines[i](k)
        span = expiries[i] - expiries[i - 1]
        a = (t - expiries[i - 1]) / span
        w, wk, wkk = ((1 - a) * p + a * q for p, q in zip(lo, hi))
        return w, wk, wkk, (hi[0] - lo[0]) / span


@dataclass
class _Arbitrage:
    """The checks that a surface read against its forwards admits no static arbitrage."""

    surface: VolatilitySurface
    smiles: _Smiles
    logs: list[np.ndarray]

    def check(self) -> None:
        for i, t in enumerate(self.smiles.expiries):
            self._butterfly_quotes(i, t)
            self._density(i, t)
        for i in range(1, self.smiles.expiries.size):
            self._calendar(i)

    def _points(self, *js: int) -> str:
        """The quotes j in the surface's own terms: "strike 90 and 100" or "moneyness 0.9"."""
        values = [f"{self.surface._levels[j]:g}" for j in js]
        listed = ", ".join(values[:-1]) + " and " + values[-1] if len(values) > 1 else values[0]
        return f"{'strike' if self.surface.strikes is not None else 'moneyness'} {listed}"

    def _butterfly_quotes(self, i: int, t: float) -> None:
        """Undiscounted calls per unit forward at the quotes: falling, by at most the strike, and convex."""
        k, w = self.logs[i], self.smiles.splines[i].y
        strikes = np.exp(k)
        calls = np.maximum(1 - strikes, 0.0) + np.sqrt(strikes) * black_otm(-np.abs(k), np.sqrt(w))
        slopes = np.diff(calls) / np.diff(strikes)
        tol = _CHECK_TOLERANCE
        where = f"VolatilitySurface: butterfly arbitrage at expiry {t:g} between"
        for j in np.flatnonzero(slopes > tol).tolist():
            raise ValueError(f"{where} {self._points(j, j + 1)}: the call at the higher strike is worth more")
        for j in np.flatnonzero(slopes < -1 - tol).tolist():
            raise ValueError(f"{where} {self._points(j, j + 1)}: the calls differ by more than the strikes")
        for j in np.flatnonzero(np.diff(slopes) < -tol).tolist():
            raise ValueError(f"{where} {self._points(j, j + 1, j + 2)}: call prices are not convex in the strike")

    def _density(self, i: int, t: float) -> None:
        """The smile's density (Gatheral's g) is nowhere negative, between the quotes and in the wings."""
        k = self.logs[i]
        spline = self.smiles.splines[i]
        between = np.linspace(0.0, 1.0, _CHECK_POINTS + 1)[1:-1]
        inner = (k[:-1, None] + np.diff(k)[:, None] * between).ravel()
        reach = np.sqrt(spline.y[[0, -1]]) * np.arange(1, _CHECK_POINTS + 1)[:, None] * 0.5
        points = np.concatenate([inner, k[0] - reach[:, 0], k[-1] + reach[:, 1]])
        w, wk, wkk = spline(points)
        with np.errstate(divide="ignore", invalid="ignore"):
            bad = (w <= 0) | ~(_density(points, w, wk, wkk) >= -_CHECK_TOLERANCE)
        for n in np.flatnonzero(bad).tolist():
            where = f"VolatilitySurface: butterfly arbitrage at expiry {t:g}"
            if n >= inner.size:
                end = 0 if n < inner.size + _CHECK_POINTS else k.size - 1
                raise ValueError(f"{where} beyond {self._points(end)}: the smile's continuation has a negative "
                                 f"density at log-moneyness {points[n]:.4g}")
            j = n // between.size
            raise ValueError(f"{where} between {self._points(j, j + 1)}: the interpolated smile has a negative "
                             f"density at log-moneyness {points[n]:.4g}")

    def _calendar(self, i: int) -> None:
        """Total variance at fixed moneyness never falls from one expiry to the next."""
        lo, hi = self.smiles.splines[i - 1], self.smiles.splines[i]
        k = np.union1d(self.logs[i - 1], self.logs[i])
        w_lo, w_hi = lo(k)[0], hi(k)[0]
        t_lo, t_hi = self.smiles.expiries[i - 1], self.smiles.expiries[i]
        for n in np.flatnonzero(w_hi < w_lo * (1 - _CHECK_TOLERANCE)):
            m = float(np.exp(k[n]))
            raise ValueError(f"VolatilitySurface: calendar arbitrage between expiries {t_lo:g} and {t_hi:g} "
                             f"at moneyness {m:.6g}: the total variance falls from {w_lo[n]:.6g} to {w_hi[n]:.6g} "
                             f"(volatility {math.sqrt(w_lo[n] / t_lo):.6g} to {math.sqrt(w_hi[n] / t_hi):.6g})")


def _density(k: np.ndarray, w: np.ndarray, wk: np.ndarray, wkk: np.ndarray) -> np.ndarray:
    """Gatheral's g(k): the risk-neutral density over its lognormal counterpart, from total variance."""
    density: np.ndarray = (1 - k * wk / (2 * w)) ** 2 - wk**2 / 4 * (1 / w + 0.25) + wkk / 2
    return density


# ---------------------------------------------------------------- local volatility

@dataclass(frozen=True, kw_only=True)
class LocalVolSurface:
    """A local volatility σ(t, S): given as a table, or from an implied surface by Dupire's formula.

    As a table, `volatilities[i][j]` is the local volatility at `times[i]`
    and `strikes[j]` (or `moneyness[j]`, the spot over the forward at that
    time), interpolated linearly in time and in the log of the spot, flat
    beyond the outermost spots and before the first time. From a surface
    (`from_surface`) it is Dupire's local volatility of the interpolated
    total variance w(k, T) at k = ln(S / F(t)):
    σ² = ∂w/∂T / (1 − k w'/w + (−1/4 − 1/w + k²/w²) w'²/4 + w''/2).

    >>> from ravlin import Market, ZeroCurve, ForwardCurve
    >>> market = Market(base="USD", pricing_time="2025-01-01",
    ...                 curves={"USD": ZeroCurve.flat(0.03), "SPX": ForwardCurve.flat(100.0)})
    >>> flat = VolatilitySurface(expiries=[1.0, 2.0], moneyness=[0.8, 1.2], volatilities=[[0.2, 0.2], [0.2, 0.2]])
    >>> round(LocalVolSurface.from_surface(flat).volatility(market, "SPX", 1.5, 90.0), 12)
    0.2
    >>> table = LocalVolSurface(times=[1.0], strikes=[80.0, 120.0], volatilities=[[0.3, 0.1]])
    >>> round(table.volatility(market, "SPX", 0.5, 100.0), 6)
    0.189932
    """

    times: tuple[float, ...] = ()
    volatilities: tuple[tuple[float, ...], ...] = ()
    strikes: tuple[float, ...] | None = None
    moneyness: tuple[float, ...] | None = None
    surface: VolatilitySurface | None = None

    def __post_init__(self) -> None:
        what = "LocalVolSurface"
        if self.surface is not None:
            if self.times or self.volatilities or self.strikes is not None or self.moneyness is not None:
                raise ValueError(f"{what}: give either a surface or a table of times, strikes and volatilities")
            if not isinstance(self.surface, VolatilitySurface):
                raise TypeError(f"{what}: surface must be a VolatilitySurface, got {type(self.surface).__name__}")
            return
        times = _times(self.times, what)
        if (self.strikes is None) == (self.moneyness is None):
            raise ValueError(f"{what}: give either strikes or moneyness")
        given = self.strikes if self.strikes is not None else self.moneyness
        assert given is not None, "one of strikes and moneyness is given"
        levels = np.asarray([_checks.positive(x, f"{what}: spot") for x in given], dtype=float)
        if levels.size == 0 or np.any(np.diff(levels) <= 0):
            raise ValueError(f"{what}: spots must be strictly increasing and at least one")
        table = np.asarray(self.volatilities, dtype=float)
        if table.shape != (times.size, levels.size):
            raise ValueError(f"{what}: volatilities must be {times.size} rows (times) of {levels.size} values, "
                             f"got shape {table.shape}")
        if not np.all(np.isfinite(table)) or np.any(table < 0):
            raise ValueError(f"{what}: volatilities must be non-negative and finite")
        object.__setattr__(self, "times", tuple(float(t) for t in times))
        object.__setattr__(self, "volatilities", tuple(tuple(float(v) for v in row) for row in table))
        key = "strikes" if self.strikes is not None else "moneyness"
        object.__setattr__(self, key, tuple(float(x) for x in levels))

    @classmethod
    def from_surface(cls, surface: VolatilitySurface) -> LocalVolSurface:
        """Dupire's local volatility of an implied surface.

        >>> s = VolatilitySurface(expiries=[1.0], moneyness=[1.0], volatilities=[[0.25]])
        >>> LocalVolSurface.from_surface(s).surface is s
        True
        """
        return cls(surface=surface)

    def volatility(self, market: Market, asset: str, time: float, spot: Any) -> Any:
        """The local volatility at `time` years for the asset's price `spot` (a number or an array)."""
        values = self._on(market, asset).at(float(time), np.asarray(spot, dtype=float))
        return float(values) if values.ndim == 0 else values

    def _on(self, market: Market, asset: str) -> _LocalVolatility:
        if self.surface is not None:
            return _Dupire(self.surface._smiles(market, asset), market, asset)
        return _Table(self, market, asset)


# ---------------------------------------------------------------- volatility on an asset

VOLATILITY_OBJECTS = (VolatilityTermStructure, VolatilitySurface, LocalVolSurface)
"""The volatility inputs that are objects rather than numbers."""

Volatility = Union[float, VolatilityTermStructure, VolatilitySurface, LocalVolSurface]
"""What the equity models take as a volatility: a number, a term structure, an
implied surface (used through its Dupire local volatility) or a local volatility."""


class _LocalVolatility(Protocol):
    """A volatility read against one asset of one market, as the models use it."""

    #: Whether the volatility depends on the spot (else every spot has the same value).
    local: bool

    def at(self, t: float, spots: np.ndarray) -> np.ndarray:
        """The instantaneous volatility at time t for each spot."""

    def step_variance(self, start: float, end: float, spots: np.ndarray) -> np.ndarray:
        """The variance per year to use over [start, end] from each spot: exact when it depends on time only."""


class _Constant:
    local = False

    def __init__(self, sigma: float) -> None:
        self.sigma = sigma

    def at(self, t: float, spots: np.ndarray) -> np.ndarray:
        return np.full_like(spots, self.sigma, dtype=float)

    def step_variance(self, start: float, end: float, spots: np.ndarray) -> np.ndarray:
        return np.full_like(spots, self.sigma**2, dtype=float)


class _Term:
    local = False

    def __init__(self, term: VolatilityTermStructure) -> None:
        self.term = term

    def at(self, t: float, spots: np.ndarray) -> np.ndarray:
        i = min(int(np.searchsorted(self.term._knots, t, side="right")), self.term._knots.size - 1)
        start = self.term._knots[i - 1] if i > 0 else 0.0
        return np.full_like(spots, math.sqrt(self.term.forward_variance(start, self.term._knots[i])), dtype=float)

    def step_variance(self, start: float, end: float, spots: np.ndarray) -> np.ndarray:
        return np.full_like(spots, self.term.forward_variance(start, end), dtype=float)


class _Spatial:
    """A local volatility: its variance over a step is the one at the step's middle."""

    local = True

    def at(self, t: float, spots: np.ndarray) -> np.ndarray:
        raise NotImplementedError

    def step_variance(self, start: float, end: float, spots: np.ndarray) -> np.ndarray:
        return self.at(0.5 * (start + end), spots) ** 2


class _Dupire(_Spatial):
    """Dupire's local volatility of a surface. Many prices at once (paths) read it off a fine
    table in log-moneyness made at each time, linear between its points, flat beyond it."""

    def __init__(self, smiles: _Smiles, market: Market, asset: str) -> None:
        self.smiles, self.market, self.asset = smiles, market, asset
        lows = [s.x[0] for s in smiles.splines]
        highs = [s.x[-1] for s in smiles.splines]
        reach = _TABLE_DEVIATIONS * math.sqrt(max(float(np.max(s.y)) for s in smiles.splines))
        self.logs = np.linspace(min(lows) - reach, max(highs) + reach, _TABLE_POINTS)

    def at(self, t: float, spots: np.ndarray) -> np.ndarray:
        k = np.log(spots / self.market.forward(self.asset, t))
        if k.size <= _TABLE_POINTS:
            return self._exact(t, k)
        table = self._exact(t, self.logs)
        # the table's points are evenly spaced: find each price's cell by arithmetic, not by search
        spacing = self.logs[1] - self.logs[0]
        place = np.clip((k - self.logs[0]) / spacing, 0.0, _TABLE_POINTS - 1.0)
        cell = np.minimum(place.astype(np.intp), _TABLE_POINTS - 2)
        share = place - cell
        values: np.ndarray = table[cell] * (1.0 - share) + table[cell + 1] * share
        return values

    def _exact(self, t: float, k: np.ndarray) -> np.ndarray:
        w, wk, wkk, wt = self.smiles.variance(max(t, 1e-10), k)
        g = np.maximum(_density(k, w, wk, wkk), _DENSITY_FLOOR)
        volatility: np.ndarray = np.sqrt(np.maximum(wt, 0.0) / g)
        return volatility


class _Table(_Spatial):
    def __init__(self, table: LocalVolSurface, market: Market, asset: str) -> None:
        self.times = np.asarray(table.times)
        self.values = np.asarray(table.volatilities)
        self.logs = np.log(np.asarray(table.strikes if table.strikes is not None else table.moneyness))
        self.relative = table.strikes is None
        self.market, self.asset = market, asset

    def at(self, t: float, spots: np.ndarray) -> np.ndarray:
        if t > self.times[-1] * (1 + 1e-12):
            raise _ends("LocalVolSurface", self.times[-1], t)
        x = np.log(spots / self.market.forward(self.asset, t)) if self.relative else np.log(spots)
        rows = [np.interp(x, self.logs, row) for row in self.values]
        i = int(np.searchsorted(self.times, t))
        if i == 0:
            return np.asarray(rows[0])
        a = (t - self.times[i - 1]) / (self.times[i] - self.times[i - 1])
        return np.asarray((1 - a) * rows[i - 1] + a * rows[i])


def on_asset(volatility: Volatility, market: Market, asset: str, what: str) -> _LocalVolatility:
    """The volatility of a model, read against the asset of a market."""
    if isinstance(volatility, VolatilityTermStructure):
        return _Term(volatility)
    if isinstance(volatility, VolatilitySurface):
        return LocalVolSurface.from_surface(volatility)._on(market, asset)
    if isinstance(volatility, LocalVolSurface):
        return volatility._on(market, asset)
    if isinstance(volatility, (int, float, np.integer, np.floating)) and not isinstance(volatility, bool):
        return _Constant(_checks.non_negative(volatility, what))
    raise TypeError(f"{what}: expected a number, VolatilityTermStructure, VolatilitySurface or LocalVolSurface, "
                    f"got {type(volatility).__name__}")


# ---------------------------------------------------------------- what the models take of a volatility

def level(volatility: Volatility) -> float:
    """A volatility's reference number: itself, or the mean of an object's quoted volatilities
    (what a parallel bump is measured against).

    >>> level(0.2), level(VolatilityTermStructure(times=[1.0, 2.0], volatilities=[0.2, 0.3]))
    (0.2, 0.25)
    """
    if isinstance(volatility, LocalVolSurface) and volatility.surface is not None:
        return level(volatility.surface)
    if isinstance(volatility, VolatilityTermStructure):
        return float(np.mean(volatility.volatilities))
    if isinstance(volatility, (VolatilitySurface, LocalVolSurface)):
        return float(np.mean(volatility.volatilities))
    return float(volatility)


def shifted(volatility: Volatility, by: float) -> Volatility:
    """The volatility moved in parallel by `by`: every quote of an object (a vega bump).

    >>> shifted(VolatilityTermStructure(times=[1.0], volatilities=[0.25]), 0.5).volatilities
    (0.75,)
    """
    if isinstance(volatility, LocalVolSurface) and volatility.surface is not None:
        return LocalVolSurface(surface=shifted(volatility.surface, by))  # type: ignore[arg-type]
    if isinstance(volatility, (VolatilityTermStructure, VolatilitySurface, LocalVolSurface)):
        moved = np.asarray(volatility.volatilities, dtype=float) + by
        return dataclasses.replace(volatility, volatilities=moved.tolist())
    return float(volatility) + by


"""The volatility of the Hull-White short rate, one number or piecewise constant in time,
and the integrals of it that the grid's defaults and the exact paths need.

With B(u) = (1 - e^(-a u)) / a, the deviation x of the short rate from its
fitted mean (dx = -a x dt + sigma(t) dW) and its time integral over a step
[t0, t1] are jointly Gaussian given x(t0), with the integrals over each
piece of constant sigma of e^(-2 a u), B(u)^2 and e^(-a u) B(u) = (B^2)'/2
in the time u left to t1.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence

import numpy as np

from . import _checks

Volatility = float | Sequence[Sequence[float]] | np.ndarray
"""A volatility of the short rate: a number, or rows (start in years from the pricing time,
volatility), each holding from its start to the next, the first starting at 0."""

Table = tuple[tuple[float, float], ...]


def checked(volatility: Volatility) -> float | Table:
    """The volatility as a number, or as rows (start, volatility) checked: starts from 0,
    rising strictly and finite, volatilities finite and not negative.

    >>> checked([(0, 0.01), (2, 0.012)])
    ((0.0, 0.01), (2.0, 0.012))
    """
    if not isinstance(volatility, (Sequence, np.ndarray)) or isinstance(volatility, str):
        return _checks.non_negative(volatility, "volatility")
    rows = np.asarray(volatility, dtype=float)
    if rows.ndim != 2 or rows.shape[1] != 2 or rows.shape[0] == 0:
        raise ValueError(f"volatility: expected a number or rows (start in years, volatility), got shape {rows.shape}")
    starts, vols = rows[:, 0], rows[:, 1]
    if starts[0] != 0.0:
        raise ValueError(f"volatility: the first row must start at 0, got {starts[0]!r}")
    if not (np.all(np.diff(starts) > 0) and np.all(np.isfinite(starts))):
        raise ValueError(f"volatility: the starts must rise strictly and be finite, got {starts.tolist()}")
    if not (np.all(vols >= 0) and np.all(np.isfinite(vols))):
        raise ValueError(f"volatility: each must be finite and not negative, got {vols.tolist()}")
    return tuple((float(s), float(v)) for s, v in rows)


def risk_parameters(volatility: float | Table) -> dict[str | None, float]:
    """The volatility by the key risk bumps it under: None for a number, and
    "short rate from {start}" for each row.

    >>> risk_parameters(((0.0, 0.01), (2.0, 0.012)))
    {'short rate from 0': 0.01, 'short rate from 2': 0.012}
    """
    if isinstance(volatility, float):
        return {None: volatility}
    return {f"short rate from {start:g}": vol for start, vol in volatility}


def with_risk_parameter(volatility: float | Table, key: str | None, value: float) -> float | Table:
    """The volatility with the one under `key` (of `risk_parameters`) set to `value`.

    >>> with_risk_parameter(((0.0, 0.01), (2.0, 0.012)), "short rate from 2", 0.02)
    ((0.0, 0.01), (2.0, 0.02))
    """
    if key not in risk_parameters(volatility):
        raise KeyError(f"the volatility has no parameter {key!r}")
    if isinstance(volatility, float):
        return checked(value)
    return checked([(start, value if f"short rate from {start:g}" == key else vol) for start, vol in volatility])


def engine_value(volatility: float | Table) -> float | np.ndarray:
    """What the engine's "VOL" of "HW" takes: the number, or an n×2 float64 array."""
    return volatility if isinstance(volatility, float) else np.array(volatility, dtype=float)


def at_start(volatility: float | Table) -> float:
    """The volatility at the pricing time."""
    return volatility if isinstance(volatility, float) else volatility[0][1]


def _pieces(volatility: float | Table) -> Table:
    return ((0.0, volatility),) if isinstance(volatility, float) else volatility


def decay(a: float, u: float) -> float:
    """B(u) = (1 - e^(-a u)) / a, exact as a u goes to 0."""
    z = a * u
    return u if z == 0.0 else u * (-math.expm1(-z) / z)


def _squared_decay_integral(a: float, u: float) -> float:
    """The integral of B(s)^2 from 0 to u: u^3 psi(a u), psi by its series below |a u| = 1."""
    if u <= 0.0:
        return 0.0
    z = a * u
    if abs(z) >= 1.0:
        return u**3 * (z + 2.0 * math.expm1(-z) - 0.5 * math.expm1(-2.0 * z)) / z**3
    total, power, term, sign = 0.0, 4.0, 1.0 / 6.0, 1.0
    for n in range(3, 45):
        total += sign * (power - 2.0) * term
        power, term, sign = 2.0 * power, term * z / (n + 1), -sign
    return u**3 * total


def _decay_squared_integral(a: float, u: float) -> float:
    """The integral of e^(-2 a s) from 0 to u."""
    return decay(2.0 * a, u)


def _over_pieces(volatility: float | Table, t0: float, t1: float, primitive: Callable[[float], float]) -> float:
    """The sum over the pieces of sigma^2 times primitive(time left to t1) between the ends
    of the piece's part of [t0, t1]."""
    total = 0.0
    pieces = _pieces(volatility)
    for k, (start, sigma) in enumerate(pieces):
        end = pieces[k + 1][0] if k + 1 < len(pieces) else math.inf
        lo, hi = max(start, t0), min(end, t1)
        if hi > lo:
            total += sigma * sigma * (primitive(t1 - lo) - primitive(t1 - hi))
    return total


def step_moments(a: float, volatility: float | Table, t0: float, t1: float) -> tuple[float, float, float]:
    """Variance of x(t1) given x(t0), variance of the integral of x over [t0, t1], and their
    covariance."""
    return (_over_pieces(volatility, t0, t1, lambda u: _decay_squared_integral(a, u)),
            _over_pieces(volatility, t0, t1, lambda u: _squared_decay_integral(a, u)),
            _over_pieces(volatility, t0, t1, lambda u: 0.5 * decay(a, u) ** 2))


def convexity(a: float, volatility: float | Table, t: float) -> float:
    """What the fitted mean adds to the forward rate at t: half the rate of change of
    `integral_variance`, sigma^2 B(t)^2 / 2 under one volatility.

    >>> convexity(0.0, 0.01, 2.0) == 0.5 * 0.01**2 * 2.0**2
    True
    """
    return 0.5 * _over_pieces(volatility, 0.0, t, lambda u: decay(a, u) ** 2)


def integral_variance(a: float, volatility: float | Table, t: float) -> float:
    """The variance of the integral of x from 0 to t: what the mean path adds to -ln P(0, t)."""
    return _over_pieces(volatility, 0.0, t, lambda u: _squared_decay_integral(a, u))


def state_variance(a: float, volatility: float | Table, t: float) -> float:
    """The variance of x(t).

    >>> round(state_variance(0.0, ((0.0, 0.01), (1.0, 0.02)), 2.0), 12)
    0.0005
    """
    return _over_pieces(volatility, 0.0, t, lambda u: _decay_squared_integral(a, u))

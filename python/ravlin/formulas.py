"""Closed forms of European options on a forward: Black-76, Bachelier, and their implied volatility.

Every price is `discount` × the undiscounted premium on the forward, where
`discount` is a discount factor (an equity option) or an annuity (a
swaption, a caplet). Arguments broadcast as NumPy arrays do; scalars give a
float. Prices are computed as the intrinsic value plus the out-of-the-money
option's value, so neither a deep in-the-money nor a far out-of-the-money
option loses its digits to a difference of two large terms.

`implied_volatility` inverts either model to 1e-12 and better with one
safeguarded Newton iteration on the logarithm of the out-of-the-money
premium (concave in the standard deviation, so every step from the left
stays left of the root and every step from the right lands left of it),
kept inside a bracket that bisection takes over whenever a step leaves it.

>>> round(black_scholes_price(100.0, 100.0, 1.0, 0.2, discount=0.95), 10)
7.5672890826
>>> round(implied_volatility(7.5672890826, 100.0, 100.0, 1.0, discount=0.95), 10)
0.2
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Literal, Union, cast

import numpy as np

__all__ = ["black_scholes_price", "bachelier_price", "implied_volatility"]

ArrayLike = Union[float, np.ndarray, Any]
Kind = Literal["call", "put"]
ImpliedModel = Literal["black", "normal"]

_SQRT_2PI = math.sqrt(2.0 * math.pi)
# Far out of the money (beyond this many deviations) premiums come from the
# continued fraction of the Mills ratio, which these many terms take to the
# last digit from 3 on.
_MILLS_FROM = 3.0
_MILLS_TERMS = 60
_erfc = np.frompyfunc(math.erfc, 1, 1)
# Newton stops once a step moves the standard deviation by less than this
# share of itself: a few units in the last place, far below the 1e-12 asked.
_STEP_TOLERANCE = 4e-16
_MAX_ITERATIONS = 200
# A price this many units in the last place below its lower bound is the
# bound itself, rounded: its implied volatility is zero.
_ROUNDING_ULPS = 8


def _norm_cdf(x: np.ndarray) -> np.ndarray:
    """The standard normal distribution function, accurate relative to itself in both tails."""
    return 0.5 * np.asarray(_erfc(-np.asarray(x, dtype=float) / math.sqrt(2.0)), dtype=float)


def _norm_pdf(x: np.ndarray) -> np.ndarray:
    density: np.ndarray = np.exp(-0.5 * x * x) / _SQRT_2PI
    return density


def _theta(kind: str) -> float:
    if kind == "call":
        return 1.0
    if kind == "put":
        return -1.0
    raise ValueError(f"kind must be 'call' or 'put', got {kind!r}")


def _out(values: np.ndarray) -> Any:
    """A float for a scalar result, the array otherwise."""
    return float(values) if values.ndim == 0 else values


def _checked(name: str, value: ArrayLike, *, least: float | None = None, strict: bool = False) -> np.ndarray:
    """`value` as a float array, refused if any entry is not finite or lies below `least`."""
    array = np.asarray(value, dtype=float)
    bad = ~np.isfinite(array)
    if least is not None:
        bad |= (array <= least) if strict else (array < least)
    if bad.any():
        first = array.flat[int(np.argmax(bad.ravel()))]
        bound = "" if least is None else f" {'greater than' if strict else 'at least'} {least:g}"
        raise ValueError(f"{name} must be finite{bound}, got {first!r}")
    return array


# ---------------------------------------------------------------- Black-76

def _mills(x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For x >= 3: the Mills ratio m = Φ(−x)/φ(x) and r = 1/m − x, by Laplace's continued fraction.

    Both come without cancellation, where Φ(−x) from erfc would carry the
    rounding of x amplified x-fold, and 1 − x m would lose 2 log10(x) digits.
    """
    tail = np.asarray(x, dtype=float)
    t = tail.copy()
    for n in range(_MILLS_TERMS, 1, -1):
        t = tail + n / t
    return 1.0 / (tail + 1.0 / t), 1.0 / t


def _black_vega(y: np.ndarray, s: np.ndarray) -> np.ndarray:
    """∂b/∂s = e^{y/2} φ(y/s + s/2), written as one exponential so the rounding of d1 does not enter it."""
    with np.errstate(divide="ignore", invalid="ignore"):
        density: np.ndarray = np.exp(-0.5 * (y / s) ** 2 - 0.125 * s * s) / _SQRT_2PI
        return density


def black_otm(y: np.ndarray, s: np.ndarray) -> np.ndarray:
    """The out-of-the-money Black premium per unit of sqrt(F K): y = −|ln(F/K)| <= 0, s = total deviation.

    b = e^{y/2} Φ(d1) − e^{−y/2} Φ(d2); far out of the money (d1 < −3) as
    e^{y/2} φ(d1) (m(−d1) − m(−d2)), whose terms are each exact to rounding.
    The volatility surfaces check their smiles with it.

    >>> round(float(black_otm(np.array(0.0), np.array(0.2))), 12)  # at the money: 2 Φ(s/2) − 1
    0.079655674554
    """
    y, s = np.broadcast_arrays(np.asarray(y, dtype=float), np.asarray(s, dtype=float))
    with np.errstate(divide="ignore", invalid="ignore"):
        d1 = np.where(s > 0, y / s + 0.5 * s, -np.inf)
        d2 = np.where(s > 0, y / s - 0.5 * s, -np.inf)
    value = np.array(np.exp(0.5 * y) * _norm_cdf(d1) - np.exp(-0.5 * y) * _norm_cdf(d2))  # 0-d too
    tail = np.isfinite(d1) & (d1 < -_MILLS_FROM)
    if tail.any():
        near, far = _mills(-d1[tail])[0], _mills(-d2[tail])[0]
        value[tail] = _black_vega(y[tail], s[tail]) * (near - far)
    floored: np.ndarray = np.maximum(value, 0.0)
    return floored


def black_scholes_price(forward: ArrayLike, strike: ArrayLike, expiry: ArrayLike, volatility: ArrayLike, *,
                        discount: ArrayLike = 1.0, kind: Kind = "call", displacement: ArrayLike = 0.0) -> Any:
    """The Black-76 premium of a European option: discount × E[(θ(F_T − K))⁺], F lognormal.

    `expiry` is in years and `volatility` per year; `discount` multiplies the
    undiscounted premium (a discount factor, or an annuity for swaptions and
    caplets). A `displacement` d prices the shifted lognormal model, in
    which F + d is lognormal (for rates that may be negative). A zero
    expiry or volatility gives the discounted intrinsic value.

    >>> round(black_scholes_price(100.0, 110.0, 0.5, 0.25, kind="put", discount=0.98), 10)
    13.1723904123
    >>> black_scholes_price([90.0, 110.0], 100.0, 1.0, 0.0)
    array([ 0., 10.])
    """
    theta = _theta(kind)
    shift = _checked("displacement", displacement)
    f = _checked("forward", forward) + shift
    k = _checked("strike", strike) + shift
    if (f <= 0).any() or (k <= 0).any():
        raise ValueError("forward and strike (plus displacement) must be positive in the Black model")
    t = _checked("expiry", expiry, least=0.0)
    sigma = _checked("volatility", volatility, least=0.0)
    d = _checked("discount", discount, least=0.0, strict=True)
    s = sigma * np.sqrt(t)
    intrinsic = np.maximum(theta * (f - k), 0.0)
    value = intrinsic + np.sqrt(f * k) * black_otm(-np.abs(np.log(f / k)), s)
    return _out(d * value)


# ---------------------------------------------------------------- Bachelier

def _normal_otm(u: np.ndarray, s: np.ndarray) -> np.ndarray:
    """The out-of-the-money Bachelier premium: u = |F − K| >= 0, s = total deviation.

    s φ(d) − u Φ(−d) with d = u/s; far out of the money (d >= 3) as
    s φ(d) m r from the continued fraction, without the cancellation.
    """
    u, s = np.broadcast_arrays(np.asarray(u, dtype=float), np.asarray(s, dtype=float))
    with np.errstate(divide="ignore", invalid="ignore"):
        d = np.where(s > 0, u / s, np.inf)
        value = np.where(s > 0, s * _norm_pdf(d) - u * _norm_cdf(-d), 0.0)
    tail = np.isfinite(d) & (d >= _MILLS_FROM)
    if tail.any():
        m, r = _mills(d[tail])
        value[tail] = s[tail] * _norm_pdf(d[tail]) * m * r
    floored: np.ndarray = np.maximum(value, 0.0)
    return floored


def _normal_vega(u: np.ndarray, s: np.ndarray) -> np.ndarray:
    """∂q/∂s = φ(u/s)."""
    return _norm_pdf(u / s)


def bachelier_price(forward: ArrayLike, strike: ArrayLike, expiry: ArrayLike, volatility: ArrayLike, *,
                    discount: ArrayLike = 1.0, kind: Kind = "call") -> Any:
    """The Bachelier (normal) premium of a European option: discount × E[(θ(F_T − K))⁺], F normal.

    `volatility` is the normal volatility, in units of the forward per
    square root of a year (0.01 is 100 basis points a year for a rate).
    Forwards and strikes may be of any sign.

    >>> round(bachelier_price(0.03, 0.035, 2.0, 0.008, discount=4.5), 12)
    0.011012640526
    """
    theta = _theta(kind)
    f, k = _checked("forward", forward), _checked("strike", strike)
    t = _checked("expiry", expiry, least=0.0)
    sigma = _checked("volatility", volatility, least=0.0)
    d = _checked("discount", discount, least=0.0, strict=True)
    s = sigma * np.sqrt(t)
    value = np.maximum(theta * (f - k), 0.0) + _normal_otm(np.abs(f - k), s)
    return _out(d * value)


# ---------------------------------------------------------------- implied volatility

def implied_volatility(price: ArrayLike, forward: ArrayLike, strike: ArrayLike | None = None,
                       expiry: ArrayLike | None = None, *, discount: ArrayLike = 1.0, kind: Kind = "call",
                       model: ImpliedModel = "black", displacement: ArrayLike = 0.0, market: Any = None) -> Any:
    """The volatility that gives `price` in the Black-76 (`model="black"`) or Bachelier (`"normal"`) model.

    The arguments are those of `black_scholes_price` and `bachelier_price`.
    In place of the forward, a European `ravlin.Swaption` or a
    `ravlin.CapFloor` may be given with `market=`: its forward, strike,
    expiry and annuity are then the instrument's (`ravlin.analytics.option_terms`),
    and a cap's volatility is the one flat volatility of all its caplets.
    A price must lie within the model's no-arbitrage bounds: at least the
    discounted intrinsic value (which gives zero volatility) and, in the
    Black model, below discount × (forward + displacement) for a call or
    discount × (strike + displacement) for a put; any other price is a
    ValueError naming the bound. The result reprices to 1e-12 relative.

    >>> round(implied_volatility(0.011012640526, 0.03, 0.035, 2.0, discount=4.5, model="normal"), 10)
    0.008
    >>> implied_volatility(1.0, 100.0, 90.0, 1.0)
    Traceback (most recent call last):
    ...
    ValueError: implied_volatility: price 1 of the call with forward 100 and strike 90 is below its ... gives it
    """
    from . import analytics

    if analytics.is_rate_option(forward):
        if market is None:
            raise TypeError(f"implied_volatility of a {type(forward).__name__} needs market=")
        return analytics.implied_volatility_of(float(price), cast(Any, forward), market, model=model,
                                               displacement=float(displacement))
    if strike is None or expiry is None:
        raise TypeError("implied_volatility needs a strike and an expiry with a forward")
    theta = _theta(kind)
    if model not in ("black", "normal"):
        raise ValueError(f"model must be 'black' or 'normal', got {model!r}")
    black = model == "black"
    shift = _checked("displacement", displacement) if black else np.zeros(())
    f = _checked("forward", forward) + shift
    k = _checked("strike", strike) + shift
    if black and ((f <= 0).any() or (k <= 0).any()):
        raise ValueError("forward and strike (plus displacement) must be positive in the Black model")
    t = _checked("expiry", expiry, least=0.0)
    d = _checked("discount", discount, least=0.0, strict=True)
    p = _checked("price", price)
    p, f, k, t, d = np.broadcast_arrays(p, f, k, t, d)
    undiscounted = p / d
    intrinsic = np.maximum(theta * (f - k), 0.0)
    time_value = undiscounted - intrinsic
    scale = np.sqrt(f * k) if black else np.ones_like(f)
    target = time_value / scale
    if black:
        y = -np.abs(np.log(f / k))
        ceiling, hint = np.exp(0.5 * y), np.sqrt(-2.0 * y)  # the premium's inflection point in s
    else:
        y = np.abs(f - k)
        ceiling, hint = np.full_like(y, np.inf), y
    rounding = _ROUNDING_ULPS * np.finfo(float).eps * np.maximum(undiscounted, intrinsic)
    bounds = _Bounds(price=p, forward=f - shift, strike=k - shift, intrinsic=d * intrinsic,
                     upper=d * (f if theta > 0 else k), kind=kind)
    bounds.refuse(below=time_value < -rounding, above=target >= ceiling, stale=(t == 0) & (time_value > rounding))
    solve = (time_value > rounding) & (t > 0)
    s = np.zeros(p.shape)
    if solve.any():
        otm, vega = (black_otm, _black_vega) if black else (_normal_otm, _normal_vega)
        s[solve] = _newton(otm, vega, y[solve], target[solve], hint[solve])
    with np.errstate(divide="ignore", invalid="ignore"):
        sigma = np.where(solve, s / np.sqrt(np.where(t > 0, t, 1.0)), 0.0)
    return _out(sigma)


@dataclass(frozen=True)
class _Bounds:
    """What the refusals of `implied_volatility` quote about each option."""

    price: np.ndarray
    forward: np.ndarray
    strike: np.ndarray
    intrinsic: np.ndarray
    upper: np.ndarray
    kind: str

    def refuse(self, *, below: np.ndarray, above: np.ndarray, stale: np.ndarray) -> None:
        """A ValueError for the first price that no volatility gives."""
        bad = below | above | stale
        if not bad.any():
            return
        i = int(np.argmax(bad.ravel()))
        option = (f"price {_g(self.price.flat[i])} of the {self.kind} with forward {_g(self.forward.flat[i])} "
                  f"and strike {_g(self.strike.flat[i])}")
        if below.flat[i]:
            reason = f"is below its discounted intrinsic value {_g(self.intrinsic.flat[i])}"
        elif above.flat[i]:
            what = "forward" if self.kind == "call" else "strike"
            reason = f"reaches the Black model's upper bound {_g(self.upper.flat[i])} (discount × {what})"
        else:
            reason = f"at expiry 0 differs from its discounted intrinsic value {_g(self.intrinsic.flat[i])}"
        raise ValueError(f"implied_volatility: {option} {reason}: no volatility gives it")


def _g(value: float) -> str:
    return f"{float(value):.15g}"


def _newton(otm: Any, vega: Any, y: np.ndarray, target: np.ndarray, hint: np.ndarray) -> np.ndarray:
    """The total deviation s > 0 with otm(y, s) = target, for every entry.

    Newton on ln otm(s) − ln target, which is increasing and concave in s;
    a bracket [lo, hi] is kept from the signs seen, and a step that leaves
    it is replaced by bisection (or by doubling while no upper end is known).
    """
    log_target = np.log(target)
    # Neither premium exceeds target × sqrt(2 pi) at the money, so that start lies left of the
    # root; `hint` may lie right of it, whence one step lands left.
    s: np.ndarray = np.maximum(target * _SQRT_2PI, hint)
    lo, hi = np.zeros_like(s), np.full_like(s, np.inf)
    active = np.ones(s.shape, dtype=bool)
    for _ in range(_MAX_ITERATIONS):
        idx = np.flatnonzero(active)
        if idx.size == 0:
            break
        si, yi = s[idx], y[idx]
        value = otm(yi, si)
        with np.errstate(divide="ignore", invalid="ignore"):
            residual = np.log(value) - log_target[idx]
            step = residual * value / vega(yi, si)
        low = residual < 0
        lo[idx] = np.where(low, si, lo[idx])
        hi[idx] = np.where(low, hi[idx], si)
        proposal = si - step
        inside = np.isfinite(proposal) & (proposal > lo[idx]) & (proposal < hi[idx])
        fallback = np.where(np.isfinite(hi[idx]), 0.5 * (lo[idx] + hi[idx]), 2.0 * si)
        new = np.where(residual == 0, si, np.where(inside, proposal, fallback))
        s[idx] = new
        done = (residual == 0) | (np.abs(new - si) <= _STEP_TOLERANCE * new) \
            | (np.isfinite(hi[idx]) & (hi[idx] - lo[idx] <= _STEP_TOLERANCE * hi[idx]))
        active[idx[done]] = False
    return s

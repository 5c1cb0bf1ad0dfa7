"""Reference path models for `MonteCarlo`, vectorised in NumPy and seeded.

A model here is a frozen factory: `MonteCarlo` calls it with the market,
the number of paths and the seed, and gets fresh paths for that pricing.
The engine then calls `advance(t)` with the time since the pricing time,
in years, at each later event time, and `get_value(name)` for per-path
asset prices.

>>> import ravlin
>>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={"USD": ravlin.ZeroCurve.flat(0.03)})
>>> model = ravlin.MonteCarlo(paths=2_000, state=HullWhite(mean_reversion=0.1, volatility=0.01), seed=4)
>>> result = ravlin.price([("zcb", "2030-01-01", "+", 100.0, "USD")], market, model)
>>> abs(result.price - 100 * market.discount_factor(5.0)) < 0.2
True
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import ClassVar

import numpy as np

from ._checks import non_negative, positive
from .market import Market

__all__ = ["GeometricBrownianMotion", "HullWhite", "GBMPaths", "HullWhitePaths", "STATE", "SHORT_RATE"]

STATE = "x"
"""The name under which Hull-White paths answer their state variable x."""

SHORT_RATE = "short_rate"
"""The name under which Hull-White paths answer the short rate x + alpha(t)."""


def _normals(rng: np.random.Generator, shape: tuple[int, ...], antithetic: bool) -> np.ndarray:
    """Standard normals over the last axis of `shape`; antithetic pairs fill it with z and -z."""
    if not antithetic:
        return rng.standard_normal(shape)
    *lead, paths = shape
    half = rng.standard_normal((*lead, (paths + 1) // 2))
    return np.concatenate([half, -half], axis=-1)[..., :paths]


def _instantaneous_forward(market: Market, t: float) -> float:
    """The base curve's instantaneous forward rate at `t` years: the slope of its log
    discount, which is linear between knots (from 0 at the pricing time), on the
    stretch that starts at `t`."""
    times, logs = market.knots(market.base)
    if times[0] > 0:
        times, logs = np.concatenate([[0.0], times]), np.concatenate([[0.0], logs])
    if times.size < 2 or not 0 <= t <= times[-1]:
        raise ValueError(f"curve {market.base!r} gives no forward rate at {t} years")
    i = min(int(np.searchsorted(times, t, side="right")) - 1, times.size - 2)
    return float((logs[i + 1] - logs[i]) / (times[i + 1] - times[i]))


@dataclass(frozen=True, kw_only=True)
class GeometricBrownianMotion:
    """Correlated lognormal assets whose drift is the base curve's rate less a dividend yield.

    `volatility` maps each simulated asset to its volatility; `spot` to its
    price at the pricing time (default: the market's forward there);
    `dividend_yield` to a continuous yield (default 0); `correlation` is a
    matrix in the order of `volatility` (default: independent).

    >>> from ravlin import Market, ZeroCurve, ForwardCurve
    >>> market = Market(base="USD", pricing_time="2025-01-01",
    ...                 curves={"USD": ZeroCurve.flat(0.03), "SPX": ForwardCurve.flat(100.0, 0.03)})
    >>> paths = GeometricBrownianMotion(volatility={"SPX": 0.2})(market, 4, 1)
    >>> round(paths.advance(0.5), 12)  # the time since the pricing time, in years
    0.985111939603
    >>> paths.get_value("SPX").shape
    (4,)
    """

    volatility: Mapping[str, float]
    spot: Mapping[str, float] | None = None
    dividend_yield: Mapping[str, float] | None = None
    correlation: Sequence[Sequence[float]] | np.ndarray | None = None
    antithetic: bool = False
    _cholesky: np.ndarray = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        names = list(self.volatility)
        if not names:
            raise ValueError("GeometricBrownianMotion needs at least one asset in volatility")
        for name, vol in self.volatility.items():
            non_negative(vol, f"volatility of {name!r}")
        for what, mapping in (("spot", self.spot), ("dividend_yield", self.dividend_yield)):
            extra = set(mapping or ()) - set(names)
            if extra:
                raise ValueError(f"{what} names {sorted(extra)}, which have no volatility")
        corr = np.eye(len(names)) if self.correlation is None else np.asarray(self.correlation, dtype=float)
        if corr.shape != (len(names), len(names)) or not np.allclose(corr, corr.T) \
                or not np.allclose(np.diag(corr), 1.0):
            raise ValueError(f"correlation must be a symmetric {len(names)}x{len(names)} matrix with a unit "
                             f"diagonal, in the order {names}")
        try:
            cholesky = np.linalg.cholesky(corr)
        except np.linalg.LinAlgError:
            raise ValueError("correlation must be positive definite") from None
        object.__setattr__(self, "_cholesky", cholesky)

    def __call__(self, market: Market, paths: int, seed: int) -> GBMPaths:
        """Fresh paths at the pricing time."""
        names = list(self.volatility)
        spots = [(self.spot or {}).get(name) or market.forward(name, 0.0) for name in names]
        return GBMPaths(market=market, names=names, spots=np.asarray(spots, dtype=float),
                        volatilities=np.array([self.volatility[n] for n in names], dtype=float),
                        yields=np.array([(self.dividend_yield or {}).get(n, 0.0) for n in names]),
                        cholesky=self._cholesky, paths=paths, seed=seed, antithetic=self.antithetic)


class GBMPaths:
    """The paths of one pricing under `GeometricBrownianMotion`."""

    def __init__(self, *, market: Market, names: list[str], spots: np.ndarray, volatilities: np.ndarray,
                 yields: np.ndarray, cholesky: np.ndarray, paths: int, seed: int, antithetic: bool) -> None:
        self._market, self._index = market, {name: i for i, name in enumerate(names)}
        self._vols, self._yields, self._cholesky = volatilities, yields, cholesky
        self._rng, self._antithetic = np.random.default_rng(seed), antithetic
        self._log = np.repeat(np.log(spots)[:, None], paths, axis=1)
        self._time = 0.0

    def advance(self, t: float) -> float:
        """Moves every path to `t`, the time since the pricing time in years; returns the
        step's discount factor on the base curve, the same on every path."""
        dt = t - self._time
        if dt <= 0:
            return 1.0
        rate = self._market.rate(self._market.base, self._time, t)
        shocks = self._cholesky @ _normals(self._rng, self._log.shape, self._antithetic)
        drift = (rate - self._yields - 0.5 * self._vols**2) * dt
        self._log += drift[:, None] + (self._vols * math.sqrt(dt))[:, None] * shocks
        self._time = t
        return math.exp(-rate * dt)

    def get_value(self, name: str) -> np.ndarray | None:
        """The per-path price of a simulated asset at the current time; None for any other name."""
        i = self._index.get(name)
        return None if i is None else np.exp(self._log[i])


@dataclass(frozen=True, kw_only=True)
class HullWhite:
    """Hull-White short rates fitted to the base curve, simulated exactly.

    The short rate is x(t) + alpha(t), with x mean-reverting to 0. Each
    step draws x and its time integral jointly from their Gaussian law, so
    the mean of the path discount factors reproduces the base curve for any
    step length. The paths answer `get_value` by name: "x" is the state x
    (the regressor of choice for a contract whose offer is the same on
    every path, such as a bond callable at par) and "short_rate" the short
    rate itself; assets are valued from their forward curves. `regressors`
    names "x": `ravlin.MonteCarlo` regresses on it unless told otherwise.

    >>> from ravlin import Market, ZeroCurve
    >>> market = Market(base="USD", pricing_time="2025-01-01", curves={"USD": ZeroCurve.flat(0.03)})
    >>> paths = HullWhite(mean_reversion=0.1, volatility=0.01)(market, 3, 1)
    >>> paths.advance(1.0).shape  # discount factors from the pricing time to 1 year
    (3,)
    >>> alpha = paths.get_value("short_rate") - paths.get_value("x")  # forward 3% plus the convexity
    >>> bool(np.allclose(alpha, 0.03 + 0.01**2 / (2 * 0.1**2) * np.expm1(-0.1) ** 2))
    True
    """

    mean_reversion: float
    volatility: float
    antithetic: bool = False

    regressors: ClassVar[tuple[str, ...]] = (STATE,)

    def __post_init__(self) -> None:
        positive(self.mean_reversion, "mean_reversion")
        non_negative(self.volatility, "volatility")

    def __call__(self, market: Market, paths: int, seed: int) -> HullWhitePaths:
        """Fresh paths at the pricing time."""
        return HullWhitePaths(market=market, mean_reversion=self.mean_reversion, volatility=self.volatility,
                              paths=paths, seed=seed, antithetic=self.antithetic)


class HullWhitePaths:
    """The paths of one pricing under `HullWhite`."""

    def __init__(self, *, market: Market, mean_reversion: float, volatility: float, paths: int, seed: int,
                 antithetic: bool) -> None:
        self._market, self._a, self._sigma = market, mean_reversion, volatility
        self._rng, self._antithetic = np.random.default_rng(seed), antithetic
        self._x = np.zeros(paths)
        self._time = 0.0

    def advance(self, t: float) -> np.ndarray | float:
        """Moves every path to `t`, the time since the pricing time in years; returns the
        per-path discount factor of the step, exp(-integral of the short rate)."""
        dt = t - self._time
        if dt <= 0:
            return 1.0
        a, s2 = self._a, self._sigma**2
        decay = math.exp(-a * dt)
        b = -math.expm1(-a * dt) / a                       # (1 - e^{-a dt}) / a
        var_x = s2 * -math.expm1(-2 * a * dt) / (2 * a)
        var_i = s2 / a**2 * (dt - 2 * b + -math.expm1(-2 * a * dt) / (2 * a))
        cov = s2 / (2 * a**2) * (1 - decay) ** 2
        z = _normals(self._rng, (2, self._x.size), self._antithetic)
        sd_x = math.sqrt(var_x)
        rho_term = cov / sd_x if sd_x > 0 else 0.0
        integral = self._x * b + rho_term * z[0] + math.sqrt(max(var_i - rho_term**2, 0.0)) * z[1]
        self._x = self._x * decay + sd_x * z[0]
        shift = self._shift_integral(t) - self._shift_integral(self._time)
        self._time = t
        discounts: np.ndarray = np.exp(-shift - integral)
        return discounts

    def get_value(self, name: str) -> np.ndarray | None:
        """The state "x" or the "short_rate" per path at the current time; None for any
        other name, which the engine values from its forward curve."""
        if name == STATE:
            return self._x
        if name == SHORT_RATE:
            return self._x + self._alpha(self._time)
        return None

    def _alpha(self, t: float) -> float:
        """The short rate's deterministic part: the curve's instantaneous forward plus the
        convexity that makes the mean discount factor the curve's."""
        a = self._a
        return _instantaneous_forward(self._market, t) + self._sigma**2 / (2 * a**2) * math.expm1(-a * t) ** 2

    def _shift_integral(self, t: float) -> float:
        """The integral of alpha from 0 to t: -ln P(0, t) plus half the variance of the integral of x."""
        a, s2 = self._a, self._sigma**2
        spread = t - 2 * -math.expm1(-a * t) / a + -math.expm1(-2 * a * t) / (2 * a)
        return self._market.log_value(self._market.base, t) + s2 / (2 * a**2) * spread

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
from typing import Any, ClassVar, cast

import numpy as np

from . import _checks, _short_rate
from .market import Market
from .volatility import LocalVolSurface, Volatility, VolatilitySurface, VolatilityTermStructure, on_asset

__all__ = ["GeometricBrownianMotion", "LocalVolatility", "Heston", "HullWhite", "LognormalPaths", "HestonPaths",
           "HullWhitePaths", "STATE", "SHORT_RATE"]

STATE = "x"
"""The name under which Hull-White paths answer their state variable x."""

SHORT_RATE = "short_rate"
"""The name under which Hull-White paths answer the short rate x + alpha(t)."""


# How many arrays of one double per path (and asset) a step holds at its peak: what
# a factory checks against the memory available before it makes its paths.
_LOGNORMAL_ARRAYS, _HESTON_ARRAYS, _HULL_WHITE_ARRAYS = 6, 24, 8


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


def _correlation(correlation: Sequence[Sequence[float]] | np.ndarray | None, names: list[str]) -> np.ndarray:
    """The Cholesky factor of a correlation matrix in the order of `names` (identity when None)."""
    corr = np.eye(len(names)) if correlation is None else np.asarray(correlation, dtype=float)
    if corr.shape != (len(names), len(names)) or not np.allclose(corr, corr.T) \
            or not np.allclose(np.diag(corr), 1.0):
        raise ValueError(f"correlation must be a symmetric {len(names)}x{len(names)} matrix with a unit "
                         f"diagonal, in the order {names}")
    try:
        return np.linalg.cholesky(corr)
    except np.linalg.LinAlgError:
        raise ValueError("correlation must be positive definite") from None


class _LogForward:
    """The log of an asset's forward at t years: the market's curve, moved in proportion to start
    at `spot` when one is given; for an asset without a curve, `spot` grown at the base curve's rate."""

    def __init__(self, market: Market, name: str, spot: float | None) -> None:
        self._market = market
        if name in market.curves and name != market.base:
            self._name = name
            self._shift = 0.0 if spot is None else math.log(spot / market.forward(name, 0.0))
        elif spot is not None:
            self._name, self._shift = market.base, math.log(spot)
        else:
            raise ValueError(f"asset {name!r} has no forward curve in the market: give it one (the curve carries "
                             "its dividends), or spot= for an asset that grows at the base curve's rate")

    def __call__(self, t: float) -> float:
        return self._market.log_value(self._name, t) + self._shift


def _check_names(volatility: object, spot: Mapping[str, float] | None, what: str) -> list[str]:
    """The simulated assets: the names of `volatility`, a mapping by asset as `spot` is."""
    for argument, value in (("volatility", volatility), ("spot", spot)):
        if value is not None and not isinstance(value, Mapping):
            raise TypeError(f"{what}: {argument} must map each asset's name to its value, "
                            f"got {type(value).__name__} {value!r}")
    names = list(cast(Mapping[str, Any], volatility))
    if not all(isinstance(name, str) for name in names):
        raise TypeError(f"{what}: volatility must be keyed by asset names, got {names!r}")
    if not names:
        raise ValueError(f"{what} needs at least one asset in volatility")
    extra = set(spot or ()) - set(names)
    if extra:
        raise ValueError(f"spot names {sorted(extra)}, which have no volatility")
    for name, value in (spot or {}).items():
        _checks.positive(value, f"spot of {name!r}")
    return names


def _uniforms(rng: np.random.Generator, paths: int, antithetic: bool) -> np.ndarray:
    """Uniforms on [0, 1); antithetic pairs fill the paths with u and 1 − u."""
    if not antithetic:
        return rng.random(paths)
    half = rng.random((paths + 1) // 2)
    return np.concatenate([half, 1.0 - half])[:paths]


@dataclass(frozen=True, kw_only=True)
class GeometricBrownianMotion:
    """Correlated lognormal assets that follow the market's forward curves.

    Each asset's price at time t is F(t) exp(σ W_t − ½ σ² t) (with a term
    structure, σ² t its total variance): its mean is the market's forward
    F(t) at every time, so the forward curve alone carries rates,
    dividends and borrow. `volatility` maps each simulated asset to a
    number or a `VolatilityTermStructure`; steps are exact, however far
    apart the events lie. `spot` maps an asset to a starting price other
    than the market's, moving its whole forward curve in proportion (what
    a bump of the spot means); an asset without a forward curve needs one,
    and then grows at the base curve's rate (no dividends). `correlation`
    is a matrix in the order of `volatility` (default: independent).

    >>> from ravlin import Market, ZeroCurve, ForwardCurve
    >>> market = Market(base="USD", pricing_time="2025-01-01",
    ...                 curves={"USD": ZeroCurve.flat(0.03), "SPX": ForwardCurve.flat(100.0, 0.01)})
    >>> paths = GeometricBrownianMotion(volatility={"SPX": 0.2}, antithetic=True)(market, 100_000, 1)
    >>> round(paths.advance(2.0), 12)  # the base curve's discount factor of the step
    0.941764533584
    >>> round(float(paths.get_value("SPX").mean()) / market.forward("SPX", 2.0), 2)
    1.0
    """

    volatility: Mapping[str, float | VolatilityTermStructure]
    spot: Mapping[str, float] | None = None
    correlation: Sequence[Sequence[float]] | np.ndarray | None = None
    antithetic: bool = False
    _cholesky: np.ndarray = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        _checks.flag(self.antithetic, "antithetic")
        names = _check_names(self.volatility, self.spot, "GeometricBrownianMotion")
        for name, vol in self.volatility.items():
            if isinstance(vol, (VolatilitySurface, LocalVolSurface)):
                raise TypeError(f"volatility of {name!r}: a {type(vol).__name__} depends on the price; "
                                "simulate it with ravlin.paths.LocalVolatility")
            if not isinstance(vol, VolatilityTermStructure):
                _checks.volatility(vol, f"volatility of {name!r}")
        object.__setattr__(self, "_cholesky", _correlation(self.correlation, names))

    def __call__(self, market: Market, paths: int, seed: int) -> LognormalPaths:
        """Fresh paths at the pricing time."""
        return LognormalPaths.of(self, market, paths, seed, steps_per_year=None)


@dataclass(frozen=True, kw_only=True)
class LocalVolatility:
    """Correlated assets with local volatilities σ(t, S), following the market's forward curves.

    `volatility` maps each asset to a `LocalVolSurface`, a
    `VolatilitySurface` (simulated with its Dupire local volatility), a
    `VolatilityTermStructure` or a number. Between events the paths take
    log-Euler steps of at most 1/`steps_per_year` years, with the variance
    of each step read at its middle time and its starting price, and the
    drift of the asset's forward over the step: each step's mean is exactly
    the forward's growth, so the mean price is the market's forward at
    every time, whatever the steps. `spot` and `correlation` are as for
    `GeometricBrownianMotion`.

    >>> from ravlin import Market, ZeroCurve, ForwardCurve, LocalVolSurface
    >>> market = Market(base="USD", pricing_time="2025-01-01",
    ...                 curves={"USD": ZeroCurve.flat(0.03), "SPX": ForwardCurve.flat(100.0, 0.01)})
    >>> skew = LocalVolSurface(times=[5.0], strikes=[50.0, 150.0], volatilities=[[0.4, 0.15]])
    >>> paths = LocalVolatility(volatility={"SPX": skew}, antithetic=True)(market, 50_000, 1)
    >>> _ = paths.advance(1.0)
    >>> round(float(paths.get_value("SPX").mean()) / market.forward("SPX", 1.0), 2)
    1.0
    """

    volatility: Mapping[str, Volatility]
    spot: Mapping[str, float] | None = None
    correlation: Sequence[Sequence[float]] | np.ndarray | None = None
    antithetic: bool = False
    steps_per_year: int = 365
    _cholesky: np.ndarray = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        _checks.flag(self.antithetic, "antithetic")
        names = _check_names(self.volatility, self.spot, "LocalVolatility")
        _checks.whole(self.steps_per_year, "steps_per_year", 1)
        object.__setattr__(self, "_cholesky", _correlation(self.correlation, names))

    def __call__(self, market: Market, paths: int, seed: int) -> LognormalPaths:
        """Fresh paths at the pricing time."""
        return LognormalPaths.of(self, market, paths, seed, steps_per_year=self.steps_per_year)


def _substeps(start: float, end: float, per_year: int | None) -> np.ndarray:
    """The times from `start` to `end` in equal steps of at most 1/`per_year` years (one step without)."""
    count = 1 if per_year is None else max(1, math.ceil((end - start) * per_year - 1e-9))
    return np.linspace(start, end, count + 1)


class LognormalPaths:
    """The paths of one pricing under `GeometricBrownianMotion` or `LocalVolatility`."""

    @classmethod
    def of(cls, model: GeometricBrownianMotion | LocalVolatility, market: Market, paths: int, seed: int, *,
           steps_per_year: int | None) -> LognormalPaths:
        """The paths of `model` (its volatilities read against `market`), sub-stepped when any is local."""
        names = list(model.volatility)
        _checks.memory(8 * _LOGNORMAL_ARRAYS * paths * len(names), f"{paths} paths of {len(names)} assets")
        vols = [on_asset(model.volatility[n], market, n, f"volatility of {n!r}") for n in names]
        forwards = [_LogForward(market, n, (model.spot or {}).get(n)) for n in names]
        return cls(market=market, names=names, forwards=forwards, volatilities=vols,
                   cholesky=model._cholesky, paths=paths, seed=seed, antithetic=model.antithetic,
                   steps_per_year=steps_per_year)

    def __init__(self, *, market: Market, names: list[str], forwards: list[_LogForward], volatilities: list[Any],
                 cholesky: np.ndarray, paths: int, seed: int, antithetic: bool, steps_per_year: int | None) -> None:
        self._market, self._index = market, {name: i for i, name in enumerate(names)}
        self._forwards, self._vols, self._cholesky = forwards, volatilities, cholesky
        self._rng, self._antithetic = np.random.default_rng(seed), antithetic
        local = any(v.local for v in volatilities)
        self._per_year = steps_per_year if local else None
        starts = np.array([forward(0.0) for forward in forwards])
        self._log = np.repeat(starts[:, None], paths, axis=1)
        self._time = 0.0

    def advance(self, t: float) -> float:
        """Moves every path to `t`, the time since the pricing time in years; returns the
        step's discount factor on the base curve, the same on every path."""
        if t <= self._time:
            return 1.0
        times = _substeps(self._time, t, self._per_year)
        for start, end in zip(times[:-1], times[1:]):
            self._step(float(start), float(end))
        start, self._time = self._time, t
        return math.exp(-(self._market.log_value(self._market.base, t)
                          - self._market.log_value(self._market.base, start)))

    def _step(self, start: float, end: float) -> None:
        dt = end - start
        shocks = self._cholesky @ _normals(self._rng, self._log.shape, self._antithetic)
        for i, (forward, vol) in enumerate(zip(self._forwards, self._vols)):
            growth = forward(end) - forward(start)
            spots = np.exp(self._log[i]) if vol.local else np.ones(1)
            variance = vol.step_variance(start, end, spots) * dt
            self._log[i] += growth - 0.5 * variance + np.sqrt(variance) * shocks[i]

    def get_value(self, name: str) -> np.ndarray | None:
        """The per-path price of a simulated asset at the current time; None for any other name."""
        i = self._index.get(name)
        return None if i is None else np.exp(self._log[i])


@dataclass(frozen=True, kw_only=True)
class Heston:
    """One asset with Heston's stochastic variance, following the market's forward curve.

    dS/S = μ(t) dt + √v dW, dv = κ(θ − v) dt + ξ √v dZ, d<W, Z> = ρ dt, where
    μ(t) is the growth of the asset's forward curve: the mean price is the
    market's forward at every time. The variance is stepped by Andersen's
    quadratic-exponential scheme and the log price with his martingale
    correction, so the mean over each step is exactly the forward's growth;
    steps between events are at most 1/`steps_per_year` years. `v0` is the
    starting variance, `kappa` the speed of mean reversion, `theta` the
    long-run variance, `vol_of_vol` ξ and `correlation` ρ; `spot` is as for
    `GeometricBrownianMotion`. Other assets are valued from their forward
    curves.

    >>> from ravlin import Market, ZeroCurve, ForwardCurve
    >>> market = Market(base="USD", pricing_time="2025-01-01",
    ...                 curves={"USD": ZeroCurve.flat(0.03), "SPX": ForwardCurve.flat(100.0, 0.01)})
    >>> model = Heston(asset="SPX", v0=0.04, kappa=1.5, theta=0.05, vol_of_vol=0.6, correlation=-0.7)
    >>> paths = model(market, 100_000, 3)
    >>> _ = paths.advance(1.0)
    >>> round(float(paths.get_value("SPX").mean()) / market.forward("SPX", 1.0), 2)
    1.0
    """

    asset: str
    v0: float
    kappa: float
    theta: float
    vol_of_vol: float
    correlation: float
    spot: float | None = None
    antithetic: bool = False
    steps_per_year: int = 100

    def __post_init__(self) -> None:
        _checks.flag(self.antithetic, "antithetic")
        for name in ("v0", "theta", "vol_of_vol"):
            _checks.non_negative(getattr(self, name), name)
        _checks.positive(self.kappa, "kappa")
        rho = _checks.number(self.correlation, "correlation")
        if not -1.0 <= rho <= 1.0:
            raise ValueError(f"correlation must lie in [-1, 1], got {self.correlation!r}")
        if self.spot is not None:
            _checks.positive(self.spot, "spot")
        _checks.whole(self.steps_per_year, "steps_per_year", 1)

    def __call__(self, market: Market, paths: int, seed: int) -> HestonPaths:
        """Fresh paths at the pricing time."""
        return HestonPaths(self, market, paths, seed)


# Andersen's switch between the quadratic and the exponential variance draws.
_PSI_SWITCH = 1.5


class HestonPaths:
    """The paths of one pricing under `Heston`."""

    def __init__(self, model: Heston, market: Market, paths: int, seed: int) -> None:
        _checks.memory(8 * _HESTON_ARRAYS * paths, f"{paths} Heston paths")
        self._model, self._market = model, market
        self._rng = np.random.default_rng(seed)
        self._forward = _LogForward(market, model.asset, model.spot)
        start = math.exp(self._forward(0.0))
        self._log = np.full(paths, math.log(start))
        self._variance = np.full(paths, float(model.v0))
        self._time = 0.0

    def advance(self, t: float) -> float:
        """Moves every path to `t`, the time since the pricing time in years; returns the
        step's discount factor on the base curve, the same on every path."""
        if t <= self._time:
            return 1.0
        times = _substeps(self._time, t, self._model.steps_per_year)
        for start, end in zip(times[:-1], times[1:]):
            self._step(float(start), float(end))
        start, self._time = self._time, t
        return math.exp(-(self._market.log_value(self._market.base, t)
                          - self._market.log_value(self._market.base, start)))

    def get_value(self, name: str) -> np.ndarray | None:
        """The per-path price of the asset at the current time; None for any other name."""
        return np.exp(self._log) if name == self._model.asset else None

    def _step(self, start: float, end: float) -> None:
        m, dt = self._model, end - start
        kappa, theta, xi, rho = m.kappa, m.theta, m.vol_of_vol, float(m.correlation)
        v = self._variance
        normals = _normals(self._rng, (2, v.size), m.antithetic)
        uniform = _uniforms(self._rng, v.size, m.antithetic)
        decay = math.exp(-kappa * dt)
        mean = theta + (v - theta) * decay
        var = v * xi**2 * decay * (1 - decay) / kappa + theta * xi**2 * (1 - decay) ** 2 / (2 * kappa)
        with np.errstate(divide="ignore", invalid="ignore"):
            psi = np.where(mean > 0, var / mean**2, np.inf)
        quadratic = psi <= _PSI_SWITCH
        # quadratic: v' = a (b + Z)^2
        inv = np.where(quadratic, 2.0 / np.where(quadratic, psi, 1.0), 0.0)
        b2 = np.where(quadratic, inv - 1 + np.sqrt(inv) * np.sqrt(np.maximum(inv - 1, 0.0)), 0.0)
        a = np.where(quadratic, mean / (1 + b2), 0.0)
        # exponential: v' = 0 with probability p, else an exponential tail
        p = np.where(quadratic, 0.0, (psi - 1) / (psi + 1))
        beta = np.where(quadratic | (mean <= 0), 1.0, (1 - p) / np.where(mean > 0, mean, 1.0))
        with np.errstate(divide="ignore", invalid="ignore"):
            tail = np.where(uniform > p, np.log((1 - p) / (1 - uniform)) / beta, 0.0)
        new = np.where(quadratic, a * (np.sqrt(b2) + normals[0]) ** 2, tail)
        # the log price, with K0 chosen per path so the step's mean is exactly the forward's growth
        k1 = 0.5 * dt * (kappa * rho / xi - 0.5) - rho / xi if xi > 0 else -0.25 * dt
        k2 = 0.5 * dt * (kappa * rho / xi - 0.5) + rho / xi if xi > 0 else -0.25 * dt
        k3 = k4 = 0.5 * dt * (1 - rho**2) if xi > 0 else 0.5 * dt
        big_a = k2 + 0.5 * k4
        with np.errstate(divide="ignore", invalid="ignore"):
            k0_quadratic = -big_a * b2 * a / (1 - 2 * big_a * a) + 0.5 * np.log(1 - 2 * big_a * a)
            k0_exponential = -np.log(p + beta * (1 - p) / (beta - big_a))
        corrected = np.where(quadratic, k0_quadratic, k0_exponential) - (k1 + 0.5 * k3) * v
        # The correction needs 2 A a < 1 (quadratic) or A < β (exponential); a step too long
        # for it (positive correlation, large steps) keeps Andersen's plain K0.
        plain = -rho * kappa * theta * dt / xi if xi > 0 else 0.0
        k0 = np.where(np.isfinite(corrected), corrected, plain)
        growth = self._forward(end) - self._forward(start)
        diffusion = np.sqrt(np.maximum(k3 * v + k4 * new, 0.0))
        if xi > 0:
            self._log += growth + k0 + k1 * v + k2 * new + diffusion * normals[1]
        else:  # deterministic variance: exact lognormal step over the mean variance
            w = 0.5 * (v + new) * dt
            self._log += growth - 0.5 * w + np.sqrt(w) * normals[1]
        self._variance = new


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
    `volatility` is a number, or rows (start in years from the pricing time,
    volatility) of a piecewise-constant one, the first starting at 0, as
    `ravlin.HullWhiteGrid` takes it.

    >>> from ravlin import Market, ZeroCurve
    >>> market = Market(base="USD", pricing_time="2025-01-01", curves={"USD": ZeroCurve.flat(0.03)})
    >>> paths = HullWhite(mean_reversion=0.1, volatility=0.01)(market, 3, 1)
    >>> paths.advance(1.0).shape  # discount factors from the pricing time to 1 year
    (3,)
    >>> alpha = paths.get_value("short_rate") - paths.get_value("x")  # forward 3% plus the convexity
    >>> bool(np.allclose(alpha, 0.03 + 0.01**2 / (2 * 0.1**2) * np.expm1(-0.1) ** 2))
    True
    >>> HullWhite(mean_reversion=0.1, volatility=[(0, 0.008), (2, 0.01)]).volatility
    ((0.0, 0.008), (2.0, 0.01))
    """

    mean_reversion: float
    volatility: _short_rate.Volatility
    antithetic: bool = False

    regressors: ClassVar[tuple[str, ...]] = (STATE,)

    def __post_init__(self) -> None:
        _checks.flag(self.antithetic, "antithetic")
        _checks.positive(self.mean_reversion, "mean_reversion")
        object.__setattr__(self, "volatility", _short_rate.checked(self.volatility))

    def __call__(self, market: Market, paths: int, seed: int) -> HullWhitePaths:
        """Fresh paths at the pricing time."""
        return HullWhitePaths(market=market, mean_reversion=self.mean_reversion,
                              volatility=cast("float | _short_rate.Table", self.volatility),
                              paths=paths, seed=seed, antithetic=self.antithetic)


class HullWhitePaths:
    """The paths of one pricing under `HullWhite`."""

    def __init__(self, *, market: Market, mean_reversion: float, volatility: float | _short_rate.Table,
                 paths: int, seed: int, antithetic: bool) -> None:
        _checks.memory(8 * _HULL_WHITE_ARRAYS * paths, f"{paths} Hull-White paths")
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
        a = self._a
        decay = math.exp(-a * dt)
        b = _short_rate.decay(a, dt)
        var_x, var_i, cov = _short_rate.step_moments(a, self._sigma, self._time, t)
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
        return _instantaneous_forward(self._market, t) + _short_rate.convexity(self._a, self._sigma, t)

    def _shift_integral(self, t: float) -> float:
        """The integral of alpha from 0 to t: -ln P(0, t) plus half the variance of the integral of x."""
        return (self._market.log_value(self._market.base, t)
                + 0.5 * _short_rate.integral_variance(self._a, self._sigma, t))

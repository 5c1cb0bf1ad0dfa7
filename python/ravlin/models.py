"""Models as small value objects, each writing its section of the engine's dataset.

`Fixed` discounts on the base curve, `MonteCarlo` drives paths that a
factory makes afresh for every pricing, `BlackScholesGrid` and
`HullWhiteGrid` solve Crank-Nicolson grids whose defaults are chosen from
the contract's maturity and the model's volatility.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Collection
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol, Union

import numpy as np

from ._checks import non_negative, positive, whole
from ._time import YEAR_MS
from .market import Market

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["Fixed", "MonteCarlo", "BlackScholesGrid", "HullWhiteGrid", "Model", "PathState",
           "PathFactory", "STATISTICS"]

STATISTICS = {"values": 1, "choices": 2, "cashflows": 8}
"""The statistics a model can hand back, with the engine's flag bit of each."""

Statistics = Union[bool, Collection[str]]

DAILY = 1 / 365
# Grid defaults: the half-width spans this many standard deviations of the
# state variable at maturity, with this many nodes on each side of the middle.
_DEVIATIONS = 8.0
# Steps are daily, and never fewer than this many over the contract's life:
# Crank-Nicolson damps the ripples of a kinked payoff only over many steps.
_NODES_PER_SIDE = 1000
_MIN_STEPS = 365
_MIN_HORIZON = 1 / 365


class PathState(Protocol):
    """What `MonteCarlo` drives: an object that moves its paths forward in time.

    `advance(t)` takes the time since the pricing time, in years, and
    returns the discount factor of the step per path (an array or a
    number), or None to discount on the base curve. `get_value(name)`
    returns the per-path values of an asset, or None for the curve's
    forward.
    """

    def advance(self, t: float) -> Any: ...

    def get_value(self, name: str) -> Any: ...


PathFactory = Callable[[Market, int, int], PathState]
"""Makes fresh paths for one pricing: (market, number of paths, seed) -> `PathState`."""


def _flags(statistics: Statistics) -> int:
    """The engine's FLAGS word for a choice of statistics."""
    if statistics is True:
        return sum(STATISTICS.values())
    if statistics is False:
        return 0
    if isinstance(statistics, str):
        statistics = (statistics,)
    unknown = set(statistics) - set(STATISTICS)
    if unknown:
        raise ValueError(f"statistics: unknown {sorted(unknown)}, expected some of {list(STATISTICS)} or True")
    return sum(STATISTICS[name] for name in set(statistics))


def _horizon(market: Market, batch: pa.RecordBatch) -> float:
    """Years from the pricing time to the contract's last row, at least a day."""
    if batch.num_rows == 0:
        return _MIN_HORIZON
    last = batch.column("time").cast("int64")[-1].as_py()
    return max((last - market.pricing_ms) / YEAR_MS, _MIN_HORIZON)


@dataclass(frozen=True, kw_only=True)
class Fixed:
    """One deterministic path: every amount discounted on the base curve.

    >>> Fixed(statistics=["cashflows"])
    Fixed(statistics=['cashflows'])
    """

    statistics: Statistics = False

    def __post_init__(self) -> None:
        _flags(self.statistics)

    engine = "fixed_price"

    def _sections(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        return {"FIXED": {"FLAGS": _flags(self.statistics)}}


@dataclass(frozen=True, kw_only=True)
class MonteCarlo:
    """Monte Carlo over `paths` paths that `state` makes afresh for every pricing.

    `state` is a factory (market, paths, seed) -> path object, such as
    `ravlin.paths.GeometricBrownianMotion(...)`; the path object's
    `advance(t)` takes the time since the pricing time, in years. Holding a
    factory, never a used path object, makes every call start from the
    pricing time with the same `seed`.

    Choices (holder's `>`, issuer's `<`) are decided by least-squares
    regression of the continuation value whenever the timetable holds one
    (`exercise="auto"`, the default): each path then decides on an estimate
    of its continuation, not on its own future, which would give a perfect-
    foresight (upper) bound. `exercise="pathwise"` asks for that pathwise
    exercise by name, `exercise="regression"` for regression always.
    `basis_degree` is the degree of the polynomial basis, `regressors` the
    names read on each path at a choice (assets or snaps; by default the
    offered value itself, which serves one-asset options; a contract whose
    offer is the same on every path, such as a bond callable at par, needs
    regressors such as the short rate's state or an asset), and
    `calibration_paths` the leading paths that only fit the regressions, so
    that the price, averaged over the rest, carries no in-sample bias.

    >>> from ravlin.paths import GeometricBrownianMotion
    >>> model = MonteCarlo(paths=10_000, state=GeometricBrownianMotion(volatility={"SPX": 0.2}), seed=7)
    >>> model.paths, model.seed, model.exercise
    (10000, 7, 'auto')
    """

    paths: int
    state: PathFactory
    seed: int = 0
    statistics: Statistics = False
    exercise: str = "auto"
    basis_degree: int = 3
    regressors: tuple[str, ...] | None = None
    calibration_paths: int = 0

    engine = "mc_price"

    def __post_init__(self) -> None:
        whole(self.paths, "paths", 1)
        whole(self.seed, "seed", 0)
        if hasattr(self.state, "advance"):
            raise TypeError("state: give a factory (market, paths, seed) -> path object, not a path object, "
                            "which the first pricing would leave at its last time")
        if not callable(self.state):
            raise TypeError(f"state: expected a factory (market, paths, seed) -> path object, "
                            f"got {type(self.state).__name__}")
        if self.exercise not in _EXERCISE:
            raise ValueError(f"exercise: expected one of {sorted(_EXERCISE)}, got {self.exercise!r}")
        whole(self.basis_degree, "basis_degree", 0)
        whole(self.calibration_paths, "calibration_paths", 0)
        if self.calibration_paths >= self.paths:
            raise ValueError(f"calibration_paths must leave at least one of the {self.paths} paths to price, "
                             f"got {self.calibration_paths}")
        if self.regressors is not None and (isinstance(self.regressors, str) or not self.regressors):
            raise TypeError("regressors: expected a non-empty sequence of names")
        _flags(self.statistics)

    def _sections(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        section: dict[str, Any] = {"PATHS": int(self.paths), "SEED": int(self.seed),
                                   "FLAGS": _flags(self.statistics)}
        if self.exercise == "regression" or (self.exercise == "auto" and _has_choice(batch)):
            section.update(EXERCISE="REGRESSION", BASIS_DEGREE=int(self.basis_degree),
                           CALIBRATION_PATHS=int(self.calibration_paths))
            if self.regressors is not None:
                section["REGRESSORS"] = [str(name) for name in self.regressors]
        return {"MC": section}

    def _paths(self, market: Market) -> PathState:
        """Fresh paths for one pricing."""
        paths = self.state(market, int(self.paths), int(self.seed))
        for method in ("advance", "get_value"):
            if not callable(getattr(paths, method, None)):
                raise TypeError(f"state: the factory made a {type(paths).__name__} without a method {method}()")
        return paths


_EXERCISE = {"auto", "regression", "pathwise"}


def _has_choice(batch: pa.RecordBatch) -> bool:
    """Whether any row of the batch is a holder's or an issuer's choice."""
    ops = batch.column("op")
    used = set(ops.indices.drop_null().to_pylist())
    return any(ops.dictionary[k].as_py() in (">", "<") for k in used)


@dataclass(frozen=True, kw_only=True)
class _Grid:
    """Settings shared by the grids; None picks the default from the contract."""

    nodes_per_side: int | None = None
    half_width: float | None = None
    timestep: float | None = None
    statistics: Statistics = False

    def __post_init__(self) -> None:
        if self.nodes_per_side is not None:
            whole(self.nodes_per_side, "nodes_per_side", 1)
        if self.half_width is not None:
            positive(self.half_width, "half_width")
        if self.timestep is not None and positive(self.timestep, "timestep") * YEAR_MS < 1:
            raise ValueError(f"timestep must be at least one millisecond, got {self.timestep!r} years")
        _flags(self.statistics)

    def _fd(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        return {"N_X": int(self.nodes_per_side or _NODES_PER_SIDE),
                "MAX_X": float(self.half_width or self._default_half_width(market, batch)),
                "TIMESTEP": float(self.timestep or min(DAILY, _horizon(market, batch) / _MIN_STEPS)),
                "FLAGS": _flags(self.statistics)}

    def _default_half_width(self, market: Market, batch: pa.RecordBatch) -> float:
        raise NotImplementedError

    def _grid(self, fd: dict[str, Any]) -> np.ndarray:
        """The grid's nodes from the highest down, as the engine lays them out."""
        n_x, max_x = fd["N_X"], fd["MAX_X"]
        return max_x - np.arange(2 * n_x + 1) * (max_x / n_x)


@dataclass(frozen=True, kw_only=True)
class BlackScholesGrid(_Grid):
    """A Crank-Nicolson grid in the log price of one asset with constant volatility.

    By default the grid has 1000 nodes on each side of the spot and reaches
    8 standard deviations of the log price at the contract's last row (plus
    the forward's drift), with daily steps (365 steps over a contract
    shorter than a year): about 1e-5 relative error on vanilla options.
    Every setting can be given.

    >>> BlackScholesGrid(asset="SPX", volatility=0.2, nodes_per_side=400).timestep is None
    True
    """

    asset: str
    volatility: float

    engine = "fd_blackscholes_price"

    def __post_init__(self) -> None:
        super().__post_init__()
        non_negative(self.volatility, "volatility")

    def _sections(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        if self.asset not in market.curves or self.asset == market.base:
            raise ValueError(f"BlackScholesGrid: asset {self.asset!r} needs a ForwardCurve in the market")
        return {"FD": self._fd(market, batch), "BS": {"VOL": float(self.volatility), "ASSET": self.asset}}

    def _default_half_width(self, market: Market, batch: pa.RecordBatch) -> float:
        years = _horizon(market, batch)
        drift = abs(market.log_value(self.asset, years) - market.log_value(self.asset, 0.0))
        return _DEVIATIONS * self.volatility * math.sqrt(years) + drift + 0.01

    def _nodes(self, market: Market, fd: dict[str, Any]) -> np.ndarray:
        """The asset's price on each node."""
        return np.exp(self._grid(fd) + math.log(market.forward(self.asset, 0.0)))


@dataclass(frozen=True, kw_only=True)
class HullWhiteGrid(_Grid):
    """A Crank-Nicolson grid in the short rate of a Hull-White model fitted to the base curve.

    By default the grid has 1000 nodes on each side of the fitted mean and
    reaches 8 standard deviations of the short rate at the contract's last
    row, with daily steps (365 steps over a contract shorter than a year);
    every setting can be given.

    >>> HullWhiteGrid(mean_reversion=0.05, volatility=0.01).half_width is None
    True
    """

    mean_reversion: float
    volatility: float

    engine = "fd_hullwhite_price"

    def __post_init__(self) -> None:
        super().__post_init__()
        non_negative(self.mean_reversion, "mean_reversion")
        non_negative(self.volatility, "volatility")

    def _sections(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        return {"FD": self._fd(market, batch),
                "HW": {"MEANREV": float(self.mean_reversion), "VOL": float(self.volatility)}}

    def _default_half_width(self, market: Market, batch: pa.RecordBatch) -> float:
        years, a = _horizon(market, batch), self.mean_reversion
        variance = years if a * years < 1e-8 else -math.expm1(-2 * a * years) / (2 * a)
        return _DEVIATIONS * self.volatility * math.sqrt(variance) + 0.01

    def _nodes(self, market: Market, fd: dict[str, Any], first_step: float) -> np.ndarray:
        """The short rate on each node at the pricing time: the grid plus the curve's rate
        over the engine's last step, which ends at the pricing time."""
        return self._grid(fd) + market.rate(market.base, 0.0, first_step)


Model = Union[Fixed, MonteCarlo, BlackScholesGrid, HullWhiteGrid]

"""Models as small value objects, each writing its section of the engine's dataset.

`Fixed` discounts on the base curve, `MonteCarlo` drives paths that a
factory makes afresh for every pricing, `BlackScholesGrid` and
`HullWhiteGrid` solve Crank-Nicolson grids whose defaults are chosen from
the contract's maturity and the model's volatility.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Collection, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar, Protocol, Union, cast, runtime_checkable

import numpy as np

import _ravlin

from . import _checks, _short_rate
from ._time import YEAR_MS, to_datetime
from .greeks import Greeks, derivatives, spot_derivatives
from .market import DividendSchedule, Market, dividend_rows
from .volatility import (
    VOLATILITY_OBJECTS,
    LocalVolSurface,
    Volatility,
    VolatilityTermStructure,
    level,
    on_asset,
    shifted,
)

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["Fixed", "MonteCarlo", "BlackScholesGrid", "HullWhiteGrid", "Model", "PathState",
           "PathFactory", "Parameter", "STATISTICS", "MAX_VOLATILITY"]

STATISTICS = {"values": 1, "choices": 2, "cashflows": 8}
"""The statistics a model can hand back, with the engine's flag bit of each."""

Statistics = Union[bool, Collection[str]]

class Engine(Protocol):
    """A pricing function of the engine: (timetable, py_state, dataset, expressions) -> price."""

    def __call__(self, events_rb: Any, py_state: Any, dataset: Any, expressions: Any, /) -> float: ...

Parameter = tuple[str, str | None]
"""A model parameter that risk bumps: (field, key), such as ("volatility", "SPX") for an
asset's volatility, ("volatility", None) for the short rate's, ("mean_reversion", None),
or ("spot", "SPX") for a starting price that Monte Carlo paths fix themselves."""

DAILY = 1 / 365
# Grid defaults: the half-width spans this many standard deviations of the
# state variable at maturity, with this many nodes on each side of the middle.
_DEVIATIONS = 8.0
# Given half-widths reach at least this many, and nodes lie at most one apart.
_MIN_DEVIATIONS = 3.0
# Steps are daily, and never fewer than this many over the contract's life:
# Crank-Nicolson damps the ripples of a kinked payoff only over many steps.
_NODES_PER_SIDE = 1000
_MIN_STEPS = 365
_MIN_HORIZON = 1 / 365
# The range of half-widths: from a hundredth of a percent of the state to as
# far as e^600 in log price, beyond which a payoff's products overflow.
_MIN_HALF_WIDTH = 1e-4
_MAX_HALF_WIDTH = 600.0
MAX_VOLATILITY = _checks.MAX_VOLATILITY
# The grids and the fixed model compute without the interpreter lock, so the
# caller's other threads run meanwhile (RELEASE_GIL of our own engine
# sections; the same prices to the last bit).
_RELEASE_GIL = 1


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


@runtime_checkable
class Model(Protocol):
    """What every model of ravlin is: the one contract between models and pricing, risk
    and portfolios.

    A model is an immutable value. `engine` is the engine's pricing function
    itself; `sections(market, batch)` writes the model's keys of the dataset
    for a contract; `fresh_paths(market)` makes the paths the engine drives for one
    pricing (None off Monte Carlo); `node_coordinates(...)` gives each node's
    coordinate after a grid solve (None off the grids), and `greeks(...)`
    the Greeks of that solve; `parameters()` the model's parameters that
    risk bumps, `with_parameter(...)` a model with one of them changed, and
    `for_revaluation(market, batch)` the model whose settings stay put
    under bumps, with the per-path or per-node values asked for.

    >>> import ravlin
    >>> isinstance(ravlin.Fixed(), Model), ravlin.Fixed().engine.__name__
    (True, 'fixed_price')
    """

    @property
    def statistics(self) -> Statistics: ...

    @property
    def engine(self) -> Engine: ...

    def sections(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]: ...

    def fresh_paths(self, market: Market) -> PathState | None: ...

    def node_coordinates(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any],
                         stats: Mapping[str, Any]) -> np.ndarray | None: ...

    def greeks(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any], values: np.ndarray,
               nodes: np.ndarray) -> Greeks | None: ...

    def parameters(self) -> dict[Parameter, float]: ...

    def with_parameter(self, parameter: Parameter, value: float) -> Model: ...

    def for_revaluation(self, market: Market, batch: pa.RecordBatch) -> Model: ...


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



def _with_values(statistics: Statistics) -> Statistics:
    """The statistics choice with the per-path or per-node values added."""
    if statistics is True:
        return True
    chosen = set() if statistics is False else {statistics} if isinstance(statistics, str) else set(statistics)
    return sorted(chosen | {"values"})


def _horizon(market: Market, batch: pa.RecordBatch) -> float:
    """Years from the pricing time to the contract's last row, at least a day."""
    if batch.num_rows == 0:
        return _MIN_HORIZON
    last: int = batch.column("time").cast("int64")[-1].as_py()
    return max((last - market.pricing_ms) / YEAR_MS, _MIN_HORIZON)


class _Deterministic:
    """What a model without nodes or risk parameters answers."""

    def fresh_paths(self, market: Market) -> PathState | None:
        return None

    def node_coordinates(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any],
                         stats: Mapping[str, Any]) -> np.ndarray | None:
        return None

    def greeks(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any], values: np.ndarray,
               nodes: np.ndarray) -> Greeks | None:
        return None

    def parameters(self) -> dict[Parameter, float]:
        return {}

    def with_parameter(self, parameter: Parameter, value: float) -> Model:
        raise KeyError(f"{type(self).__name__} has no parameter {parameter}")


@dataclass(frozen=True, kw_only=True)
class Fixed(_Deterministic):
    """One deterministic path: every amount discounted on the base curve.

    >>> Fixed(statistics=["cashflows"])
    Fixed(statistics=['cashflows'])
    """

    statistics: Statistics = False
    _sections: dict[str, Any] = field(init=False, repr=False, compare=False)

    engine: ClassVar[Engine] = _ravlin.fixed_price

    def __post_init__(self) -> None:
        object.__setattr__(self, "_sections",
                           {"FIXED": {"FLAGS": _flags(self.statistics), "RELEASE_GIL": _RELEASE_GIL}})

    def sections(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        """The "FIXED" section, the same for every contract.

        >>> Fixed(statistics=True).sections(None, None)
        {'FIXED': {'FLAGS': 11, 'RELEASE_GIL': 1}}
        """
        return self._sections

    def for_revaluation(self, market: Market, batch: pa.RecordBatch) -> Model:
        return self


_EXERCISE = {"auto", "regression", "pathwise"}


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
    names read on each path at a choice (assets or snaps). By default they
    are those the path factory names in an attribute `regressors` (the
    state "x" of `ravlin.paths.HullWhite`, so callable bonds, swaptions and
    caps regress on the short rate's state), else the offered value itself,
    which serves one-asset options; a contract whose offer is the same on
    every path needs regressors that move with its value.
    `calibration_paths` are the leading paths that only fit the regressions,
    so that the price, averaged over the rest, carries no in-sample bias.

    Risk bumps the parameters of a path factory that is a dataclass with
    fields `volatility` (a number, or a mapping by asset), `mean_reversion`
    and `spot` (a mapping by asset), as those of `ravlin.paths` are.

    >>> from ravlin.paths import GeometricBrownianMotion
    >>> model = MonteCarlo(paths=10_000, state=GeometricBrownianMotion(volatility={"SPX": 0.2}), seed=7)
    >>> model.paths, model.seed, model.exercise
    (10000, 7, 'auto')
    >>> model.parameters()
    {('volatility', 'SPX'): 0.2}
    """

    paths: int
    state: PathFactory
    seed: int = 0
    statistics: Statistics = False
    exercise: str = "auto"
    basis_degree: int = 3
    regressors: tuple[str, ...] | None = None
    calibration_paths: int = 0

    engine: ClassVar[Engine] = _ravlin.mc_price

    def __post_init__(self) -> None:
        _checks.whole(self.paths, "paths", 1)
        _checks.memory(8 * self.paths, f"paths={self.paths} (one value per path)")
        _checks.whole(self.seed, "seed", 0)
        if _is_path_object(self.state):
            raise TypeError("state: give a factory (market, paths, seed) -> path object, not a path object, "
                            "which the first pricing would leave at its last time")
        if not callable(self.state):
            raise TypeError(f"state: expected a factory (market, paths, seed) -> path object, "
                            f"got {type(self.state).__name__}")
        if self.exercise not in _EXERCISE:
            raise ValueError(f"exercise: expected one of {sorted(_EXERCISE)}, got {self.exercise!r}")
        _checks.whole(self.basis_degree, "basis_degree", 0)
        _checks.whole(self.calibration_paths, "calibration_paths", 0)
        if self.calibration_paths >= self.paths:
            raise ValueError(f"calibration_paths must leave at least one of the {self.paths} paths to price, "
                             f"got {self.calibration_paths}")
        if self.regressors is not None and (isinstance(self.regressors, str) or not self.regressors):
            raise TypeError("regressors: expected a non-empty sequence of names")
        _flags(self.statistics)

    def sections(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        """The "MC" section; regression keys when the contract holds a choice (or always, by name)."""
        section: dict[str, Any] = {"PATHS": int(self.paths), "SEED": int(self.seed),
                                   "FLAGS": _flags(self.statistics)}
        if self.exercise == "regression" or (self.exercise == "auto" and _has_choice(batch)):
            section.update(EXERCISE="REGRESSION", BASIS_DEGREE=int(self.basis_degree),
                           CALIBRATION_PATHS=int(self.calibration_paths))
            regressors = self.regressors if self.regressors is not None else getattr(self.state, "regressors", None)
            if regressors is not None:
                section["REGRESSORS"] = [str(name) for name in regressors]
        return {"MC": section}

    def fresh_paths(self, market: Market) -> PathState | None:
        """Fresh paths for one pricing, from the factory."""
        paths = self.state(market, int(self.paths), int(self.seed))
        for method in ("advance", "get_value"):
            if not callable(getattr(paths, method, None)):
                raise TypeError(f"state: the factory made a {type(paths).__name__} without a method {method}()")
        return paths

    def node_coordinates(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any],
                         stats: Mapping[str, Any]) -> np.ndarray | None:
        return None

    def greeks(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any], values: np.ndarray,
               nodes: np.ndarray) -> Greeks | None:
        return None

    def parameters(self) -> dict[Parameter, float]:
        """The path factory's volatilities, mean reversion and fixed spots, when it is a dataclass."""
        if not dataclasses.is_dataclass(self.state):
            return {}
        found: dict[Parameter, float] = {}
        for name in ("volatility", "mean_reversion", "spot"):
            value = getattr(self.state, name, None)
            if isinstance(value, Mapping):
                found.update({(name, str(key)): _level(v) for key, v in value.items() if _bumpable(v)})
            elif isinstance(value, tuple):  # a piecewise volatility of the short rate
                found.update({(name, key): v for key, v in _short_rate.risk_parameters(value).items()})
            elif _is_number(value) and name != "spot":
                found[(name, None)] = float(value)
        return found

    def with_parameter(self, parameter: Parameter, value: float) -> Model:
        """The model with one parameter of its path factory changed."""
        name, key = parameter
        if parameter not in self.parameters():
            raise KeyError(f"the path factory has no parameter {parameter}")
        current = getattr(self.state, name)
        if isinstance(current, Mapping) and not _is_number(current[key]):  # a volatility object moves in parallel
            value = shifted(current[key], value - level(current[key]))  # type: ignore[assignment]
        new = ({**current, key: value} if isinstance(current, Mapping)
               else _short_rate.with_risk_parameter(current, key, value) if isinstance(current, tuple) else value)
        return dataclasses.replace(self, state=dataclasses.replace(self.state, **{name: new}))  # type: ignore[type-var]

    def for_revaluation(self, market: Market, batch: pa.RecordBatch) -> Model:
        """The same paths and seed (common random numbers) with the per-path values asked for."""
        return dataclasses.replace(self, statistics=_with_values(self.statistics))


def _bumpable(value: object) -> bool:
    """A non-zero number, or a volatility object (bumped in parallel)."""
    return bool(value) if _is_number(value) else isinstance(value, VOLATILITY_OBJECTS)


def _level(value: Any) -> float:
    return float(value) if _is_number(value) else level(value)


def _is_number(value: object) -> bool:
    """A plain number (not a bool): what risk bumps, where a volatility object is left alone."""
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_))


def _is_path_object(state: object) -> bool:
    """Whether `state` is a set of paths already (not a class, which makes fresh ones when called)."""
    return not isinstance(state, type) and all(callable(getattr(state, m, None)) for m in ("advance", "get_value"))


def _ops_used(batch: pa.RecordBatch) -> set[str]:
    """The operations the rows of the batch use."""
    ops = batch.column("op")
    return {ops.dictionary[k].as_py() for k in set(ops.indices.drop_null().to_pylist())}


def check_conditional_rows(model: Model, batch: pa.RecordBatch, entries: Mapping[str, Any]) -> None:
    """Refuses, before pricing, a conditional row (op "s") whose weight, the value named "s", the
    model cannot find, naming the row's track: a Hull-White grid values no conditional row, and a
    Black-Scholes grid finds the weight only among the phrases (neither snaps nor assets)."""
    if not isinstance(model, (HullWhiteGrid, BlackScholesGrid)) or "s" not in _ops_used(batch):
        return
    weight = entries.get("s")
    if isinstance(model, BlackScholesGrid) and isinstance(weight, Mapping) and weight.get("type") == "phrase":
        return
    ops = batch.column("op")
    row = next(i for i, op in enumerate(ops.to_pylist()) if op == "s")
    track = batch.column("track")[row].as_py()
    missing = ("the grid values none" if isinstance(model, HullWhiteGrid) else
               "its weight is the value named 's', which the grid finds only as a Phrase, and the expressions "
               "hold no Phrase 's': give one")
    raise ValueError(f"{type(model).__name__} cannot value a conditional row (op 's') (row {row}, track "
                     f"{track!r}): {missing}; or price the contract with Fixed or MonteCarlo")


def _has_choice(batch: pa.RecordBatch) -> bool:
    """Whether any row of the batch is a holder's or an issuer's choice."""
    return bool(_ops_used(batch) & {">", "<"})


@dataclass(frozen=True, kw_only=True)
class _Grid:
    """Settings shared by the grids; None picks the default from the contract."""

    nodes_per_side: int | None = None
    half_width: float | None = None
    timestep: float | None = None
    statistics: Statistics = False

    def __post_init__(self) -> None:
        if self.nodes_per_side is not None:
            _checks.whole(self.nodes_per_side, "nodes_per_side", 1)
        if self.half_width is not None and not (
                _MIN_HALF_WIDTH <= _checks.positive(self.half_width, "half_width") <= _MAX_HALF_WIDTH):
            raise ValueError(f"half_width must lie between {_MIN_HALF_WIDTH} and {_MAX_HALF_WIDTH:g}, "
                             f"got {self.half_width!r}")
        if self.timestep is not None and _checks.positive(self.timestep, "timestep") * YEAR_MS < 1:
            raise ValueError(f"timestep must be at least one millisecond, got {self.timestep!r} years")
        _flags(self.statistics)

    def fresh_paths(self, market: Market) -> PathState | None:
        return None

    def for_revaluation(self, market: Market, batch: pa.RecordBatch) -> Model:
        """The grid with its nodes and steps fixed at this contract's and its per-node values asked for,
        so every bumped revaluation runs on the same nodes and steps."""
        fd = self._fd(market, batch)
        return dataclasses.replace(self, nodes_per_side=fd["N_X"], half_width=fd["MAX_X"],  # type: ignore[return-value]
                                   timestep=fd["TIMESTEP"], statistics=_with_values(self.statistics))

    def _fd(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        flags = _flags(self.statistics)
        fd = {"N_X": int(self.nodes_per_side or _NODES_PER_SIDE),
              "MAX_X": float(self.half_width or self._default_half_width(market, batch)),
              "TIMESTEP": float(self.timestep or min(DAILY, _horizon(market, batch) / _MIN_STEPS)),
              "FLAGS": flags, "RELEASE_GIL": _RELEASE_GIL}
        if flags & STATISTICS["values"]:
            fd["NODES"] = 1  # the per-node values come with each node's coordinate
        return fd

    def _default_half_width(self, market: Market, batch: pa.RecordBatch) -> float:
        raise NotImplementedError

    def _with(self, **changes: Any) -> Model:
        return dataclasses.replace(self, **changes)  # type: ignore[return-value]


def _engine_nodes(stats: Mapping[str, Any]) -> np.ndarray | None:
    """The node coordinates the grid handed back ("NODES"), when it was asked for them."""
    nodes = stats.get("NODES")
    return None if nodes is None else np.asarray(nodes, dtype=float)


def _instant_rate(market: Market, name: str) -> float:
    """A curve's rate at the pricing time: over its first millisecond, as the grid takes it."""
    return market.rate(name, 0.0, 1 / YEAR_MS)


@dataclass(frozen=True, kw_only=True)
class BlackScholesGrid(_Grid):
    """A Crank-Nicolson grid in the log price of one asset.

    `volatility` is a number, a `VolatilityTermStructure` (each step takes
    the mean variance over it, so European prices carry the total
    variance), a `LocalVolSurface`, or a `VolatilitySurface` (through its
    Dupire local volatility); a local volatility is sampled on the grid's
    nodes at up to 200 times over the contract's life, and each step takes
    it, node by node, at its middle. Phrases whose inputs are the asset
    and the base currency (the payoffs of `DigitalOption` and `BarrierOption`,
    a knock-out's share beyond the barrier) are valued on the nodes,
    averaged over each node's cell; other phrases, and snappers, are refused.

    By default the grid has 1000 nodes on each side of the spot and reaches
    8 standard deviations of the log price at the contract's last row, plus
    half its variance and the forward's drift (so that it holds the
    distribution under both the money and the asset as numeraire), with
    daily steps (365 steps over a contract shorter than a year). Its rows
    carry the forward exactly (the engine's FIT_FORWARD), so put-call parity
    holds on the grid. With these defaults a European option struck at the
    forward is within 1e-4 relative of Black-Scholes (at most 5e-5 measured)
    for every volatility from 0.01 to `MAX_VOLATILITY` (5 per year) and
    maturities up to 30 years. Every setting can be given.

    Guard rails: a volatility above `MAX_VOLATILITY` is refused unless
    `allow_high_volatility=True`; a volatility too low for the node spacing
    (the forward's drift crossing more than two nodes while the volatility
    spreads over one, where the grid oscillates) and a grid that would reach
    beyond e^600 in price are refused, naming the setting.

    `dividends` (cash) and `proportional_dividends` (shares of the price)
    map ex-dates to amounts: at each ex-date the price falls by the dividend
    and every value on the grid is carried across the fall (rows at the
    ex-date see the price after it; where a cash dividend would take the
    price below the grid's lowest node, the value there is the lowest
    node's, a worthless asset's). The asset's forward curve must fall by the
    same dividends, as `ForwardCurve.with_dividends` makes it: the grid
    refuses a curve that does not, since the two would price different
    forwards.

    >>> BlackScholesGrid(asset="SPX", volatility=0.2, nodes_per_side=400).timestep is None
    True
    >>> BlackScholesGrid(asset="SPX", volatility=0.2, dividends={"2025-06-02": 1.5}).dividends
    ((1748822400000, 1.5),)
    >>> BlackScholesGrid(asset="SPX", volatility=25.0)
    Traceback (most recent call last):
    ...
    ValueError: volatility 25.0 is above 5.0 per year (...); give allow_high_volatility=True to price it all the same
    """

    asset: str
    volatility: Volatility
    dividends: DividendSchedule = ()
    proportional_dividends: DividendSchedule = ()
    allow_high_volatility: bool = False

    engine: ClassVar[Engine] = _ravlin.fd_blackscholes_price
    coordinate: ClassVar[str] = "spot"

    def __post_init__(self) -> None:
        super().__post_init__()
        _checks.name(self.asset, "asset")
        _checks.flag(self.allow_high_volatility, "allow_high_volatility")
        if not isinstance(self.volatility, VOLATILITY_OBJECTS):
            if not _is_number(self.volatility):
                raise TypeError("volatility: expected a number, VolatilityTermStructure, VolatilitySurface or "
                                f"LocalVolSurface, got {type(self.volatility).__name__}")
            self._check_bound(self.volatility)
        object.__setattr__(self, "dividends", dividend_rows(self.dividends, "dividends"))
        object.__setattr__(self, "proportional_dividends",
                           dividend_rows(self.proportional_dividends, "proportional_dividends", proportional=True))

    def sections(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        """The "FD" and "BS" sections, with the defaults chosen for this contract."""
        if self.asset not in market.curves or self.asset == market.base:
            raise ValueError(f"BlackScholesGrid: asset {self.asset!r} needs a ForwardCurve in the market")
        fd = self._fd(market, batch)
        self._check_resolution(market, batch, fd)
        bs: dict[str, Any] = {"VOL": self._engine_volatility(market, batch, fd), "ASSET": self.asset,
                              "PHRASES": _PHRASE_POINTS, "FIT_FORWARD": 1}
        horizon = market.pricing_ms + _horizon(market, batch) * YEAR_MS
        for key, rows in (("DIVIDENDS", self._cash), ("PROPORTIONAL_DIVIDENDS", self._shares)):
            paid = [(ms, amount) for ms, amount in rows if market.pricing_ms < ms <= horizon]
            if paid:
                _dividends_in_forward(market, self.asset, paid, proportional=key != "DIVIDENDS")
                bs[key] = np.array([[(ms - market.pricing_ms) / YEAR_MS, amount] for ms, amount in paid])
        return {"FD": fd, "BS": bs}

    def _engine_volatility(self, market: Market, batch: pa.RecordBatch, fd: Mapping[str, Any]) -> Any:
        """"VOL" of "BS": the number, rows of (start, volatility) of a term structure, or a local
        volatility table on the grid's nodes."""
        volatility = self.volatility
        if not isinstance(volatility, VOLATILITY_OBJECTS):
            return float(volatility)
        years = _horizon(market, batch)
        if isinstance(volatility, VolatilityTermStructure):
            volatility.variance(years)  # refuses a contract that outlives the structure
            starts = (0.0, *volatility.times[:-1])
            return np.array([(start, math.sqrt(volatility.forward_variance(start, end)))
                             for start, end in zip(starts, volatility.times)])
        nodes = 2 * fd["N_X"] + 1
        count = max(2, min(_LOCAL_VOL_TIMES, math.ceil(years / fd["TIMESTEP"]) + 1))
        _checks.memory(8 * nodes * count, "the local volatility on the grid's nodes")
        local = on_asset(volatility, market, self.asset, "volatility")
        spots = np.exp(math.log(market.forward(self.asset, 0.0)) + np.linspace(-fd["MAX_X"], fd["MAX_X"], nodes))
        times = np.linspace(0.0, years, count)
        return {"TIMES": times, "SPOTS": spots, "VOLS": np.array([local.at(float(t), spots) for t in times])}

    def _volatility_now(self, market: Market, spot: float) -> float:
        """The instantaneous volatility at the pricing time and `spot`."""
        if not isinstance(self.volatility, VOLATILITY_OBJECTS):
            return float(self.volatility)
        return float(on_asset(self.volatility, market, self.asset, "volatility").at(0.0, np.array([spot]))[0])

    @property
    def _cash(self) -> tuple[tuple[int, float], ...]:
        return cast("tuple[tuple[int, float], ...]", self.dividends)

    @property
    def _shares(self) -> tuple[tuple[int, float], ...]:
        return cast("tuple[tuple[int, float], ...]", self.proportional_dividends)

    def _check_bound(self, volatility: float) -> None:
        allowed = math.inf if self.allow_high_volatility else MAX_VOLATILITY
        _checks.volatility(volatility, "volatility", allowed=allowed, flag="allow_high_volatility")

    def _check_resolution(self, market: Market, batch: pa.RecordBatch, fd: Mapping[str, Any]) -> None:
        """Refuses settings that cannot resolve the contract: a volatility above the bound, nodes
        wider apart than a standard deviation, a half-width within 3 of them, and a volatility whose
        diffusion cannot hold the drift on these nodes: with the drift crossing more than two nodes
        while the volatility spreads over one (cell Peclet number above 2), central differences
        oscillate and prices can leave their no-arbitrage bounds. A volatility object is taken at
        its widest quote."""
        years = _horizon(market, batch)
        widest = _widest(self.volatility, years)
        self._check_bound(widest)
        variance = widest**2
        drift = (market.log_value(self.asset, years) - market.log_value(self.asset, 0.0)) / years - 0.5 * variance
        spacing, deviation = fd["MAX_X"] / fd["N_X"], math.sqrt(variance * years)
        if spacing > deviation > 0:
            raise ValueError(f"BlackScholesGrid: nodes {spacing:.3g} apart in log price are wider than its standard "
                             f"deviation {deviation:.3g} over the contract; give nodes_per_side of at least "
                             f"{math.ceil(fd['MAX_X'] / deviation)} for half_width {fd['MAX_X']:.4g}")
        if fd["MAX_X"] < _MIN_DEVIATIONS * deviation:
            raise ValueError(f"BlackScholesGrid: half_width {fd['MAX_X']:.4g} cuts the log price off within "
                             f"{_MIN_DEVIATIONS} standard deviations ({deviation:.3g} each) over the contract; give "
                             f"at least {_MIN_DEVIATIONS * deviation:.4g}")
        if abs(drift) * spacing > variance and not isinstance(self.volatility, VOLATILITY_OBJECTS):
            needed = (f"nodes_per_side of at least {math.ceil(abs(drift) * fd['MAX_X'] / variance)}, "
                      if variance > 0 else "")
            raise ValueError(f"BlackScholesGrid: volatility {self.volatility!r} is too low for nodes "
                             f"{spacing:.3g} apart in log price: the drift of {drift:.3g} per year outruns it "
                             f"and the grid would oscillate; give {needed}a higher volatility, or price a "
                             "deterministic asset with Fixed")

    def node_coordinates(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any],
                         stats: Mapping[str, Any]) -> np.ndarray | None:
        """The asset's price on each node, as the grid handed them back."""
        return _engine_nodes(stats)

    def greeks(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any], values: np.ndarray,
               nodes: np.ndarray) -> Greeks | None:
        """Delta and gamma in the spot at the middle node; theta from the Black-Scholes equation
        with the rates at the pricing time."""
        middle = values.size // 2
        value, spot = float(values[middle]), float(nodes[middle])
        first, second = derivatives(values, np.log(nodes), math.log(spot))
        rate, growth = _instant_rate(market, market.base), _instant_rate(market, self.asset)
        variance = self._volatility_now(market, spot) ** 2
        theta = rate * value - (growth - 0.5 * variance) * first - 0.5 * variance * second
        return Greeks(delta=first / spot, gamma=(second - first) / (spot * spot), theta=theta)

    def delta_gamma(self, values: np.ndarray, nodes: np.ndarray, at: float) -> tuple[float, float]:
        """dV/dS and d2V/dS2 at the spot `at`."""
        return spot_derivatives(values, nodes, at)

    def parameters(self) -> dict[Parameter, float]:
        """The asset's volatility: a number, or an object's mean quote (bumped in parallel)."""
        return {("volatility", self.asset): _level(self.volatility)}

    def with_parameter(self, parameter: Parameter, value: float) -> Model:
        if parameter != ("volatility", self.asset):
            raise KeyError(f"BlackScholesGrid has no parameter {parameter}")
        # A bump of a volatility the grid accepted is accepted too.
        if isinstance(self.volatility, VOLATILITY_OBJECTS):
            return self._with(volatility=shifted(self.volatility, value - level(self.volatility)),
                              allow_high_volatility=True)
        return self._with(volatility=value, allow_high_volatility=True)

    def _default_half_width(self, market: Market, batch: pa.RecordBatch) -> float:
        years = _horizon(market, batch)
        drift = abs(market.log_value(self.asset, years) - market.log_value(self.asset, 0.0))
        variance = _widest(self.volatility, years) ** 2 * years
        half_width = _DEVIATIONS * math.sqrt(variance) + 0.5 * variance + drift + 0.01
        if half_width > _MAX_HALF_WIDTH:
            raise ValueError(f"BlackScholesGrid: volatility {self.volatility!r} over {years:.4g} years needs the "
                             f"grid to reach {half_width:.4g} in log price, beyond {_MAX_HALF_WIDTH:g}, where "
                             "prices overflow; give a lower volatility or a shorter contract")
        return half_width


# Phrases of the asset (payoffs, knocks) are valued at this many points across
# each node's cell and averaged: a jump between two nodes then counts by the
# share of the cell beyond it, not by which node it falls nearest.
_PHRASE_POINTS = 16
# A local volatility is sampled on the grid's nodes at up to this many times.
_LOCAL_VOL_TIMES = 200


def _widest(volatility: Volatility, years: float) -> float:
    """The volatility the grid's default half-width reaches: the number, the term structure's
    to the horizon, or the largest quote of a surface or local volatility table."""
    if isinstance(volatility, VolatilityTermStructure):
        return math.sqrt(float(volatility.variance(years)) / years)
    if isinstance(volatility, LocalVolSurface) and volatility.surface is not None:
        volatility = volatility.surface
    if isinstance(volatility, VOLATILITY_OBJECTS):
        return float(np.max(volatility.volatilities))
    return float(volatility)


# The forward's fall across an ex-date is measured over the day before it
# (or the time since the pricing time, when shorter), net of the curve's
# growth over the day after it, and must match the dividends within this
# share of the forward.
_FALL_TOLERANCE = 1e-6


def _dividends_in_forward(market: Market, asset: str, paid: list[tuple[int, float]], proportional: bool) -> None:
    """Refuses a forward curve that does not fall across each ex-date by its dividends."""
    day = 1 / 365
    for ms in sorted({ms for ms, _ in paid}):
        at = (ms - market.pricing_ms) / YEAR_MS
        span = min(day, at)
        growth = market.rate(asset, at, at + span) if _covers(market, asset, at + span) else \
            market.rate(asset, at - span, at)
        before = market.forward(asset, at - span) * math.exp(growth * span)
        after = market.forward(asset, at)
        due = [amount for when, amount in paid if at - span < (when - market.pricing_ms) / YEAR_MS <= at]
        expected = before * (1 - math.prod(1 - share for share in due)) if proportional else sum(due)
        if abs(before - after - expected) > _FALL_TOLERANCE * before:
            what = "shares" if proportional else "cash dividends"
            raise ValueError(f"BlackScholesGrid: the forward curve of {asset!r} falls by {before - after:.6g} "
                             f"across the ex-date {to_datetime(ms).isoformat()}, but the {what} there take "
                             f"{expected:.6g} off the price: give the forward with its dividends "
                             f"(ForwardCurve.with_dividends), so the grid and the market agree")


def _covers(market: Market, name: str, years: float) -> bool:
    return years <= float(market.knots(name)[0][-1])


@dataclass(frozen=True, kw_only=True)
class HullWhiteGrid(_Grid):
    """A Crank-Nicolson grid in the short rate of a Hull-White model fitted to the base curve.

    `volatility` is a number, or rows (start in years from the pricing
    time, volatility), each volatility holding from its start to the next
    one's, the first starting at 0. With `curve_fit` (the default) each
    step's shift of the short rate carries the convexity of the fitted mean
    averaged over the step, so zero-coupon bonds reprice the curve to second
    order in the step (a 10-year bond to about 1e-9 on daily steps);
    `curve_fit=False` takes it at each step's earlier end, to first order.

    By default the grid has 1000 nodes on each side of the fitted mean and
    reaches 8 standard deviations of the short rate over the contract's
    life, with daily steps (365 steps over a contract shorter than a year);
    every setting can be given.

    >>> HullWhiteGrid(mean_reversion=0.05, volatility=0.01).half_width is None
    True
    >>> HullWhiteGrid(mean_reversion=0.05, volatility=[(0, 0.008), (2, 0.01)]).volatility
    ((0.0, 0.008), (2.0, 0.01))
    """

    mean_reversion: float
    volatility: _short_rate.Volatility
    curve_fit: bool = True

    engine: ClassVar[Engine] = _ravlin.fd_hullwhite_price
    coordinate: ClassVar[str] = "short rate"

    def __post_init__(self) -> None:
        super().__post_init__()
        _checks.non_negative(self.mean_reversion, "mean_reversion")
        object.__setattr__(self, "volatility", _short_rate.checked(self.volatility))
        if not isinstance(self.curve_fit, bool):
            raise TypeError(f"curve_fit must be True or False, got {self.curve_fit!r}")

    def sections(self, market: Market, batch: pa.RecordBatch) -> dict[str, Any]:
        """The "FD" and "HW" sections, with the defaults chosen for this contract."""
        return {"FD": self._fd(market, batch),
                "HW": {"MEANREV": float(self.mean_reversion), "VOL": _short_rate.engine_value(self._volatility),
                       "CURVE_FIT": int(self.curve_fit)}}

    @property
    def _volatility(self) -> float | _short_rate.Table:
        """The volatility as `__post_init__` checked it."""
        return cast("float | _short_rate.Table", self.volatility)

    def node_coordinates(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any],
                         stats: Mapping[str, Any]) -> np.ndarray | None:
        """The short rate on each node at the pricing time, as the grid handed them back."""
        return _engine_nodes(stats)

    def greeks(self, market: Market, batch: pa.RecordBatch, sections: Mapping[str, Any], values: np.ndarray,
               nodes: np.ndarray) -> Greeks | None:
        """Delta and gamma in the short rate at the middle node; theta from the Hull-White
        equation at that node, which lies on the fitted mean (no deviation to revert)."""
        middle = values.size // 2
        value, short = float(values[middle]), float(nodes[middle])
        first, second = derivatives(values, nodes, short)
        variance = _short_rate.at_start(self._volatility) ** 2
        theta = short * value - 0.5 * variance * second
        return Greeks(delta=first, gamma=second, theta=theta)

    def delta_gamma(self, values: np.ndarray, nodes: np.ndarray, at: float) -> tuple[float, float]:
        """dV/dr and d2V/dr2 at the short rate `at`."""
        return derivatives(values, nodes, at)

    def parameters(self) -> dict[Parameter, float]:
        """The short rate's volatility (one per row of a piecewise one) and mean reversion."""
        volatilities = {("volatility", key): v for key, v in _short_rate.risk_parameters(self._volatility).items()}
        return {**volatilities, ("mean_reversion", None): float(self.mean_reversion)}

    def with_parameter(self, parameter: Parameter, value: float) -> Model:
        name, key = parameter
        if parameter not in self.parameters():
            raise KeyError(f"HullWhiteGrid has no parameter {parameter}")
        if name == "volatility":
            return self._with(volatility=_short_rate.with_risk_parameter(self._volatility, key, value))
        return self._with(**{name: value})

    def _default_half_width(self, market: Market, batch: pa.RecordBatch) -> float:
        """Wide enough for the largest deviation over the contract's life: the variance of the
        deviation peaks at the horizon or where a piece of volatility ends."""
        years = _horizon(market, batch)
        pieces = () if isinstance(self._volatility, float) else self._volatility
        ends = [start for start, _ in pieces if 0 < start < years] + [years]
        variance = max(_short_rate.state_variance(self.mean_reversion, self._volatility, t) for t in ends)
        return _DEVIATIONS * math.sqrt(variance) + 0.01

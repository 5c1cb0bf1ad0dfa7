"""`price`: one call from a timetable, a market and a model to a `Result`."""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

import numpy as np

from ._arrow import pyarrow
from ._time import YEAR_MS
from .errors import PricingError
from .market import Market
from .models import BlackScholesGrid, HullWhiteGrid, Model, MonteCarlo
from ._timetable import timetable as as_timetable

if TYPE_CHECKING:
    import pyarrow as pa
    from matplotlib.figure import Figure

    from .risk import Greeks

__all__ = ["price", "Result", "Phrase", "Snapper"]


@dataclass(frozen=True)
class Phrase:
    """A named value computed from other names at each event: `fn(*inputs) -> array or number`.

    >>> import numpy as np
    >>> put = Phrase(lambda spot: np.maximum(100.0 - spot, 0.0), inputs=["SPX"])
    >>> put.inputs
    ('SPX',)
    """

    fn: Callable[..., Any]
    inputs: Sequence[str] = ()

    def __post_init__(self) -> None:
        object.__setattr__(self, "inputs", _names(self.inputs, "inputs"))

    def _entry(self) -> dict[str, Any]:
        fn = self.fn
        return {"type": "phrase", "inp": list(self.inputs), "fn": lambda values: [fn(*values)]}


@dataclass(frozen=True)
class Snapper:
    """Stores values under new names at its events: `fn(*inputs) -> one value per output`.

    >>> Snapper(lambda spot: (spot,), inputs=["SPX"], outputs=["fixing"]).outputs
    ('fixing',)
    """

    fn: Callable[..., Sequence[Any]]
    inputs: Sequence[str] = ()
    outputs: Sequence[str] = ()

    def __post_init__(self) -> None:
        object.__setattr__(self, "inputs", _names(self.inputs, "inputs"))
        object.__setattr__(self, "outputs", _names(self.outputs, "outputs"))

    def _entry(self) -> dict[str, Any]:
        fn = self.fn
        return {"type": "snapper", "inp": list(self.inputs), "out": list(self.outputs),
                "fn": lambda values: list(fn(*values))}


Expression = Union[Phrase, Snapper, Mapping[str, Any]]


def _names(values: Sequence[str], what: str) -> tuple[str, ...]:
    if isinstance(values, str) or not all(isinstance(v, str) for v in values):
        raise TypeError(f"{what}: expected a list of names, got {values!r}")
    return tuple(values)


@dataclass(frozen=True, eq=False)
class Result:
    """The price of a contract and, when the model was asked for them, its statistics.

    `values` holds the present value of the priced track per path (Monte
    Carlo), per node (grids) or its one value (fixed); on grids `nodes`
    holds each node's coordinate: the spot price on Black-Scholes, the
    short rate at the pricing time on Hull-White, and `greeks` the delta,
    gamma and theta of that one solve (`ravlin.risk.Greeks`). `cashflows` and `choices`
    are tables with one row per event and track: the event's row, time,
    track, op, quantity and unit, its contribution to the price (`value`:
    the mean over paths, the middle node of a grid) or the share of paths
    that took the choice (`taken`), and the per path or node `values`.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01",
    ...                        curves={"USD": ravlin.ZeroCurve.flat(0.05)})
    >>> result = ravlin.price([("bond", "2026-01-01", "+", 100.0, "USD")], market,
    ...                       ravlin.Fixed(statistics=True))
    >>> round(result.price, 6), result.cashflows.column("value").to_pylist() == [result.price]
    (95.122942, True)
    """

    price: float
    model: str
    values: np.ndarray | None = None
    nodes: np.ndarray | None = None
    choices: pa.Table | None = None
    cashflows: pa.Table | None = None
    greeks: Greeks | None = None

    @property
    def standard_error(self) -> float | None:
        """The Monte Carlo standard error of the price, when per-path values were asked for."""
        if self.model != "MonteCarlo" or self.values is None or self.values.size < 2:
            return None
        return float(self.values.std(ddof=1) / math.sqrt(self.values.size))

    def __float__(self) -> float:
        return self.price

    def __repr__(self) -> str:
        error = self.standard_error
        parts = [f"price={self.price:.10g}" + (f" ± {error:.3g}" if error is not None else ""),
                 f"model={self.model}"]
        if self.values is not None:
            kind = "nodes" if self.nodes is not None else "paths" if self.model == "MonteCarlo" else "value"
            parts.append(f"values={self.values.size} {kind}")
        for name in ("choices", "cashflows"):
            table = getattr(self, name)
            if table is not None:
                parts.append(f"{name}={table.num_rows} rows")
        return f"Result({', '.join(parts)})"

    def plot_values(self, **options: Any) -> Figure:
        """The value across the grid's nodes with the exercise region (`ravlin.plot.grid_values`)."""
        from .plot import grid_values

        return grid_values(self, **options)

    def plot_exercise_boundary(self, **options: Any) -> Figure:
        """The early-exercise boundary over time on a grid (`ravlin.plot.exercise_boundary`)."""
        from .plot import exercise_boundary

        return exercise_boundary(self, **options)

    def plot_histogram(self, **options: Any) -> Figure:
        """The Monte Carlo per-path values (`ravlin.plot.histogram`)."""
        from .plot import histogram

        return histogram(self, **options)

    def plot_cashflows(self) -> Figure:
        """The cash-flow timeline (`ravlin.plot.cashflows`)."""
        from .plot import cashflows

        return cashflows(self)


def price(timetable: Any, market: Market, model: Model,
          expressions: Mapping[str, Expression] | None = None) -> Result:
    """Values `timetable` in `market` under `model`.

    `timetable` is anything `ravlin.timetable` reads; `expressions` maps
    names used in the unit column to `Phrase` or `Snapper` objects (or to
    the engine's own entries). Every call starts from fresh paths. Engine
    failures raise `PricingError`, timetable faults `TimetableError`.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01",
    ...                        curves={"USD": ravlin.ZeroCurve.flat(0.05)})
    >>> ravlin.price([("bond", "2026-01-01", "+", 100.0, "USD")], market, ravlin.Fixed())
    Result(price=95.12294245, model=Fixed)
    """
    if not isinstance(market, Market):
        raise TypeError(f"market: expected a ravlin.Market, got {type(market).__name__}")
    if not hasattr(model, "_sections"):
        raise TypeError(f"model: expected Fixed, MonteCarlo, BlackScholesGrid or HullWhiteGrid, "
                        f"got {type(model).__name__}")
    return _price_batch(as_timetable(timetable), market, model, expressions)


def _price_batch(batch: pa.RecordBatch, market: Market, model: Model,
                 expressions: Mapping[str, Expression] | None) -> Result:
    """`price` of a batch already in the engine's layout (a portfolio's contracts come so)."""
    import _ravlin

    dataset = {**market.dataset(), **model._sections(market, batch)}
    session = _Session(model._paths(market) if isinstance(model, MonteCarlo) else None)
    try:
        value = getattr(_ravlin, model.engine)(batch, session, dataset, _expressions(expressions))
    except RuntimeError as error:
        raise PricingError(str(error)) from None
    return _result(value, model, market, batch, dataset, session.stats)


class _Session:
    """The engine's py_state: drives the paths when there are some, and keeps the statistics."""

    def __init__(self, paths: Any) -> None:
        self.stats: dict[str, Any] = {}
        if paths is not None:
            self.advance, self.get_value = paths.advance, paths.get_value

    def set_stat(self, name: str, value: Any) -> None:
        self.stats[name] = value


def _expressions(expressions: Mapping[str, Expression] | None) -> dict[str, Any]:
    entries = {}
    for name, expression in (expressions or {}).items():
        if isinstance(expression, (Phrase, Snapper)):
            entries[name] = expression._entry()
        elif isinstance(expression, Mapping):
            entries[name] = dict(expression)
        else:
            raise TypeError(f"expression {name!r}: expected a Phrase or Snapper, got {type(expression).__name__}")
    return entries


def _result(value: float, model: Model, market: Market, batch: pa.RecordBatch, dataset: dict[str, Any],
            stats: dict[str, Any]) -> Result:
    fd = dataset.get("FD")
    middle = None if fd is None else fd["N_X"]
    values = stats.get("PV_VEC")
    nodes = greeks = None
    if values is not None and isinstance(model, (BlackScholesGrid, HullWhiteGrid)):
        from .risk import grid_greeks

        first_step = _last_step(market, batch, fd["TIMESTEP"])
        nodes = model._nodes(market, fd) if isinstance(model, BlackScholesGrid) else \
            model._nodes(market, fd, first_step)
        greeks = grid_greeks(model, market, values, nodes, first_step)
    events = _Events(batch, middle)
    return Result(price=value, model=type(model).__name__, values=values, nodes=nodes, greeks=greeks,
                  choices=events.table(_by_event(stats["CHOICES"]), "taken") if "CHOICES" in stats else None,
                  cashflows=events.table(_by_track(stats["CASHFLOW"]), "value") if "CASHFLOW" in stats else None)


def _last_step(market: Market, batch: pa.RecordBatch, timestep: float) -> float:
    """Years from the pricing time to the grid time the engine steps back from last:
    the earliest regular step time or row time after the pricing time."""
    times = batch.column("time").cast("int64").to_numpy()
    later = times[times > market.pricing_ms] - market.pricing_ms
    if later.size == 0:
        return timestep
    step = int(timestep * YEAR_MS)
    span = int(times[-1]) - market.pricing_ms
    lattice = span - ((span - 1) // step) * step if span > 0 else span
    return float(min(lattice, later.min())) / YEAR_MS


def _by_event(choices: dict[int, dict[int, np.ndarray]]) -> list[tuple[int, int, np.ndarray]]:
    return sorted(((e, k, a) for e, inner in choices.items() for k, a in inner.items()), key=lambda x: x[:2])


def _by_track(flows: dict[int, dict[int, np.ndarray]]) -> list[tuple[int, int, np.ndarray]]:
    return sorted(((e, k, a) for k, inner in flows.items() for e, a in inner.items()), key=lambda x: x[:2])


class _Events:
    """Names and times of the timetable's rows, for the statistics tables."""

    def __init__(self, batch: pa.RecordBatch, middle: int | None) -> None:
        self._batch, self._middle = batch, middle
        self._tracks = batch.column("track").dictionary.to_pylist()

    def table(self, entries: list[tuple[int, int, np.ndarray]], reduced: str) -> pa.Table:
        """One row per (event, track): the event's columns, the reduced value and the per-path values."""
        pa = pyarrow()
        rows = pa.array([e for e, _, _ in entries], pa.int64())
        event = {name: self._batch.column(name).take(rows) for name in ("time", "op", "quantity", "unit")}
        arrays = [np.asarray(a, dtype=float) for _, _, a in entries]
        return pa.table({
            "row": rows,
            "time": event["time"].cast(pa.timestamp("ms", tz="UTC")),
            "track": pa.array([self._tracks[k] for _, k, _ in entries], pa.string()),
            "op": event["op"].cast(pa.string()),
            "quantity": event["quantity"],
            "unit": event["unit"].cast(pa.string()),
            reduced: pa.array([self._reduce(a) for a in arrays], pa.float64()),
            "values": pa.array([a for _, _, a in entries],
                               pa.list_(pa.uint64() if reduced == "taken" else pa.float64())),
        })

    def _reduce(self, values: np.ndarray) -> float:
        if values.size == 0:
            return math.nan
        if self._middle is not None and values.size > self._middle:
            return float(values[self._middle])
        return float(values.mean())

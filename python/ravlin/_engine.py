"""What pricing, risk and portfolios share: one contract priced from its batch.

`price_batch` runs a model's engine function on a batch in the engine's
layout and turns what the engine hands back into a `Result`: the price, the
statistics as arrays and tables, and a grid's node coordinates and Greeks.
"""

from __future__ import annotations

import math
import sys
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np

from ._arrow import pyarrow
from .errors import ArbitrageWarning, PricingError, TimetableError
from .market import ForwardCurve, Market
from .models import Model, MonteCarlo, check_conditional_rows
from .result import Result

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["check_market", "check_model", "price_batch", "check_bounds", "bound_breach"]

# Types already found to implement the model protocol: checking it costs more
# than a whole pricing of a small contract, and a type's methods do not change.
_MODEL_TYPES: set[type] = set()
# How far, relative to the bounds' size, a price may pass a no-arbitrage bound by rounding alone.
_BOUND_SLACK = 1e-9
_BOUND_ERRORS = 4.0


def check_market(market: object) -> Market:
    """`market` if it is a `Market`, else a TypeError."""
    if not isinstance(market, Market):
        raise TypeError(f"market: expected a ravlin.Market, got {type(market).__name__}")
    return market


def check_model(model: object, what: str = "model") -> Model:
    """`model` if it implements the model protocol, else a TypeError."""
    kind = type(model)
    if isinstance(model, type):
        raise TypeError(f"{what}: expected a model object, got the class {model.__name__}; "
                        f"give an instance such as {model.__name__}(...)")
    if kind not in _MODEL_TYPES:
        if not isinstance(model, Model):
            raise TypeError(f"{what}: expected Fixed, MonteCarlo, BlackScholesGrid, HullWhiteGrid "
                            f"or another ravlin.Model, got {kind.__name__}")
        _MODEL_TYPES.add(kind)
    return model  # type: ignore[return-value]


def price_batch(batch: pa.RecordBatch, market: Market, model: Model, entries: dict[str, Any]) -> Result:
    """The `Result` of one contract already in the engine's layout; `entries` are the engine's
    expressions (`ravlin.expressions.engine_entries`)."""
    if batch.num_rows == 0:
        raise TimetableError("the timetable has no events: there is nothing to price")
    check_conditional_rows(model, batch, entries)
    sections = model.sections(market, batch)
    dataset = market.dataset()
    dataset.update(sections)
    session = _Session(model.fresh_paths(market))
    try:
        value = model.engine(batch, session, dataset, entries)
    except RuntimeError as error:
        raise PricingError.from_engine(error, batch) from None
    if not math.isfinite(value):
        raise PricingError(f"the price is {value}, not a finite number{_overflow(batch, market)}")
    if not session.stats:
        return Result(price=value, model=model)
    return _result(value, model, market, batch, sections, session.stats)


def check_bounds(timetable: Any, market: Market, result: Result) -> None:
    """Warns (`ArbitrageWarning`) when a price lies outside the no-arbitrage bounds that an
    instrument states (`bound_breach`)."""
    breach = bound_breach(timetable, market, result)
    if breach is not None:
        warnings.warn(ArbitrageWarning(f"{breach}: these settings do not resolve the contract"), stacklevel=3)


def bound_breach(timetable: Any, market: Market, result: Result) -> str | None:
    """What puts the price outside the no-arbitrage bounds that an instrument states
    (`price_bounds(market)`), or None. What lies within rounding of a bound passes, and a Monte
    Carlo price within 4 standard errors; without its standard error (no per-path values) a
    Monte Carlo price is not checked, since its noise alone may cross a bound."""
    stated = getattr(timetable, "price_bounds", None)
    bounds = stated(market) if callable(stated) else None
    noise = result.standard_error
    if bounds is None or (noise is None and isinstance(result.model, MonteCarlo)):
        return None
    lower, upper = bounds
    value, model = result.price, result.model
    slack = _BOUND_SLACK * (abs(lower) + abs(upper)) + _BOUND_ERRORS * (noise or 0.0)
    if lower - slack <= value <= upper + slack:
        return None
    side = f"below its lower bound {lower:.10g}" if value < lower else f"above its upper bound {upper:.10g}"
    return f"{model!r} priced {type(timetable).__name__} at {value:.10g}, {side}"


def _overflow(batch: pa.RecordBatch, market: Market) -> str:
    """Why a price that is not a finite number overflowed, when its inputs can: the rows' amounts
    are at most the number of rows times the largest quantity times the largest forward among
    their units (times the largest discount factor); when that bound passes the largest float,
    these magnitudes are named. Otherwise nothing: the cause lies in a phrase or a path."""
    quantities = np.abs(batch.column("quantity").fill_null(0.0).to_numpy(zero_copy_only=False))
    row = int(np.argmax(quantities))
    largest = float(quantities[row])
    if largest == 0.0:
        return ""
    units = set(batch.column("unit").dictionary.to_pylist())
    forwards = {name: float(np.max(market.knots(name)[1])) for name in sorted(units & set(market.curves))
                if isinstance(market.curves[name], ForwardCurve)}
    widest = max(forwards, key=forwards.__getitem__, default=None)
    log_forward = max(0.0, forwards[widest]) if widest is not None else 0.0
    log_discount = max(0.0, -float(np.min(market.knots(market.base)[1])))
    if math.log(batch.num_rows) + math.log(largest) + log_forward + log_discount < math.log(sys.float_info.max):
        return ""
    track = batch.column("track")[row].as_py()
    forward = f", forwards up to {math.exp(min(log_forward, 709.0)):.6g} ({widest!r})" if log_forward > 0 else ""
    rows = f"{batch.num_rows} row{'s' * (batch.num_rows > 1)}"
    return (f": it overflowed; quantities up to {largest:.6g} (row {row}, track {track!r}) in {rows}{forward} "
            f"give amounts that can pass the largest float {sys.float_info.max:.6g}: give them in larger units")


class _Session:
    """The engine's py_state: drives the paths when there are some, and keeps the statistics."""

    def __init__(self, paths: Any) -> None:
        self.stats: dict[str, Any] = {}
        if paths is not None:
            self.advance, self.get_value = paths.advance, paths.get_value

    def set_stat(self, name: str, value: Any) -> None:
        self.stats[name] = value


def _result(value: float, model: Model, market: Market, batch: pa.RecordBatch, sections: dict[str, Any],
            stats: dict[str, Any]) -> Result:
    values = stats.get("PV_VEC")
    nodes = greeks = None
    if values is not None:
        nodes = model.node_coordinates(market, batch, sections, stats)
        if nodes is not None:
            greeks = model.greeks(market, batch, sections, values, nodes)
    fd = sections.get("FD")
    events = _Events(batch, None if fd is None else fd["N_X"])
    return Result(price=value, model=model, values=values, nodes=nodes, greeks=greeks,
                  choices=events.table(_by_event(stats["CHOICES"]), "taken") if "CHOICES" in stats else None,
                  cashflows=events.table(_by_track(stats["CASHFLOW"]), "value") if "CASHFLOW" in stats else None)


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

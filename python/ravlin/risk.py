"""Risk: Greeks from one grid solve, and sensitivities by revaluation under every model.

Grid Greeks come from the present values on the nodes at the pricing time
(`Result.greeks`, when the per-node values were asked for): derivatives in
the grid variable at second order, interpolated linearly in that variable
between nodes, and theta from the model's pricing equation.

`risk(...)` revalues the contract with bumped inputs, by central
differences. Default bumps (`Bumps`): 1% of the asset's price (its whole
forward curve scaled), 1 basis point of zero rate, and 1% of a volatility
or a mean reversion (at least 1e-4); a parameter that the down bump would
make negative is differenced one-sidedly from its value. Grid settings are
frozen at those of the unbumped contract, so every revaluation runs on the
same nodes and steps; Monte Carlo reruns the same seed (common random
numbers) and reports the standard error of each bumped difference.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Collection, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from ._arrow import pyarrow
from .market import CurveTime, ForwardCurve, Market, ZeroCurve
from .models import BlackScholesGrid, HullWhiteGrid, Model, MonteCarlo, _Grid
from .pricing import Expression, Result, price
from ._timetable import timetable as as_timetable

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["Bumps", "Greeks", "Risk", "Sensitivity", "grid_delta_gamma", "grid_greeks", "risk", "MEASURES"]

MEASURES = ("delta", "vega", "rates", "key_rates", "mean_reversion")
"""What `risk` can compute: "delta" (with gamma), "vega", "rates" (rho and
DV01 of a parallel shift), "key_rates" (DV01 per knot of the base curve)
and "mean_reversion" (Hull-White)."""

SHORT_RATE = "short rate"
"""The key of the Hull-White volatility in `Risk.vega`."""

_MIN_PARAMETER_BUMP = 1e-4


@dataclass(frozen=True)
class Greeks:
    """Sensitivities of a grid's price from its one solve, per unit of the grid's coordinate.

    On Black-Scholes: delta = dV/dS, gamma = d2V/dS2 at the spot. On
    Hull-White: delta = dV/dr and gamma = d2V/dr2 in the short rate at the
    pricing time. theta = dV/dt per year of calendar time with the market
    held, from the pricing equation; where the contract exercises at the
    pricing time the equation does not hold and neither does this theta.

    >>> Greeks(delta=0.5, gamma=0.02, theta=-6.4).delta
    0.5
    """

    delta: float
    gamma: float
    theta: float


def _node_derivatives(values: np.ndarray, coordinates: np.ndarray, at: float) -> tuple[float, float]:
    """First and second derivatives of values on a uniform grid (highest coordinate first), by
    central differences on the inner nodes, interpolated linearly to `at`."""
    if values.size < 3:
        raise ValueError("grid Greeks need at least three nodes")
    dx = coordinates[0] - coordinates[1]
    first = (values[:-2] - values[2:]) / (2 * dx)
    second = (values[:-2] - 2 * values[1:-1] + values[2:]) / (dx * dx)
    inner = coordinates[1:-1]
    if not inner[-1] <= at <= inner[0]:
        raise ValueError(f"{at} lies outside the grid's inner nodes [{inner[-1]}, {inner[0]}]")
    # np.interp wants increasing coordinates; the grid runs from the highest down.
    return (float(np.interp(at, inner[::-1], first[::-1])), float(np.interp(at, inner[::-1], second[::-1])))


def grid_delta_gamma(result: Result, at: float) -> tuple[float, float]:
    """Delta and gamma of a grid result at any spot (Black-Scholes) or short rate (Hull-White)
    inside the grid, from the per-node values of its one solve.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    ...     "USD": ravlin.ZeroCurve.flat(0.05), "SPX": ravlin.ForwardCurve.flat(100.0, 0.05)})
    >>> forward = ravlin.price([("fwd", "2026-01-01", "+", 1.0, "SPX"), ("fwd", "2026-01-01", "+", -100.0, "USD")],
    ...                        market, ravlin.BlackScholesGrid(asset="SPX", volatility=0.2, statistics=["values"]))
    >>> delta, gamma = grid_delta_gamma(forward, 110.0)  # a forward's delta is 1 at every spot
    >>> round(delta, 4), abs(gamma) < 1e-6
    (1.0, True)
    """
    if result.values is None or result.nodes is None:
        raise ValueError("grid Greeks need the per-node values: price with statistics=['values'] on a grid")
    if result.model == "BlackScholesGrid":
        if not at > 0:
            raise ValueError(f"a spot must be positive, got {at}")
        first, second = _node_derivatives(result.values, np.log(result.nodes), math.log(at))
        return first / at, (second - first) / (at * at)
    return _node_derivatives(result.values, result.nodes, at)


def grid_greeks(model: _Grid, market: Market, values: np.ndarray, nodes: np.ndarray,
                first_step: float) -> Greeks:
    """Greeks at the middle node of a grid's values; `first_step` is the length in years of
    the engine's last step, which ends at the pricing time and sets the rates of theta.

    >>> import ravlin, numpy as np
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={"USD": ravlin.ZeroCurve.flat(0.05)})
    >>> rates = np.linspace(0.06, 0.04, 5)  # a grid valuing 1 - r: delta -1, no gamma
    >>> greeks = grid_greeks(ravlin.HullWhiteGrid(mean_reversion=0.1, volatility=0.01), market, 1 - rates, rates, 1 / 365)
    >>> round(greeks.delta, 9), round(greeks.gamma, 9), round(greeks.theta, 9)
    (-1.0, 0.0, 0.0475)
    """
    middle = values.size // 2
    value = float(values[middle])
    rate = market.rate(market.base, 0.0, first_step)
    if isinstance(model, BlackScholesGrid):
        spot = float(nodes[middle])
        first, second = _node_derivatives(values, np.log(nodes), math.log(spot))
        growth = market.rate(model.asset, 0.0, first_step)
        variance = model.volatility**2
        theta = rate * value - (growth - 0.5 * variance) * first - 0.5 * variance * second
        return Greeks(delta=first / spot, gamma=(second - first) / (spot * spot), theta=theta)
    if isinstance(model, HullWhiteGrid):
        short = float(nodes[middle])
        first, second = _node_derivatives(values, nodes, short)
        deviation = short - rate  # the grid's own coordinate, zero on the fitted mean
        theta = (short * value + model.mean_reversion * deviation * first
                 - 0.5 * model.volatility**2 * second)
        return Greeks(delta=first, gamma=second, theta=theta)
    raise TypeError(f"grid Greeks need a BlackScholesGrid or HullWhiteGrid, got {type(model).__name__}")


@dataclass(frozen=True, kw_only=True)
class Bumps:
    """Bump sizes of `risk`: `spot` relative to the asset's price, `rate` in zero rate,
    `volatility` and `mean_reversion` relative to the parameter (at least 1e-4).

    >>> Bumps().rate, Bumps(spot=0.005).spot
    (0.0001, 0.005)
    """

    spot: float = 0.01
    rate: float = 1e-4
    volatility: float = 0.01
    mean_reversion: float = 0.01

    def __post_init__(self) -> None:
        for field in dataclasses.fields(self):
            size = getattr(self, field.name)
            if not (isinstance(size, (int, float)) and math.isfinite(size) and size > 0):
                raise ValueError(f"Bumps.{field.name} must be a positive finite number, got {size!r}")


@dataclass(frozen=True)
class Sensitivity:
    """One sensitivity: its value, the Monte Carlo standard error of the bumped difference
    (None for deterministic models) and the bump it was computed with.

    >>> Sensitivity(0.63, 0.002, 1.0)
    Sensitivity(value=0.63, standard_error=0.002, bump=1.0)
    """

    value: float
    standard_error: float | None
    bump: float


@dataclass(frozen=True)
class Risk:
    """The sensitivities of one contract, with the unbumped `result`.

    `delta` and `gamma` (dV/dS, d2V/dS2) per asset, from scaling its
    forward curve; `vega` (dV/dsigma) per volatility of the model, keyed by
    asset or by "short rate" for Hull-White; `rho` (dV/dr) and `dv01` (the
    loss for one basis point up, -rho / 10000) for a parallel shift of the
    base curve; `key_rate_dv01` per knot of the base curve (as the curve
    gives it), whose sum is `dv01`; `mean_reversion` (dV/da) for Hull-White.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={"USD": ravlin.ZeroCurve.flat(0.05)})
    >>> sens = ravlin.risk([("zcb", "2026-01-01", "+", 100.0, "USD")], market, ravlin.Fixed())
    >>> round(sens.dv01.value, 6)
    0.009512
    """

    result: Result
    delta: dict[str, Sensitivity]
    gamma: dict[str, Sensitivity]
    vega: dict[str, Sensitivity]
    rho: Sensitivity | None
    dv01: Sensitivity | None
    key_rate_dv01: dict[CurveTime, Sensitivity]
    mean_reversion: Sensitivity | None

    def table(self) -> pa.Table:
        """One row per sensitivity: measure, name (asset, knot or parameter), value,
        standard_error and bump.

        >>> import ravlin
        >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01",
        ...                        curves={"USD": ravlin.ZeroCurve.flat(0.05)})
        >>> ravlin.risk([("zcb", "2026-01-01", "+", 1.0, "USD")], market, ravlin.Fixed()).table().num_rows
        3
        """
        rows: list[tuple[str, str, Sensitivity]] = []
        for measure in ("delta", "gamma", "vega", "key_rate_dv01"):
            rows += [(measure, str(name), s) for name, s in getattr(self, measure).items()]
        for measure in ("rho", "dv01", "mean_reversion"):
            single = getattr(self, measure)
            if single is not None:
                rows.append((measure, "", single))
        pa = pyarrow()
        return pa.table({
            "measure": pa.array([m for m, _, _ in rows], pa.string()),
            "name": pa.array([n for _, n, _ in rows], pa.string()),
            "value": pa.array([s.value for _, _, s in rows], pa.float64()),
            "standard_error": pa.array([s.standard_error for _, _, s in rows], pa.float64()),
            "bump": pa.array([s.bump for _, _, s in rows], pa.float64()),
        })


# ---------------------------------------------------------------------------
# Bumped markets and models

def _with_values(statistics: Any) -> Any:
    """The statistics choice with the per-path or per-node values added."""
    if statistics is True:
        return True
    chosen = set() if statistics is False else {statistics} if isinstance(statistics, str) else set(statistics)
    return sorted(chosen | {"values"})


def _frozen(model: Model, market: Market, batch: pa.RecordBatch) -> Model:
    """The model with its grid settings fixed at the unbumped contract's and its values asked for."""
    if isinstance(model, _Grid):
        fd = model._fd(market, batch)
        return dataclasses.replace(model, nodes_per_side=fd["N_X"], half_width=fd["MAX_X"],
                                   timestep=fd["TIMESTEP"], statistics=_with_values(model.statistics))
    if isinstance(model, MonteCarlo):
        return dataclasses.replace(model, statistics=_with_values(model.statistics))
    return model


def _curve_arrays(market: Market, name: str) -> tuple[np.ndarray, np.ndarray]:
    """A curve's knots in year fractions and its log values there."""
    times, column = market._arrays[name]
    return times, market.curves[name]._log_values(times, column)


def _with_curves(market: Market, curves: Mapping[str, Any]) -> Market:
    return Market(base=market.base, pricing_time=market.pricing_time, curves={**market.curves, **curves})


def _scaled_asset(market: Market, asset: str, factor: float) -> Market:
    """The market with every forward of `asset` multiplied by `factor`."""
    times, logs = _curve_arrays(market, asset)
    return _with_curves(market, {asset: ForwardCurve(times=times, forwards=np.exp(logs) * factor)})


def _log_shift(knots: np.ndarray, rate_shifts: np.ndarray, years: np.ndarray) -> np.ndarray:
    """The change of the base curve's log discount (rate x time) when the zero rate of each
    knot moves by its shift: linear between knots as the curve is, from 0 at the pricing
    time, and at the last knot's shifted rate beyond it."""
    inside = np.interp(years, np.concatenate([[0.0], knots]), np.concatenate([[0.0], knots * rate_shifts]))
    return np.where(years > knots[-1], years * rate_shifts[-1], inside)


def _shifted_rates(market: Market, rate_shifts: np.ndarray, carry: bool) -> Market:
    """The market with the base curve's knot rates moved; with `carry`, every asset keeps its
    price at the pricing time and its forwards move with the base curve (knots of the base
    curve are added to the asset's, where its log forward is linear anyway)."""
    base: ZeroCurve = market.curves[market.base]  # type: ignore[assignment]
    knots, _ = _curve_arrays(market, market.base)
    curves: dict[str, Any] = {market.base: ZeroCurve(times=knots, rates=np.asarray(base.rates) + rate_shifts)}
    if carry:
        for name in market.curves:
            if name == market.base:
                continue
            times, logs = _curve_arrays(market, name)
            grid = np.union1d(times, knots[knots < times[-1]])
            shifted = np.interp(grid, times, logs) + _log_shift(knots, rate_shifts, grid)
            curves[name] = ForwardCurve(times=grid, forwards=np.exp(shifted))
    return _with_curves(market, curves)


def _parameter_owner(model: Model) -> Any:
    """The object that holds the model's volatility and mean reversion: the grid itself, or
    the Monte Carlo path factory when it is a dataclass."""
    if isinstance(model, MonteCarlo):
        return model.state if dataclasses.is_dataclass(model.state) else None
    return model if isinstance(model, _Grid) else None


def _volatilities(model: Model) -> dict[str, float]:
    """The model's volatilities by the key they have in `Risk.vega`."""
    owner = _parameter_owner(model)
    volatility = getattr(owner, "volatility", None)
    if isinstance(volatility, Mapping):
        return {name: float(v) for name, v in volatility.items()}
    if volatility is None:
        return {}
    return {model.asset if isinstance(model, BlackScholesGrid) else SHORT_RATE: float(volatility)}


def _with_parameter(model: Model, field: str, key: str | None, value: float) -> Model:
    """The model with one parameter replaced (`key` picks an entry of a per-asset mapping)."""
    owner = _parameter_owner(model)
    current = getattr(owner, field)
    new = {**current, key: value} if isinstance(current, Mapping) else value
    changed = dataclasses.replace(owner, **{field: new})
    return dataclasses.replace(model, state=changed) if isinstance(model, MonteCarlo) else changed


def _with_spot_scaled(model: Model, asset: str, factor: float) -> Model:
    """Monte Carlo paths that fix an asset's starting price themselves get it scaled too."""
    owner = _parameter_owner(model)
    spots = getattr(owner, "spot", None) if isinstance(model, MonteCarlo) else None
    if isinstance(spots, Mapping) and spots.get(asset):
        return _with_parameter(model, "spot", asset, spots[asset] * factor)
    return model


# ---------------------------------------------------------------------------
# Differences

def _difference(up: Result, down: Result, width: float, bump: float) -> Sensitivity:
    """(up - down) / width, with the standard error of the per-path difference on Monte Carlo."""
    return Sensitivity((up.price - down.price) / width, _standard_error(up.values - down.values, width)
                       if up.model == "MonteCarlo" else None, bump)


def _curvature(up: Result, middle: Result, down: Result, width: float, bump: float) -> Sensitivity:
    """(up - 2 middle + down) / width, with its Monte Carlo standard error."""
    return Sensitivity((up.price - 2 * middle.price + down.price) / width,
                       _standard_error(up.values - 2 * middle.values + down.values, width)
                       if up.model == "MonteCarlo" else None, bump)


def _standard_error(differences: np.ndarray, width: float) -> float:
    if differences.size < 2:
        return math.nan
    return float(differences.std(ddof=1) / math.sqrt(differences.size) / abs(width))


class _Revaluation:
    """Prices one contract with bumped markets and models."""

    def __init__(self, batch: pa.RecordBatch, market: Market, model: Model,
                 expressions: Mapping[str, Expression] | None) -> None:
        self.batch, self.market, self.model, self.expressions = batch, market, model, expressions
        self.base = self(market, model)

    def __call__(self, market: Market, model: Model) -> Result:
        return price(self.batch, market, model, self.expressions)

    def delta_gamma(self, asset: str, bump: float) -> tuple[Sensitivity, Sensitivity]:
        spot = self.market.forward(asset, 0.0)
        up, down = (self(_scaled_asset(self.market, asset, 1 + s), _with_spot_scaled(self.model, asset, 1 + s))
                    for s in (bump, -bump))
        step = bump * spot
        return (_difference(up, down, 2 * step, step), _curvature(up, self.base, down, step * step, step))

    def parameter(self, field: str, key: str | None, value: float, relative: float) -> Sensitivity:
        """d price / d parameter, one-sided from the value when the down bump would go negative."""
        bump = relative * max(abs(value), _MIN_PARAMETER_BUMP / relative)
        revalue: Callable[[float], Result] = lambda v: self(self.market, _with_parameter(self.model, field, key, v))
        up = revalue(value + bump)
        if value - bump < 0:
            return _difference(up, self.base, bump, bump)
        return _difference(up, revalue(value - bump), 2 * bump, bump)

    def rates(self, rate_shifts: np.ndarray, bump: float, carry: bool) -> Sensitivity:
        """d price / d r for the knot rates moved by `rate_shifts` times r."""
        up, down = (self(_shifted_rates(self.market, sign * bump * rate_shifts, carry), self.model)
                    for sign in (1.0, -1.0))
        return _difference(up, down, 2 * bump, bump)


def _dv01(rho: Sensitivity) -> Sensitivity:
    """The loss for one basis point up from dV/dr."""
    error = None if rho.standard_error is None else rho.standard_error * 1e-4
    return Sensitivity(-rho.value * 1e-4, error, rho.bump)


def _measures(measures: Collection[str] | None, model: Model) -> set[str]:
    """The measures asked for, checked; by default all that the model has."""
    owner = _parameter_owner(model)
    available = {"delta", "rates", "key_rates"}
    if _volatilities(model):
        available.add("vega")
    if getattr(owner, "mean_reversion", None) is not None:
        available.add("mean_reversion")
    if measures is None:
        return available
    chosen = {measures} if isinstance(measures, str) else set(measures)
    unknown = chosen - set(MEASURES)
    if unknown:
        raise ValueError(f"measures: unknown {sorted(unknown)}, expected some of {list(MEASURES)}")
    missing = chosen - available
    if missing:
        raise ValueError(f"measures {sorted(missing)} do not apply to {type(model).__name__}"
                         + ("" if owner is not None or not isinstance(model, MonteCarlo)
                            else " (its path factory is not a dataclass with those parameters)"))
    return chosen


def risk(timetable: Any, market: Market, model: Model, expressions: Mapping[str, Expression] | None = None, *,
         measures: Collection[str] | None = None, assets: Collection[str] | None = None,
         bumps: Bumps = Bumps(), carry: bool = True) -> Risk:
    """Sensitivities of `timetable` by central differences of revaluations under `model`.

    `measures` picks some of `MEASURES` (default: every one the model has);
    `assets` the assets for delta and gamma (default: every asset of the
    market). Rate bumps move the zero rates of the base curve; with `carry`
    each asset's price at the pricing time stays and its forwards move with
    the rates, as Black-Scholes rho assumes. Each sensitivity costs two
    pricings (one for a one-sided difference) besides the unbumped one.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    ...     "USD": ravlin.ZeroCurve.flat(0.05), "SPX": ravlin.ForwardCurve.flat(100.0, 0.05)})
    >>> forward = [("fwd", "2026-01-01", "+", 1.0, "SPX"), ("fwd", "2026-01-01", "+", -100.0, "USD")]
    >>> sens = ravlin.risk(forward, market, ravlin.Fixed(), measures=["delta"])
    >>> round(sens.delta["SPX"].value, 9), sens.delta["SPX"].standard_error is None
    (1.0, True)
    """
    if not isinstance(market, Market):
        raise TypeError(f"market: expected a ravlin.Market, got {type(market).__name__}")
    chosen = _measures(measures, model)
    names = [n for n in market.curves if n != market.base] if assets is None else list(assets)
    for name in names:
        if name == market.base or name not in market.curves:
            raise ValueError(f"assets: {name!r} is not an asset with a forward curve in the market")
    batch = as_timetable(timetable)
    run = _Revaluation(batch, market, _frozen(model, market, batch), expressions)
    greeks = {name: run.delta_gamma(name, bumps.spot) for name in names} if "delta" in chosen else {}
    vega = ({name: run.parameter("volatility", None if name == SHORT_RATE else name, value, bumps.volatility)
             for name, value in _volatilities(model).items()} if "vega" in chosen else {})
    knots, _ = _curve_arrays(market, market.base)
    rho = run.rates(np.ones(knots.size), bumps.rate, carry) if "rates" in chosen else None
    key_rates = ({time: _dv01(run.rates(np.eye(knots.size)[i], bumps.rate, carry))
                  for i, time in enumerate(market.curves[market.base].times)}
                 if "key_rates" in chosen else {})
    owner = _parameter_owner(model)
    mean_reversion = (run.parameter("mean_reversion", None, owner.mean_reversion, bumps.mean_reversion)
                      if "mean_reversion" in chosen else None)
    return Risk(result=run.base, delta={n: d for n, (d, _) in greeks.items()},
                gamma={n: g for n, (_, g) in greeks.items()}, vega=vega, rho=rho,
                dv01=None if rho is None else _dv01(rho), key_rate_dv01=key_rates, mean_reversion=mean_reversion)

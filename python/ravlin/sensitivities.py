"""Risk by revaluation: sensitivities under every model, by central differences.

`risk(...)` revalues the contract with bumped inputs. Default bumps
(`Bumps`): 1% of the asset's price (its whole forward curve scaled), 1
basis point of zero rate, and 1% of a volatility or a mean reversion (at
least 1e-4); a parameter that the down bump would make negative is
differenced one-sidedly from its value. Grid settings are frozen at those of
the unbumped contract, so every revaluation runs on the same nodes and
steps; Monte Carlo reruns the same seed (common random numbers) and reports
the standard error of each bumped difference. The Greeks of a grid's one
solve are in `ravlin.greeks`.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Collection, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _checks
from ._arrow import pyarrow
from ._engine import check_market, check_model, price_batch
from ._timetable import timetable as read_timetable
from .expressions import Expression, engine_entries, with_instrument
from .market import CurveTime, ForwardCurve, Market, ZeroCurve
from .models import Model, MonteCarlo, Parameter
from .rates import for_market
from .result import Result

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["Bumps", "Risk", "Sensitivity", "risk", "MEASURES", "SHORT_RATE"]

MEASURES = ("delta", "vega", "rates", "key_rates", "mean_reversion")
"""What `risk` can compute: "delta" (with gamma), "vega", "rates" (rho and
DV01 of a parallel shift), "key_rates" (DV01 per knot of the base curve)
and "mean_reversion" (Hull-White)."""

SHORT_RATE = "short rate"
"""The key of the Hull-White volatility in `Risk.vega`."""

_MIN_PARAMETER_BUMP = 1e-4


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
            _checks.positive(getattr(self, field.name), f"Bumps.{field.name}")
        if self.spot >= 1:
            raise ValueError(f"Bumps.spot is relative to the asset's price and must be below 1, which would "
                             f"bump it down to nothing, got {self.spot!r}")


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
# Bumped markets

def _with_curves(market: Market, curves: Mapping[str, Any]) -> Market:
    return dataclasses.replace(market, curves={**market.curves, **curves})


def _scaled_asset(market: Market, asset: str, factor: float) -> Market:
    """The market with every forward of `asset` multiplied by `factor`."""
    times, logs = market.knots(asset)
    return _with_curves(market, {asset: ForwardCurve(times=tuple(times), forwards=tuple(np.exp(logs) * factor))})


def _log_shift(knots: np.ndarray, rate_shifts: np.ndarray, years: np.ndarray) -> np.ndarray:
    """The change of the base curve's log discount (rate x time) when the zero rate of each
    knot moves by its shift: linear between knots as the curve is, from 0 at the pricing
    time, and at the last knot's shifted rate beyond it."""
    inside = np.interp(years, np.concatenate([[0.0], knots]), np.concatenate([[0.0], knots * rate_shifts]))
    shift: np.ndarray = np.where(years > knots[-1], years * rate_shifts[-1], inside)
    return shift


def _shifted_rates(market: Market, rate_shifts: np.ndarray, carry: bool) -> Market:
    """The market with the base curve's knot rates moved; with `carry`, every asset keeps its
    price at the pricing time and its forwards move with the base curve (knots of the base
    curve are added to the asset's, where its log forward is linear anyway)."""
    base = market.curves[market.base]
    assert isinstance(base, ZeroCurve), "a market's base curve is a ZeroCurve"
    knots, _ = market.knots(market.base)
    curves: dict[str, Any] = {market.base: ZeroCurve(times=tuple(knots),
                                                     rates=tuple(np.asarray(base.rates) + rate_shifts))}
    if carry:
        for name in market.curves:
            if name == market.base:
                continue
            times, logs = market.knots(name)
            grid = np.union1d(times, knots[knots < times[-1]])
            shifted = np.interp(grid, times, logs) + _log_shift(knots, rate_shifts, grid)
            curves[name] = ForwardCurve(times=tuple(grid), forwards=tuple(np.exp(shifted)))
    return _with_curves(market, curves)


def _volatilities(model: Model) -> dict[str, float]:
    """The model's volatilities by the key they have in `Risk.vega`."""
    return {SHORT_RATE if key is None else key: value
            for (name, key), value in model.parameters().items() if name == "volatility"}


def _with_spot_scaled(model: Model, asset: str, factor: float) -> Model:
    """Monte Carlo paths that fix an asset's starting price themselves get it scaled too."""
    spot = model.parameters().get(("spot", asset))
    return model if spot is None else model.with_parameter(("spot", asset), spot * factor)


# ---------------------------------------------------------------------------
# Differences

def _difference(up: Result, down: Result, width: float, bump: float) -> Sensitivity:
    """(up - down) / width, with the standard error of the per-path difference on Monte Carlo."""
    return Sensitivity((up.price - down.price) / width,
                       _standard_error(up, lambda: _paths(up) - _paths(down), width), bump)


def _curvature(up: Result, middle: Result, down: Result, width: float, bump: float) -> Sensitivity:
    """(up - 2 middle + down) / width, with its Monte Carlo standard error."""
    return Sensitivity((up.price - 2 * middle.price + down.price) / width,
                       _standard_error(up, lambda: _paths(up) - 2 * _paths(middle) + _paths(down), width), bump)


def _paths(result: Result) -> np.ndarray:
    assert result.values is not None, "revaluations ask for the per-path values"
    return result.values


def _standard_error(result: Result, differences: Callable[[], Any], width: float) -> float | None:
    """The standard error of a per-path difference on Monte Carlo; None for deterministic models."""
    if not isinstance(result.model, MonteCarlo):
        return None
    paths = differences()
    if paths.size < 2:
        return math.nan
    return float(paths.std(ddof=1) / math.sqrt(paths.size) / abs(width))


class _Revaluation:
    """Prices one contract with bumped markets and models."""

    def __init__(self, batch: pa.RecordBatch, market: Market, model: Model, entries: dict[str, Any]) -> None:
        self.batch, self.market, self.model, self.entries = batch, market, model, entries
        self.base = self(market, model)

    def __call__(self, market: Market, model: Model) -> Result:
        return price_batch(self.batch, market, model, self.entries)

    def delta_gamma(self, asset: str, bump: float) -> tuple[Sensitivity, Sensitivity]:
        spot = self.market.forward(asset, 0.0)
        up, down = (self(_scaled_asset(self.market, asset, 1 + s), _with_spot_scaled(self.model, asset, 1 + s))
                    for s in (bump, -bump))
        step = bump * spot
        return (_difference(up, down, 2 * step, step), _curvature(up, self.base, down, step * step, step))

    def parameter(self, parameter: Parameter, relative: float) -> Sensitivity:
        """d price / d parameter, one-sided from the value when the down bump would go negative."""
        value = self.model.parameters()[parameter]
        bump = relative * max(abs(value), _MIN_PARAMETER_BUMP / relative)
        revalue: Callable[[float], Result] = lambda v: self(self.market, self.model.with_parameter(parameter, v))
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
    parameters = model.parameters()
    available = {"delta", "rates", "key_rates"}
    if _volatilities(model):
        available.add("vega")
    if ("mean_reversion", None) in parameters:
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
                         + (" (its path factory is not a dataclass with those parameters)"
                            if isinstance(model, MonteCarlo) and not parameters else ""))
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
    market, model = check_market(market), check_model(model)
    if not isinstance(bumps, Bumps):
        raise TypeError(f"bumps: expected a ravlin.Bumps, got {type(bumps).__name__}")
    chosen = _measures(measures, model)
    names = [n for n in market.curves if n != market.base] if assets is None else list(assets)
    for name in names:
        if name == market.base or name not in market.curves:
            raise ValueError(f"assets: {name!r} is not an asset with a forward curve in the market")
    batch = read_timetable(for_market(timetable, market))
    entries = engine_entries(with_instrument(timetable, model, expressions))
    run = _Revaluation(batch, market, model.for_revaluation(market, batch), entries)
    greeks = {name: run.delta_gamma(name, bumps.spot) for name in names} if "delta" in chosen else {}
    vega = ({name: run.parameter(("volatility", None if name == SHORT_RATE else name), bumps.volatility)
             for name in _volatilities(model)} if "vega" in chosen else {})
    knots, _ = market.knots(market.base)
    rho = run.rates(np.ones(knots.size), bumps.rate, carry) if "rates" in chosen else None
    key_rates = ({time: _dv01(run.rates(np.eye(knots.size)[i], bumps.rate, carry))
                  for i, time in enumerate(market.curves[market.base].times)}
                 if "key_rates" in chosen else {})
    mean_reversion = (run.parameter(("mean_reversion", None), bumps.mean_reversion)
                      if "mean_reversion" in chosen else None)
    return Risk(result=run.base, delta={n: d for n, (d, _) in greeks.items()},
                gamma={n: g for n, (_, g) in greeks.items()}, vega=vega, rho=rho,
                dv01=None if rho is None else _dv01(rho), key_rate_dv01=key_rates, mean_reversion=mean_reversion)

"""Greeks of a grid from its one solve.

A grid's present values on its nodes at the pricing time give delta and
gamma by second-order differences in the grid's own variable (the log spot
on Black-Scholes, the short rate on Hull-White), interpolated linearly in
that variable between nodes; theta comes from the model's pricing equation.
`Result.greeks` holds them at the middle node when the per-node values were
asked for, and `grid_delta_gamma` reads them at any other node coordinate.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol, runtime_checkable

import numpy as np

if TYPE_CHECKING:
    from .result import Result

__all__ = ["Greeks", "GridModel", "grid_delta_gamma"]


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


@runtime_checkable
class GridModel(Protocol):
    """A model whose values lie on nodes: it names its coordinate and differentiates in it.

    >>> import ravlin
    >>> isinstance(ravlin.HullWhiteGrid(mean_reversion=0.1, volatility=0.01), GridModel)
    True
    """

    coordinate: str
    """What a node's coordinate is: "spot" or "short rate"."""

    def delta_gamma(self, values: np.ndarray, nodes: np.ndarray, at: float) -> tuple[float, float]:
        """First and second derivatives of the per-node values at the coordinate `at`."""
        ...


def derivatives(values: np.ndarray, coordinates: np.ndarray, at: float) -> tuple[float, float]:
    """First and second derivatives of values on a uniform grid (highest coordinate first), by
    central differences on the inner nodes, interpolated linearly to `at`.

    >>> x = np.linspace(1.0, -1.0, 201)
    >>> [round(d, 6) for d in derivatives(x**2, x, 0.5)]
    [1.0, 2.0]
    """
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


def spot_derivatives(values: np.ndarray, spots: np.ndarray, at: float) -> tuple[float, float]:
    """dV/dS and d2V/dS2 at the spot `at` of values on nodes uniform in the log spot.

    >>> spots = np.exp(np.linspace(0.5, -0.5, 1001)) * 100
    >>> [round(d, 4) + 0.0 for d in spot_derivatives(spots - 100.0, spots, 110.0)]
    [1.0, 0.0]
    """
    if not at > 0:
        raise ValueError(f"a spot must be positive, got {at}")
    first, second = derivatives(values, np.log(spots), math.log(at))
    return first / at, (second - first) / (at * at)


def grid_delta_gamma(result: Result, at: float) -> tuple[float, float]:
    """Delta and gamma of a grid result at any spot (Black-Scholes) or short rate (Hull-White)
    inside the grid, from the per-node values of its one solve.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    ...     "USD": ravlin.ZeroCurve.flat(0.05), "SPX": ravlin.ForwardCurve.flat(100.0, 0.05)})
    >>> forward = ravlin.price([("fwd", "2026-01-01", "+", 1.0, "SPX"), ("fwd", "2026-01-01", "+", -100.0, "USD")],
    ...                        market, ravlin.BlackScholesGrid(asset="SPX", volatility=0.2, statistics=["values"]))
    >>> delta, gamma = ravlin.grid_delta_gamma(forward, 110.0)  # a forward's delta is 1 at every spot
    >>> round(delta, 4), abs(gamma) < 1e-6
    (1.0, True)
    """
    if result.values is None or result.nodes is None or not isinstance(result.model, GridModel):
        raise ValueError("grid Greeks need the per-node values: price with statistics=['values'] on a grid")
    return result.model.delta_gamma(result.values, result.nodes, at)

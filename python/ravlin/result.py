"""`Result`: the price of a contract and the statistics its model was asked for."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from .greeks import Greeks
from .models import Model, MonteCarlo

if TYPE_CHECKING:
    import pyarrow as pa
    from matplotlib.figure import Figure

__all__ = ["Result"]


@dataclass(frozen=True, eq=False)
class Result:
    """The price of a contract and, when the model was asked for them, its statistics.

    `model` is the model that priced it. `values` holds the present value
    of the priced track per path (Monte Carlo), per node (grids) or its one
    value (fixed); on grids `nodes` holds each node's coordinate: the spot
    price on Black-Scholes, the short rate at the pricing time on
    Hull-White, and `greeks` the delta, gamma and theta of that one solve
    (`ravlin.Greeks`). `cashflows` and `choices` are tables with one row
    per event and track: the event's row, time, track, op, quantity and
    unit, its contribution to the price (`value`: the mean over paths, the
    middle node of a grid) or the share of paths that took the choice
    (`taken`), and the per path or node `values`.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01",
    ...                        curves={"USD": ravlin.ZeroCurve.flat(0.05)})
    >>> result = ravlin.price([("bond", "2026-01-01", "+", 100.0, "USD")], market,
    ...                       ravlin.Fixed(statistics=True))
    >>> round(result.price, 6), result.cashflows.column("value").to_pylist() == [result.price]
    (95.122942, True)
    >>> result.model
    Fixed(statistics=True)
    """

    price: float
    model: Model
    values: np.ndarray | None = None
    nodes: np.ndarray | None = None
    choices: pa.Table | None = None
    cashflows: pa.Table | None = None
    greeks: Greeks | None = None

    @property
    def standard_error(self) -> float | None:
        """The Monte Carlo standard error of the price, when per-path values were asked for."""
        if not isinstance(self.model, MonteCarlo) or self.values is None or self.values.size < 2:
            return None
        return float(self.values.std(ddof=1) / math.sqrt(self.values.size))

    def __float__(self) -> float:
        return self.price

    def __repr__(self) -> str:
        error = self.standard_error
        parts = [f"price={self.price:.10g}" + (f" ± {error:.3g}" if error is not None else ""),
                 f"model={type(self.model).__name__}"]
        if self.values is not None:
            kind = "nodes" if self.nodes is not None else "paths" if isinstance(self.model, MonteCarlo) else "value"
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

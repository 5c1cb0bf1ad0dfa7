"""Pictures of a `Result`, each returned as a matplotlib `Figure`.

matplotlib is an optional extra (`pip install "ravlin[plot]"`), imported
only when a picture is drawn. The figures are built without pyplot, so
drawing one never opens a window or touches pyplot's current figure; save
one with `figure.savefig(path)`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .greeks import GridModel
from .models import MonteCarlo

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .result import Result

__all__ = ["grid_values", "exercise_boundary", "histogram", "cashflows"]


def _figure(title: str) -> tuple[Figure, Axes]:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError('pictures need matplotlib: pip install "ravlin[plot]"') from None
    figure = Figure(figsize=(7.0, 4.2), layout="constrained")
    axes = figure.subplots()
    axes.set_title(title)
    return figure, axes


def _needs(result: Result, what: str, statistic: str) -> Any:
    value = getattr(result, what)
    if value is None:
        raise ValueError(f"this picture needs the {statistic} of the pricing: price with "
                         f"statistics=[{statistic!r}] (or statistics=True)")
    return value


def _name(result: Result) -> str:
    return type(result.model).__name__


def _grid(result: Result) -> tuple[GridModel, np.ndarray, np.ndarray]:
    if not isinstance(result.model, GridModel):
        raise ValueError(f"this picture needs a grid result, got one of {_name(result)}")
    return result.model, _needs(result, "nodes", "values"), _needs(result, "values", "values")


def _exercise(result: Result, track: str | None) -> tuple[str, np.ndarray, np.ndarray]:
    """The choice events of one track (default: the track of the first choice event): their
    times, and per event and node whether the choice took the offer."""
    table = _needs(result, "choices", "choices")
    if table.num_rows == 0:
        raise ValueError("the contract has no choice events")
    tracks = table.column("track").to_pylist()
    track = tracks[0] if track is None else track
    rows = [i for i, name in enumerate(tracks) if name == track]
    if not rows:
        raise ValueError(f"track {track!r} has no choice events; tracks with choices: {sorted(set(tracks))}")
    times = table.column("time").cast("int64").to_numpy()[rows].astype("datetime64[ms]")
    taken = np.array([table.column("values")[i].values.to_numpy() for i in rows], dtype=bool)
    return track, times, taken


def _window(nodes: np.ndarray, width: float) -> slice:
    """The nodes of the middle `width` share of the grid."""
    middle, half = nodes.size // 2, max(int(nodes.size * width / 2), 1)
    return slice(max(middle - half, 0), middle + half + 1)


def grid_values(result: Result, *, track: str | None = None, width: float = 0.5) -> Figure:
    """The price on the grid's nodes at the pricing time (the middle `width` share of the
    grid), with the nodes where the first choice event of `track` takes the offer shaded.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    ...     "USD": ravlin.ZeroCurve.flat(0.05), "SPX": ravlin.ForwardCurve.flat(100.0, 0.05)})
    >>> put = [("put", "2025-01-01", ">", 1.0, "ex"), ("ex", "2025-01-01", "+", 100.0, "USD"),
    ...        ("ex", "2025-01-01", "+", -1.0, "SPX")]
    >>> result = ravlin.price(put, market, ravlin.BlackScholesGrid(asset="SPX", volatility=0.2,
    ...                       timestep=0.01, half_width=1.0, statistics=True))
    >>> grid_values(result).axes[0].get_xlabel()
    'spot'
    """
    grid, nodes, values = _grid(result)
    shown = _window(nodes, width)
    figure, axes = _figure(f"{_name(result)}: value on the grid")
    axes.plot(nodes[shown], values[shown], color="C0", label="value")
    middle = nodes[nodes.size // 2]
    axes.axvline(middle, color="0.5", linestyle=":", label=f"{grid.coordinate} {middle:.6g}")
    if result.choices is not None and result.choices.num_rows:
        _, _, taken = _exercise(result, track)
        axes.fill_between(nodes[shown], 0, 1, where=taken[0][shown], transform=axes.get_xaxis_transform(),
                          color="C3", alpha=0.2, label="exercise")
    axes.set_xlabel(grid.coordinate)
    axes.set_ylabel("present value")
    axes.legend()
    return figure


def _boundary(nodes: np.ndarray, taken: np.ndarray) -> np.ndarray:
    """Per event, the coordinate halfway across the edge of the exercised nodes nearest the
    middle of the grid; NaN where no node exercises or every node does."""
    middle = nodes.size // 2
    boundary = np.full(taken.shape[0], np.nan)
    for e, row in enumerate(taken):
        edges = np.flatnonzero(row[1:] != row[:-1])
        if edges.size:
            edge = edges[np.argmin(np.abs(edges + 0.5 - middle))]
            boundary[e] = 0.5 * (nodes[edge] + nodes[edge + 1])
    return boundary


def exercise_boundary(result: Result, *, track: str | None = None) -> Figure:
    """The early-exercise boundary over time of an American or Bermudan contract on a grid:
    per choice event of `track`, the node coordinate where exercise begins, and the region
    of the nodes that exercise.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    ...     "USD": ravlin.ZeroCurve.flat(0.05), "SPX": ravlin.ForwardCurve.flat(100.0, 0.05)})
    >>> put = [("put", "2025-01-01", ">", 1.0, "ex"), ("ex", "2025-01-01", "+", 100.0, "USD"),
    ...        ("ex", "2025-01-01", "+", -1.0, "SPX")]
    >>> result = ravlin.price(put, market, ravlin.BlackScholesGrid(asset="SPX", volatility=0.2,
    ...                       timestep=0.01, half_width=1.0, statistics=True))
    >>> exercise_boundary(result).axes[0].get_ylabel()
    'spot'
    """
    grid, nodes, _ = _grid(result)
    name, times, taken = _exercise(result, track)
    figure, axes = _figure(f"{_name(result)}: exercise boundary of {name!r}")
    exercised = np.nonzero(taken)
    axes.scatter(times[exercised[0]], nodes[exercised[1]], s=1, color="C3", alpha=0.05, rasterized=True,
                 label="exercise")
    axes.plot(times, _boundary(nodes, taken), color="C0", marker="." if times.size < 30 else None,
              label="boundary")
    shown = _window(nodes, 0.5)
    axes.set_ylim(nodes[shown].min(), nodes[shown].max())
    axes.set_xlabel("time")
    axes.set_ylabel(grid.coordinate)
    axes.legend()
    return figure


def histogram(result: Result, *, bins: int = 100) -> Figure:
    """The distribution of the Monte Carlo per-path present values, with their mean (the price).

    >>> import ravlin
    >>> from ravlin.paths import GeometricBrownianMotion
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={
    ...     "USD": ravlin.ZeroCurve.flat(0.05), "SPX": ravlin.ForwardCurve.flat(100.0, 0.05)})
    >>> model = ravlin.MonteCarlo(paths=1000, state=GeometricBrownianMotion(volatility={"SPX": 0.2}),
    ...                           statistics=["values"])
    >>> len(histogram(ravlin.price([("s", "2026-01-01", "+", 1.0, "SPX")], market, model)).axes)
    1
    """
    if not isinstance(result.model, MonteCarlo):
        raise ValueError(f"a histogram needs a Monte Carlo result, got one of {_name(result)}")
    values = _needs(result, "values", "values")
    figure, axes = _figure(f"Monte Carlo: {values.size} per-path present values")
    axes.hist(values, bins=bins, color="C0", alpha=0.8)
    error = result.standard_error
    axes.axvline(result.price, color="C3", label=f"price {result.price:.6g}"
                 + ("" if error is None else f" ± {error:.2g}"))
    axes.set_xlabel("present value")
    axes.set_ylabel("paths")
    axes.legend()
    return figure


def cashflows(result: Result) -> Figure:
    """A timeline of the contract's cash flows: the present value each event pays (the mean
    over paths, or the middle node of a grid), one colour per track.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01", curves={"USD": ravlin.ZeroCurve.flat(0.05)})
    >>> bond = [("bond", f"{2025 + y}-07-01", "+", 5.0, "USD") for y in range(3)]
    >>> figure = cashflows(ravlin.price(bond, market, ravlin.Fixed(statistics=["cashflows"])))
    >>> figure.axes[0].get_legend_handles_labels()[1]
    ['bond']
    """
    table = _needs(result, "cashflows", "cashflows")
    figure, axes = _figure(f"{_name(result)}: cash flows")
    times = table.column("time").cast("int64").to_numpy().astype("datetime64[ms]")
    values = table.column("value").to_numpy(zero_copy_only=False)
    tracks = np.array(table.column("track").to_pylist(), dtype=object)
    for colour, track in enumerate(dict.fromkeys(tracks)):
        mine = tracks == track
        axes.vlines(times[mine], 0, values[mine], color=f"C{colour}", linewidth=1.5)
        axes.scatter(times[mine], values[mine], color=f"C{colour}", s=14, label=track, zorder=3)
    axes.axhline(0, color="0.5", linewidth=0.8)
    axes.set_xlabel("time")
    axes.set_ylabel("present value")
    axes.legend()
    return figure

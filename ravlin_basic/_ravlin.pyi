"""The pricing engine. Each function values a timetable (an Arrow record batch
of events) with a dataset of market data and model settings and returns the
price; statistics selected by FLAGS go to ``py_state.set_stat(name, value)``.

A failure raises ``RuntimeError`` with the error's whole chain as its message
and two attributes: ``causes``, a tuple of each link's message from the
outermost context down to the root cause, and ``row``, the timetable row of
the failing event as an int, or None.
"""

from collections.abc import Callable, Sequence
from typing import Any, Literal, Protocol, Required, TypeAlias, TypedDict

import numpy as np
from numpy.typing import NDArray

class ArrowArrayExportable(Protocol):
    """A timetable: a record batch, or any object that exports a struct array
    through the Arrow C data interface."""

    def __arrow_c_array__(self, requested_schema: Any = ...) -> tuple[Any, Any]: ...

class StatisticsSink(Protocol):
    """Receives the statistics that FLAGS select, after pricing."""

    def set_stat(self, name: str, value: Any) -> object: ...

class PathState(Protocol):
    """The Monte Carlo paths: ``advance(t)`` moves them to ``t`` years after
    PRICING_TS and returns the step's discount factor per path (an array or a
    number; None for the base curve's), ``get_value(name)`` returns an asset's
    value per path (None for its forward). With FLAGS it also needs
    ``set_stat``."""

    def advance(self, t: float) -> Any: ...
    def get_value(self, name: str) -> Any: ...

Values: TypeAlias = NDArray[np.float64] | float | Sequence[float]
"""A value per path or node: a one-dimensional array, a number, or a list of numbers."""

Curve: TypeAlias = tuple[Literal["ZERO_RATES", "FORWARDS"], NDArray[np.float64]]
"""A curve: its kind and an n×2 array of year fractions and rates or forwards."""

class FixedSection(TypedDict, total=False):
    FLAGS: int

class MonteCarloSection(TypedDict, total=False):
    PATHS: Required[int]
    SEED: Required[int]
    FLAGS: int
    EXERCISE: Literal["PATHWISE", "REGRESSION"]
    BASIS_DEGREE: int
    REGRESSORS: list[str]
    CALIBRATION_PATHS: int

class GridSection(TypedDict, total=False):
    N_X: Required[int]
    MAX_X: Required[float]
    TIMESTEP: Required[float]
    FLAGS: int

class BlackScholesSection(TypedDict):
    VOL: float
    ASSET: str

class HullWhiteSection(TypedDict):
    MEANREV: float
    VOL: float

class Dataset(TypedDict, total=False):
    """The market ("BASE", "ASSETS", "PRICING_TS" in milliseconds) and the
    sections of the model that a function reads."""

    BASE: Required[str]
    ASSETS: Required[dict[str, Curve]]
    PRICING_TS: Required[int]
    FIXED: FixedSection
    MC: MonteCarloSection
    FD: GridSection
    BS: BlackScholesSection
    HW: HullWhiteSection

class Phrase(TypedDict):
    """A named value: ``fn`` takes one array per input name and returns a list
    whose last item is the value."""

    type: Literal["phrase"]
    fn: Callable[[list[NDArray[np.float64]]], Sequence[Values]]
    inp: list[str]

class Snapper(TypedDict):
    """Stores ``fn``'s results under the ``out`` names for later events."""

    type: Literal["snapper"]
    fn: Callable[[list[NDArray[np.float64]]], Sequence[Values]]
    inp: list[str]
    out: list[str]

Expressions: TypeAlias = dict[str, Phrase | Snapper]

def mc_price(events_rb: ArrowArrayExportable, py_state: PathState, dataset: Dataset,
             expressions: Expressions) -> float:
    """Monte Carlo valuation over the paths of ``py_state``, whose ``advance(t)``
    takes the time since PRICING_TS in years and whose ``get_value(name)``
    gives per-path asset values; the price is the mean over the paths."""

def fixed_price(events_rb: ArrowArrayExportable, py_state: StatisticsSink | None, dataset: Dataset,
                expressions: Expressions) -> float:
    """Deterministic valuation on one path, discounting every amount on the
    dataset's base curve."""

def fd_hullwhite_price(events_rb: ArrowArrayExportable, py_state: StatisticsSink | None, dataset: Dataset,
                       expressions: Expressions) -> float:
    """Crank-Nicolson grid valuation under a Hull-White short rate fitted to
    the base curve; the price is the grid's middle node."""

def fd_blackscholes_price(events_rb: ArrowArrayExportable, py_state: StatisticsSink | None, dataset: Dataset,
                          expressions: Expressions) -> float:
    """Crank-Nicolson grid valuation in the log price of one asset with
    constant volatility; the price is the grid's middle node, at the spot."""

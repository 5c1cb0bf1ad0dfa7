"""The pricing engine. Each function values a timetable (an Arrow record batch
of events) with a dataset of market data and model settings and returns the
price; statistics selected by FLAGS go to ``py_state.set_stat(name, value)``.
"""

from typing import Any

def mc_price(events_rb: Any, py_state: Any, dataset: dict[str, Any], expressions: dict[str, Any]) -> float:
    """Monte Carlo valuation over the paths of ``py_state``, whose ``advance(t)``
    takes the time since PRICING_TS in years and whose ``get_value(name)``
    gives per-path asset values; the price is the mean over the paths."""

def fixed_price(events_rb: Any, py_state: Any, dataset: dict[str, Any], expressions: dict[str, Any]) -> float:
    """Deterministic valuation on one path, discounting every amount on the
    dataset's base curve."""

def fd_hullwhite_price(events_rb: Any, py_state: Any, dataset: dict[str, Any], expressions: dict[str, Any]) -> float:
    """Crank-Nicolson grid valuation under a Hull-White short rate fitted to
    the base curve; the price is the grid's middle node."""

def fd_blackscholes_price(events_rb: Any, py_state: Any, dataset: dict[str, Any], expressions: dict[str, Any]) -> float:
    """Crank-Nicolson grid valuation in the log price of one asset with
    constant volatility; the price is the grid's middle node, at the spot."""

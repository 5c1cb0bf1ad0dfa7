"""Hull-White fitted to the market: closed forms of European swaptions, caps and floors, and
`calibrate`, which fits the mean reversion and volatility to their quoted volatilities.

The closed form values each option by Jamshidian's decomposition. In the
Hull-White model fitted to the base curve, a zero-coupon bond at the
decision time T is P(T, t) = P(0, t) / P(0, T) exp(-B(T, t) x - B(T, t)² y / 2),
with B(u) = (1 - e^(-a u)) / a, y the variance of the short rate's state at
T (with a piecewise volatility, the integral of sigma(s)² e^(-2a(T-s))), and
x, under the measure of the bond maturing at T, normal with mean 0 and
variance y. An option worth max(V, 0) at T on the payments q_j at t_j, V =
sum q_j P(T, t_j), is then exercised on one side of the state z* where V
crosses 0 (V has one crossing: the swap's and the caplet's payments come as
one receipt followed by payments, or the reverse), and its value is
sum q_j P(0, t_j) Φ(∓(z* + b_j)), b_j = B(T, t_j) sqrt(y). Multi-curve
coupons come as the rows the instruments write (+N·B at the start, -N at
the end), so the closed form values exactly what the grid does.

>>> import ravlin
>>> libor = ravlin.IborIndex(name="USD-3M", tenor="3M", fixing_days=0)
>>> market = ravlin.Market(base="USD", pricing_time="2025-01-06", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
>>> swap = ravlin.InterestRateSwap.par(trade_date="2025-01-06", tenor="5Y", forward_start="5Y", rate=0.04,
...                                    index=libor, notional=100.0)
>>> round(hull_white_value(ravlin.Swaption(swap=swap, exercise_dates=[swap.fixed.start]), market, 0.05, 0.01), 6)
2.815877
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import date
from typing import Any, Literal, NamedTuple, Union

import numpy as np

from . import _checks, _short_rate
from .analytics import implied_volatility_of, option_terms, premium
from .market import Market
from .models import HullWhiteGrid
from .rates import CapFloor, Swaption

__all__ = ["hull_white_value", "calibrate", "Calibration", "CalibratedInstrument"]

RateOption = Union[Swaption, CapFloor]
Quote = Literal["black", "normal"]
Error = Literal["volatility", "price", "relative price"]

# The state z* where an option's underlying crosses 0 is looked for within this many
# deviations; beyond it the option is either always or never exercised.
_REACH = 40.0


def _norm_cdf(x: np.ndarray) -> np.ndarray:
    from scipy.special import ndtr

    values: np.ndarray = ndtr(x)
    return values


class _Exercise(NamedTuple):
    """One option on payments: the years to its decision, and each payment's years and
    present value on the curve."""

    expiry: float
    years: np.ndarray
    present: np.ndarray


def _exercise(market: Market, decision: date, flows: Sequence[tuple[date, float]]) -> _Exercise:
    return _Exercise(max(market.years(decision), 0.0), np.array([market.years(day) for day, _ in flows]),
                     np.array([q * market.discount_factor(day) for day, q in flows]))


def _option_value(a: float, volatility: float | _short_rate.Table, option: _Exercise) -> float:
    """The value now of max(0, value at the decision of the option's payments) in Hull-White."""
    from scipy.optimize import brentq

    present = option.present
    deviation = math.sqrt(_short_rate.state_variance(a, volatility, option.expiry)) if option.expiry > 0 else 0.0
    if deviation == 0.0:
        return max(math.fsum(present), 0.0)
    left = option.years - option.expiry
    b = (left if a == 0.0 else -np.expm1(-a * left) / a) * deviation

    def underlying(z: float) -> float:
        return float(np.dot(present, np.exp(-b * z - 0.5 * b * b)))

    low, high = underlying(-_REACH), underlying(_REACH)
    if low <= 0.0 and high <= 0.0:
        return 0.0
    if low >= 0.0 and high >= 0.0:
        return max(math.fsum(present), 0.0)
    z = brentq(underlying, -_REACH, _REACH, xtol=1e-14, maxiter=200)
    side = -1.0 if high > 0.0 else 1.0  # exercised above z* when the underlying rises with z
    return max(math.fsum(present * _norm_cdf(side * (z + b))), 0.0)


class _ClosedForm:
    """An instrument's options on payments, read from the market once, and the payoffs
    already known; valued for any mean reversion and volatility."""

    def __init__(self, instrument: RateOption, market: Market) -> None:
        if isinstance(instrument, Swaption):
            if len(instrument.exercise_dates) != 1:  # type: ignore[arg-type]
                raise ValueError("the closed form values a European swaption; price a Bermudan on HullWhiteGrid")
            self.options, self.known = [_exercise(market, *instrument.underlying_flows(market))], 0.0
        elif isinstance(instrument, CapFloor):
            live, fixed = instrument.optionlet_flows(market)
            self.options = [_exercise(market, day, flows) for day, flows in live]
            self.known = math.fsum(q * market.discount_factor(day) for day, q in fixed)
        else:
            raise TypeError(f"expected a Swaption or CapFloor, got {type(instrument).__name__}")

    def value(self, a: float, volatility: float | _short_rate.Table) -> float:
        return math.fsum(_option_value(a, volatility, option) for option in self.options) + self.known


def hull_white_value(instrument: RateOption, market: Market, mean_reversion: float,
                     volatility: _short_rate.Volatility) -> float:
    """The Hull-White value of a European swaption or of a cap or floor, in closed form.

    `volatility` is a number or rows (start in years, volatility), as
    `ravlin.HullWhiteGrid` takes it; the model is fitted to the market's
    base curve. Caplets already fixed add their discounted payoffs.

    >>> import ravlin
    >>> libor = ravlin.IborIndex(name="USD-3M", tenor="3M", fixing_days=0)
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-06", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
    ...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
    >>> cap = ravlin.CapFloor(leg=ravlin.FloatingLeg(start="2025-04-07", maturity="2030-04-07", notional=100.0,
    ...                                              index=libor), strike=0.045)
    >>> round(hull_white_value(cap, market, 0.05, [(0, 0.008), (2, 0.01)]), 6)
    1.223544
    """
    a = _checks.non_negative(mean_reversion, "mean_reversion")
    return _ClosedForm(instrument, market).value(a, _short_rate.checked(volatility))


@dataclass(frozen=True)
class CalibratedInstrument:
    """One instrument of a calibration: its quoted volatility and value, the fitted model's
    value and the volatility that gives it, the residual minimised, and, when checked on the
    grid, the grid's value and volatility.

    >>> CalibratedInstrument(None, 0.2, 0.2, 1.5, 1.5, 0.0).model_volatility
    0.2
    """

    instrument: Any
    market_volatility: float
    model_volatility: float
    market_value: float
    model_value: float
    residual: float
    grid_value: float | None = None
    grid_volatility: float | None = None


@dataclass(frozen=True)
class Calibration:
    """A Hull-White fit: the mean reversion and the volatility (a number, or rows (start in
    years, volatility)), each instrument's fit, and how the optimiser went (`iterations` is
    the number of evaluations of the residuals; `cost` half their sum of squares).

    >>> Calibration(0.03, 0.01, (), 4, 0.0, True, "converged", "black").grid().volatility
    0.01
    """

    mean_reversion: float
    volatility: float | tuple[tuple[float, float], ...]
    instruments: tuple[CalibratedInstrument, ...]
    iterations: int
    cost: float
    success: bool
    message: str
    quote: Quote

    def grid(self, **settings: Any) -> HullWhiteGrid:
        """A `ravlin.HullWhiteGrid` with the fitted parameters and any grid settings."""
        return HullWhiteGrid(mean_reversion=self.mean_reversion, volatility=self.volatility, **settings)

    @property
    def residuals(self) -> tuple[float, ...]:
        """The residuals the fit minimised, one per instrument."""
        return tuple(i.residual for i in self.instruments)


class _Fit:
    """The parameters being fitted and how they make (a, volatility)."""

    def __init__(self, mean_reversion: float | None, starts: tuple[float, ...] | None) -> None:
        self.mean_reversion, self.starts = mean_reversion, starts

    def model(self, x: np.ndarray) -> tuple[float, float | _short_rate.Table]:
        if self.mean_reversion is None:
            return float(x[0]), float(x[1])
        if self.starts is None:
            return self.mean_reversion, float(x[0])
        return self.mean_reversion, tuple((s, float(v)) for s, v in zip(self.starts, x))


def calibrate(instruments: Sequence[RateOption], market: Market, volatilities: Sequence[float], *,
              quote: Quote = "black", displacement: float = 0.0, mean_reversion: float | None = None,
              piecewise: bool = False, error: Error = "volatility", guess: tuple[float, float] = (0.03, 0.01),
              check: bool | HullWhiteGrid = False) -> Calibration:
    """Hull-White fitted to European swaptions or caps and floors quoted as volatilities.

    `volatilities` are the instruments' quotes, Black (`quote="black"`,
    shifted by `displacement`) or normal (`"normal"`). Without
    `mean_reversion` both the mean reversion and one volatility are fitted;
    with it only the volatility, one number or, with `piecewise=True`, one
    piece per distinct expiry (the pieces start at 0 and at each earlier
    expiry, the last decision date of each instrument), which reprices
    co-terminal swaptions exactly. The model values come from the closed
    form (`hull_white_value`); SciPy's `least_squares` minimises, per
    instrument, the difference in volatility (`error="volatility"`: the
    difference of values over the quote's vega), in value ("price"), or
    relative to the quoted value ("relative price"). With `check` (True,
    or a `ravlin.HullWhiteGrid` whose settings to use) each instrument is
    also priced on the grid with the fitted parameters.

    >>> import ravlin
    >>> libor = ravlin.IborIndex(name="USD-3M", tenor="3M", fixing_days=0)
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-06", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
    ...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
    >>> swaptions = []
    >>> for start in ("1Y", "2Y", "3Y"):
    ...     swap = ravlin.InterestRateSwap.par(trade_date="2025-01-06", tenor="5Y", forward_start=start, rate=0.04,
    ...                                        index=libor)
    ...     swaptions.append(ravlin.Swaption(swap=swap, exercise_dates=[swap.fixed.start]))
    >>> fit = calibrate(swaptions, market, [0.22, 0.21, 0.20], mean_reversion=0.03, piecewise=True)
    >>> [round(i.model_volatility, 10) for i in fit.instruments]
    [0.22, 0.21, 0.2]
    >>> [round(v, 6) for _, v in fit.volatility]
    [0.009297, 0.008694, 0.008069]
    """
    from scipy.optimize import least_squares

    options = tuple(instruments)
    quotes = np.array([_checks.positive(v, "volatility") for v in volatilities], dtype=float)
    if len(options) != quotes.size or not options:
        raise ValueError(f"calibrate: {len(options)} instruments but {quotes.size} volatilities; give one each")
    if error not in ("volatility", "price", "relative price"):
        raise ValueError(f"error must be 'volatility', 'price' or 'relative price', got {error!r}")
    fit, x0, lower = _parameters(options, market, mean_reversion, piecewise, guess)

    def value(option: RateOption, vol: float) -> float:
        return premium(option, market, vol, model=quote, displacement=displacement)

    targets = np.array([value(o, v) for o, v in zip(options, quotes)])
    if error == "volatility":
        scale = np.array([(value(o, v * 1.0001) - value(o, v * 0.9999)) / (v * 2e-4)
                          for o, v in zip(options, quotes)])
    else:
        scale = targets if error == "relative price" else np.ones_like(targets)
    if (scale <= 0).any():
        raise ValueError("calibrate: an instrument's value does not move with its volatility (no time value)")

    closed = [_ClosedForm(o, market) for o in options]

    def model_values(x: np.ndarray) -> np.ndarray:
        a, sigma = fit.model(x)
        return np.array([c.value(a, sigma) for c in closed])

    result = least_squares(lambda x: (model_values(x) - targets) / scale, x0, bounds=(lower, np.inf),
                           method="trf", x_scale=np.maximum(np.abs(x0), 1e-3), ftol=1e-15, xtol=1e-15, gtol=1e-15,
                           max_nfev=100 * (x0.size + 1))
    a, sigma = fit.model(result.x)
    values = model_values(result.x)
    grid = _grid(check, a, sigma)
    rows = []
    for option, vol, target, model_value, residual in zip(options, quotes, targets, values, result.fun):
        implied = implied_volatility_of(model_value, option, market, model=quote, displacement=displacement)
        grid_value = grid_vol = None
        if grid is not None:
            from .pricing import price

            grid_value = price(option, market, grid).price
            grid_vol = implied_volatility_of(grid_value, option, market, model=quote, displacement=displacement)
        rows.append(CalibratedInstrument(option, float(vol), implied, float(target), float(model_value),
                                         float(residual), grid_value, grid_vol))
    return Calibration(a, sigma, tuple(rows), int(result.nfev), float(result.cost), bool(result.success),
                       str(result.message), quote)


def _parameters(options: tuple[RateOption, ...], market: Market, mean_reversion: float | None, piecewise: bool,
                guess: tuple[float, float]) -> tuple[_Fit, np.ndarray, np.ndarray]:
    """What is fitted, its starting point and its lower bounds."""
    a0, sigma0 = (_checks.positive(g, "guess") for g in guess)
    if mean_reversion is None:
        if piecewise:
            raise ValueError("calibrate: a piecewise volatility is fitted with a fixed mean_reversion")
        return _Fit(None, None), np.array([a0, sigma0]), np.zeros(2)
    _checks.non_negative(mean_reversion, "mean_reversion")
    if not piecewise:
        return _Fit(float(mean_reversion), None), np.array([sigma0]), np.zeros(1)
    expiries = sorted({max(t.expiry for t in option_terms(o, market)) for o in options})
    starts = (0.0, *expiries[:-1])
    return _Fit(float(mean_reversion), starts), np.full(len(starts), sigma0), np.zeros(len(starts))


def _grid(check: bool | HullWhiteGrid, a: float, sigma: float | _short_rate.Table) -> HullWhiteGrid | None:
    if check is False:
        return None
    if check is True:
        return HullWhiteGrid(mean_reversion=a, volatility=sigma)
    if not isinstance(check, HullWhiteGrid):
        raise TypeError(f"check: expected True, False or a HullWhiteGrid, got {type(check).__name__}")
    return dataclasses.replace(check, mean_reversion=a, volatility=sigma)

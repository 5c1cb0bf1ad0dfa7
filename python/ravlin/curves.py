"""Curves from what a desk has: discount factors at dates, and a bootstrap from quotes.

A `DiscountCurve` holds discount factors at dates from its reference date
(the pricing time of the market it serves) and interpolates them exactly as
the engine does: linearly in zero rate × time, that is log-linearly in the
discount factors, with years of 365 days. `bootstrap` fits such a curve to
the quotes of instruments (`ravlin.Deposit`, `ravlin.ForwardRateAgreement`,
`ravlin.InterestRateSwap`, `ravlin.OvernightIndexedSwap`), one knot per
quote at its last date, so that every quote reprices to zero on the curve
the engine sees. Given `discount=`, it fits a projection curve (a 3M curve,
say) with cash flows discounted on that other curve (an OIS curve).

>>> import ravlin
>>> curve = DiscountCurve(reference="2025-01-02", dates=["2026-01-02", "2028-01-02"],
...                       discount_factors=[0.96, 0.88])
>>> curve.discount("2026-01-02"), round(curve.discount("2027-01-02"), 12) == round(math.sqrt(0.96 * 0.88), 12)
(0.96, True)
"""

from __future__ import annotations

import bisect
import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from datetime import date, datetime
from typing import Protocol

import numpy as np

from ._time import YEAR_MS, TimeLike, to_date, to_datetime, to_millis
from .market import Market, ZeroCurve
from .rates import Curves

__all__ = ["DiscountCurve", "bootstrap"]


@dataclass(frozen=True, init=False)
class DiscountCurve(ZeroCurve):
    """Discount factors at dates, counted from `reference` and interpolated log-linearly.

    Before the first date the zero rate of the first knot holds; past the
    last date the curve ends (as the engine's does). A `Market` takes it as
    its base curve or as a projection curve when its pricing time is
    `reference`.

    >>> curve = DiscountCurve(reference="2025-01-01", dates=["2026-01-01"], discount_factors=[0.95])
    >>> curve.zero_rate("2025-07-02") == -math.log(0.95)
    True
    """

    reference: datetime = field(default=datetime(1970, 1, 1))
    dates: tuple[date, ...] = ()
    discount_factors: tuple[float, ...] = ()

    def __init__(self, *, reference: TimeLike, dates: Iterable[TimeLike], discount_factors: Iterable[float]) -> None:
        origin = to_millis(reference)
        days, factors = tuple(to_date(d) for d in dates), tuple(float(f) for f in discount_factors)
        if len(days) != len(factors):
            raise ValueError(f"DiscountCurve has {len(days)} dates but {len(factors)} discount factors")
        if not all(math.isfinite(f) and f > 0 for f in factors):
            raise ValueError(f"DiscountCurve: discount factors must be positive and finite, got {factors}")
        years = [(to_millis(d) - origin) / YEAR_MS for d in days]
        if years and years[0] <= 0:
            raise ValueError(f"DiscountCurve: dates must come after the reference {to_datetime(origin)}, "
                             f"got {days[0]}")
        object.__setattr__(self, "reference", to_datetime(origin))
        object.__setattr__(self, "dates", days)
        object.__setattr__(self, "discount_factors", factors)
        object.__setattr__(self, "times", tuple(days))
        object.__setattr__(self, "rates", tuple(-math.log(f) / t for f, t in zip(factors, years)))
        super().__post_init__()

    def discount(self, when: TimeLike) -> float:
        """The discount factor from the reference to `when` (a date or time).

        >>> DiscountCurve(reference="2025-01-01", dates=["2027-01-01"], discount_factors=[0.9]).discount("2025-01-01")
        1.0
        """
        return math.exp(-self._log_discount(self.years(when)))

    def zero_rate(self, when: TimeLike) -> float:
        """The continuously compounded zero rate to `when` on the engine's 365-day years.

        >>> curve = DiscountCurve(reference="2025-01-01", dates=["2026-01-01"], discount_factors=[0.95])
        >>> curve.zero_rate("2026-01-01") == -math.log(0.95)
        True
        """
        years = self.years(when)
        return self._log_discount(years) / years

    def years(self, when: TimeLike) -> float:
        """Years of 365 days from the reference to `when`.

        >>> curve = DiscountCurve(reference="2025-01-01", dates=["2026-01-01"], discount_factors=[0.95])
        >>> curve.years("2025-07-02T12:00")
        0.5
        """
        return (to_millis(when) - to_millis(self.reference)) / YEAR_MS

    def _log_discount(self, years: float) -> float:
        times = np.array([(to_millis(d) - to_millis(self.reference)) / YEAR_MS for d in self.dates])
        values = -np.log(self.discount_factors)
        if years <= times[0]:
            return float(values[0] * years / times[0])
        if years > times[-1]:
            raise ValueError(f"DiscountCurve ends at {self.dates[-1]}; {years} years is past it")
        return float(np.interp(years, times, values))


# ---------------------------------------------------------------- bootstrap

class Quote(Protocol):
    """What `bootstrap` reads of a quoted instrument (a deposit, FRA, swap or OIS at its rate)."""

    @property
    def pillar(self) -> date: ...  # its last date, where its knot goes

    @property
    def rate_guess(self) -> float: ...  # a rate to start the solve from

    @property
    def indices(self) -> tuple[str, ...]: ...  # the indices it projects

    def npv(self, market: Market) -> float: ...

    def value_on(self, curves: Curves) -> float: ...

def bootstrap(reference: TimeLike, quotes: Sequence[Quote], *, discount: ZeroCurve | None = None) -> DiscountCurve:
    """The curve on which every quote reprices to zero, one knot at each quote's last date.

    `quotes` are instruments at their market rates: deposits, FRAs, par
    swaps, OIS swaps (`ravlin.Deposit`, `ravlin.ForwardRateAgreement`,
    `ravlin.InterestRateSwap`, `ravlin.OvernightIndexedSwap`). Without
    `discount` the curve both projects and discounts (an OIS curve, or a
    single curve); with it, the fitted curve projects every index of the
    quotes and `discount` discounts their cash flows. Knots are solved one
    by one in order of their dates, each to the last bit that moves the
    quote's value, on the interpolation the engine uses.

    >>> import ravlin
    >>> sofr = ravlin.OvernightIndex(name="SOFR")
    >>> quotes = [ravlin.OvernightIndexedSwap.par(trade_date="2025-01-02", tenor=t, rate=r, index=sofr)
    ...           for t, r in [("1Y", 0.043), ("2Y", 0.041), ("5Y", 0.040)]]
    >>> curve = bootstrap("2025-01-02", quotes)
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": curve},
    ...                        projections={"SOFR": curve})
    >>> [abs(q.npv(market)) < 1e-12 for q in quotes]
    [True, True, True]
    """
    origin = to_millis(reference)
    quotes = sorted(quotes, key=lambda q: q.pillar)
    pillars = [q.pillar for q in quotes]
    if not quotes:
        raise ValueError("bootstrap needs at least one quote")
    for earlier, later in zip(pillars, pillars[1:]):
        if later <= earlier:
            raise ValueError(f"two quotes end on {later}: each quote needs a last date of its own")
    if pillars[0] <= to_date(origin):
        raise ValueError(f"the first quote ends on {pillars[0]}, not after the reference {to_date(origin)}")
    knots = _Knots(origin)
    base = None if discount is None else Market(base="base", pricing_time=to_datetime(origin),
                                                 curves={"base": discount}).discount_factor
    for quote in quotes:
        if discount is not None and not quote.indices:
            raise ValueError(f"a {type(quote).__name__} ending {quote.pillar} is money lent on the discount "
                             "curve: to fit a projection curve, quote the index's FRA from spot ('0M') instead")
        years = knots.years(quote.pillar)
        guess = knots.logs[-1] * years / knots.times[-1] if knots.logs else quote.rate_guess * years
        knots.add(years)
        curves = Curves(to_date(origin), base or knots.discount, lambda _, day: knots.discount(day),
                         lambda index, day: None)

        def value(log_discount: float, quote: Quote = quote, curves: Curves = curves) -> float:
            knots.logs[-1] = log_discount
            return quote.value_on(curves)

        knots.logs[-1] = _solve(value, guess, f"the quote ending {quote.pillar}")
    return DiscountCurve(reference=origin, dates=[q.pillar for q in quotes],
                         discount_factors=np.exp(-np.array(knots.logs)))


class _Knots:
    """The curve being fitted: knot times (years from the reference) and log discounts, the
    last of which the solver moves; interpolated as the engine does."""

    def __init__(self, origin: int) -> None:
        self.origin, self.times, self.logs = origin, [], []  # type: tuple[int, list[float], list[float]]
        self._years: dict[date, float] = {}
        self._settled: dict[date, float] = {}

    def years(self, day: date) -> float:
        if day not in self._years:
            self._years[day] = (to_millis(day) - self.origin) / YEAR_MS
        return self._years[day]

    def add(self, years: float) -> None:
        self.times.append(years)
        self.logs.append(0.0)

    def discount(self, day: date) -> float:
        """The discount factor to `day`; those up to the last settled knot are kept."""
        settled = self._settled.get(day)
        if settled is not None:
            return settled
        years = self.years(day)
        value = self._discount(years)
        if len(self.times) > 1 and years <= self.times[-2]:
            self._settled[day] = value
        return value

    def _discount(self, years: float) -> float:
        if years <= self.times[0]:
            return math.exp(-self.logs[0] * years / self.times[0])
        if years > self.times[-1]:
            raise ValueError(f"a quote reads the curve {years} years out, past the knot being solved")
        i = max(bisect.bisect_left(self.times, years), 1)
        (t0, t1), (l0, l1) = self.times[i - 1:i + 1], self.logs[i - 1:i + 1]
        return math.exp(-(l0 + (l1 - l0) / (t1 - t0) * (years - t0)))


def _solve(value: Callable[[float], float], guess: float, what: str) -> float:
    """The root of a smooth monotone function near `guess`, to the last bit: secant steps
    (a quote's value is nearly linear in its knot's log discount), and when they stall or
    leave the finite numbers, false position inside a bracket found by widening."""
    x0, f0 = guess, value(guess)
    x1, f1 = guess + 1e-4, value(guess + 1e-4)
    for _ in range(30):
        if f1 == 0:
            return x1
        if f1 == f0:
            break
        x0, f0, x1 = x1, f1, x1 - f1 * (x1 - x0) / (f1 - f0)
        if not math.isfinite(x1):
            break
        f1 = value(x1)
        if abs(x1 - x0) <= 4 * math.ulp(x1):
            return x1 if abs(f1) <= abs(f0) else x0
    return _bracketed(value, guess, what)


def _bracketed(value: Callable[[float], float], guess: float, what: str) -> float:
    """Illinois false position inside a bracket widened from `guess`."""
    step = 1e-4
    a, fa = guess, value(guess)
    if fa == 0:
        return a
    b, fb = a + step, value(a + step)
    for _ in range(60):  # widen until the bracket holds a sign change
        if fa * fb <= 0:
            break
        step *= 2
        a, fa, b, fb = (b, fb, b + step, value(b + step)) if abs(fb) < abs(fa) else (a - step, value(a - step), a, fa)
    else:
        raise ValueError(f"bootstrap: no discount factor reprices {what}")
    side = 0
    for _ in range(200):
        c = (a * fb - b * fa) / (fb - fa)
        if not min(a, b) < c < max(a, b):
            c = 0.5 * (a + b)
        fc = value(c)
        if fc == 0 or c in (a, b):
            return c
        if fc * fb < 0:
            a, fa = b, fb
            side = 0
        else:
            fa = fa / 2 if side == -1 else fa  # Illinois: halve the stale end
            side = -1
        b, fb = c, fc
        if abs(b - a) <= 4 * math.ulp(b):
            return b if abs(fb) <= abs(fa) else a
    return b if abs(fb) <= abs(fa) else a

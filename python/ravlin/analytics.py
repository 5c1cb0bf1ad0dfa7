"""Bond measures, and Black and Bachelier premiums of swaptions, caps and floors.

Bond prices are quoted in percent of the bond's notional at its settlement
date: the dirty price is what the cash flows paid after settlement are worth
there, the clean price the dirty price less the accrued interest. A coupon
paid on the settlement date belongs to the seller.

Yields are to maturity (calls and puts are left out) and come in two
conventions: "street", compounded at the bond's coupon frequency with years
counted by its day count, and "continuous" on the same day count (a
`YieldConvention` names any other frequency or day count). The time of each
cash flow is the sum of its periods' year fractions, each counted against
its coupon's reference period, so a settlement inside a period counts the
rest of that period, and the durations and the convexity are the exact
derivatives of the price in the yield. Spreads over curves (the Z-spread,
and the option-adjusted spread on a model) are continuously compounded in
the engine's years of 365 days, so a spread s is a parallel shift of the
base curve by s.

Yields and spreads are solved with a bracketed root finder (Brent's, from
SciPy) to the last bits of the spread, that is well within 1e-12 of the
price; a price that no yield or spread gives is a ValueError.

>>> import ravlin
>>> bond = ravlin.FixedRateBond(start="2025-01-15", maturity="2032-01-15", coupon=0.05, currency="USD")
>>> y = yield_from_price(bond, 98.0, "2025-04-01")
>>> round(y, 10), round(price_from_yield(bond, y, "2025-04-01"), 10)
(0.0535354967, 98.0)
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from datetime import date
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, Union, cast

import numpy as np

from . import _checks
from ._time import TimeLike, to_date, to_millis
from .contract import Contract
from .daycount import DayCount, day_count
from .formulas import bachelier_price, black_scholes_price
from .instruments import FixedRateBond, ZeroCouponBond
from .market import Market, ZeroCurve
from .rates import CapFloor, FloatingRateNote, IborIndex, Swaption
from .schedule import Frequency, advance

if TYPE_CHECKING:
    from .models import Model

__all__ = ["Bond", "CashFlow", "YieldConvention", "EffectiveRisk", "OptionTerms", "cash_flows", "settlement_date",
           "accrued_interest", "price_from_yield", "yield_from_price", "duration", "convexity", "dv01",
           "dirty_price", "clean_price", "z_spread", "price_from_z_spread", "option_adjusted_spread",
           "effective_risk", "option_terms", "premium", "implied_volatility_of"]

Bond = Union[FixedRateBond, ZeroCouponBond, FloatingRateNote]
Compounding = Literal["street", "continuous"]
VolatilityModel = Literal["black", "normal"]

# Brent's method stops when the bracket is this narrow (plus 4 ulps of the root): a spread or
# yield this close moves a price of 100 with a duration of 30 by 3e-12 at most.
_XTOL = 1e-15
# A bracket is widened this many times before a price is declared out of reach.
_WIDENINGS = 60


class CashFlow(NamedTuple):
    """One payment of a bond: its date, its amount in the bond's currency, and for a coupon
    the start of its accrual and its reference period (None for a redemption)."""

    payment: date
    amount: float
    accrual_start: date | None = None
    reference: tuple[date, date] | None = None


@dataclass(frozen=True)
class YieldConvention:
    """How a yield discounts: compounded `frequency` times a year or continuously, with years
    counted by `day_count`; None takes the bond's own.

    >>> YieldConvention("compounded", frequency=1, day_count="ACT/365F").day_count
    <DayCount.ACT_365F: 'ACT/365F'>
    """

    compounding: Literal["compounded", "continuous"] = "compounded"
    frequency: Frequency | int | None = None
    day_count: DayCount | str | None = None

    def __post_init__(self) -> None:
        if self.compounding not in ("compounded", "continuous"):
            raise ValueError(f"compounding must be 'compounded' or 'continuous', got {self.compounding!r}")
        if self.frequency is not None:
            object.__setattr__(self, "frequency", Frequency(self.frequency))
        if self.day_count is not None:
            object.__setattr__(self, "day_count", day_count(self.day_count))


class _Convention(NamedTuple):
    continuous: bool
    frequency: int
    day_count: DayCount


def _convention(bond: Bond, compounding: Compounding | YieldConvention) -> _Convention:
    """The yield convention in full, the bond's frequency and day count filling what is not given."""
    if isinstance(compounding, str):
        if compounding not in ("street", "continuous"):
            raise ValueError(f"compounding must be 'street', 'continuous' or a YieldConvention, got {compounding!r}")
        compounding = YieldConvention("continuous" if compounding == "continuous" else "compounded")
    if isinstance(bond, ZeroCouponBond):
        frequency, count = Frequency.ANNUAL, DayCount.ACT_365F
    else:
        frequency, count = Frequency(cast(int, bond.frequency)), cast(DayCount, bond.day_count)
    return _Convention(compounding.compounding == "continuous", int(compounding.frequency or frequency),
                       cast(DayCount, compounding.day_count or count))


def _bond(bond: object) -> Bond:
    if not isinstance(bond, (FixedRateBond, ZeroCouponBond, FloatingRateNote)):
        raise TypeError(f"bond: expected a FixedRateBond, ZeroCouponBond or FloatingRateNote, "
                        f"got {type(bond).__name__}")
    return bond


def _needs_market(bond: Bond, market: Market | None) -> Market:
    if market is None:
        raise ValueError("a FloatingRateNote's coupons come from its index: give market=")
    return market


# ---------------------------------------------------------------- cash flows

def cash_flows(bond: Bond, settlement: TimeLike, market: Market | None = None) -> list[CashFlow]:
    """The bond's coupons and redemption paid after `settlement`, in order of payment.

    A coupon gone ex by the settlement stays with amount 0. A floating-rate
    note's coupons are its fixings once known and else the forward rates of
    its projection curve in `market`; a capped or floored note is refused
    (its coupons depend on volatility: price it on a model).

    >>> import ravlin
    >>> bond = ravlin.FixedRateBond(start="2025-01-15", maturity="2026-01-15", coupon=0.04, currency="USD")
    >>> [(f.payment.isoformat(), f.amount) for f in cash_flows(bond, "2025-03-01")]
    [('2025-07-15', 2.0), ('2026-01-15', 2.0), ('2026-01-15', 100.0)]
    """
    bond, day = _bond(bond), to_date(settlement)
    flows: list[CashFlow] = []
    if isinstance(bond, FixedRateBond):
        schedule = bond.schedule
        count = cast(DayCount, bond.day_count)
        for p in schedule.periods():
            if p.payment <= day:
                continue
            gone = bond.ex_coupon_days and day >= advance(p.payment, -bond.ex_coupon_days, schedule.holidays)
            amount = 0.0 if gone else bond.notional * bond.coupon * count.year_fraction(p.start, p.end, p.reference)
            flows.append(CashFlow(p.payment, amount, p.start, p.reference))
        redemption = schedule.adjust(schedule.maturity)
    elif isinstance(bond, ZeroCouponBond):
        redemption = to_date(bond.contract().events()[0].time)
    else:
        if bond.cap is not None or bond.floor is not None:
            raise ValueError("a capped or floored FloatingRateNote's coupons depend on volatility: "
                             "price it with ravlin.price on a model")
        forecast = bond.forecast(_needs_market(bond, market))
        for coupon, rate in forecast:
            if coupon.payment > day:
                flows.append(CashFlow(coupon.payment, bond.notional * coupon.accrual * (rate + bond.spread),
                                      coupon.start, (coupon.start, coupon.end)))
        redemption = bond.coupons()[-1].payment
    if redemption > day:
        flows.append(CashFlow(redemption, bond.notional))
    return flows


def settlement_date(bond: Bond, market: Market) -> date:
    """The date a bond bought at the market's pricing time settles: its `settlement_days`
    business days later for a fixed-rate bond, the pricing date itself otherwise.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-03-07", curves={"USD": ravlin.ZeroCurve.flat(0.04)})
    >>> settlement_date(ravlin.FixedRateBond(start="2025-01-15", maturity="2030-01-15", coupon=0.04,
    ...                                      currency="USD", settlement_days=2), market)
    datetime.date(2025, 3, 11)
    """
    today = market.pricing_time.date()
    if isinstance(_bond(bond), FixedRateBond) and bond.settlement_days:  # type: ignore[union-attr]
        return advance(today, bond.settlement_days, bond.schedule.holidays)  # type: ignore[union-attr]
    return today


def accrued_interest(bond: Bond, settlement: TimeLike, market: Market | None = None) -> float:
    """Interest accrued at `settlement` since the current period began, in percent of notional
    (negative in an ex-coupon period: the interest still to run to the coupon date).

    >>> import ravlin
    >>> accrued_interest(ravlin.FixedRateBond(start="2025-01-15", maturity="2030-01-15", coupon=0.06,
    ...                                       currency="USD", notional=1000.0), "2025-04-15")
    1.5
    """
    bond, day = _bond(bond), to_date(settlement)
    if isinstance(bond, FixedRateBond):
        return bond.accrued(day) * 100.0 / bond.notional
    if isinstance(bond, ZeroCouponBond):
        return 0.0
    for coupon, rate in bond.forecast(_needs_market(bond, market)):
        if coupon.start <= day < coupon.end:
            accrual = cast(DayCount, bond.day_count).year_fraction(coupon.start, day)
            return accrual * (rate + bond.spread) * 100.0
    return 0.0


# ---------------------------------------------------------------- yields

def _year_before(day: date) -> date:
    return day.replace(year=day.year - 1) if (day.month, day.day) != (2, 29) else date(day.year - 1, 2, 28)


def _times(flows: Sequence[CashFlow], settlement: date, count: DayCount) -> np.ndarray:
    """Each flow's time from settlement: the year fractions of the steps between payments,
    a coupon's step counted as its accrual to payment less what had accrued at the last date."""
    last, total, times = settlement, 0.0, []
    for flow in flows:
        if flow.accrual_start is not None and last != flow.accrual_start:
            start, reference = flow.accrual_start, flow.reference
            step = (count.year_fraction(start, flow.payment, reference)
                    - count.year_fraction(start, last, reference))
        else:
            reference = flow.reference or ((_year_before(flow.payment), flow.payment) if last == settlement
                                           else (last, flow.payment))
            step = count.year_fraction(last, flow.payment, reference)
        total += step
        times.append(total)
        last = flow.payment
    return np.array(times)


class _Yield:
    """A bond's cash flows after a settlement, with their times under one yield convention."""

    def __init__(self, bond: Bond, settlement: TimeLike, compounding: Compounding | YieldConvention,
                 market: Market | None) -> None:
        bond = _bond(bond)
        self.day = to_date(settlement)
        self.flows = cash_flows(bond, self.day, market)
        if not self.flows:
            raise ValueError(f"the bond pays nothing after {self.day}")
        self.convention = _convention(bond, compounding)
        self.times = _times(self.flows, self.day, self.convention.day_count)
        self.amounts = np.array([f.amount for f in self.flows]) * (100.0 / bond.notional)
        self.accrued = accrued_interest(bond, self.day, market)

    def discounts(self, y: float) -> np.ndarray:
        c = self.convention
        if c.continuous:
            return np.exp(-y * self.times)
        if 1.0 + y / c.frequency <= 0.0:
            raise ValueError(f"a yield compounded {c.frequency} times a year must exceed {-c.frequency}, got {y!r}")
        return np.exp(-c.frequency * self.times * math.log1p(y / c.frequency))

    def dirty(self, y: float) -> float:
        return math.fsum(self.amounts * self.discounts(_checks.number(y, "yield")))

    def lowest(self) -> float:
        """The yield below which none is looked for: just above -frequency when compounded."""
        return -math.inf if self.convention.continuous else -float(self.convention.frequency)

    def derivatives(self, y: float) -> tuple[float, float, float]:
        """The dirty price, and minus its first and its second derivative in the yield over it."""
        c, t = self.convention, self.times
        d = self.amounts * self.discounts(y)
        price = math.fsum(d)
        if c.continuous:
            return price, math.fsum(d * t) / price, math.fsum(d * t * t) / price
        growth = 1.0 + y / c.frequency
        return (price, math.fsum(d * t) / growth / price,
                math.fsum(d * t * (c.frequency * t + 1.0)) / (c.frequency * growth * growth) / price)


def price_from_yield(bond: Bond, yield_: float, settlement: TimeLike, *, clean: bool = True,
                     compounding: Compounding | YieldConvention = "street", market: Market | None = None) -> float:
    """The bond's price (clean by default) at `settlement` for a yield to maturity.

    >>> import ravlin
    >>> bond = ravlin.FixedRateBond(start="2025-01-15", maturity="2027-01-15", coupon=0.05, currency="USD")
    >>> round(price_from_yield(bond, 0.05, "2025-01-15"), 12)
    100.0
    """
    cash = _Yield(bond, settlement, compounding, market)
    return cash.dirty(yield_) - (cash.accrued if clean else 0.0)


def yield_from_price(bond: Bond, price: float, settlement: TimeLike, *, clean: bool = True,
                     compounding: Compounding | YieldConvention = "street", market: Market | None = None) -> float:
    """The yield to maturity that gives the bond `price` (clean by default) at `settlement`.

    >>> import ravlin
    >>> zero = ravlin.ZeroCouponBond(maturity="2030-01-15", currency="USD")
    >>> round(yield_from_price(zero, 80.0, "2025-01-15", compounding="continuous"), 12)
    0.044604269567
    >>> yield_from_price(zero, -1.0, "2025-01-15")
    Traceback (most recent call last):
    ...
    ValueError: no yield gives the dirty price -1: a bond paying only amounts above 0 is worth more than 0
    """
    cash = _Yield(bond, settlement, compounding, market)
    target = _checks.number(price, "price") + (cash.accrued if clean else 0.0)
    if target <= 0 and (cash.amounts >= 0).all():
        raise ValueError(f"no yield gives the dirty price {target:.15g}: a bond paying only amounts above 0 "
                         "is worth more than 0")
    return _root(lambda y: cash.dirty(y) - target, 0.0, cash.lowest(), f"no yield gives the dirty price {target:.15g}")


def duration(bond: Bond, yield_: float, settlement: TimeLike, *, kind: Literal["modified", "macaulay"] = "modified",
             compounding: Compounding | YieldConvention = "street", market: Market | None = None) -> float:
    """The modified duration (-dP/dy / P of the dirty price) or the Macaulay duration (the
    flows' mean time, weighted by their discounted amounts) at a yield, in years.

    >>> import ravlin
    >>> zero = ravlin.ZeroCouponBond(maturity="2030-01-15", currency="USD")
    >>> duration(zero, 0.04, "2025-01-15", kind="macaulay", compounding="continuous")
    5.002739726027397
    """
    modified = _Yield(bond, settlement, compounding, market).derivatives(yield_)[1]
    if kind == "modified":
        return modified
    if kind != "macaulay":
        raise ValueError(f"kind must be 'modified' or 'macaulay', got {kind!r}")
    convention = _convention(_bond(bond), compounding)
    return modified if convention.continuous else modified * (1.0 + yield_ / convention.frequency)


def convexity(bond: Bond, yield_: float, settlement: TimeLike, *,
              compounding: Compounding | YieldConvention = "street", market: Market | None = None) -> float:
    """The convexity d²P/dy² / P of the dirty price at a yield.

    >>> import ravlin
    >>> zero = ravlin.ZeroCouponBond(maturity="2030-01-15", currency="USD")
    >>> round(convexity(zero, 0.04, "2025-01-15", compounding="continuous"), 12)
    25.027404766373
    """
    return _Yield(bond, settlement, compounding, market).derivatives(yield_)[2]


def dv01(bond: Bond, yield_: float, settlement: TimeLike, *,
         compounding: Compounding | YieldConvention = "street", market: Market | None = None) -> float:
    """What one basis point less of yield adds to the dirty price, to first order: dirty
    price × modified duration / 10000, in percent of notional.

    >>> import ravlin
    >>> zero = ravlin.ZeroCouponBond(maturity="2030-01-15", currency="USD")
    >>> round(dv01(zero, 0.04, "2025-01-15", compounding="continuous"), 12)
    0.040954480225
    """
    price, modified, _ = _Yield(bond, settlement, compounding, market).derivatives(yield_)
    return price * modified * 1e-4


# ---------------------------------------------------------------- curves and models

def _shifted(market: Market, spread: float) -> Market:
    """The market with its base curve's zero rates moved by `spread` at every knot: a parallel
    shift of rate × time, which the engine's interpolation keeps between knots."""
    if spread == 0.0:
        return market
    base = market.curves[market.base]
    assert isinstance(base, ZeroCurve), "a market's base curve is a ZeroCurve"
    curve = ZeroCurve(times=base.times, rates=tuple(r + spread for r in base.rates))
    return dataclasses.replace(market, curves={**market.curves, market.base: curve})


def _after_settlement(bond: Bond, market: Market) -> Contract:
    """The bond's rows for the market without the payments of its own track made on or
    before the settlement date (they belong to the seller)."""
    contract = bond.contract(market) if isinstance(bond, FloatingRateNote) else bond.contract(
        after=market.pricing_time)
    cutoff = to_millis(settlement_date(bond, market))
    kept = [e for e in contract.events()
            if not (e.time <= cutoff and e.op == "+" and e.track == bond.track and e.unit == bond.currency)]
    return Contract.from_events(kept, track=contract.track)


def _model_value(bond: Bond, market: Market, model: Model | None) -> float:
    from .models import Fixed
    from .pricing import price

    value = price(_after_settlement(bond, market), market, Fixed() if model is None else model).price
    return value / market.discount_factor(settlement_date(bond, market)) * 100.0 / bond.notional


def dirty_price(bond: Bond, market: Market, model: Model | None = None) -> float:
    """The bond's dirty price at its settlement date on `model` (`ravlin.Fixed` by default,
    which discounts on the base curve; a short-rate model values calls and puts).

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-15", curves={"USD": ravlin.ZeroCurve.flat(0.04)})
    >>> round(dirty_price(ravlin.ZeroCouponBond(maturity="2026-01-15", currency="USD"), market), 10)
    96.0789439152
    """
    return _model_value(_bond(bond), market, model)


def clean_price(bond: Bond, market: Market, model: Model | None = None) -> float:
    """The dirty price less the interest accrued at settlement.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-04-15", curves={"USD": ravlin.ZeroCurve.flat(0.04)})
    >>> bond = ravlin.FixedRateBond(start="2025-01-15", maturity="2026-01-15", coupon=0.04, currency="USD")
    >>> round(dirty_price(bond, market) - clean_price(bond, market), 12)
    1.0
    """
    bond = _bond(bond)
    return _model_value(bond, market, model) - accrued_interest(bond, settlement_date(bond, market), market)


def _target(bond: Bond, market: Market, price: float, clean: bool) -> float:
    accrued = accrued_interest(bond, settlement_date(bond, market), market) if clean else 0.0
    return _checks.number(price, "price") + accrued


def price_from_z_spread(bond: Bond, spread: float, market: Market, *, clean: bool = True) -> float:
    """The bond's price at settlement with its cash flows discounted on the base curve moved
    in parallel by `spread`.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-15", curves={"USD": ravlin.ZeroCurve.flat(0.04)})
    >>> zero = ravlin.ZeroCouponBond(maturity="2026-01-15", currency="USD")
    >>> round(price_from_z_spread(zero, 0.01, market), 10)
    95.1229424501
    """
    bond = _bond(bond)
    day = settlement_date(bond, market)
    flows = cash_flows(bond, day, market)
    start = market.years(day)
    years = np.array([market.years(f.payment) for f in flows]) - start
    discounts = np.array([market.discount_factor(f.payment) for f in flows]) / market.discount_factor(day)
    amounts = np.array([f.amount for f in flows]) * (100.0 / bond.notional)
    value = math.fsum(amounts * discounts * np.exp(-_checks.number(spread, "spread") * years))
    return value - (accrued_interest(bond, day, market) if clean else 0.0)


def z_spread(bond: Bond, price: float, market: Market, *, clean: bool = True) -> float:
    """The parallel spread over the base curve at which the bond's cash flows are worth `price`.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-15", curves={"USD": ravlin.ZeroCurve.flat(0.04)})
    >>> zero = ravlin.ZeroCouponBond(maturity="2026-01-15", currency="USD")
    >>> round(z_spread(zero, 100 * math.exp(-0.05), market), 14)
    0.01
    """
    target = _target(_bond(bond), market, price, clean)
    return _root(lambda s: price_from_z_spread(bond, s, market, clean=False) - target, 0.0, -math.inf,
                 f"no spread gives the dirty price {target:.15g}")


def option_adjusted_spread(bond: Bond, price: float, market: Market, model: Model, *, clean: bool = True) -> float:
    """The parallel spread over the base curve at which `model` (a short-rate model such as
    `ravlin.HullWhiteGrid`, fitted to the spread curve) values the bond at `price`.

    The model's grid is fixed at the settings it takes for the unshifted
    market, so every trial spread runs on the same nodes and steps.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-15", curves={"USD": ravlin.ZeroCurve.flat(0.04)})
    >>> bond = ravlin.FixedRateBond(start="2025-01-15", maturity="2027-01-15", coupon=0.05, currency="USD",
    ...                             calls={"2026-01-15": 100.0})
    >>> grid = ravlin.HullWhiteGrid(mean_reversion=0.05, volatility=0.01, nodes_per_side=100, timestep=7 / 365)
    >>> option_adjusted_spread(bond, clean_price(bond, market, grid), market, grid)
    0.0
    """
    bond = _bond(bond)
    frozen = _frozen(bond, market, model)
    target = _target(bond, market, price, clean)
    return _root(lambda s: _model_value(bond, _shifted(market, s), frozen) - target, 0.0, -math.inf,
                 f"no spread gives the dirty price {target:.15g} on the model")


def _frozen(bond: Bond, market: Market, model: Model) -> Model:
    return model.for_revaluation(market, _after_settlement(bond, market).to_batch())


class EffectiveRisk(NamedTuple):
    """Effective duration and convexity: the dirty price's relative change in a parallel
    shift of the base curve, and its curvature, by central differences."""

    duration: float
    convexity: float


def effective_risk(bond: Bond, market: Market, model: Model, *, spread: float = 0.0,
                   bump: float = 1e-4) -> EffectiveRisk:
    """Effective duration -(P+ - P-) / (2 Δ P) and convexity (P+ + P- - 2P) / (Δ² P) of the
    dirty price on `model` at the option-adjusted `spread`, the base curve moved by ±`bump`.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-15", curves={"USD": ravlin.ZeroCurve.flat(0.04)})
    >>> risk = effective_risk(ravlin.ZeroCouponBond(maturity="2030-01-15", currency="USD"), market, ravlin.Fixed())
    >>> round(risk.duration, 6), round(risk.convexity, 4)
    (5.00274, 25.0274)
    """
    bond = _bond(bond)
    _checks.positive(bump, "bump")
    frozen = _frozen(bond, market, model)
    down, middle, up = (_model_value(bond, _shifted(market, spread + k * bump), frozen) for k in (-1, 0, 1))
    return EffectiveRisk((down - up) / (2.0 * bump * middle), (down + up - 2.0 * middle) / (bump * bump * middle))


def _root(excess: Callable[[float], float], guess: float, lowest: float, failure: str) -> float:
    """The root of a decreasing function, bracketed from `guess` outward (never at or below
    `lowest`) and then found by Brent's method."""
    from scipy.optimize import brentq

    value = excess(guess)
    if value == 0.0:
        return guess
    step, lo, hi = 0.01, guess, guess
    for _ in range(_WIDENINGS):
        if value > 0:  # the price is too high: the root lies above
            lo, hi = hi, hi + step
            value, edge = excess(hi), hi
        else:
            hi = lo
            lo = max(lo - step, 0.5 * (lo + lowest)) if math.isfinite(lowest) else lo - step
            value, edge = excess(lo), lo
        if value == 0.0:
            return edge
        if (value < 0) == (edge == hi):
            return float(brentq(excess, lo, hi, xtol=_XTOL, maxiter=500))
        step *= 2.0
    raise ValueError(failure)


# ---------------------------------------------------------------- Black and Bachelier

class OptionTerms(NamedTuple):
    """One European option on a rate as Black and Bachelier read it: the forward rate, the
    strike, the years to expiry, what the undiscounted premium is multiplied by (a swaption's
    annuity, a caplet's notional × accrual × discount factor), and call or put on the rate."""

    forward: float
    strike: float
    expiry: float
    discount: float
    kind: Literal["call", "put"]


def option_terms(instrument: Swaption | CapFloor, market: Market) -> list[OptionTerms]:
    """The options of a European swaption (one) or a cap or floor (one per caplet still to fix).

    A payer swaption is a call on the swap rate of the swap from its
    exercise date, struck at the fixed rate and paid on the annuity (the
    fixed leg's value per unit of rate); the forward is the rate that zeroes
    that swap, the expiry the decision date. A caplet is a call on its index
    rate, expiring at its fixing, paid on notional × accrual × the discount
    factor of its payment.

    >>> import ravlin
    >>> libor = ravlin.IborIndex(name="USD-3M", tenor="3M")
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
    ...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
    >>> swap = ravlin.InterestRateSwap.par(trade_date="2025-01-02", tenor="5Y", forward_start="1Y", rate=0.04,
    ...                                    index=libor)
    >>> terms, = option_terms(ravlin.Swaption(swap=swap, exercise_dates=[swap.fixed.start]), market)
    >>> round(terms.forward, 6), round(terms.expiry, 4), terms.kind
    (0.040834, 1.011, 'call')
    """
    if isinstance(instrument, Swaption):
        return [_swaption_terms(instrument, market)]
    if isinstance(instrument, CapFloor):
        return _caplet_terms(instrument, market)
    raise TypeError(f"expected a Swaption or CapFloor, got {type(instrument).__name__}")


def _swaption_terms(swaption: Swaption, market: Market) -> OptionTerms:
    exercises = cast(tuple[date, ...], swaption.exercise_dates)
    if len(exercises) != 1:
        raise ValueError(f"Black and Bachelier value a European swaption; this one has {len(exercises)} "
                         "exercise dates: price a Bermudan on a model")
    decision = swaption.decisions()[0]
    if decision < market.pricing_time.date():
        raise ValueError(f"the swaption's decision date {decision} is before the pricing date")
    swap = swaption.swap.from_date(exercises[0])
    annuity = swap.annuity(market)
    sign = 1.0 if swap.kind == "payer" else -1.0
    forward = swap.fixed.rate + sign * swap.npv(market) / annuity
    return OptionTerms(forward, swap.fixed.rate, market.years(decision), annuity,
                       "call" if swap.kind == "payer" else "put")


def _caplet_terms(cap: CapFloor, market: Market) -> list[OptionTerms]:
    kind: Literal["call", "put"] = "call" if cap.kind == "cap" else "put"
    notional = cap.leg.notional
    return [OptionTerms(c.forward, cap.strike, market.years(c.fixing), notional * c.accrual * c.discount, kind)
            for c in cap.caplets(market)]


def _fixed_caplets(cap: CapFloor, market: Market) -> float:
    """What the caplets already fixed but not yet paid are worth: their payoffs, discounted."""
    today, index = market.pricing_time.date(), cap.leg.index
    assert isinstance(index, IborIndex), "a cap's leg projects a term rate"
    omega = 1.0 if cap.kind == "cap" else -1.0
    total = 0.0
    for c in cap.leg.coupons():
        fixing = market.fixing(index.name, c.fixing)
        known = c.fixing < today or (c.fixing == today and fixing is not None)
        if known and c.payment >= today:
            if fixing is None:
                raise ValueError(f"index {index.name!r} fixed on {c.fixing}, before the pricing date: "
                                 "give its fixing in Market(fixings=...)")
            total += (cap.leg.notional * c.accrual * max(omega * (fixing - cap.strike), 0.0)
                      * market.discount_factor(c.payment))
    return total


def premium(instrument: Swaption | CapFloor, market: Market, volatility: float, *,
            model: VolatilityModel = "black", displacement: float = 0.0) -> float:
    """The Black-76 (`model="black"`, lognormal, shifted by `displacement`) or Bachelier
    (`"normal"`) premium of a European swaption or a cap or floor at one volatility; caplets
    already fixed add their known payoffs.

    >>> import ravlin
    >>> libor = ravlin.IborIndex(name="USD-3M", tenor="3M", fixing_days=0)
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-06", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
    ...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
    >>> cap = ravlin.CapFloor(leg=ravlin.FloatingLeg(start="2025-01-06", maturity="2030-01-06", notional=1e6,
    ...                                              index=libor), strike=0.045)
    >>> round(premium(cap, market, 0.20), 2), round(premium(cap, market, 0.008, model="normal"), 2)
    (12148.51, 11202.92)
    """
    terms = option_terms(instrument, market)
    fixed = _fixed_caplets(instrument, market) if isinstance(instrument, CapFloor) else 0.0
    if not terms:
        return fixed
    forward, strike, expiry, discount = (np.array([getattr(t, name) for t in terms])
                                         for name in ("forward", "strike", "expiry", "discount"))
    kind = terms[0].kind
    if model == "black":
        values = black_scholes_price(forward, strike, expiry, volatility, discount=discount, kind=kind,
                                     displacement=displacement)
    elif model == "normal":
        values = bachelier_price(forward, strike, expiry, volatility, discount=discount, kind=kind)
    else:
        raise ValueError(f"model must be 'black' or 'normal', got {model!r}")
    return math.fsum(np.atleast_1d(values)) + fixed


def implied_volatility_of(price: float, instrument: Swaption | CapFloor, market: Market, *,
                          model: VolatilityModel = "black", displacement: float = 0.0) -> float:
    """The one volatility at which `premium` gives `price`: a swaption's by the closed-form
    inversion of `ravlin.implied_volatility`, a cap's (one flat volatility for all its
    caplets) by Brent's method to the last bits of the volatility. `ravlin.implied_volatility`
    calls this when given an instrument.

    >>> import ravlin
    >>> libor = ravlin.IborIndex(name="USD-3M", tenor="3M", fixing_days=0)
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-06", curves={"USD": ravlin.ZeroCurve.flat(0.04)},
    ...                        projections={"USD-3M": ravlin.ZeroCurve.flat(0.04)})
    >>> cap = ravlin.CapFloor(leg=ravlin.FloatingLeg(start="2025-01-06", maturity="2030-01-06", notional=1e6,
    ...                                              index=libor), strike=0.045)
    >>> round(implied_volatility_of(premium(cap, market, 0.2), cap, market), 12)
    0.2
    """
    from scipy.optimize import brentq

    from .formulas import implied_volatility

    terms = option_terms(instrument, market)
    target = _checks.number(price, "price")
    if isinstance(instrument, Swaption):
        t = terms[0]
        return float(implied_volatility(target, t.forward, t.strike, t.expiry, discount=t.discount, kind=t.kind,
                                        model=model, displacement=displacement))
    excess: Callable[[float], float] = lambda vol: premium(instrument, market, vol, model=model,
                                                           displacement=displacement) - target
    floor = excess(0.0)
    if floor > 0:
        raise ValueError(f"implied volatility: price {target:.15g} is below the cap's value at zero volatility "
                         f"{target + floor:.15g}: no volatility gives it")
    if floor == 0:
        return 0.0
    hi = 0.1 if model == "black" else 0.01
    for _ in range(_WIDENINGS):
        if excess(hi) > 0:
            return float(brentq(excess, 0.0, hi, xtol=_XTOL, maxiter=500))
        hi *= 2.0
    raise ValueError(f"implied volatility: price {target:.15g} is above what any volatility gives the cap")


def is_rate_option(value: Any) -> bool:
    """Whether `value` is an instrument that `implied_volatility_of` reads."""
    return isinstance(value, (Swaption, CapFloor))

"""Exotic equity options: barrier, digital, Asian and lookback, as value objects writing rows.

Each instrument writes its timetable and the expressions its rows name
(`expressions(model)`), which `ravlin.price` and `ravlin.risk` pass along
by themselves. A payoff is a phrase of the asset's price, valued on every
Monte Carlo path and, on `ravlin.BlackScholesGrid`, on the grid's nodes
(averaged over each node's cell, so a jump such as a digital's or a
knock's does not hang on where it falls between two nodes). What a path's
history decides (an average, an extremum) is carried by snappers, which
only Monte Carlo runs: `AsianOption` and `LookbackOption` refuse the grids
by name, as every instrument here refuses a model that cannot value it.

Rows, per instrument:

- `DigitalOption`: one payment of the payoff phrase at expiry.
- `BarrierOption`, knock-out: at each monitoring date a conditional row
  (op "s") that pays the rebate on the share of paths (or of a node's cell)
  beyond the barrier and keeps the later value on the rest; the payoff at
  expiry. Knock-in: the vanilla payoff, less a knock-out of (payoff −
  rebate) on a helper track `<track>.out`, which the priced track takes at
  the first monitoring date.
- `AsianOption`, `LookbackOption`: a snapper row at each fixing or
  monitoring date updates the running sum (of prices or their logs) or the
  running maximum and minimum, and the payoff phrase reads them at expiry.

>>> digital = DigitalOption(expiry="2026-01-01", strike=100.0, kind="call", asset="SPX", currency="USD")
>>> [(e.op, e.unit) for e in digital.contract()]
[('+', 'option.payoff')]
>>> sorted(digital.expressions())
['option.payoff']
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, ClassVar, Literal

import numpy as np

from . import _checks
from ._time import DAY_MS, TimeLike, to_datetime, to_millis
from .contract import Contract, Event
from .expressions import Phrase, Snapper
from .instruments import Instrument

if TYPE_CHECKING:
    from .models import Model

__all__ = ["BarrierOption", "DigitalOption", "AsianOption", "LookbackOption"]

Kind = Literal["call", "put"]
# The name whose value weighs a conditional row (op "s"): the share knocked out.
_CONDITION = "s"


def rows_after(track: str, rows: list[Event], after: TimeLike | None) -> Contract:
    """A contract of `rows` (in time order) on the priced track `track`, from `after` on."""
    if after is not None:
        first = to_millis(after)
        rows = [row for row in rows if row.time >= first]
    return Contract.from_events(rows, track=track)


def _sign(kind: str) -> float:
    if kind not in ("call", "put"):
        raise ValueError(f"kind must be 'call' or 'put', got {kind!r}")
    return 1.0 if kind == "call" else -1.0


def _above(spots: np.ndarray, level: np.ndarray | float) -> np.ndarray:
    """1 where the price is above `level`, else 0."""
    return (np.asarray(spots, dtype=float) > level).astype(float)


def _monitoring(dates: Iterable[TimeLike] | str, start: TimeLike | None, expiry: int, what: str) -> tuple[int, ...]:
    """Monitoring times in milliseconds, ascending, none after expiry: given dates, or daily from `start`."""
    if isinstance(dates, str):
        if dates != "daily":
            raise ValueError(f"{what}: monitoring must be 'daily' or a list of dates, got {dates!r}")
        if start is None:
            raise ValueError(f"{what}: daily monitoring needs a start")
        first = to_millis(start)
        if first > expiry:
            raise ValueError(f"{what}: start comes after expiry")
        return tuple(range(expiry - (expiry - first) // DAY_MS * DAY_MS, expiry + 1, DAY_MS))
    times = sorted({to_millis(d) for d in dates})
    if not times:
        raise ValueError(f"{what}: give at least one monitoring date, or monitoring='daily' with a start")
    if times[-1] > expiry:
        raise ValueError(f"{what}: a monitoring date {to_datetime(times[-1]).isoformat()} comes after expiry")
    return tuple(times)


@dataclass(frozen=True, kw_only=True)
class _Exotic(Instrument):
    """What the exotic options share: an asset, a currency, an expiry, a track, and their checks."""

    asset: str
    currency: str
    expiry: TimeLike
    track: str = "option"

    #: Whether a one-factor grid can value the instrument (False: its payoff needs the path's history).
    on_grids: ClassVar[bool] = True

    def __post_init__(self) -> None:
        for name in ("asset", "currency", "track"):
            _checks.name(getattr(self, name), name)
        object.__setattr__(self, "expiry", to_datetime(self.expiry))

    @property
    def _expiry_ms(self) -> int:
        return to_millis(self.expiry)

    def _name(self, suffix: str) -> str:
        return f"{self.track}.{suffix}"

    def expressions(self, model: Model | None = None) -> dict[str, Phrase | Snapper]:
        """The phrases and snappers the rows name, after refusing a `model` that cannot value
        the instrument (`check_model`). `ravlin.price` and `ravlin.risk` pass them along."""
        self.check_model(model)
        return self._expressions()

    def check_model(self, model: Model | None) -> None:
        """Refuses, by name, a model that cannot value the instrument."""
        from .models import BlackScholesGrid, HullWhiteGrid

        name = type(self).__name__
        if isinstance(model, HullWhiteGrid) or (isinstance(model, BlackScholesGrid) and not self.on_grids):
            reason = ("its payoff depends on the path's history, which a one-factor grid does not carry"
                      if not self.on_grids else f"a Hull-White grid does not model {self.asset!r}")
            raise ValueError(f"{name} cannot be valued on {type(model).__name__}: {reason}; use MonteCarlo"
                             + ("" if not self.on_grids else f" or BlackScholesGrid(asset={self.asset!r})"))
        if isinstance(model, BlackScholesGrid) and model.asset != self.asset:
            raise ValueError(f"{name} on {self.asset!r} cannot be valued on a BlackScholesGrid of "
                             f"{model.asset!r}: its payoff reads the price of {self.asset!r}")

    def _expressions(self) -> dict[str, Phrase | Snapper]:
        raise NotImplementedError

    def _snapped(self, dates: Iterable[TimeLike], later: str, after: TimeLike | None) -> Contract:
        """The snapper `first` at the first date, the snapper `later` at the others, the payoff at expiry."""
        rows = [Event(self.track, to_millis(d), "+", 1.0, self._name("first" if i == 0 else later))
                for i, d in enumerate(dates)]
        rows.append(Event(self.track, self._expiry_ms, "+", 1.0, self._name("payoff")))
        return rows_after(self.track, rows, after)


# ---------------------------------------------------------------- digital

@dataclass(frozen=True, kw_only=True)
class DigitalOption(_Exotic):
    """Pays `cash` units of the currency (`payout="cash"`), or one unit of the asset
    (`payout="asset"`), at expiry if the price then is above the strike (a call) or below it (a put).

    >>> DigitalOption(expiry="2026-01-01", strike=100.0, kind="put", payout="asset",
    ...               asset="SPX", currency="USD").payout
    'asset'
    """

    strike: float
    kind: Kind
    payout: Literal["cash", "asset"] = "cash"
    cash: float = 1.0

    def __post_init__(self) -> None:
        super().__post_init__()
        _sign(self.kind)
        if self.payout not in ("cash", "asset"):
            raise ValueError(f"payout must be 'cash' or 'asset', got {self.payout!r}")
        object.__setattr__(self, "strike", _checks.positive(self.strike, "strike"))
        object.__setattr__(self, "cash", _checks.number(self.cash, "cash"))

    def contract(self, *, after: TimeLike | None = None) -> Contract:
        """One payment of the payoff phrase at expiry."""
        return rows_after(self.track, [Event(self.track, self._expiry_ms, "+", 1.0, self._name("payoff"))], after)

    def _expressions(self) -> dict[str, Phrase | Snapper]:
        call, cash, strike, asset_paid = self.kind == "call", self.cash, self.strike, self.payout == "asset"

        def payoff(spot: np.ndarray, unit: np.ndarray) -> np.ndarray:
            share = _above(spot, strike * np.asarray(unit))
            paid = np.asarray(spot) if asset_paid else cash * np.asarray(unit)
            return paid * (share if call else 1.0 - share)

        return {self._name("payoff"): Phrase(payoff, inputs=[self.asset, self.currency])}


# ---------------------------------------------------------------- barrier

def _vanilla(strike: float, sign: float) -> Callable[[np.ndarray, np.ndarray], np.ndarray]:
    def payoff(spot: np.ndarray, unit: np.ndarray) -> np.ndarray:
        return np.maximum(sign * (np.asarray(spot) - strike * np.asarray(unit)), 0.0)

    return payoff


@dataclass(frozen=True, kw_only=True)
class BarrierOption(_Exotic):
    """A call or put that dies (`knock="out"`) or comes alive (`knock="in"`) when the price is
    at or beyond `barrier` on a monitoring date: at or below it for `direction="down"`, at or above
    it for `"up"`.

    `monitoring` is a list of dates (the expiry counts only when listed) or
    `"daily"`, every whole day back from expiry to `start`. A knock-out pays
    `rebate` units of the currency on the monitoring date it dies; a
    knock-in pays it at expiry if it never came alive.

    >>> option = BarrierOption(expiry="2026-01-01", strike=100.0, kind="call", barrier=80.0,
    ...                        direction="down", knock="out", monitoring=["2025-07-01", "2026-01-01"],
    ...                        asset="SPX", currency="USD")
    >>> [e.op for e in option.contract()]
    ['s', 's', '+']
    """

    strike: float
    kind: Kind
    barrier: float
    direction: Literal["up", "down"]
    knock: Literal["in", "out"]
    monitoring: Iterable[TimeLike] | Literal["daily"]
    start: TimeLike | None = None
    rebate: float = 0.0

    def __post_init__(self) -> None:
        super().__post_init__()
        _sign(self.kind)
        if self.direction not in ("up", "down"):
            raise ValueError(f"direction must be 'up' or 'down', got {self.direction!r}")
        if self.knock not in ("in", "out"):
            raise ValueError(f"knock must be 'in' or 'out', got {self.knock!r}")
        object.__setattr__(self, "strike", _checks.positive(self.strike, "strike"))
        object.__setattr__(self, "barrier", _checks.positive(self.barrier, "barrier"))
        object.__setattr__(self, "rebate", _checks.number(self.rebate, "rebate"))
        times = _monitoring(self.monitoring, self.start, self._expiry_ms, "BarrierOption")
        object.__setattr__(self, "monitoring", tuple(to_datetime(t) for t in times))
        if self.start is not None:
            object.__setattr__(self, "start", to_datetime(self.start))

    def contract(self, *, after: TimeLike | None = None) -> Contract:
        """Knock rows at the monitoring dates and the payoff at expiry; see the module notes."""
        times = [to_millis(d) for d in self.monitoring]
        expiry, payoff, cur = self._expiry_ms, self._name("payoff"), self.currency
        if self.knock == "out":
            rows = [Event(self.track, t, _CONDITION, self.rebate, cur) for t in times]
            rows.append(Event(self.track, expiry, "+", 1.0, payoff))
            return rows_after(self.track, rows, after)
        out = self._name("out")
        rows = [Event(self.track, times[0], "+", 1.0, out)]
        rows += [Event(out, t, _CONDITION, 0.0, cur) for t in times]
        rows += [Event(out, expiry, "+", -1.0, payoff), Event(out, expiry, "+", self.rebate, cur),
                 Event(self.track, expiry, "+", 1.0, payoff)]
        return rows_after(self.track, sorted(rows, key=lambda e: e.time), after)

    def _expressions(self) -> dict[str, Phrase | Snapper]:
        barrier, up = self.barrier, self.direction == "up"

        def beyond(spot: np.ndarray, unit: np.ndarray) -> np.ndarray:
            spot, level = np.asarray(spot), barrier * np.asarray(unit)
            return (spot >= level if up else spot <= level).astype(float)

        return {self._name("payoff"): Phrase(_vanilla(self.strike, _sign(self.kind)),
                                            inputs=[self.asset, self.currency]),
                _CONDITION: Phrase(beyond, inputs=[self.asset, self.currency])}


# ---------------------------------------------------------------- Asian

@dataclass(frozen=True, kw_only=True)
class AsianOption(_Exotic):
    """A call or put on the average price over `fixings`, paid at expiry.

    `average` is `"arithmetic"` or `"geometric"`. With a `strike` the payoff
    is max(±(A − K), 0); without one (floating strike) it is max(±(S_T − A), 0),
    S_T the price at expiry. `past_fixings` are prices already fixed, which
    count in the average with the future `fixings`.

    >>> asian = AsianOption(expiry="2026-01-01", fixings=["2025-04-01", "2025-07-01", "2025-10-01"],
    ...                     strike=100.0, kind="call", asset="SPX", currency="USD")
    >>> [e.unit for e in asian.contract()]
    ['option.first', 'option.fixing', 'option.fixing', 'option.payoff']
    """

    fixings: Iterable[TimeLike]
    kind: Kind
    strike: float | None = None
    average: Literal["arithmetic", "geometric"] = "arithmetic"
    past_fixings: Sequence[float] = ()

    on_grids: ClassVar[bool] = False

    def __post_init__(self) -> None:
        super().__post_init__()
        _sign(self.kind)
        if self.average not in ("arithmetic", "geometric"):
            raise ValueError(f"average must be 'arithmetic' or 'geometric', got {self.average!r}")
        if self.strike is not None:
            object.__setattr__(self, "strike", _checks.positive(self.strike, "strike"))
        times = _monitoring(self.fixings, None, self._expiry_ms, "AsianOption")
        object.__setattr__(self, "fixings", tuple(to_datetime(t) for t in times))
        object.__setattr__(self, "past_fixings", tuple(_checks.positive(p, "past fixing") for p in self.past_fixings))

    def contract(self, *, after: TimeLike | None = None) -> Contract:
        """A snapper row at each fixing, the payoff at expiry."""
        return self._snapped(self.fixings, "fixing", after)

    def _expressions(self) -> dict[str, Phrase | Snapper]:
        geometric = self.average == "geometric"
        term = (lambda s: np.log(s)) if geometric else (lambda s: np.asarray(s, dtype=float))
        known = float(sum(math.log(p) if geometric else p for p in self.past_fixings))
        count = len(self.past_fixings) + len(tuple(self.fixings))
        total, sign, strike = self._name("sum"), _sign(self.kind), self.strike

        def mean(running: np.ndarray) -> np.ndarray:
            return np.exp(running / count) if geometric else np.asarray(running) / count

        if strike is not None:
            def payoff(running: np.ndarray, unit: np.ndarray) -> np.ndarray:
                value: np.ndarray = np.maximum(sign * (mean(running) - strike * np.asarray(unit)), 0.0)
                return value
            inputs = [total, self.currency]
        else:
            def payoff(running: np.ndarray, spot: np.ndarray) -> np.ndarray:  # type: ignore[misc]
                value: np.ndarray = np.maximum(sign * (np.asarray(spot) - mean(running)), 0.0)
                return value
            inputs = [total, self.asset]
        return {
            self._name("first"): Snapper(lambda s: [known + term(s)], inputs=[self.asset], outputs=[total]),
            self._name("fixing"): Snapper(lambda s, running: [running + term(s)], inputs=[self.asset, total],
                                          outputs=[total]),
            self._name("payoff"): Phrase(payoff, inputs=inputs),
        }


# ---------------------------------------------------------------- lookback

@dataclass(frozen=True, kw_only=True)
class LookbackOption(_Exotic):
    """A call or put on the highest or lowest price seen on the monitoring dates, paid at expiry.

    Without a `strike` (floating strike) a call pays S_T − min and a put
    max − S_T; with one, a call pays max(max − K, 0) and a put max(K − min, 0).
    `monitoring` is a list of dates or `"daily"` from `start`; `seen` is the
    (highest, lowest) price already observed, for a lookback under way.

    >>> LookbackOption(expiry="2026-01-01", kind="put", monitoring="daily", start="2025-12-30",
    ...                asset="SPX", currency="USD").contract().events()[0].unit
    'option.first'
    """

    kind: Kind
    monitoring: Iterable[TimeLike] | Literal["daily"]
    strike: float | None = None
    start: TimeLike | None = None
    seen: tuple[float, float] | None = None

    on_grids: ClassVar[bool] = False

    def __post_init__(self) -> None:
        super().__post_init__()
        _sign(self.kind)
        if self.strike is not None:
            object.__setattr__(self, "strike", _checks.positive(self.strike, "strike"))
        times = _monitoring(self.monitoring, self.start, self._expiry_ms, "LookbackOption")
        object.__setattr__(self, "monitoring", tuple(to_datetime(t) for t in times))
        if self.seen is not None:
            high, low = (_checks.positive(v, "seen") for v in self.seen)
            if high < low:
                raise ValueError(f"seen: the highest price {high} is below the lowest {low}")
            object.__setattr__(self, "seen", (high, low))

    def contract(self, *, after: TimeLike | None = None) -> Contract:
        """A snapper row at each monitoring date, the payoff at expiry."""
        return self._snapped(self.monitoring, "extremes", after)

    def _expressions(self) -> dict[str, Phrase | Snapper]:
        high, low = self._name("max"), self._name("min")
        seen, sign, strike, call = self.seen, _sign(self.kind), self.strike, self.kind == "call"

        def first(spot: np.ndarray) -> list[np.ndarray]:
            spot = np.asarray(spot, dtype=float)
            return [spot, spot] if seen is None else [np.maximum(spot, seen[0]), np.minimum(spot, seen[1])]

        def payoff(spot: np.ndarray, top: np.ndarray, bottom: np.ndarray, unit: np.ndarray) -> np.ndarray:
            value: np.ndarray
            if strike is None:
                value = np.asarray(spot) - bottom if call else top - np.asarray(spot)
            else:
                value = np.maximum(sign * ((top if call else bottom) - strike * np.asarray(unit)), 0.0)
            return value

        return {
            self._name("first"): Snapper(first, inputs=[self.asset], outputs=[high, low]),
            self._name("extremes"): Snapper(lambda s, top, bottom: [np.maximum(top, s), np.minimum(bottom, s)],
                                            inputs=[self.asset, high, low], outputs=[high, low]),
            self._name("payoff"): Phrase(payoff, inputs=[self.asset, high, low, self.currency]),
        }

"""`price`: one call from a timetable, a market and a model to a `Result`."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from ._engine import check_bounds, check_market, check_model, price_batch
from ._timetable import timetable as read_timetable
from .expressions import Expression, Phrase, Snapper, engine_entries, with_instrument
from .market import Market
from .models import Model
from .rates import for_market
from .result import Result

__all__ = ["price", "Result", "Phrase", "Snapper", "Expression"]


def price(timetable: Any, market: Market, model: Model,
          expressions: Mapping[str, Expression] | None = None) -> Result:
    """Values `timetable` in `market` under `model`.

    `timetable` is anything `ravlin.timetable` reads, or a rates instrument
    (a swap, cap, swaption...), whose rows are written for `market`; `expressions` maps
    names used in the unit column to `Phrase` or `Snapper` objects (or to
    the engine's own entries). Every call starts from fresh paths. Engine
    failures raise `PricingError`, timetable faults `TimetableError`.

    >>> import ravlin
    >>> market = ravlin.Market(base="USD", pricing_time="2025-01-01",
    ...                        curves={"USD": ravlin.ZeroCurve.flat(0.05)})
    >>> ravlin.price([("bond", "2026-01-01", "+", 100.0, "USD")], market, ravlin.Fixed())
    Result(price=95.12294245, model=Fixed)
    """
    market, model = check_market(market), check_model(model)
    entries = engine_entries(with_instrument(timetable, model, expressions))
    result = price_batch(read_timetable(for_market(timetable, market)), market, model, entries)
    check_bounds(timetable, market, result)
    return result

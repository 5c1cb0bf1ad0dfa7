"""Named values computed during a valuation: phrases and snappers.

A unit of the timetable that names an expression is evaluated at each event
that uses it, from the values of its inputs there (assets, snaps or other
expressions) on every path or the one fixed path.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Union

from . import _checks

__all__ = ["Phrase", "Snapper", "Expression", "engine_entries", "with_instrument"]


@dataclass(frozen=True)
class Phrase:
    """A named value computed from other names at each event: `fn(*inputs) -> array or number`.

    >>> import numpy as np
    >>> put = Phrase(lambda spot: np.maximum(100.0 - spot, 0.0), inputs=["SPX"])
    >>> put.inputs
    ('SPX',)
    """

    fn: Callable[..., Any]
    inputs: Sequence[str] = ()

    def __post_init__(self) -> None:
        if not callable(self.fn):
            raise TypeError(f"fn: expected a function, got {type(self.fn).__name__}")
        object.__setattr__(self, "inputs", _checks.names(self.inputs, "inputs"))


@dataclass(frozen=True)
class Snapper:
    """Stores values under new names at its events: `fn(*inputs) -> one value per output`.

    >>> Snapper(lambda spot: (spot,), inputs=["SPX"], outputs=["fixing"]).outputs
    ('fixing',)
    """

    fn: Callable[..., Sequence[Any]]
    inputs: Sequence[str] = ()
    outputs: Sequence[str] = ()

    def __post_init__(self) -> None:
        if not callable(self.fn):
            raise TypeError(f"fn: expected a function, got {type(self.fn).__name__}")
        object.__setattr__(self, "inputs", _checks.names(self.inputs, "inputs"))
        object.__setattr__(self, "outputs", _checks.names(self.outputs, "outputs"))


Expression = Union[Phrase, Snapper, Mapping[str, Any]]
"""A `Phrase`, a `Snapper`, or an entry in the engine's own form."""


def engine_entries(expressions: Mapping[str, Expression] | None) -> dict[str, Any]:
    """The engine's `expressions` argument: each name with its entry.

    >>> sorted(engine_entries({"fixing": Snapper(lambda s: (s,), inputs=["SPX"], outputs=["f"])})["fixing"])
    ['fn', 'inp', 'out', 'type']
    """
    if expressions is not None and not isinstance(expressions, Mapping):
        raise TypeError(f"expressions: expected a mapping of names to Phrase or Snapper objects, "
                        f"got {type(expressions).__name__}")
    entries = {}
    for name, expression in (expressions or {}).items():
        if isinstance(expression, Phrase):
            entries[name] = _phrase(expression.fn, list(expression.inputs))
        elif isinstance(expression, Snapper):
            entries[name] = _snapper(name, expression.fn, list(expression.inputs), list(expression.outputs))
        elif isinstance(expression, Mapping):
            entries[name] = dict(expression)
        else:
            raise TypeError(f"expression {name!r}: expected a Phrase or Snapper, got {type(expression).__name__}")
    return entries


def with_instrument(timetable: Any, model: Any,
                    expressions: Mapping[str, Expression] | None) -> Mapping[str, Expression] | None:
    """The caller's expressions with those an instrument's rows name (`timetable.expressions(model)`,
    which also refuses a model that cannot value it); the caller's win on a shared name.

    >>> with_instrument([("x", "2025-01-01", "+", 1.0, "USD")], None, None) is None
    True
    """
    own = getattr(timetable, "expressions", None)
    if not callable(own):
        return expressions
    return {**own(model), **(expressions or {})}


def _phrase(fn: Callable[..., Any], inputs: list[str]) -> dict[str, Any]:
    return {"type": "phrase", "inp": inputs, "fn": lambda values: [fn(*values)]}


def _snapper(name: str, fn: Callable[..., Sequence[Any]], inputs: list[str], outputs: list[str]) -> dict[str, Any]:
    def snap(values: list[Any]) -> list[Any]:
        results = list(fn(*values))
        if len(results) != len(outputs):
            raise ValueError(f"snapper {name!r} returned {len(results)} values for its {len(outputs)} "
                             f"outputs {outputs}")
        return results

    return {"type": "snapper", "inp": inputs, "out": outputs, "fn": snap}

"""Checks of numeric settings, with the messages every value object uses."""

from __future__ import annotations

import math

import numpy as np


def positive(value: float, what: str) -> float:
    """`value` as a float, refused unless positive and finite."""
    number = float(value)
    if not (math.isfinite(number) and number > 0):
        raise ValueError(f"{what} must be a positive finite number, got {value!r}")
    return number


def non_negative(value: float, what: str) -> float:
    """`value` as a float, refused unless non-negative and finite."""
    number = float(value)
    if not (math.isfinite(number) and number >= 0):
        raise ValueError(f"{what} must be a non-negative finite number, got {value!r}")
    return number


def whole(value: int, what: str, least: int) -> int:
    """`value` as an int, refused unless an integer (not a bool) of at least `least`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < least:
        kind = "a positive" if least == 1 else "a non-negative"
        raise ValueError(f"{what} must be {kind} integer, got {value!r}")
    return int(value)

"""The one home of the package's value checks, with the messages every object uses.

Each check returns the value in the type the package keeps (a float, an int,
a str) or raises: a TypeError for a value of the wrong kind, a ValueError for
one of the right kind out of range. Each message names the setting.
"""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Sequence

import numpy as np


def number(value: object, what: str) -> float:
    """`value` as a float if it is a finite real number (not a bool).

    >>> number(np.int64(3), "quantity")
    3.0
    """
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{what} must be a number, got {type(value).__name__}")
    result = float(value)
    if not math.isfinite(result):
        raise ValueError(f"{what} must be finite, got {result}")
    return result


def positive(value: object, what: str) -> float:
    """`value` as a float, refused unless a positive finite number.

    >>> positive(2, "strike")
    2.0
    """
    result = number(value, what)
    if result <= 0:
        raise ValueError(f"{what} must be positive, got {value!r}")
    return result


def non_negative(value: object, what: str) -> float:
    """`value` as a float, refused unless a non-negative finite number.

    >>> non_negative(0, "volatility")
    0.0
    """
    result = number(value, what)
    if result < 0:
        raise ValueError(f"{what} must be non-negative, got {value!r}")
    return result


def whole(value: object, what: str, least: int) -> int:
    """`value` as an int, refused unless an integer (not a bool) of at least `least`.

    >>> whole(np.int32(4), "paths", 1)
    4
    """
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < least:
        kind = "a positive" if least == 1 else "a non-negative"
        raise ValueError(f"{what} must be {kind} integer, got {value!r}")
    return int(value)


def name(value: object, what: str) -> str:
    """`value` if it is a non-empty string, else a TypeError naming `what`.

    >>> name("USD", "unit")
    'USD'
    """
    if not isinstance(value, str) or not value:
        raise TypeError(f"{what} must be a non-empty string, got {value!r}")
    return value


def names(values: Sequence[str], what: str) -> tuple[str, ...]:
    """A sequence of names as a tuple; a single string is refused, not split into letters.

    >>> names(["SPX", "USD"], "inputs")
    ('SPX', 'USD')
    """
    if isinstance(values, str) or not all(isinstance(v, str) for v in values):
        raise TypeError(f"{what}: expected a list of names, got {values!r}")
    return tuple(values)


def memory(nbytes: int, what: str) -> None:
    """Refuses, before anything is allocated, what would take more than half of the machine's memory
    (or of the process's memory limit), as the engine refuses its own arrays.

    >>> memory(1 << 20, "paths")
    >>> memory(1 << 62, "paths")
    Traceback (most recent call last):
    ...
    MemoryError: paths would take 4611686018427387904 bytes, more than half of the memory available (...)
    """
    budget = _memory_budget()
    if nbytes > budget:
        raise MemoryError(f"{what} would take {nbytes} bytes, more than half of the memory available "
                          f"({budget} bytes)")


def _memory_budget() -> int:
    """Half of physical memory, or of the cgroup's limit (Linux) when that is lower."""
    total = _physical_memory()
    try:
        with open("/sys/fs/cgroup/memory.max") as limit:
            text = limit.read().strip()
        if text.isdigit():
            total = min(total, int(text))
    except OSError:
        pass
    return total // 2


def _physical_memory() -> int:
    """The machine's memory in bytes: sysconf on Linux and macOS, the kernel's count on Windows,
    and no limit of our own where neither answers."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):  # no sysconf, or not this name
        pass
    if sys.platform == "win32":
        import ctypes

        class MemoryStatus(ctypes.Structure):
            _fields_ = [("length", ctypes.c_ulong), ("load", ctypes.c_ulong),
                        *((name, ctypes.c_ulonglong) for name in ("total", "available", "page_total", "page_available",
                                                                  "virtual_total", "virtual_available", "extended"))]

        status = MemoryStatus(length=ctypes.sizeof(MemoryStatus))
        if ctypes.windll.kernel32.GlobalMemoryStatusEx(ctypes.byref(status)):  # type: ignore[attr-defined]
            return int(status.total)
    return sys.maxsize

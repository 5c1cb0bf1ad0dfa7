"""The one home of the package's value checks, with the messages every object uses.

Each check returns the value in the type the package keeps (a float, an int,
a str) or raises: a TypeError for a value of the wrong kind, a ValueError for
one of the right kind out of range. Each message names the setting.
"""

from __future__ import annotations

import functools
import math
import os
import sys
from collections.abc import Sequence
from pathlib import Path

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


def flag(value: object, what: str) -> bool:
    """`value` if it is a bool (or NumPy's), else a TypeError: a string such as "no" is not read as true.

    >>> flag(np.True_, "antithetic")
    True
    """
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be True or False, got {value!r}")
    return bool(value)


MAX_VOLATILITY = 5.0
"""The largest volatility per year that the grid and the path models take unless asked to: above
it, a volatility is far more often a percentage typed as a decimal (25.0 for 25%) than meant, and
a lognormal's mean is no longer within reach of a sample (at volatility 8 over 3 years almost all of
it lies beyond the largest of a million paths)."""


def volatility(value: object, what: str, *, allowed: float = MAX_VOLATILITY, flag: str | None = None) -> float:
    """`value` as a float, refused unless non-negative and at most `allowed`; `flag` names the
    argument that lifts the bound, when there is one.

    >>> volatility(25.0, "volatility")
    Traceback (most recent call last):
    ...
    ValueError: volatility 25.0 is above 5.0 per year (a percentage typed as a decimal? 0.25 is 25%)
    """
    result = non_negative(value, what)
    if result > allowed:
        lift = f"; give {flag}=True to price it all the same" if flag else ""
        raise ValueError(f"{what} {value!r} is above {allowed} per year (a percentage typed as a decimal? "
                         f"0.25 is 25%){lift}")
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
    """Refuses, before anything is allocated, what would take more than half of the memory available
    to the process (the machine's, its control group's or its address-space limit, whichever is
    lowest), as the engine refuses its own arrays.

    >>> memory(1 << 20, "paths")
    >>> memory(1 << 62, "paths")
    Traceback (most recent call last):
    ...
    MemoryError: paths would take 4611686018427387904 bytes, more than half of the memory available (...)
    """
    budget = memory_budget()
    if nbytes > budget:
        raise MemoryError(f"{what} would take {nbytes} bytes, more than half of the memory available "
                          f"({budget} bytes)")


@functools.cache
def memory_budget() -> int:
    """Half of the memory available to the process, the budget the engine keeps for its value arrays."""
    machine = min(_physical_memory(), _address_space_limit())
    try:
        with open("/proc/self/cgroup") as groups:
            limit = cgroup_memory_limit(Path("/sys/fs/cgroup"), groups.read())
    except OSError:
        limit = math.inf
    return int(min(machine, limit)) // 2


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


def _address_space_limit() -> float:
    """The process's address-space limit (ulimit -v); none on Windows, which has no such limit."""
    try:
        import resource
    except ImportError:
        return math.inf
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    return math.inf if soft == resource.RLIM_INFINITY else soft


def cgroup_memory_limit(root: Path, self_cgroup: str) -> float:
    """The lowest memory limit of the control groups that `self_cgroup` (the text of
    /proc/self/cgroup) names and of every group above them, in the hierarchies under `root`
    (v2 at `root` or `root`/unified, v1 at `root`/memory); inf where none is set.

    >>> cgroup_memory_limit(Path("/nonexistent"), "0::/")
    inf
    """
    lowest = math.inf
    for line in self_cgroup.splitlines():
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        hierarchy, controllers, group = parts
        if hierarchy == "0" and not controllers:
            lowest = min(lowest, _lowest_limit(root, group, "memory.max"),
                         _lowest_limit(root / "unified", group, "memory.max"))
        elif "memory" in controllers.split(","):
            lowest = min(lowest, _lowest_limit(root / "memory", group, "memory.limit_in_bytes"))
    return lowest


def _lowest_limit(mount: Path, group: str, name: str) -> float:
    """The lowest limit in `name` of the group and of every group above it ("max" sets none)."""
    lowest = math.inf
    folder = mount / group.lstrip("/")
    for level in (folder, *folder.parents):
        try:
            text = (level / name).read_text().strip()
        except OSError:
            text = ""
        if text.isdigit():
            lowest = min(lowest, int(text))
        if level == mount:
            break
    return lowest

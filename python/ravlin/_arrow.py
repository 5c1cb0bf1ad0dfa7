"""The one place that imports pyarrow, which is an optional extra."""

from __future__ import annotations

import importlib
from types import ModuleType


def pyarrow() -> ModuleType:
    """The pyarrow module, or an ImportError that says how to install it."""
    try:
        return importlib.import_module("pyarrow")
    except ImportError as missing:
        raise ImportError("ravlin needs pyarrow to build and read timetables: "
                          "pip install ravlin[arrow]") from missing

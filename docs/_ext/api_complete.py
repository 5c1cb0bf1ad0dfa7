"""Fails the build when a public name of `ravlin` is missing from the API reference, so the
reference grows with the package."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

from sphinx.application import Sphinx
from sphinx.errors import ExtensionError

import ravlin


def check(app: Sphinx) -> None:
    text = (Path(app.srcdir) / "api.rst").read_text()
    listed = set(re.findall(r"^\s+(\w+)\s*$", text, re.M))  # an entry of an autosummary table
    listed |= {m for m in re.findall(r"^\.\. currentmodule:: ravlin\.(\w+)\s*$", text, re.M)}  # a module's own section
    missing = sorted(set(ravlin.__all__) - listed)
    if missing:
        raise ExtensionError(f"api.rst lists no entry for ravlin.{', ravlin.'.join(missing)}")


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", check)
    return {"parallel_read_safe": True, "parallel_write_safe": True}

"""The package's modules share code through internal modules, never through each other's private names."""

import ast
from pathlib import Path

import pytest

import ravlin

PACKAGE = Path(ravlin.__file__).parent
MODULES = {path.stem for path in PACKAGE.glob("*.py")}


def is_private(name):
    return name.startswith("_") and not (name.startswith("__") and name.endswith("__"))


def private_names_taken(source):
    """The private names a module imports from another module of the package, or reads off one."""
    tree = ast.parse(source)
    modules, taken = set(), []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and (node.level or (node.module or "").split(".")[0] == "ravlin"):
            origin = (node.module or "").removeprefix("ravlin").strip(".")
            for alias in node.names:
                if not origin and alias.name in MODULES:  # a module of the package, internal ones included
                    modules.add(alias.asname or alias.name)
                elif is_private(alias.name):
                    taken.append(f"line {node.lineno}: from {origin} import {alias.name}")
        elif isinstance(node, ast.Import):
            modules |= {(a.asname or a.name).split(".")[0] for a in node.names if a.name.split(".")[0] == "ravlin"}
    taken += [f"line {node.lineno}: {node.value.id}.{node.attr}" for node in ast.walk(tree)
              if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in modules
              and is_private(node.attr)]
    return taken


@pytest.mark.parametrize("source, taken", [
    ("from .market import _year_ms", ["line 1: from market import _year_ms"]),
    ("from ravlin.models import Fixed, _grid_rows", ["line 1: from models import _grid_rows"]),
    ("from . import _checks\n_checks._finite(1.0)", ["line 2: _checks._finite"]),
    ("from . import _checks, market\nmarket.Market.__name__, _checks.finite(1.0)", []),
])
def test_the_check_finds_private_names_taken(source, taken):
    assert private_names_taken(source) == taken


@pytest.mark.parametrize("path", sorted(PACKAGE.glob("*.py")), ids=lambda p: p.name)
def test_no_module_takes_another_modules_private_names(path):
    assert private_names_taken(path.read_text()) == []

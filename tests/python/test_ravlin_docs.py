"""The package's documentation runs: docstring examples, example scripts, type stubs."""

import doctest
import importlib
import importlib.metadata
import inspect
import io
import os
import pkgutil
import re
import subprocess
import sys
from pathlib import Path

import pytest

import ravlin

ROOT = Path(__file__).resolve().parents[2]
MODULES = [importlib.import_module(f"ravlin.{m.name}") for m in pkgutil.iter_modules(ravlin.__path__)]


@pytest.mark.parametrize("module", [ravlin, *MODULES], ids=lambda m: m.__name__)
def test_docstring_examples_run(module):
    failed, _ = doctest.testmod(module, optionflags=doctest.ELLIPSIS)
    assert failed == 0


@pytest.mark.parametrize("name", sorted(ravlin.__all__))
def test_every_public_name_has_a_docstring_with_an_example(name):
    obj = getattr(ravlin, name)
    assert ">>>" in (inspect.getdoc(obj) or ""), f"ravlin.{name} has no example"


def documented_texts():
    """(name, docstring) of every public name, of the methods and properties of its classes and of
    the public names of its modules: what the API reference shows."""
    for name in sorted(ravlin.__all__):
        obj = getattr(ravlin, name)
        yield name, inspect.getdoc(obj) or ""
        members = vars(obj).items() if inspect.isclass(obj) else []
        yield from ((f"{name}.{m}", inspect.getdoc(v) or "") for m, v in members if not m.startswith("_")
                    and (inspect.isfunction(v) or isinstance(v, (property, classmethod, staticmethod))))
        if inspect.ismodule(obj):
            yield from ((f"{name}.{m}", inspect.getdoc(getattr(obj, m)) or "") for m in obj.__all__)


def test_docstrings_are_clean_restructured_text():
    """The documentation build fails on any warning: catch a docstring's here, where it is named."""
    publish_doctree = pytest.importorskip("docutils.core").publish_doctree

    def warnings(text):
        stream = io.StringIO()
        publish_doctree(".. default-role:: literal\n\n" + text,
                        settings_overrides={"warning_stream": stream, "report_level": 2, "halt_level": 5})
        return stream.getvalue()

    assert {name: found for name, text in documented_texts() if (found := warnings(text))} == {}


def test_every_public_name_is_in_the_api_reference():
    text = (ROOT / "docs" / "api.rst").read_text()
    listed = set(re.findall(r"^\s+(\w+)\s*$", text, re.M))  # an entry of an autosummary table
    listed |= set(re.findall(r"^\.\. currentmodule:: ravlin\.(\w+)\s*$", text, re.M))  # a module's section
    assert sorted(set(ravlin.__all__) - listed) == []


SCRIPTS = sorted((ROOT / "examples").glob("*.py"))


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda p: p.name)
def test_example_scripts_run(script):
    if "ravlin.FixedRateBond" in script.read_text() and not hasattr(ravlin, "FixedRateBond"):
        pytest.skip("needs the instruments of ravlin")
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "Result(price=" in run.stdout


def test_version_and_stubs_are_installed():
    import _ravlin

    assert ravlin.__version__ == importlib.metadata.version("ravlin")
    stub = Path(_ravlin.__file__).with_name("_ravlin.pyi").read_text()
    assert all(f"def {name}(" in stub for name in ("mc_price", "fixed_price", "fd_hullwhite_price",
                                                  "fd_blackscholes_price"))
    assert (Path(ravlin.__file__).parent / "py.typed").exists()


# The README and every page of the guide with Python in it, each run as a script of its own.
DOCUMENTS = [ROOT / "README.md", *sorted(p for p in (ROOT / "docs").rglob("*.md") if "```python" in p.read_text())]


def document_script(document):
    """A document's python snippets in order, as one script. A statement followed by a comment
    line "# Result(...)" must show that repr; one with a trailing "# <number>" that number."""
    import ast

    lines = ["def _shows(value, shown):", "    assert repr(value) == shown, (repr(value), shown)", "",
             "def _near(value, number, digits):",
             "    assert abs(value - number) <= 10.0**-digits, (value, number)", ""]
    for block in re.findall(r"```python\n(.*?)```", document.read_text(), re.S):
        source = block.splitlines()
        for statement in ast.parse(block).body:
            text = ast.get_source_segment(block, statement)
            after = source[statement.end_lineno] if statement.end_lineno < len(source) else ""
            trailing = re.search(r"#\s*(-?\d+\.(\d+))\s*$", source[statement.end_lineno - 1])
            if isinstance(statement, ast.Expr) and after.startswith("# Result("):
                text = f"_shows({text}, {after[2:]!r})"
            elif isinstance(statement, ast.Expr) and trailing:
                text = f"_near({text}, {trailing.group(1)}, {len(trailing.group(2))})"
            lines.append(text)
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda p: str(p.relative_to(ROOT)))
def test_every_readme_snippet_runs_as_written_and_shows_what_it_says(document, tmp_path):
    (tmp_path / "snippets.py").write_text(document_script(document))
    env = {**os.environ, "PYTHONPATH": str(Path(ravlin.__file__).parents[1])}  # this ravlin, wherever it is
    run = subprocess.run([sys.executable, "snippets.py"], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0, run.stderr

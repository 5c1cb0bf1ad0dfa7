"""Runs every script of examples/ while the documentation builds, and shows each with its output.

The scripts start side by side when the build starts, each as `python script.py FOLDER` in a
folder of its own, and the directive `example-scripts` waits for them: a script that fails or
runs past `TIMEOUT` seconds fails the build. Pictures a script saves into its folder are shown
under its output, so the pictures of the documentation are those of the code as it is built.
"""

from __future__ import annotations

import ast
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.errors import ExtensionError
from sphinx.util.docutils import SphinxDirective

TIMEOUT = 300
PICTURES = "_generated"  # under the source folder, where images can be found; not a source
RUNS: dict[str, Run] = {}  # by script name, for this build


class Run:
    """One script running in its own folder, its outcome read once."""

    def __init__(self, script: Path, folder: Path) -> None:
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        self.script, self.folder = script, folder
        env = {**os.environ, "MPLBACKEND": "Agg"}
        self.process = subprocess.Popen([sys.executable, str(script), str(folder)], cwd=folder, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.output: str | None = None

    def wait(self) -> str:
        if self.output is None:
            try:
                out, err = self.process.communicate(timeout=TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.communicate()
                raise ExtensionError(f"examples/{self.script.name} ran past {TIMEOUT} s") from None
            if self.process.returncode != 0:
                code = self.process.returncode
                raise ExtensionError(f"examples/{self.script.name} failed (exit code {code}):\n{err}")
            self.output = out
        return self.output


def start(app: Sphinx) -> None:
    scripts = sorted(Path(app.config.example_scripts_folder).glob("*.py"))
    pictures = Path(app.srcdir) / PICTURES
    RUNS.clear()
    RUNS.update({s.name: Run(s, pictures / s.stem) for s in scripts})


def summary(script: Path) -> str:
    """The first paragraph of the script's docstring, on one line."""
    doc = ast.get_docstring(ast.parse(script.read_text())) or ""
    return " ".join(doc.split("\n\n")[0].split())


class ExampleScripts(SphinxDirective):
    """A section per script: its title, its source, what it printed and the pictures it saved."""

    def run(self) -> list[nodes.Node]:
        if not RUNS:
            raise self.error(f"no scripts in {self.config.example_scripts_folder}")
        return [self.section(run) for run in RUNS.values()]

    def section(self, run: Run) -> nodes.section:
        name = run.script.name
        section = nodes.section(ids=[nodes.make_id(f"example-{run.script.stem}")])
        section += nodes.title(text=name)
        section += nodes.paragraph(text=summary(run.script))
        section += nodes.literal_block(text=run.script.read_text(), language="python")
        section += nodes.paragraph(text="It prints:")
        section += nodes.literal_block(text=run.wait().rstrip() or "(nothing)", language="text")
        for picture in sorted(run.folder.glob("*.png")):
            section += nodes.image(uri=f"/{PICTURES}/{run.folder.name}/{picture.name}", alt=picture.stem)
        self.state.document.note_implicit_target(section, section)
        return section


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_config_value("example_scripts_folder", "", "env")
    app.connect("builder-inited", start)
    app.add_directive("example-scripts", ExampleScripts)
    return {"parallel_read_safe": False, "parallel_write_safe": True}

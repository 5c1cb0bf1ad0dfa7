"""Runs the Python tests with one wheel on every CPython of the machine from
3.11 up, one interpreter for each minor version (pyenv's and those on
PATH), each in a venv of its own that later runs reuse.

    python .ci/suite_everywhere.py dist/ravlin-*.whl [--reuse .venv]

The venv given with --reuse serves its own interpreter's version. A
free-threaded interpreter is left out: it cannot load a stable-ABI module.
"""

from __future__ import annotations

import argparse
import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

OLDEST = (3, 11)
PROBE = ("import sys, sysconfig; print(sys.implementation.name, *sys.version_info[:2], "
         "sysconfig.get_config_var('Py_GIL_DISABLED') or 0)")


def candidates() -> list[str]:
    found = []
    pyenv_root = os.environ.get("PYENV_ROOT", str(Path.home() / ".pyenv"))
    found += sorted(glob.glob(f"{pyenv_root}/versions/*/bin/python3"))
    for minor in range(OLDEST[1], 30):
        path = shutil.which(f"python3.{minor}")
        if path:
            found.append(path)
    return found


def describe(python: str) -> tuple[int, int] | None:
    """The (major, minor) of a CPython with the GIL and venv support, else None."""
    try:
        answer = subprocess.run([python, "-c", PROBE], capture_output=True, text=True,
                                timeout=30, check=True).stdout.split()
        subprocess.run([python, "-c", "import ensurepip, venv"], capture_output=True,
                       timeout=30, check=True)
    except (OSError, subprocess.SubprocessError):
        return None
    name, major, minor, gil_disabled = answer
    version = (int(major), int(minor))
    if name != "cpython" or version < OLDEST or gil_disabled != "0":
        return None
    return version


def interpreters() -> dict[tuple[int, int], str]:
    chosen: dict[tuple[int, int], str] = {}
    for python in candidates():
        version = describe(python)
        if version is not None and version not in chosen:
            chosen[version] = str(Path(python).resolve())
    return dict(sorted(chosen.items()))


def venv_for(version: tuple[int, int], python: str, reuse: Path | None) -> Path:
    if reuse is not None and (reuse / "bin" / "python").exists():
        if describe(str(reuse / "bin" / "python")) == version:
            return reuse
    venv = Path(f".venv-{version[0]}.{version[1]}")
    if not (venv / "bin" / "python").exists():
        subprocess.run([python, "-m", "venv", str(venv)], check=True)
        subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--upgrade",
                        "pip"], check=True)
    return venv


def run_suite(venv: Path, wheel: str) -> bool:
    python = str(venv / "bin" / "python")
    pip = [python, "-m", "pip", "install", "-q"]
    # The wheel itself afresh (its version may not have changed), then what
    # the tests need, already there on a reused venv.
    subprocess.run([*pip, "--force-reinstall", "--no-deps", wheel], check=True)
    subprocess.run([*pip, f"{wheel}[test]"], check=True)
    return subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "tests/python"]).returncode == 0


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("wheel")
    parser.add_argument("--reuse", type=Path)
    arguments = parser.parse_args()
    found = interpreters()
    names = ", ".join(f"{major}.{minor} ({path})" for (major, minor), path in found.items())
    print(f"CPython found from {OLDEST[0]}.{OLDEST[1]} up: {names}", flush=True)
    failed = []
    for version, python in found.items():
        label = f"{version[0]}.{version[1]}"
        print(f"== suite on CPython {label}", flush=True)
        if not run_suite(venv_for(version, python, arguments.reuse), arguments.wheel):
            failed.append(label)
    passed = [f"{major}.{minor}" for major, minor in found if f"{major}.{minor}" not in failed]
    print(f"suite passed on CPython {', '.join(passed) or 'none'}"
          + (f"; FAILED on {', '.join(failed)}" if failed else ""))
    return 1 if failed or not found else 0


if __name__ == "__main__":
    sys.exit(main())

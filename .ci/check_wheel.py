"""Checks the built wheel against what its name promises: one module for
every CPython from 3.11 up (the stable ABI) on every Linux from glibc 2.17
(manylinux2014).

    python3.11 .ci/check_wheel.py dist/ravlin-*.whl

It fails on a symbol version newer than manylinux2014 allows (GLIBC_2.17,
GCC_4.8.0, ...), a library outside the manylinux2014 list, a CPython symbol
outside the stable ABI of the interpreter that runs the check (which must be
the wheel's oldest CPython), and any exported symbol but PyInit__ravlin.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# Python and ABI tags, and the platform tags (a set, which the wheel's name
# writes sorted: "manylinux2014_x86_64.manylinux_2_17_x86_64").
WHEEL_TAGS = ("cp311", "abi3", {"manylinux_2_17_x86_64", "manylinux2014_x86_64"})
OLDEST_PYTHON = (3, 11)
EXPORTS = {"PyInit__ravlin"}

# The libraries manylinux2014 lets a wheel assume on the host (PEP 599), and
# the dynamic loader itself (thread-local storage is resolved through it).
MANYLINUX2014_LIBRARIES = {
    "libgcc_s.so.1", "libstdc++.so.6", "libm.so.6", "libdl.so.2", "librt.so.1",
    "libc.so.6", "libnsl.so.1", "libutil.so.1", "libpthread.so.0", "libresolv.so.2",
    "libX11.so.6", "libXext.so.6", "libXrender.so.1", "libICE.so.6", "libSM.so.6",
    "libGL.so.1", "libgobject-2.0.so.0", "libgthread-2.0.so.0", "libglib-2.0.so.0",
    "ld-linux-x86-64.so.2",
}
# The newest version of each symbol-version namespace on CentOS 7.
NEWEST_VERSIONS = {
    "GLIBC": (2, 17), "GCC": (4, 8, 0), "GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7),
}
VERSION = re.compile(r"^(?P<space>[A-Z]+)_(?P<number>\d+(?:\.\d+)*)$")


def dynamic_symbols(module: Path) -> list[tuple[str, str, bool]]:
    """(name, version or "", defined) of each symbol of the dynamic table."""
    table = subprocess.run(["readelf", "--dyn-syms", "--wide", str(module)], check=True,
                           capture_output=True, text=True).stdout
    symbols = []
    for line in table.splitlines():
        fields = line.split(None, 7)
        if len(fields) < 8 or not fields[0].rstrip(":").isdigit():
            continue
        _, _, _, kind, bind, _, section, name = fields
        if kind in ("SECTION", "FILE") or bind == "LOCAL" or not name:
            continue
        name = name.split(" (", 1)[0]
        name, _, version = name.partition("@")
        symbols.append((name, version.lstrip("@"), section != "UND"))
    return symbols


def needed_libraries(module: Path) -> list[str]:
    dynamic = subprocess.run(["readelf", "--dynamic", str(module)], check=True,
                             capture_output=True, text=True).stdout
    return [line.split("[", 1)[1].split("]", 1)[0] for line in dynamic.splitlines()
            if "(NEEDED)" in line]


def too_new(version: str) -> bool:
    match = VERSION.match(version)
    if match is None:
        return version not in ("", "CXXABI_TM_1")
    space = match["space"]
    if space not in NEWEST_VERSIONS:
        return True
    return tuple(int(part) for part in match["number"].split(".")) > NEWEST_VERSIONS[space]


def stable_abi() -> set[str]:
    """The symbols of the running CPython's stable ABI, as its own test of
    that ABI lists them; the test leaves out the two module constructors,
    which a debug build renames, though they belong to the ABI."""
    from test import test_stable_abi_ctypes

    return {*test_stable_abi_ctypes.SYMBOL_NAMES, "PyModule_Create2", "PyModule_FromDefAndSpec2"}


def problems(module: Path, stable: set[str]) -> list[str]:
    found = []
    symbols = dynamic_symbols(module)
    for name, version, defined in symbols:
        if not defined and version and too_new(version):
            found.append(f"needs {name}@{version}, newer than manylinux2014 allows")
        if not defined and not version and name.startswith(("Py", "_Py")) and name not in stable:
            found.append(f"uses {name}, outside the stable ABI")
        if defined and name not in EXPORTS:
            found.append(f"exports {name}")
    for library in needed_libraries(module):
        if library not in MANYLINUX2014_LIBRARIES:
            found.append(f"needs {library}, outside the manylinux2014 libraries")
    exported = {name for name, _, defined in symbols if defined}
    found.extend(f"does not export {name}" for name in sorted(EXPORTS - exported))
    return found


def tags(wheel: Path) -> tuple[str, str, set[str]]:
    python, abi, platforms = wheel.name.removesuffix(".whl").split("-")[-3:]
    return python, abi, set(platforms.split("."))


def check_wheel(wheel: Path) -> list[str]:
    if tags(wheel) != WHEEL_TAGS:
        python, abi, platforms = WHEEL_TAGS
        return [f"is not tagged {python}-{abi}-{'.'.join(sorted(platforms))}"]
    with tempfile.TemporaryDirectory() as folder:
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(folder)
        modules = list(Path(folder).glob("_ravlin*.so"))
        if [module.name for module in modules] != ["_ravlin.abi3.so"]:
            return [f"holds {[module.name for module in modules]}, not one _ravlin.abi3.so"]
        print(f"{wheel.name}: needs {', '.join(needed_libraries(modules[0]))}")
        return problems(modules[0], stable_abi())


def main(wheels: list[str]) -> int:
    if sys.version_info[:2] != OLDEST_PYTHON:
        print(f"run the check with CPython {'.'.join(map(str, OLDEST_PYTHON))}, "
              "whose stable ABI the wheel claims")
        return 2
    if len(wheels) != 1:
        print(f"expected one wheel, got {wheels}")
        return 1
    found = check_wheel(Path(wheels[0]))
    for problem in found:
        print(f"{Path(wheels[0]).name}: {problem}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

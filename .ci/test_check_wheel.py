"""The wheel check catches what would keep the wheel from loading where its
name says it loads: run on small modules built here with the machine's gcc."""

import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))
import check_wheel

CLEAN = """
extern void* PyList_New(long size);
void* PyInit__ravlin(void) { return PyList_New(0); }
"""

# exp has a GLIBC_2.29 version on any glibc from 2.29 (this machine's), the
# vectorcall of methods joined the stable ABI only in 3.12, and a helper is
# exported beside the init function.
FAULTY = """
#include <math.h>
extern void* PyObject_VectorcallMethod(void* name, void* const* args, unsigned long n, void* kw);
double ravlin_helper(double x) { return exp(x); }
void* PyInit__ravlin(void) { return PyObject_VectorcallMethod(0, 0, 0, 0); }
"""


def build(folder: Path, name: str, source: str, *options: str) -> Path:
    (folder / f"{name}.c").write_text(source)
    target = folder / f"{name}.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-O0", "-fno-builtin", str(folder / f"{name}.c"),
                    "-o", str(target), *options], check=True)
    return target


def test_clean_module_passes(tmp_path: Path) -> None:
    module = build(tmp_path, "clean", CLEAN)
    assert check_wheel.problems(module, check_wheel.stable_abi()) == []


def test_newer_symbol_library_abi_and_exports_fail(tmp_path: Path) -> None:
    extra = build(tmp_path, "libextra", "int ravlin_extra(void) { return 1; }",
                  "-Wl,-soname,libextra.so.1")
    module = build(tmp_path, "faulty", FAULTY, "-lm", "-Wl,--no-as-needed", str(extra))
    found = check_wheel.problems(module, check_wheel.stable_abi())
    assert sorted(found) == sorted([
        "needs exp@GLIBC_2.29, newer than manylinux2014 allows",
        "uses PyObject_VectorcallMethod, outside the stable ABI",
        "exports ravlin_helper",
        "needs libextra.so.1, outside the manylinux2014 libraries",
    ])


@pytest.mark.parametrize(("version", "newer"), [
    ("GLIBC_2.17", False), ("GLIBC_2.2.5", False), ("GLIBC_2.18", True), ("GLIBC_2.34", True),
    ("GCC_4.8.0", False), ("GCC_7.0.0", True), ("GLIBCXX_3.4.19", False),
    ("GLIBCXX_3.4.20", True), ("CXXABI_TM_1", False), ("OTHER_1.0", True),
])
def test_version_floor(version: str, newer: bool) -> None:
    assert check_wheel.too_new(version) is newer


@pytest.mark.parametrize("tag", ["cp311-cp311-manylinux_2_36_x86_64",
                                 "cp311-abi3-manylinux_2_36_x86_64",
                                 "cp312-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64"])
def test_wheel_name_must_carry_the_tags(tmp_path: Path, tag: str) -> None:
    found = check_wheel.check_wheel(tmp_path / f"ravlin-0.2.0-{tag}.whl")
    assert found == ["is not tagged cp311-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64"]

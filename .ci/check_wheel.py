"""Checks a built wheel: its module links no Arrow library and needs nothing
outside the manylinux policy that auditwheel gave it.

    python .ci/check_wheel.py dist/ravlin-*.whl
"""

import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# Libraries every manylinux policy guarantees on the host (PEP 599/600).
MANYLINUX_LIBRARIES = {
    "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
    "libgcc_s.so.1", "libstdc++.so.6", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1",
    "libutil.so.1", "libcrypt.so.1", "libnsl.so.1",
}


def needed_libraries(module: Path) -> list[str]:
    dynamic = subprocess.run(["readelf", "-d", str(module)], check=True, capture_output=True,
                             text=True).stdout
    return [line.split("[", 1)[1].split("]", 1)[0] for line in dynamic.splitlines()
            if "(NEEDED)" in line]


def main(wheel: str) -> int:
    if "manylinux" not in Path(wheel).name:
        print(f"{wheel}: not a manylinux wheel")
        return 1
    with tempfile.TemporaryDirectory() as folder:
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(folder)
        modules = list(Path(folder).glob("_ravlin*.so"))
        if len(modules) != 1:
            print(f"{wheel}: expected one _ravlin module, found {len(modules)}")
            return 1
        needed = needed_libraries(modules[0])
    print(f"{Path(wheel).name}: needs {', '.join(needed)}")
    arrow = [name for name in needed if "arrow" in name]
    outside = [name for name in needed if name not in MANYLINUX_LIBRARIES]
    if arrow or outside:
        print(f"outside the manylinux policy: {', '.join(arrow + outside)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

"""Timetable building: 1,000,000 rows over 1,000 distinct units.

The pricing call builds the timetable before it reads the dataset, so a call
with an empty dataset measures the import and the build alone. The reference
is pyarrow dictionary-encoding the same three string columns.
"""

import numpy as np
import pyarrow as pa

import _ravlin
from common import T0, best_of, report, timetable

ROWS, UNITS = 1_000_000, 1_000


def main():
    rng = np.random.default_rng(3)
    unit_keys = rng.integers(0, UNITS, ROWS)
    track_keys = rng.integers(0, 4, ROWS)
    op_keys = rng.integers(0, 3, ROWS)
    units = [f"asset{k}" for k in range(UNITS)]
    tracks, ops = ["a", "b", "c", "d"], ["+", ">", "<"]
    times = T0 + np.arange(ROWS, dtype=np.int64) * 60_000
    batch = timetable(track_keys, tracks, times, op_keys, ops, np.ones(ROWS), unit_keys, units)

    def build():
        try:
            _ravlin.fixed_price(batch, None, {}, {})
        except RuntimeError as error:
            assert "missing key 'BASE'" in str(error), error

    plain = [pa.array(np.array(values)[keys]) for values, keys in
             ((tracks, track_keys), (ops, op_keys), (units, unit_keys))]

    def encode():
        return [column.dictionary_encode() for column in plain]

    build_s, _ = best_of(5, build)
    encode_s, _ = best_of(5, encode)
    report("timetable build, 1,000,000 rows, 1,000 units", [
        ("build per row", f"{build_s / ROWS * 1e9:.2f} ns"),
        ("pyarrow dictionary_encode per row", f"{encode_s / ROWS * 1e9:.2f} ns"),
        ("ratio build / encode", f"{build_s / encode_s:.3f}"),
    ])


if __name__ == "__main__":
    main()

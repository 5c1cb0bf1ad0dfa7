"""The ravlin layer's cost: 1,000,000 coupon events priced through `ravlin.price`
from what a user has (a pyarrow Table from dictionary_encode() with
microsecond times, and a polars frame of plain strings), against
`_ravlin.fixed_price` on the hand-built batch and dataset, in the same run.
"""

import numpy as np
import polars as pl
import pyarrow as pa

import _ravlin
import ravlin
from common import T0, best_of, report, timetable

ROWS = 1_000_000


def main():
    times = T0 + np.arange(ROWS, dtype=np.int64) * 60_000
    batch = timetable(np.zeros(ROWS, int), ["bond"], times, np.zeros(ROWS, int), ["+"], np.full(ROWS, 0.01),
                      np.zeros(ROWS, int), ["USD"])
    curve = np.array([[1.0, 0.03], [10.0, 0.03]])
    dataset = {"BASE": "USD", "PRICING_TS": T0, "ASSETS": {"USD": ("ZERO_RATES", curve)}, "FIXED": {}}
    market = ravlin.Market(base="USD", pricing_time=T0,
                           curves={"USD": ravlin.ZeroCurve(times=curve[:, 0], rates=curve[:, 1])})
    table = pa.table({"track": pa.array(["bond"] * ROWS).dictionary_encode(),
                      "time": pa.array(times * 1000, pa.timestamp("us")),
                      "op": pa.array(["+"] * ROWS).dictionary_encode(), "quantity": np.full(ROWS, 0.01),
                      "unit": pa.array(["USD"] * ROWS).dictionary_encode()})
    frame = pl.from_arrow(table.cast(pa.schema([(f.name, pa.string() if pa.types.is_dictionary(f.type)
                                                 else f.type) for f in table.schema])))

    engine_s, expected = best_of(5, lambda: _ravlin.fixed_price(batch, None, dataset, {}))
    rows = []
    for name, data in (("pyarrow Table", table), ("polars frame", frame)):
        seconds, result = best_of(5, lambda: ravlin.price(data, market, ravlin.Fixed()))
        assert result.price == expected
        rows.append((f"ravlin.price, {name}", f"{seconds * 1e3:.1f} ms, ratio to the engine {seconds / engine_s:.2f}"))
    report("1,000,000 coupon events on the fixed model",
           [("_ravlin.fixed_price, hand-built batch", f"{engine_s * 1e3:.1f} ms")] + rows)


if __name__ == "__main__":
    main()

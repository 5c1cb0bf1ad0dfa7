"""The front door's own cost on small contracts, where it weighs most.

Repeated `ravlin.price` of a 15-flow bond (an instrument, whose batch is built
once) against `_ravlin.fixed_price` on the same batch and dataset: the engine
alone. Then 40 flows written with `Contract` (from columns, from rows, one
`pay` at a time) and a 20-year semiannual `FixedRateBond` (41 flows, its
coupon schedule included), each built into its batch, against pyarrow
assembling the same batch from ready arrays: the floor of any builder. All
measured in one run; times are the best of several loops of calls.
"""

import datetime

import numpy as np
import pyarrow as pa

import _ravlin
import ravlin
from common import per_call, report

FLOWS = 40


def repeated_pricing():
    market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={
        "USD": ravlin.ZeroCurve(times=[1.0, 2.0, 5.0, 10.0], rates=[0.040, 0.041, 0.043, 0.045])})
    bond = ravlin.FixedRateBond(start="2025-01-02", maturity="2032-07-02", coupon=0.05, currency="USD")
    batch, model = bond.to_batch(), ravlin.Fixed()
    assert batch.num_rows == 16  # 15 coupons and the principal
    dataset = {**market.dataset(), **model.sections(market, batch)}
    expected = _ravlin.fixed_price(batch, None, dataset, {})
    assert ravlin.price(bond, market, model).price == expected
    engine_s = per_call(lambda: _ravlin.fixed_price(batch, None, dataset, {}))
    price_s = per_call(lambda: ravlin.price(bond, market, model))
    return [("_ravlin.fixed_price, 15-flow bond", f"{engine_s * 1e6:.1f} us"),
            ("ravlin.price, the same bond", f"{price_s * 1e6:.1f} us"),
            ("ratio ravlin.price / engine", f"{price_s / engine_s:.2f}")]


def building():
    days = [datetime.date(2025 + i // 2, 1 + 6 * (i % 2), 2) for i in range(FLOWS)]
    millis = np.array([ravlin.to_millis(day) for day in days], dtype=np.int64)
    amounts = np.full(FLOWS, 2.5)
    rows = [("leg", day, "+", 2.5, "USD") for day in days]

    def floor():
        names = pa.DictionaryArray.from_arrays(pa.array(np.zeros(FLOWS, np.int64)), pa.array(["leg"]))
        units = pa.DictionaryArray.from_arrays(pa.array(np.zeros(FLOWS, np.int64)), pa.array(["USD"]))
        ops = pa.DictionaryArray.from_arrays(pa.array(np.zeros(FLOWS, np.int64)), pa.array(["+"]))
        return pa.RecordBatch.from_arrays(
            [names, pa.array(millis, pa.timestamp("ms", tz="UTC")), ops, pa.array(amounts), units],
            names=["track", "time", "op", "quantity", "unit"])

    def one_at_a_time():
        contract = ravlin.Contract(track="leg")
        for day in days:
            contract = contract.pay(day, 2.5, "USD")
        return contract.to_batch()

    builders = {
        "Contract.from_columns": lambda: ravlin.Contract.from_columns(
            "leg", times=millis, quantities=amounts, units="USD").to_batch(),
        "Contract.from_events": lambda: ravlin.Contract.from_events(rows).to_batch(),
        "Contract.pay, one row at a time": one_at_a_time,
        "FixedRateBond, 20y semiannual, with its schedule": lambda: ravlin.FixedRateBond(
            start="2025-01-02", maturity="2045-01-02", coupon=0.05, currency="USD").to_batch(),
    }
    assert floor().equals(builders["Contract.from_events"]())
    floor_s = per_call(floor, calls=500)
    result = [(f"pyarrow from ready arrays, {FLOWS} flows (floor)", f"{floor_s * 1e6:.1f} us")]
    for name, build in builders.items():
        seconds = per_call(build, calls=500)
        result.append((f"{name}, {build().num_rows} flows", f"{seconds * 1e6:.1f} us, ratio to the floor "
                                                               f"{seconds / floor_s:.2f}"))
    return result


def main():
    report("ravlin.price against the engine alone", repeated_pricing())
    report("Building 40 flows into a batch", building())


if __name__ == "__main__":
    main()

"""Prices a handful of sample contracts under every model and prints a table."""

import math

import numpy as np
import pyarrow as pa

import _ravlin
import ravlin

YEAR_MS = 31_536_000_000
T0 = 1_735_689_600_000  # 2025-01-01T00:00:00Z


def at(years):
    return T0 + round(years * YEAR_MS)


def column(values):
    dictionary = list(dict.fromkeys(v for v in values if v is not None))
    keys = [None if v is None else dictionary.index(v) for v in values]
    return pa.DictionaryArray.from_arrays(pa.array(keys, pa.int64()), pa.array(dictionary, pa.string()))


def timetable(rows):
    """rows: (track, years from T0, op, quantity, unit); the first track is priced."""
    track, years, op, quantity, unit = zip(*rows)
    return pa.RecordBatch.from_arrays(
        [column(track), pa.array([at(y) for y in years], pa.timestamp("ms")), column(op),
         pa.array(quantity, pa.float64()), column(unit)],
        names=["track", "time", "op", "quantity", "unit"])


class Stats:
    def __init__(self):
        self.stats = {}

    def set_stat(self, name, value):
        self.stats[name] = value


class GBMPaths(Stats):
    """Seeded antithetic GBM paths of SPX from `ravlin.paths`, driven by the engine directly."""

    def __init__(self, paths, seed):
        super().__init__()
        market = ravlin.Market(base="USD", pricing_time=T0,
                               curves={"USD": ravlin.ZeroCurve(times=[15.0, 30.0], rates=[RATE, RATE])})
        gbm = ravlin.paths.GeometricBrownianMotion(volatility={"SPX": VOL}, spot={"SPX": SPOT}, antithetic=True)
        moving = gbm(market, paths, seed)
        self.advance, self.get_value = moving.advance, moving.get_value


RATE, VOL, SPOT = 0.04, 0.2, 100.0
GRID = np.array([0.5, 1, 2, 3, 5, 7, 10, 20, 30], dtype=float)
DATASET = {
    "BASE": "USD",
    "PRICING_TS": T0,
    "ASSETS": {
        "USD": ("ZERO_RATES", np.column_stack([GRID, 0.03 + 0.002 * np.sqrt(GRID)])),
        "EUR": ("FORWARDS", np.column_stack([GRID, 1.08 * np.exp(0.01 * GRID)])),
        "SPX": ("FORWARDS", np.column_stack([[0.0, 30.0], [SPOT, SPOT * math.exp(RATE * 30)]])),
    },
    "FIXED": {"FLAGS": 8},
}
FLAT = {**DATASET, "ASSETS": {**DATASET["ASSETS"], "USD": ("ZERO_RATES", np.array([[15.0, RATE], [30.0, RATE]]))}}

BOND = [("bond", y, "+", 4.0, "USD") for y in range(1, 6)] + [("bond", 5, "+", 100.0, "USD")]
EUR_COUPONS = [("eur", y / 2, "+", 2.5, "EUR") for y in range(1, 7)]
# A bond assembled from two legs: its own track pays what the others pay later.
LEGS = ([("bond", 0, "+", 1.0, "coupons"), ("bond", 0, "+", 1.0, "principal")]
        + [("coupons", y, "+", 3.5, "USD") for y in range(1, 4)] + [("principal", 3, "+", 100.0, "USD")])
DIGITAL = [("digital", 1, "s", 10.0, "USD"), ("digital", 2, "+", 100.0, "USD")]
PUTTABLE = [("note", 1, "+", 3.0, "USD"), ("note", 2, ">", 99.0, "USD"), ("note", 2, "+", 3.0, "USD"),
            ("note", 3, "+", 103.0, "USD")]
# The digital pays 10 with probability 0.3 instead of its continuation.
DIGITAL_EXPR = {"s": {"type": "phrase", "fn": lambda xs: [0.3], "inp": []}}


def put(xs, strike=100.0):
    return [np.maximum(strike - xs[0], 0.0)]


def call(xs, strike=100.0):
    return [np.maximum(xs[0] - strike, 0.0)]


PAYOFFS = {"put": {"type": "phrase", "fn": put, "inp": ["SPX"]},
           "call": {"type": "phrase", "fn": call, "inp": ["SPX"]}}
EUROPEAN_CALL = [("opt", 1, "+", 1.0, "call")]
BERMUDAN_PUT = [("opt", m / 12, ">", 1.0, "put") for m in range(1, 13)]

FD = {"N_X": 400, "MAX_X": 5 * VOL, "TIMESTEP": 1 / 365, "FLAGS": 0}
BS = {**FLAT, "FD": FD, "BS": {"VOL": VOL, "ASSET": "SPX"}}
HW = {**DATASET, "FD": {"N_X": 300, "MAX_X": 0.15, "TIMESTEP": 1 / 365}, "HW": {"MEANREV": 0.05, "VOL": 0.01}}
EUROPEAN_PUT_FD = [("opt", 1, ">", 1.0, "strike"), ("strike", 1, "+", 100.0, "USD"),
                   ("strike", 1, "+", -1.0, "SPX")]
# American put through U = V + S: with the asset's drift equal to the rate, U
# is itself a claim, exercised into K at every date and worth max(K, S) at
# expiry; the first row takes S0 off again at the pricing time.
AMERICAN_PUT_FD = ([("opt", 0, "+", -1.0, "SPX")]
                   + [("opt", d / 365, ">", 100.0, "USD") for d in range(1, 366)]
                   + [("opt", 1, "+", 1.0, "SPX")])
ZERO_BOND = [("zcb", 5, "+", 100.0, "USD")]
CALLABLE = [("bond", y, "+", 5.0, "USD") for y in range(1, 6)] + [("bond", 5, "+", 100.0, "USD")]
for y in (2, 3, 4):
    CALLABLE.insert(CALLABLE.index(("bond", y, "+", 5.0, "USD")) + 1, ("bond", y, "<", 100.0, "USD"))


def main():
    rows = []
    stats = Stats()
    rows.append(("fixed-rate bond 4% 5y", "fixed", _ravlin.fixed_price(timetable(BOND), stats, DATASET, {})))
    bond_flows = stats.stats["CASHFLOW"][0]
    rows.append(("EUR coupon stream", "fixed", _ravlin.fixed_price(timetable(EUR_COUPONS), None, DATASET, {})))
    rows.append(("bond from legs by reference", "fixed", _ravlin.fixed_price(timetable(LEGS), None, DATASET, {})))
    digital = _ravlin.fixed_price(timetable(DIGITAL), None, DATASET, DIGITAL_EXPR)
    rows.append(("conditional payment 's'", "fixed", digital))
    rows.append(("holder's put '>' at 99", "fixed", _ravlin.fixed_price(timetable(PUTTABLE), None, DATASET, {})))

    paths = 50_000
    mc = {**FLAT, "MC": {"PATHS": paths, "SEED": 5, "FLAGS": 1}}
    state = GBMPaths(paths, seed=5)
    value = _ravlin.mc_price(timetable(EUROPEAN_CALL), state, mc, PAYOFFS)
    error = state.stats["PV_VEC"].std() / math.sqrt(paths)
    rows.append((f"European call K=100 (se {error:.3f})", "monte carlo", value))
    state = GBMPaths(paths, seed=6)
    rows.append(("Bermudan put K=100, pathwise exercise", "monte carlo",
                 _ravlin.mc_price(timetable(BERMUDAN_PUT), state, mc, PAYOFFS)))

    d1 = (math.log(SPOT / 100) + (RATE + VOL**2 / 2)) / VOL
    normal = lambda x: 0.5 * math.erfc(-x / math.sqrt(2))
    closed_call = SPOT * normal(d1) - 100 * math.exp(-RATE) * normal(d1 - VOL)
    rows.append(("  Black-Scholes closed form call", "formula", closed_call))
    european_put = _ravlin.fd_blackscholes_price(timetable(EUROPEAN_PUT_FD), None, BS, {})
    rows.append(("European put K=100", "grid BS", european_put))
    rows.append(("  Black-Scholes closed form put", "formula", closed_call - SPOT + 100 * math.exp(-RATE)))
    american_put = _ravlin.fd_blackscholes_price(timetable(AMERICAN_PUT_FD), None, BS, {})
    rows.append(("American put K=100", "grid BS", american_put))
    rows.append(("zero-coupon bond 5y", "grid HW", _ravlin.fd_hullwhite_price(timetable(ZERO_BOND), None, HW, {})))
    rows.append(("  100 x discount factor 5y", "curve", 100 * math.exp(-5 * (0.03 + 0.002 * math.sqrt(5)))))
    callable_bond = _ravlin.fd_hullwhite_price(timetable(CALLABLE), None, HW, {})
    rows.append(("callable bond 5% (issuer, par)", "grid HW", callable_bond))

    width = max(len(name) for name, _, _ in rows)
    print(f"{'contract':<{width}}  {'model':<12} {'price':>12}")
    print("-" * (width + 27))
    for name, model, value in rows:
        print(f"{name:<{width}}  {model:<12} {value:>12.6f}")
    print()
    print("cash flows of the fixed-rate bond (present values by event):")
    for event in sorted(bond_flows):
        _, years, op, quantity, unit = BOND[event]
        print(f"  event {event}: {op} {quantity:>6g} {unit} at {years}y -> {bond_flows[event][0]:.6f}")


if __name__ == "__main__":
    main()

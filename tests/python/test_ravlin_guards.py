"""Arguments that cannot be priced end in an error naming them, before anything is allocated or priced."""

import dataclasses
import decimal
import re
import warnings

import numpy as np
import pyarrow as pa
import pytest

import ravlin
from ravlin import _checks

MARKET = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={
    "USD": ravlin.ZeroCurve.flat(0.04, horizon=60), "SPX": ravlin.ForwardCurve.flat(100.0, growth=0.02, horizon=60)})
CALL = ravlin.EuropeanOption(expiry="2026-01-02", strike=100.0, kind="call", asset="SPX", currency="USD")
LONG_CALL = ravlin.EuropeanOption(expiry="2055-01-02", strike=100.0, kind="call", asset="SPX", currency="USD")
GBM = ravlin.paths.GeometricBrownianMotion(volatility={"SPX": 0.2})
GRID = ravlin.BlackScholesGrid(asset="SPX", volatility=0.2)


def row(quantity=1.0, time="2026-01-02", track="b", op="+", unit="USD"):
    return [(track, time, op, quantity, unit)]


def table(quantity):
    return pa.table({"track": ["b"], "time": pa.array([1_767_312_000_000], pa.timestamp("ms")), "op": ["+"],
                     "quantity": [quantity], "unit": ["USD"]})


def snapped(returned, outputs):
    snapper = ravlin.Snapper(lambda: returned, outputs=outputs)
    rows = [("b", "2025-06-02", "+", 0.0, "snap"), *[("b", "2026-01-02", "+", 1.0, o) for o in outputs]]
    return ravlin.price(rows, MARKET, ravlin.Fixed(), expressions={"snap": snapper})


@pytest.mark.parametrize("call, error, message", [
    *[(lambda q=q, form=form: ravlin.price(form(q), MARKET, ravlin.Fixed()), ravlin.TimetableError,
       f"column 'quantity': row 0 is {q}, not a finite number")
      for q in (float("nan"), float("inf")) for form in (row, table, lambda q: {"quantity": [q], **{
          k: [v] for k, v in zip(("track", "time", "op", "unit"), ("b", "2026-01-02", "+", "USD"))}})],
    (lambda: ravlin.price(row(True), MARKET, ravlin.Fixed()), ravlin.TimetableError, "row 0 holds True"),
    (lambda: ravlin.price(table(True), MARKET, ravlin.Fixed()), ravlin.TimetableError, "expected numbers, got bool"),
    (lambda: ravlin.price(row(track=1), MARKET, ravlin.Fixed()), ravlin.TimetableError, "column 'track': row 0"),
    (lambda: ravlin.price(row(op=1), MARKET, ravlin.Fixed()), ravlin.TimetableError, "column 'op': row 0"),
    (lambda: ravlin.price([], MARKET, ravlin.Fixed()), ravlin.TimetableError, "the timetable has no events"),
    *[(lambda t=t: ravlin.price(row(time=t), MARKET, ravlin.Fixed()), ravlin.TimetableError,
       "lies outside the range of milliseconds")
      for t in (np.datetime64(2**54, "D"), np.datetime64(10**12, "Y"), np.array([2**54], "datetime64[D]")[0])],
    (lambda: snapped((1.0, 2.0), ["y"]), ravlin.PricingError, "snapper 'snap' returned 2 values for its 1 outputs"),
    (lambda: snapped((1.0,), ["y", "z"]), ravlin.PricingError, "snapper 'snap' returned 1 values for its 2"),
    (lambda: ravlin.FixedRateBond(start="2025-01-31", maturity="2027-01-31", coupon=0.05, currency="USD",
                                  end_of_month="no"), TypeError, "end_of_month must be True or False"),
    (lambda: ravlin.paths.Heston(asset="SPX", v0=0.04, kappa=1.0, theta=0.04, vol_of_vol=0.3, correlation=-0.5,
                                 antithetic="yes"), TypeError, "antithetic must be True or False"),
    (lambda: ravlin.price(row(), MARKET, ravlin.Fixed), TypeError, "got the class Fixed"),
    (lambda: ravlin.price(row(), MARKET, ravlin.Fixed(), expressions=[ravlin.Phrase(lambda: 1.0)]), TypeError,
     "expressions: expected a mapping"),
    (lambda: ravlin.risk(CALL, MARKET, GRID, bumps=None), TypeError, "bumps: expected a ravlin.Bumps"),
    (lambda: ravlin.Bumps(spot=1.0), ValueError, "Bumps.spot is relative to the asset's price and must be below 1"),
    (lambda: ravlin.paths.GeometricBrownianMotion(volatility=[0.2]), TypeError, "volatility must map each asset"),
    (lambda: ravlin.Calendar(holidays="2025-01-01"), TypeError, "holidays: expected a collection of dates"),
    (lambda: ravlin.ZeroCurve(times=[1.0], rates=["0.04"]), TypeError, "ZeroCurve: rates must be a number"),
    (lambda: ravlin.Market(base="USD", pricing_time="2025-01-02", curves={
        "USD": ravlin.ZeroCurve(times=[0.0], rates=[0.04])}), ValueError, "its last knot is at the pricing time"),
    (lambda: ravlin.price(row(op="s"), MARKET, ravlin.HullWhiteGrid(mean_reversion=0.1, volatility=0.01)),
     ValueError, "cannot value a conditional row (op 's')"),
    (lambda: ravlin.price(row(op="s"), MARKET, GRID), ValueError,
     "BlackScholesGrid cannot value a conditional row (op 's') (row 0, track 'b'): its weight is the value named 's'"),
    *[(lambda unit=unit, q=q: ravlin.price(row(q, unit=unit) * 2, MARKET, ravlin.Fixed()), ravlin.PricingError,
       f"not a finite number: it overflowed; quantities up to {q:.6g} (row 0, track 'b') in 2 rows{forward}")
      for unit, q, forward in [("USD", 1e308, " give"), ("SPX", 1e307, ", forwards up to 332.012 ('SPX')")]],
    (lambda: ravlin.MonteCarlo(paths=10**12, state=GBM), MemoryError, "paths=1000000000000"),
    (lambda: ravlin.BlackScholesGrid(asset="SPX", volatility=25.0), ValueError, "volatility 25.0 is above 5.0"),
    *[(lambda w=w: ravlin.BlackScholesGrid(asset="SPX", volatility=0.2, half_width=w), ValueError,
       "half_width must lie between") for w in (1e300, 1e-300)],
    *[(lambda kw=kw: ravlin.price(LONG_CALL if kw["volatility"] > 5 else CALL, MARKET,
                                  ravlin.BlackScholesGrid(asset="SPX", **kw)), ValueError, message)
      for kw, message in [({"volatility": 0.0}, "volatility 0.0 is too low"),
                          ({"volatility": 0.2, "nodes_per_side": 2, "half_width": 1.0}, "give nodes_per_side of"),
                          ({"volatility": 0.2, "half_width": 0.1}, "half_width 0.1 cuts the log price off"),
                          ({"volatility": 9.0, "allow_high_volatility": True}, "volatility 9.0 over 30")]],
])
def test_an_argument_that_cannot_be_priced_is_named(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()


@pytest.mark.parametrize("rows", [
    [("b", "2026-01-02", "+", 1.0, "USD"), ("b", "2026-01-02", "+", decimal.Decimal("1.5"), "USD")],
    {"track": ["b", "b"], "time": [np.datetime64("2026-01-02"), "2026-01-02"], "op": ["+", "+"],
     "quantity": [1, 1.5], "unit": ["USD", "USD"]},
])
def test_every_form_of_the_same_rows_prices_the_same(rows):
    assert ravlin.price(rows, MARKET, ravlin.Fixed()).price == pytest.approx(2.5 * MARKET.discount_factor(
        "2026-01-02"), rel=1e-15)


@pytest.mark.parametrize("groups, limit", [
    ("0::/box/job\n", 4096),  # the v2 group's parent sets the limit
    ("4:cpu,memory:/app/task\n0::/box/job\n", 2048),  # the lower of both hierarchies
    ("3:memory:/app\n", 9223372036854771712),
    ("0::/elsewhere\n", float("inf")),
    ("not a group line\n", float("inf")),
])
def test_the_memory_budget_follows_the_control_groups(groups, limit, tmp_path):
    for folder, name, text in [("", "memory.max", "max"), ("box", "memory.max", "4096"),
                               ("box/job", "memory.max", "max"),
                               ("memory/app", "memory.limit_in_bytes", "9223372036854771712"),
                               ("memory/app/task", "memory.limit_in_bytes", "2048")]:
        (tmp_path / folder).mkdir(parents=True, exist_ok=True)
        (tmp_path / folder / name).write_text(text + "\n")
    assert _checks.cgroup_memory_limit(tmp_path, groups) == limit


@pytest.mark.parametrize("volatility", [0.01, 0.3, 2.0, 5.0])
@pytest.mark.parametrize("expiry", ["2025-02-01", "2026-01-02", "2055-01-02"])
def test_the_default_grid_prices_at_the_forward_within_its_stated_accuracy(volatility, expiry):
    years, discount = MARKET.years(expiry), MARKET.discount_factor(expiry)
    forward = MARKET.forward("SPX", expiry)
    for kind in ("call", "put"):
        option = ravlin.EuropeanOption(expiry=expiry, strike=forward, kind=kind, asset="SPX", currency="USD")
        grid = ravlin.price(option, MARKET, ravlin.BlackScholesGrid(asset="SPX", volatility=volatility)).price
        exact = ravlin.black_scholes_price(forward, forward, years, volatility, discount=discount, kind=kind)
        assert grid == pytest.approx(exact, rel=1e-4)


@pytest.mark.parametrize("engine", ["serial", "processes"])
def test_price_many_warns_once_naming_the_contracts_whose_prices_leave_their_bounds(engine):
    deep = ravlin.EuropeanOption(expiry="2026-01-02", strike=50.0, kind="call", asset="SPX", currency="USD")
    skewed = ravlin.paths.GeometricBrownianMotion(volatility={"SPX": 0.2}, spot={"SPX": 60.0})
    model = ravlin.MonteCarlo(paths=64, state=skewed, seed=1, statistics=["values"])
    pairs = [("deep", deep), ("rows", [("b", "2026-01-02", "+", 1.0, "USD")]), ("deep too", deep)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ravlin.price_many(pairs, MARKET, model, engine=engine, workers=2, chunksize=1)
    alarms = [str(w.message) for w in caught if issubclass(w.category, ravlin.ArbitrageWarning)]
    assert len(alarms) == 1 and alarms[0].startswith("2 prices lie outside their no-arbitrage bounds: contract 'deep'")
    assert "contract 'deep too': MonteCarlo(paths=64" in alarms[0] and "'rows'" not in alarms[0]


def test_a_price_outside_its_bounds_is_a_warning_naming_the_model():
    deep = ravlin.EuropeanOption(expiry="2026-01-02", strike=50.0, kind="call", asset="SPX", currency="USD")
    model = ravlin.MonteCarlo(paths=64, state=GBM, seed=1, statistics=["values"])
    # Paths from a spot of 60 miss the market's forward of 102 by far more than their noise.
    skewed = ravlin.paths.GeometricBrownianMotion(volatility={"SPX": 0.2}, spot={"SPX": 60.0})
    with pytest.warns(ravlin.ArbitrageWarning, match=r"MonteCarlo\(paths=64.*below its lower bound"):
        ravlin.price(deep, MARKET, dataclasses.replace(model, state=skewed))
    with warnings.catch_warnings():  # below the bound by less than 4 standard errors: noise, no warning
        warnings.simplefilter("error", ravlin.ArbitrageWarning)
        assert ravlin.price(deep, MARKET, model).price < deep.price_bounds(MARKET)[0]

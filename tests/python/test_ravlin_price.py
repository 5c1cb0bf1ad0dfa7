"""ravlin.price: any input form prices like the hand-built batch; Result and PricingError."""

import math

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import _ravlin
import ravlin
from conftest import T0
from conftest import timetable as engine_batch

DAY = 86_400_000
CURVE = np.array([[0.5, 0.03], [2.0, 0.035], [10.0, 0.04]])
SPX = np.array([[0.0, 100.0], [10.0, 100.0 * math.exp(0.3)]])
MARKET = ravlin.Market(base="USD", pricing_time=T0, curves={
    "USD": ravlin.ZeroCurve(times=CURVE[:, 0], rates=CURVE[:, 1]),
    "SPX": ravlin.ForwardCurve(times=SPX[:, 0], forwards=SPX[:, 1])})
HAND_DATASET = {"BASE": "USD", "PRICING_TS": T0,
                "ASSETS": {"USD": ("ZERO_RATES", CURVE), "SPX": ("FORWARDS", SPX)}}
# A callable note with a holder's put on the index.
ROWS = [("note", T0 + 180 * DAY, "+", 2.0, "USD"), ("note", T0 + 365 * DAY, "<", 101.0, "USD"),
        ("note", T0 + 365 * DAY, ">", 1.0, "put"), ("put", T0 + 365 * DAY, "+", 100.0, "USD"),
        ("put", T0 + 365 * DAY, "+", -1.0, "SPX"), ("note", T0 + 730 * DAY, "+", 102.0, "USD")]
MODELS = [
    (ravlin.Fixed(), "fixed_price", {"FIXED": {"FLAGS": 0}}),
    (ravlin.BlackScholesGrid(asset="SPX", volatility=0.25, nodes_per_side=150, half_width=1.5, timestep=0.01),
     "fd_blackscholes_price",
     {"FD": {"N_X": 150, "MAX_X": 1.5, "TIMESTEP": 0.01}, "BS": {"VOL": 0.25, "ASSET": "SPX", "FIT_FORWARD": 1}}),
    (ravlin.HullWhiteGrid(mean_reversion=0.1, volatility=0.01, nodes_per_side=100, half_width=0.1, timestep=0.02),
     "fd_hullwhite_price", {"FD": {"N_X": 100, "MAX_X": 0.1, "TIMESTEP": 0.02},
                            "HW": {"MEANREV": 0.1, "VOL": 0.01, "CURVE_FIT": 1}}),
]


def arrow_table():
    """What a user gets from pyarrow: dictionary_encode() (int32 indices), microseconds, two chunks."""
    track, time, op, quantity, unit = (list(c) for c in zip(*ROWS))
    table = pa.table({"track": pa.array(track).dictionary_encode(), "op": pa.array(op).dictionary_encode(),
                      "time": pa.array([t * 1000 for t in time], pa.timestamp("us")),
                      "quantity": pa.array(quantity), "unit": pa.array(unit).dictionary_encode()})
    return pa.Table.from_batches(table.slice(0, 3).to_batches() + table.slice(3).to_batches())


FORMS = {
    "arrow table": arrow_table,
    "polars": lambda: pl.from_arrow(arrow_table().combine_chunks().cast(pa.schema([
        ("track", pa.string()), ("op", pa.string()), ("time", pa.timestamp("us")),
        ("quantity", pa.float64()), ("unit", pa.string())]))),
    "pandas": lambda: arrow_table().to_pandas(),
    "rows": lambda: [(t, pd.Timestamp(ms, unit="ms").isoformat(), o, q, u) for t, ms, o, q, u in ROWS],
}


@pytest.mark.parametrize("model, function, sections", MODELS, ids=["fixed", "black-scholes", "hull-white"])
@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS.keys())
def test_every_form_prices_to_the_float_of_the_hand_built_batch(form, model, function, sections):
    expected = getattr(_ravlin, function)(engine_batch(ROWS), None, {**HAND_DATASET, **sections}, {})
    assert ravlin.price(form(), MARKET, model).price == expected


def gbm_factory(market, paths, seed):
    return ravlin.paths.GeometricBrownianMotion(volatility={"SPX": 0.25})(market, paths, seed)


def test_monte_carlo_prices_to_the_float_of_the_engine_with_the_same_paths():
    model = ravlin.MonteCarlo(paths=500, state=gbm_factory, seed=3)
    state = gbm_factory(MARKET, 500, 3)
    expected = _ravlin.mc_price(engine_batch(ROWS), state, {**HAND_DATASET, "MC": {"PATHS": 500, "SEED": 3}}, {})
    assert ravlin.price(arrow_table(), MARKET, model).price == expected
    assert ravlin.price(arrow_table(), MARKET, model).price == expected  # a second call is not priced off used paths


def test_statistics_come_as_named_tables():
    result = ravlin.price(ROWS, MARKET, ravlin.MonteCarlo(paths=400, state=gbm_factory, statistics=True))
    flows, choices = result.cashflows, result.choices
    assert flows.column_names == ["row", "time", "track", "op", "quantity", "unit", "value", "values"]
    assert set(flows.column("track").to_pylist()) <= {"note", "put"}
    assert choices.column("row").to_pylist() == [1, 2]
    assert choices.column("unit").to_pylist() == ["USD", "put"]
    assert flows.column("time")[0].as_py().timestamp() * 1000 == ROWS[flows.column("row")[0].as_py()][1]
    # The price is the mean present value over the paths, of which the recorded flows of track 0 are the parts.
    assert result.price == pytest.approx(result.values.mean(), rel=1e-12)
    assert 0 < result.standard_error < 1
    assert "price=" in repr(result) and "cashflows=" in repr(result)


@pytest.mark.parametrize("model, middle_node", [
    (ravlin.BlackScholesGrid(asset="SPX", volatility=0.2, nodes_per_side=50, statistics=["values"]), 100.0),
    (ravlin.HullWhiteGrid(mean_reversion=0.1, volatility=0.01, nodes_per_side=50, statistics=["values"]),
     0.03),
])
def test_grid_values_stand_next_to_their_node_coordinates(model, middle_node):
    result = ravlin.price(ROWS, MARKET, model)
    assert result.nodes.shape == result.values.shape == (101,)
    assert result.nodes[50] == pytest.approx(middle_node, rel=1e-12)
    assert result.values[50] == result.price
    assert np.all(np.diff(result.nodes) < 0)  # from the highest node down, as the values are


def _no_fixing(spot):
    raise ValueError("no fixing")


def _raised(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    return caught.value


GOLD_ROWS = ROWS[:2] + [("note", T0 + 400 * DAY, "+", 1.0, "GOLD")]
GOLD_NOTE = "at row 2: track 'note', 2025-02-04T00:00:00Z, op '+', quantity 1, unit 'GOLD'"
GOLD = "Asset 'GOLD' not found in snaps, expressions, or in dataset[ASSETS]"
MODEL = "Error during model evaluation"
EVENT = ...  # the link of the failing event, which names its row


@pytest.mark.parametrize("call, causes, row, note", [
    (lambda: ravlin.price(GOLD_ROWS, MARKET, ravlin.Fixed()), (MODEL, EVENT, GOLD), 2, GOLD_NOTE),
    (lambda: ravlin.price(GOLD_ROWS, MARKET, MODELS[2][0]), (MODEL, EVENT, GOLD), 2, GOLD_NOTE),
    (lambda: ravlin.price([("x", T0 + 2 * DAY, "+", 1.0, "USD"), ("x", T0 + DAY, "+", 1.0, "USD")], MARKET,
                          ravlin.Fixed()),
     (MODEL, EVENT, f"event time is earlier than the current time {T0 + 2 * DAY}"), 1,
     "at row 1: track 'x', 2024-01-02T00:00:00Z, op '+', quantity 1, unit 'USD'"),
    (lambda: ravlin.price([("x", T0 + DAY, ">", 2.0, "put")], MARKET, ravlin.Fixed(),
                          expressions={"put": ravlin.Phrase(_no_fixing, inputs=["SPX"])}),
     (MODEL, EVENT, "Error in Phrase Evaluation", "ValueError: no fixing"), 0,
     "at row 0: track 'x', 2024-01-02T00:00:00Z, op '>', quantity 2, unit 'put'"),
    (lambda: _ravlin.fixed_price(engine_batch([("x", T0, "+", 1.0, "USD")]), None, {"PRICING_TS": T0}, {}),
     ("Error while parsing Dataset", "Py Dictionary is missing key 'BASE'"), None, None),
    (lambda: _ravlin.fixed_price(engine_batch([("x", T0, "x", 1.0, "USD")]), None, HAND_DATASET, {}),
     ("Error while parsing Timetable", "Invalid value 'x' for key 'Op'"), None, None),
])
def test_engine_failures_carry_their_chain_and_row(call, causes, row, note):
    error = _raised(call)
    assert isinstance(error, RuntimeError) and error.row == row and len(error.causes) == len(causes)
    for got, expected in zip(error.causes, causes, strict=True):
        assert got.startswith(f"Error at event:\n  #{row}: ") if expected is EVENT else got == expected
    assert str(error).startswith(f"{causes[0]}, caused by")
    assert getattr(error, "__notes__", [None]) == [note]


def test_phrases_and_snappers_are_value_objects():
    put = ravlin.Phrase(lambda spot: np.maximum(100.0 - spot, 0.0), inputs=["SPX"])
    fixing = ravlin.Snapper(lambda spot: (spot * 2,), inputs=["SPX"], outputs=["double"])
    rows = [("x", T0 + 365 * DAY, "+", 1.0, "snap"), ("x", T0 + 365 * DAY, "+", 1.0, "double"),
            ("x", T0 + 365 * DAY, "+", 1.0, "put")]
    result = ravlin.price(rows, MARKET, ravlin.MonteCarlo(paths=1000, state=gbm_factory),
                          expressions={"put": put, "snap": fixing})
    state = gbm_factory(MARKET, 1000, 0)
    state.advance(1.0)
    spot = state.get_value("SPX")
    expected = MARKET.discount_factor(1.0) * np.mean(2 * spot + np.maximum(100.0 - spot, 0.0))
    assert result.price == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("call, message", [
    (lambda: ravlin.price(ROWS, {"BASE": "USD"}, ravlin.Fixed()), "market: expected a ravlin.Market, got dict"),
    (lambda: ravlin.price(ROWS, MARKET, "fixed"), "model: expected Fixed, MonteCarlo"),
    (lambda: ravlin.MonteCarlo(paths=10, state=gbm_factory(MARKET, 10, 0)), "state: give a factory"),
    (lambda: ravlin.MonteCarlo(paths=0, state=gbm_factory), "paths must be a positive integer"),
    (lambda: ravlin.Fixed(statistics=["pv"]), "statistics: unknown ['pv']"),
    (lambda: ravlin.BlackScholesGrid(asset="SPX", volatility=0.2, timestep=1e-12), "timestep must be at least"),
    (lambda: ravlin.price(ROWS, MARKET, ravlin.BlackScholesGrid(asset="GOLD", volatility=0.2)),
     "BlackScholesGrid: asset 'GOLD' needs a ForwardCurve"),
])
def test_settings_are_checked_with_clear_messages(call, message):
    with pytest.raises((TypeError, ValueError)) as caught:
        call()
    assert str(caught.value).startswith(message)


def test_monte_carlo_decides_choices_by_regression_unless_asked_for_pathwise():
    market = ravlin.Market(base="USD", pricing_time="2025-01-02",
                           curves={"USD": ravlin.ZeroCurve.flat(0.06),
                                   "SPX": ravlin.ForwardCurve.flat(36.0, growth=0.06)})
    put = ravlin.BermudanOption(exercise_dates=[f"2025-{m:02d}-02" for m in range(2, 13)] + ["2026-01-02"],
                                strike=40.0, kind="put", asset="SPX", currency="USD")
    grid = ravlin.price(put, market, ravlin.BlackScholesGrid(asset="SPX", volatility=0.2)).price
    gbm = ravlin.paths.GeometricBrownianMotion(volatility={"SPX": 0.2}, antithetic=True)
    priced = {exercise: ravlin.price(put, market, ravlin.MonteCarlo(paths=50_000, state=gbm, seed=1,
                                                                    exercise=exercise, statistics=["values"]))
              for exercise in ("auto", "pathwise")}
    auto = priced["auto"]
    assert abs(auto.price - grid) <= 3 * auto.standard_error + 0.005 * grid, (auto, grid)
    # Pathwise exercise sees each path's own future: well above the fair value.
    assert priced["pathwise"].price > grid + 10 * priced["pathwise"].standard_error

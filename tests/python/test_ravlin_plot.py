"""Pictures of a Result: drawn with the Agg backend, with the axes and artists they promise."""

import sys
from pathlib import Path

import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

import ravlin  # noqa: E402
from ravlin.paths import GeometricBrownianMotion  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import risk_pictures  # noqa: E402

MARKET = risk_pictures.market()
START = MARKET.pricing_ms
PUT = risk_pictures.option_rows("put", 100.0, risk_pictures.daily(START, 60))
GRID = ravlin.BlackScholesGrid(asset="SPX", volatility=0.3, nodes_per_side=200, statistics=True)


@pytest.fixture(scope="module")
def results():
    paths = ravlin.MonteCarlo(paths=2000, state=GeometricBrownianMotion(volatility={"SPX": 0.3}), statistics=True)
    return {"grid": ravlin.price(PUT, MARKET, GRID), "mc": ravlin.price(PUT, MARKET, paths),
            "bond": ravlin.price(risk_pictures.bond_rows(4.0, 5, START), MARKET, ravlin.Fixed(statistics=True))}


def drawn(figure, tmp_path):
    """The figure renders to a non-empty PNG; its one axes."""
    path = tmp_path / "picture.png"
    figure.savefig(path)
    assert path.stat().st_size > 5000
    (axes,) = figure.axes
    return axes


@pytest.mark.parametrize("picture, source, xlabel, labels", [
    ("plot_values", "grid", "spot", ["value", "spot 100", "exercise"]),
    ("plot_exercise_boundary", "grid", "time", ["exercise", "boundary"]),
    ("plot_histogram", "mc", "present value", None),
    ("plot_cashflows", "bond", "time", ["bond"]),
])
def test_pictures_draw_their_axes_and_artists(results, tmp_path, picture, source, xlabel, labels):
    axes = drawn(getattr(results[source], picture)(), tmp_path)
    assert axes.get_xlabel() == xlabel
    legend = axes.get_legend_handles_labels()[1]
    if labels is None:  # histogram: one bar per bin and the price's line
        assert len(axes.patches) == 100 and legend[0].startswith(f"price {results[source].price:.6g} ±")
    else:
        assert legend == labels


def test_exercise_region_and_boundary_follow_the_choices(results, tmp_path):
    """A put exercises below the boundary, which rises towards the strike at expiry."""
    result = results["grid"]
    axes = drawn(result.plot_exercise_boundary(), tmp_path)
    boundary = axes.get_lines()[0].get_ydata()
    assert len(boundary) == 61 and boundary[0] < boundary[-1] <= 100.0
    shaded = drawn(result.plot_values(), tmp_path).collections[0].get_paths()[0].vertices[:, 0]
    assert shaded.max() == pytest.approx(boundary[0], rel=0.01)


@pytest.mark.parametrize("picture, source, message", [
    ("plot_histogram", "grid", "needs a Monte Carlo result"),
    ("plot_values", "mc", "needs a grid result"),
    ("plot_cashflows", "plain", "statistics=['cashflows']"),
])
def test_pictures_without_their_data_say_what_to_ask_for(results, picture, source, message):
    result = ravlin.price(PUT, MARKET, ravlin.BlackScholesGrid(asset="SPX", volatility=0.3, nodes_per_side=50)) \
        if source == "plain" else results[source]
    with pytest.raises(ValueError) as raised:
        getattr(result, picture)()
    assert message in str(raised.value)


def test_example_saves_every_picture(tmp_path):
    risk_pictures.main(tmp_path, days=30, paths=2000)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "cashflows.png", "exercise_boundary.png", "grid_values.png", "mc_histogram.png"]

"""Exercise by least-squares regression on Monte Carlo paths (EXERCISE = REGRESSION)."""

import math

import numpy as np
import pytest

import _ravlin
import ravlin
from conftest import T0, YEAR_MS, Recording, antithetic_standard_error, dataset, flat_rate, gbm_paths, market, timetable
from test_fd import CURVE, hw_data
from test_fixed import years

PATHS = 100_000
STRIKE, RATE, DATES_PER_YEAR = 40.0, 0.06, 50
INTRINSIC = {"intrinsic": {"type": "phrase", "fn": lambda xs: [np.maximum(STRIKE - xs[0], 0.0)],
                           "inp": ["SPX"]}}


def exercise_times(expiry):
    return [T0 + round(YEAR_MS * i / DATES_PER_YEAR) for i in range(1, round(expiry * DATES_PER_YEAR) + 1)]


def bermudan_put(expiry):
    """The holder takes the intrinsic value at any exercise date."""
    return timetable([("put", t, ">", 1.0, "intrinsic") for t in exercise_times(expiry)])


def bermudan_put_on_the_grid(spot, vol, expiry):
    # The grid values U = V + S, which is max(K, S) at expiry and K where exercised.
    times = exercise_times(expiry)
    rows = ([("put", T0, "+", -1.0, "SPX")] + [("put", t, ">", STRIKE, "USD") for t in times]
            + [("put", times[-1], "+", 1.0, "SPX")])
    growth = ("FORWARDS", np.array([[0.0, spot], [30.0, spot * math.exp(RATE * 30)]]))
    data = dataset(ASSETS={"USD": flat_rate(RATE), "SPX": growth},
                   FD={"N_X": 400, "MAX_X": 5 * vol * math.sqrt(expiry), "TIMESTEP": 1 / 1000},
                   BS={"VOL": vol, "ASSET": "SPX"})
    return _ravlin.fd_blackscholes_price(timetable(rows), None, data, {})


def mc_settings(paths=PATHS, **keys):
    return dataset(ASSETS={"USD": flat_rate(RATE)},
                   MC={"PATHS": paths, "SEED": 3, "FLAGS": 1, "EXERCISE": "REGRESSION", **keys})


def simulated_put(spot, vol, expiry, calibration=0, **keys):
    """Price and standard error over the priced paths. With calibration paths the paths are
    not antithetic, so that the priced ones mirror none of those that fit the regressions."""
    state = gbm_paths(spot, RATE, vol, calibration + PATHS, seed=17, antithetic=not calibration)
    data = mc_settings(calibration + PATHS, **keys)
    price = _ravlin.mc_price(bermudan_put(expiry), state, data, INTRINSIC)
    priced = state.stats["PV_VEC"][calibration:]
    error = priced.std(ddof=1) / math.sqrt(priced.size) if calibration else antithetic_standard_error(priced)
    return price, error


TABLE = [(spot, vol, expiry) for spot in (36.0, 40.0, 44.0) for vol in (0.2, 0.4) for expiry in (1.0, 2.0)]


@pytest.mark.parametrize("spot, vol, expiry", TABLE)
def test_bermudan_puts_of_the_least_squares_table_match_the_grid(spot, vol, expiry):
    price, error = simulated_put(spot, vol, expiry)
    grid = bermudan_put_on_the_grid(spot, vol, expiry)
    assert abs(price - grid) <= 3 * error + 0.005 * grid, (price, error, grid)


@pytest.mark.parametrize("spot, vol, expiry", [(36.0, 0.2, 1.0), (44.0, 0.4, 2.0)])
def test_calibration_paths_give_a_lower_bound(spot, vol, expiry):
    price, error = simulated_put(spot, vol, expiry, calibration=50_000, REGRESSORS=["SPX"])
    grid = bermudan_put_on_the_grid(spot, vol, expiry)
    assert grid * 0.99 - 3 * error <= price <= grid + 3 * error, (price, error, grid)


def callable_bond():
    # 5% annual coupons for five years, callable at par ex-coupon in years 2 to 4.
    rows = [("bond", years(y), "+", 5.0, "USD") for y in range(1, 6)] + [("bond", years(5), "+", 100.0, "USD")]
    rows += [("bond", years(y), "<", 100.0, "USD") for y in (2, 3, 4)]
    return timetable(sorted(rows, key=lambda row: (row[1], row[2] == "<")))


# Within 0.1% rather than 0.5%: at 0.5% the issuer's foresight would pass too.
@pytest.mark.parametrize("exercise, matches", [("REGRESSION", True), ("PATHWISE", False)])
def test_callable_bond_on_hull_white_paths_against_the_grid(exercise, matches):
    meanrev, vol = 0.1, 0.01
    grid = _ravlin.fd_hullwhite_price(callable_bond(), None, hw_data(meanrev, vol), {})
    hull_white = ravlin.paths.HullWhite(mean_reversion=meanrev, volatility=vol, antithetic=True)
    state = Recording(hull_white(market(("ZERO_RATES", CURVE)), PATHS, 5))
    data = dataset(ASSETS={"USD": ("ZERO_RATES", CURVE)},
                   MC={"PATHS": PATHS, "SEED": 5, "FLAGS": 1, "EXERCISE": exercise, "REGRESSORS": ["x"]})
    price = _ravlin.mc_price(callable_bond(), state, data, {})
    error = antithetic_standard_error(state.stats["PV_VEC"])
    assert (abs(price - grid) <= 3 * error + 0.001 * grid) == matches, (price, error, grid)


def test_statistics_report_the_regression_decisions():
    state = gbm_paths(36.0, RATE, 0.2, 2_000, seed=4)
    data = mc_settings(2_000, FLAGS=11, BASIS_DEGREE=2)
    price = _ravlin.mc_price(bermudan_put(0.2), state, data, INTRINSIC)
    pv, choices, flows = (state.stats[name] for name in ("PV_VEC", "CHOICES", "CASHFLOW"))
    events = sorted(choices)
    taken = np.array([choices[e][0] for e in events], dtype=bool)
    paid = np.array([flows[0].get(e, np.zeros(len(pv))) for e in events])
    # Each path is paid at its first exercise only, and the flows add up to its value.
    first = taken & (np.cumsum(taken, axis=0) == 1)
    np.testing.assert_array_equal(paid != 0.0, first)
    np.testing.assert_allclose(paid.sum(axis=0), pv, rtol=1e-13)
    assert price == pytest.approx(pv.mean(), rel=1e-13)
    assert 0 < first.sum() < len(pv)


def test_pathwise_by_name_is_the_default():
    prices = []
    for extra in ({}, {"EXERCISE": "PATHWISE", "BASIS_DEGREE": 1, "CALIBRATION_PATHS": 10}):
        state = gbm_paths(40.0, RATE, 0.2, 1_000, seed=8)
        data = dataset(ASSETS={"USD": flat_rate(RATE)}, MC={"PATHS": 1_000, "SEED": 3, "FLAGS": 1, **extra})
        prices.append((_ravlin.mc_price(bermudan_put(0.5), state, data, INTRINSIC),
                       state.stats["PV_VEC"].tobytes()))
    assert prices[0] == prices[1]


PARSE = "Error while parsing Dataset, caused by\n"
WRONG = "likely incorrect type. caused by \n"


@pytest.mark.parametrize(
    "keys, text",
    [
        ({"EXERCISE": "LSM"}, PARSE + "Invalid value 'LSM' for key 'EXERCISE'"),
        ({"EXERCISE": 1}, PARSE + "Error in value of EXERCISE, " + WRONG + "TypeError: 'int' object cannot be converted to 'PyString'"),
        ({"BASIS_DEGREE": -1}, PARSE + "Error in value of BASIS_DEGREE, " + WRONG + "OverflowError: can't convert negative int to unsigned"),
        ({"BASIS_DEGREE": 2.5}, PARSE + "Error in value of BASIS_DEGREE, " + WRONG + "TypeError: 'float' object cannot be interpreted as an integer"),
        ({"BASIS_DEGREE": 13}, PARSE + "BASIS_DEGREE must be at most 12, got 13"),
        ({"REGRESSORS": ["a", "b", "c", "d", "e", "f"]}, PARSE + "BASIS_DEGREE 3 with 6 regressors needs more than 64 basis functions"),
        ({"REGRESSORS": []}, PARSE + "REGRESSORS must name at least one regressor"),
        ({"REGRESSORS": "SPX"}, PARSE + "Error in value of REGRESSORS, " + WRONG + "TypeError: Can't extract `str` to `Vec`"),
        ({"CALIBRATION_PATHS": -3}, PARSE + "Error in value of CALIBRATION_PATHS, " + WRONG + "OverflowError: can't convert negative int to unsigned"),
        ({"CALIBRATION_PATHS": 4}, PARSE + "CALIBRATION_PATHS must leave at least one of the 4 PATHS to price, got 4"),
        ({"REGRESSORS": ["SPY"]}, "Error during model evaluation, caused by\nError at event:\n  #0: "),
    ],
)
def test_bad_exercise_settings_name_their_key(keys, text):
    state = gbm_paths(40.0, RATE, 0.2, 4, seed=1)
    with pytest.raises(RuntimeError) as error:
        _ravlin.mc_price(bermudan_put(0.1), state, mc_settings(4, **keys), INTRINSIC)
    message = str(error.value)
    if keys.get("REGRESSORS") == ["SPY"]:
        assert message.startswith(text)
        assert message.endswith(", caused by \nInvalid value 'SPY' for key 'REGRESSORS', caused by \n"
                                "Asset 'SPY' not found in snaps, expressions, or in dataset[ASSETS]")
    else:
        assert message == text

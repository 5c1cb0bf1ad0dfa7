"""Grid pricing end to end: Black-Scholes and Hull-White against closed forms."""

import math
from decimal import Decimal

import numpy as np
import pytest

import _ravlin
from conftest import T0, YEAR_MS, Recorder, dataset, flat_rate, forward_curve, timetable
from test_fixed import years

ME = "Error during model evaluation, caused by\n"
SPOT, STRIKE, RATE, VOL, EXPIRY = 100.0, 105.0, 0.03, 0.25, 1.0


def normal(x):
    return 0.5 * math.erfc(-x / math.sqrt(2))


def black_scholes(kind, spot=SPOT, strike=STRIKE, rate=RATE, vol=VOL, expiry=EXPIRY):
    d1 = (math.log(spot / strike) + (rate + vol**2 / 2) * expiry) / (vol * math.sqrt(expiry))
    d2 = d1 - vol * math.sqrt(expiry)
    call = spot * normal(d1) - strike * math.exp(-rate * expiry) * normal(d2)
    return call if kind == "call" else call - spot + strike * math.exp(-rate * expiry)


def bs_data(n_x=400, timestep=1 / 365, flags=0, spot=SPOT):
    growth = ("FORWARDS", np.array([[0.0, spot], [30.0, spot * math.exp(RATE * 30)]]))
    return dataset(ASSETS={"USD": flat_rate(RATE), "SPX": growth},
                   FD={"N_X": n_x, "MAX_X": 5 * VOL * math.sqrt(EXPIRY), "TIMESTEP": timestep, "FLAGS": flags},
                   BS={"VOL": VOL, "ASSET": "SPX"})


def vanilla(kind, expiry=EXPIRY):
    sign = 1.0 if kind == "call" else -1.0
    return [("opt", years(expiry), ">", 1.0, "intrinsic"),
            ("intrinsic", years(expiry), "+", -sign * STRIKE, "USD"),
            ("intrinsic", years(expiry), "+", sign, "SPX")]


def american_put(days=365):
    # U = V + S is worth max(K, S) at expiry and exercised into K each day;
    # the first row takes S0 off again at the pricing time.
    return ([("opt", T0, "+", -1.0, "SPX")]
            + [("opt", years(d / 365), ">", STRIKE, "USD") for d in range(1, days + 1)]
            + [("opt", years(days / 365), "+", 1.0, "SPX")])


@pytest.mark.parametrize("kind", ["call", "put"])
def test_european_options_match_black_scholes(kind):
    value = _ravlin.fd_blackscholes_price(timetable(vanilla(kind)), None, bs_data(), {})
    assert value == pytest.approx(black_scholes(kind), rel=1e-3)


def test_error_falls_as_the_grid_is_refined():
    errors = [abs(_ravlin.fd_blackscholes_price(timetable(vanilla("call")), None,
                                                bs_data(n_x, step), {}) - black_scholes("call"))
              for n_x, step in [(50, 1 / 12), (100, 1 / 52), (400, 1 / 365)]]
    assert errors[0] > errors[1] > errors[2]


def binomial_american_put(steps=4000):
    dt = EXPIRY / steps
    up = math.exp(VOL * math.sqrt(dt))
    p = (math.exp(RATE * dt) - 1 / up) / (up - 1 / up)
    disc = math.exp(-RATE * dt)
    spots = SPOT * up ** np.arange(steps, -steps - 1, -2.0)
    values = np.maximum(STRIKE - spots, 0.0)
    for n in range(steps - 1, -1, -1):
        spots = SPOT * up ** np.arange(n, -n - 1, -2.0)
        values = np.maximum(disc * (p * values[:-1] + (1 - p) * values[1:]), STRIKE - spots)
    return values[0]


def test_american_put_above_european_and_near_a_binomial_tree():
    american = _ravlin.fd_blackscholes_price(timetable(american_put()), None, bs_data(), {})
    assert american > black_scholes("put") + 0.1
    # The tree exercises at every one of its steps, the grid once a day.
    assert american == pytest.approx(binomial_american_put(), rel=2e-3)


def test_grid_statistics(recorder):
    _ravlin.fd_blackscholes_price(timetable(vanilla("put")), recorder, bs_data(n_x=10, flags=3), {})
    assert recorder.names() == ["PV_VEC", "CHOICES"]
    pv = recorder.get("PV_VEC")
    assert pv.shape == (21,)
    choices = recorder.get("CHOICES")[0][0]
    assert choices.shape == (21,) and set(choices.tolist()) == {0, 1}


# ---- Hull-White ---------------------------------------------------------------

CURVE = np.array([[0.5, 0.030], [1.0, 0.032], [2.0, 0.035], [5.0, 0.040], [10.0, 0.043], [30.0, 0.045]])


def log_df(t):
    times, rates = CURVE[:, 0], CURVE[:, 1]
    logs = times * rates
    return logs[0] * t / times[0] if t <= times[0] else float(np.interp(t, times, logs))


def discount(t):
    return math.exp(-log_df(t))


def hw_data(meanrev=0.1, vol=0.01, n_x=200, flags=0):
    return dataset(ASSETS={"USD": ("ZERO_RATES", CURVE)},
                   FD={"N_X": n_x, "MAX_X": 0.12, "TIMESTEP": 1 / 365, "FLAGS": flags},
                   HW={"MEANREV": meanrev, "VOL": vol})


@pytest.mark.parametrize("maturity", [0.7, 3.0, 7.5])
@pytest.mark.parametrize("meanrev", [0.1, 0.0])
def test_zero_coupon_bond_reproduces_the_curve(maturity, meanrev):
    value = _ravlin.fd_hullwhite_price(timetable([("zcb", years(maturity), "+", 1.0, "USD")]),
                                      None, hw_data(meanrev), {})
    assert value == pytest.approx(discount(maturity), rel=1e-4)


def hw_bond_call(expiry, maturity, strike, a, sigma):
    sigma_p = sigma / a * (1 - math.exp(-a * (maturity - expiry))) * math.sqrt(
        (1 - math.exp(-2 * a * expiry)) / (2 * a))
    p_t, p_s = discount(expiry), discount(maturity)
    h = math.log(p_s / (strike * p_t)) / sigma_p + sigma_p / 2
    return p_s * normal(h) - strike * p_t * normal(h - sigma_p)


@pytest.mark.parametrize("moneyness", [0.99, 1.0, 1.01])
def test_option_on_a_zero_coupon_bond_matches_the_closed_form(moneyness):
    expiry, maturity, a, sigma = 1.0, 4.0, 0.1, 0.01
    strike = moneyness * discount(maturity) / discount(expiry)
    rows = [("opt", years(expiry), ">", 1.0, "bond"), ("bond", years(expiry), "+", -strike, "USD"),
            ("bond", years(maturity), "+", 1.0, "USD")]
    value = _ravlin.fd_hullwhite_price(timetable(rows), None, hw_data(a, sigma), {})
    assert value == pytest.approx(hw_bond_call(expiry, maturity, strike, a, sigma), rel=1e-3)


def test_callable_bond_is_worth_less_than_its_bond():
    coupons = [("bond", years(y), "+", 5.0, "USD") for y in range(1, 6)]
    bond = coupons + [("bond", years(5), "+", 100.0, "USD")]
    callable_rows = sorted(bond + [("bond", years(y), "<", 100.0, "USD") for y in (2, 3, 4)],
                           key=lambda row: (row[1], row[2] == "<"))
    straight = _ravlin.fd_hullwhite_price(timetable(bond), None, hw_data(), {})
    called = _ravlin.fd_hullwhite_price(timetable(callable_rows), None, hw_data(), {})
    assert straight == pytest.approx(sum(5 * discount(y) for y in range(1, 6)) + 100 * discount(5), rel=1e-4)
    assert straight - 5.0 < called < straight


@pytest.mark.parametrize(
    "rows, text",
    [
        ([("opt", years(1.0), "+", 1.0, None)], "Error in Event Specs: Missing Unit Name"),
        ([("opt", years(1.0), "+", 1.0, "p")], "Feature Not Implemented: `Phrase in FD: p`"),
        ([("opt", years(1.0), "+", 1.0, "GBP")], "Asset 'GBP' not found in snaps, expressions, or in dataset[ASSETS]"),
        ([("a", years(1.0), "+", 1.0, "b"), ("a", years(1.0), "+", 1.0, "USD")], "Track 1 not found"),
    ],
)
def test_event_faults_on_the_grid(rows, text):
    expressions = {"p": {"type": "phrase", "fn": lambda xs: [1.0], "inp": []}}
    tracks = ["a", "b"] if rows[0][0] == "a" else None
    with pytest.raises(RuntimeError) as error:
        _ravlin.fd_hullwhite_price(timetable(rows, tracks=tracks), None, hw_data(n_x=5), expressions)
    message = str(error.value)
    assert message.startswith(ME + "Error at event:\n  #")
    assert message.endswith(", caused by \n" + text)


def with_fd(data, **settings):
    return {**data, "FD": {**data["FD"], **settings}}


@pytest.mark.parametrize(
    "function, data, rows, text",
    [
        (_ravlin.fd_hullwhite_price, hw_data(), [], "Timetable has no events: the grid needs the time of the last event"),
        (_ravlin.fd_hullwhite_price, with_fd(hw_data(), N_X=0), None, "N_X must be at least 1"),
        (_ravlin.fd_hullwhite_price, with_fd(hw_data(), MAX_X=0.0), None, "MAX_X must be positive, got 0"),
        (_ravlin.fd_hullwhite_price, with_fd(hw_data(), MAX_X=float("nan")), None, "MAX_X must be positive, got NaN"),
        (_ravlin.fd_hullwhite_price, with_fd(hw_data(), TIMESTEP=1e-12), None,
         "TIMESTEP must be at least one millisecond, got 0.000000000001"),
        (_ravlin.fd_hullwhite_price, with_fd(hw_data(), TIMESTEP=-0.25), None,
         "TIMESTEP must be at least one millisecond, got -0.25"),
        (_ravlin.fd_blackscholes_price, bs_data(spot=-1.0), None, None),
    ],
)
def test_grid_settings_are_checked_before_stepping(function, data, rows, text):
    rows = [("zcb", years(1.0), "+", 1.0, "USD")] if rows is None else rows
    with pytest.raises(RuntimeError) as error:
        function(timetable(rows), None, data, {})
    if text is None:  # a forward curve cannot hold a negative spot
        assert str(error.value).startswith("Error while parsing Dataset, caused by\nAsset 'SPX' has a forward of -1")
    else:
        assert str(error.value) == ME + text


@pytest.mark.parametrize(
    "rows, cause",
    [
        ([("zcb", None, "+", 1.0, "USD")], "missing time"),
        ([("zcb", years(2.0), "+", 1.0, "USD"), ("zcb", years(1.0), "+", 1.0, "USD")],
         f"event time is earlier than the current time {years(2.0)}"),
        ([("zcb", T0 - 1, "+", 1.0, "USD")], f"event time is earlier than the current time {T0}"),
    ],
)
def test_grid_rows_must_come_in_time_order(rows, cause):
    with pytest.raises(RuntimeError) as error:
        _ravlin.fd_hullwhite_price(timetable(rows), None, hw_data(n_x=5), {})
    assert str(error.value).endswith(", caused by \n" + cause)


def test_the_price_is_the_value_at_the_pricing_time():
    # One row at one year with quarter-year steps: the walk ends with a step
    # to the pricing time itself, so the bond is discounted over the full year.
    rows = [("zcb", years(1.0), "+", 1.0, "USD")]
    data = {**hw_data(vol=0.0), "FD": {"N_X": 5, "MAX_X": 0.05, "TIMESTEP": 0.25}}
    assert _ravlin.fd_hullwhite_price(timetable(rows), None, data, {}) == pytest.approx(discount(1.0), rel=1e-6)


# ---- Node coordinates ("NODES" of "FD", our own) ----------------------------------


def lattice_nodes(data):
    fd = data["FD"]
    return fd["MAX_X"] - np.arange(2 * fd["N_X"] + 1) * (fd["MAX_X"] / fd["N_X"])


def last_step_years(row_ms, timestep):
    """Where the grid's last step, the one that ends at the pricing time, begins."""
    step, span = int(timestep * YEAR_MS), row_ms - T0
    return (span - (span - 1) // step * step) / YEAR_MS


@pytest.mark.parametrize(
    "function, data, row_years, expected",
    [
        # the spot price on each node, exp correctly rounded
        (_ravlin.fd_blackscholes_price, bs_data(n_x=10), 1.0,
         lambda x, data, y: [float(Decimal(v).exp()) for v in x + math.log(SPOT)]),
        # the short rate over the last step: the node plus the curve's rate over it
        (_ravlin.fd_hullwhite_price, hw_data(n_x=10), 1.3,
         lambda x, data, y: x + log_df(y) / y),
        # the same with the curve fit, whose convexity is 0 at the pricing time
        (_ravlin.fd_hullwhite_price, {**hw_data(n_x=10), "HW": {"MEANREV": 0.1, "VOL": 0.01, "CURVE_FIT": 1}}, 1.3,
         lambda x, data, y: x + log_df(y) / y),
        # no step at all: the rate of the curve's first millisecond
        (_ravlin.fd_hullwhite_price, hw_data(n_x=10), 0.0,
         lambda x, data, y: x + log_df(1 / YEAR_MS) * YEAR_MS),
    ],
    ids=["Black-Scholes", "Hull-White", "Hull-White with the curve fit", "Hull-White without steps"],
)
def test_nodes_are_the_coordinates_of_the_nodes_at_the_pricing_time(function, data, row_years, expected):
    rows = [("zcb", years(row_years), "+", 1.0, "USD")]
    if function is _ravlin.fd_blackscholes_price:
        rows = vanilla("call")
    recorder = Recorder()
    price = function(timetable(rows), recorder, with_fd(data, FLAGS=1, NODES=1), {})
    assert recorder.names() == ["PV_VEC", "NODES"]
    assert price == function(timetable(rows), None, data, {})
    step = last_step_years(years(row_years), data["FD"]["TIMESTEP"]) if row_years else None
    np.testing.assert_allclose(recorder.get("NODES"), expected(lattice_nodes(data), data, step), rtol=0, atol=1e-16)


@pytest.mark.parametrize(
    "value, text",
    [
        (0, None),
        (True, "NODES"),
        (2, "Invalid value '2' for key 'NODES'"),
        (-1, "Error in value of NODES, likely incorrect type. caused by \n"
             "OverflowError: can't convert negative int to unsigned"),
        (1.0, "Error in value of NODES, likely incorrect type. caused by \n"
              "TypeError: 'float' object cannot be interpreted as an integer"),
    ],
)
def test_nodes_is_a_switch(value, text):
    recorder = Recorder()
    args = (timetable([("zcb", years(1.0), "+", 1.0, "USD")]), recorder, with_fd(hw_data(n_x=5), NODES=value), {})
    if text is None or text == "NODES":
        _ravlin.fd_hullwhite_price(*args)
        assert recorder.names() == ([] if text is None else ["NODES"])
        return
    with pytest.raises(RuntimeError) as error:
        _ravlin.fd_hullwhite_price(*args)
    assert str(error.value) == "Error while parsing Dataset, caused by\n" + text


# ---- Reproducibility ------------------------------------------------------------

def summed_american_puts(strikes, days):
    """Track 0 holds the sum of one American put per strike, so every track of the grid counts."""
    names = [f"put{k}" for k in range(len(strikes))]
    rows = [("total", T0, "+", 1.0, name) for name in names]
    rows += [(name, T0, "+", -1.0, "SPX") for name in names]
    for d in range(1, days + 1):  # exercise dates off the regular steps
        rows += [(name, years(d / days * 0.5 + 0.0013), ">", k, "USD") for name, k in zip(names, strikes)]
    rows += [(name, years(0.5013), "+", 1.0, "SPX") for name in names]
    return rows, ["total"] + names


def curve_bs_data(vol):
    return dataset(ASSETS={"USD": ("ZERO_RATES", CURVE), "SPX": forward_curve(SPOT, 0.01)},
                   FD={"N_X": 40, "MAX_X": 1.0, "TIMESTEP": 1 / 100}, BS={"VOL": vol, "ASSET": "SPX"})


def hw_callable(meanrev):
    """Track 0 is a bond less its copy that the issuer may call, both with their own steps."""
    coupons = [(y / 2, 2.5) for y in range(1, 9)] + [(4.0, 100.0)]
    rows = [("price", T0, "+", 1.0, "bond"), ("price", T0, "+", -1.0, "callable")]
    rows += sorted([(track, years(y), "+", q, "USD") for y, q in coupons for track in ("bond", "callable")]
                   + [("callable", years(y / 2 + 0.01), "<", 100.0, "USD") for y in range(2, 8)],
                   key=lambda row: row[1])
    data = dataset(ASSETS={"USD": ("ZERO_RATES", CURVE)},
                   FD={"N_X": 30, "MAX_X": 0.1, "TIMESTEP": 1 / 50}, HW={"MEANREV": meanrev, "VOL": 0.012})
    return _ravlin.fd_hullwhite_price, rows, ["price", "bond", "callable"], data


@pytest.mark.parametrize(
    "function, rows, tracks, data, price",
    [
        (_ravlin.fd_blackscholes_price, *summed_american_puts([100.0], 40), curve_bs_data(0.25),
         "0x1.757b8a9fecc60p+2"),
        (_ravlin.fd_blackscholes_price, *summed_american_puts([80.0 + 4.0 * k for k in range(11)], 30),
         curve_bs_data(0.3), "0x1.7ed694d605e0ep+6"),
        (_ravlin.fd_blackscholes_price, vanilla("call"), None, bs_data(n_x=50, timestep=1 / 64),
         "0x1.23988d4d1fb92p+3"),
        (*hw_callable(0.1), "0x1.5e839e2311a60p+1"),
        (*hw_callable(0.0), "0x1.78deb4a8ae3a0p+1"),
    ],
    ids=["one American put", "eleven American puts", "European call", "callable bond",
         "callable bond without mean reversion"],
)
def test_grid_prices_are_reproduced_to_the_last_bit(function, rows, tracks, data, price):
    # Any change to the order or rounding of the grid's arithmetic moves these bits.
    assert function(timetable(rows, tracks=tracks), None, data, {}).hex() == price

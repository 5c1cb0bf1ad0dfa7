"""Generated inputs to the package's front door end in a finite price inside its no-arbitrage bounds,
or in an error of a known kind that names the argument at fault."""

import math
import warnings

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import ravlin

ERRORS = (ravlin.TimetableError, ravlin.PricingError, TypeError, ValueError, MemoryError)
# Names a message may give for a setting the call did not corrupt (grid and path guard rails).
SETTINGS = ("volatility", "nodes_per_side", "half_width", "timestep", "paths")
NOT_NUMBERS = [True, "1", None, [1.0]]
BAD = {"forwards": [math.nan, math.inf, -1.0, 0.0, 1e308, *NOT_NUMBERS],
       "strike": [math.nan, math.inf, -1.0, 0.0, *NOT_NUMBERS], "kind": ["Call", 1, None],
       "quantity": [math.nan, -math.inf, *NOT_NUMBERS], "volatility": [math.nan, -0.1, 25.0, *NOT_NUMBERS],
       "paths": [0, 1.5, 10**12, *NOT_NUMBERS]}


def maybe_bad(good, name):
    """A good value, or a bad one recorded under `name`."""
    return st.one_of(good.map(lambda v: (v, None)), st.sampled_from(BAD[name]).map(lambda v: (v, name)))


@st.composite
def cases(draw):
    corrupted = []

    def take(strategy, name):
        value, bad = draw(maybe_bad(strategy, name)) if draw(st.integers(0, 4)) == 0 else (draw(strategy), None)
        if bad:
            corrupted.append(bad)
        return value

    rate = draw(st.floats(-0.03, 0.15))
    growth = draw(st.floats(-0.1, 0.15))
    spot = take(st.floats(1.0, 1000.0), "forwards")
    try:
        market = ravlin.Market(base="USD", pricing_time="2025-01-02", curves={
            "USD": ravlin.ZeroCurve.flat(rate, horizon=60),
            "SPX": ravlin.ForwardCurve(times=[0.0, 60.0], forwards=[spot, spot * math.exp(growth * 60)]
                                       if not isinstance(spot, (list, str, type(None))) else [spot, spot])})
    except ERRORS as error:
        return ("market", error, corrupted)
    days = draw(st.integers(1, 3 * 365))
    expiry = np.datetime64("2025-01-02") + np.timedelta64(days, "D")
    style = draw(st.sampled_from(["european", "american", "rows"]))
    try:
        if style == "rows":
            quantity = take(st.floats(-1e6, 1e6), "quantity")
            contract = [("c", expiry, "+", quantity, "SPX"), ("c", expiry, "+", -1.0, "USD")]
        else:
            option = ravlin.EuropeanOption if style == "european" else ravlin.AmericanOption
            contract = option(expiry=expiry, strike=take(st.floats(0.2, 5.0).map(lambda k: k * spot), "strike"),
                              kind=take(st.sampled_from(["call", "put"]), "kind"), asset="SPX", currency="USD",
                              **({} if style == "european" else {"start": "2025-01-02"}))
        which = draw(st.sampled_from(["fixed", "grid", "grid", "mc"]))
        if which == "fixed":
            model = ravlin.Fixed()
        elif which == "grid":
            model = ravlin.BlackScholesGrid(
                asset="SPX", volatility=take(st.floats(0.0, 5.0), "volatility"),
                nodes_per_side=draw(st.one_of(st.none(), st.none(), st.integers(20, 1000))),
                half_width=draw(st.one_of(st.none(), st.none(), st.floats(1e-5, 700.0))))
        else:
            volatility = take(st.floats(0.0, 5.0), "volatility")
            model = ravlin.MonteCarlo(paths=take(st.integers(2, 2000), "paths"), seed=draw(st.integers(0, 99)),
                                      state=ravlin.paths.GeometricBrownianMotion(volatility={"SPX": volatility}),
                                      statistics=["values"])
    except ERRORS as error:
        return ("build", error, corrupted)
    return (contract, market, model, corrupted)


def named(error, corrupted):
    """Whether the message names a corrupted argument or a model setting that its guard rails refused."""
    text = str(error)
    return any(name in text for name in (*corrupted, *SETTINGS))


@settings(max_examples=300, derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(cases())
def test_generated_inputs_end_in_a_bounded_price_or_a_named_error(case):
    if isinstance(case[0], str):  # refused while building its arguments
        _, error, corrupted = case
        event("refused when built")
        assert isinstance(error, ERRORS) and named(error, corrupted), repr(error)
        return
    contract, market, model, corrupted = case
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ravlin.price(contract, market, model)
        except ERRORS as error:
            event(f"refused when priced by {type(model).__name__}")
            assert named(error, corrupted), repr(error)
            return
    event(f"priced by {type(model).__name__}")
    assert math.isfinite(result.price)
    alarms = [w for w in caught if issubclass(w.category, ravlin.ArbitrageWarning)]
    bounds = contract.price_bounds(market) if hasattr(contract, "price_bounds") else None
    if alarms:
        assert type(model).__name__ in str(alarms[0].message)
    elif bounds is not None:
        lower, upper = bounds
        slack = 1e-9 * (abs(lower) + abs(upper)) + 4 * (result.standard_error or 0.0)
        assert lower - slack <= result.price <= upper + slack


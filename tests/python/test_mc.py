"""mc_price end to end, driven by Python path objects."""

import math

import numpy as np
import pytest

import _ravlin
from conftest import T0, YEAR_MS, Recorder, dataset, flat_rate, forward_curve, gbm_paths, timetable
from test_fixed import SMALL, base_data, years

ME = "Error during model evaluation, caused by\n"


class Quiet(Recorder):
    """Declines every question: the dataset's curves price the contract."""

    def __init__(self, advance=None, value=None):
        super().__init__()
        self.advance_result, self.value_result = advance, value
        self.calls = []

    def advance(self, t):
        self.calls.append(("advance", t))
        return self.advance_result

    def get_value(self, name):
        self.calls.append(("get_value", name))
        return self.value_result


def mc(rows, state, data, expressions=None, **kwargs):
    return _ravlin.mc_price(timetable(rows, **kwargs), state, data, expressions or {})


def mc_data(paths=4, flags=0, **sections):
    data = base_data(**sections)
    data["MC"] = {"PATHS": paths, "SEED": 7, "FLAGS": flags}
    return data


CONTRACTS = [
    SMALL,
    [("leg", years(1.0), ">", 90.0, "USD"), ("leg", years(2.0), "+", 100.0, "USD")],
    [("leg", years(1.0), "<", 99.0, "EUR"), ("leg", years(2.0), "+", 100.0, "EUR")],
    [("a", years(1.0), ">", 1.0, "b"), ("a", years(2.0), "+", 50.0, "USD"),
     ("b", years(3.0), "+", 60.0, "USD")],
    [("leg", years(1.0), "s", 50.0, "USD"), ("leg", years(2.0), "+", 100.0, "p")],
]
EXPRESSIONS = {"s": {"type": "phrase", "fn": lambda xs: [0.25], "inp": []},
               "p": {"type": "phrase", "fn": lambda xs: [xs[0] * 2], "inp": ["EUR"]}}


@pytest.mark.parametrize("rows", CONTRACTS)
def test_a_state_that_declines_prices_like_the_fixed_model(rows):
    fixed = _ravlin.fixed_price(timetable(rows), None, base_data(), EXPRESSIONS)
    assert mc(rows, Quiet(), mc_data(), EXPRESSIONS) == pytest.approx(fixed, rel=1e-14)


def test_advance_once_per_distinct_later_time():
    rows = [("leg", T0, "+", 1.0, "USD"), ("leg", years(0.5), "+", 1.0, "USD"),
            ("leg", years(0.5), "+", 1.0, "EUR"), ("leg", years(2.0), "+", 1.0, "USD")]
    state = Quiet()
    mc(rows, state, mc_data())
    assert state.calls == [("get_value", "USD"), ("advance", 0.5), ("get_value", "USD"),
                           ("get_value", "EUR"), ("advance", 2.0), ("get_value", "USD")]


def test_an_event_at_pricing_time_calls_nothing_but_get_value():
    state = Quiet()
    assert mc([("leg", T0, "+", 3.0, "USD")], state, mc_data()) == 3.0
    assert state.calls == [("get_value", "USD")]


@pytest.mark.parametrize(
    "advance, expected",
    [
        (1.0, 1.0),
        (np.array([1.0]), 1.0),
        (2.0, 4.0),  # compounded at both later times
        (np.full((2, 2), 0.5), None),  # not an array of one dimension: dataset factor
        (None, None),
        (np.array([2.0], dtype=np.float32), 4.0),
        (np.array([2.0], dtype=">f8"), 4.0),
        (np.array([2]), 4.0),
        ([2.0], 4.0),
    ],
)
def test_advance_results(advance, expected):
    rows = [("leg", years(1.0), "+", 0.0, "USD"), ("leg", years(2.0), "+", 1.0, "USD")]
    value = mc(rows, Quiet(advance=advance), mc_data())
    dataset_factor = _ravlin.fixed_price(timetable(rows), None, base_data(), {})
    assert value == pytest.approx(dataset_factor if expected is None else expected, rel=1e-15)


@pytest.mark.parametrize(
    "value, expected",
    [(7.0, 7.0), (7, 7.0), (np.array(7.0), 7.0), (np.array([7], dtype=np.int64), 7.0),
     (np.full(4, 7.0, dtype=np.float32), 7.0), (np.array([7.0], dtype=">f8"), 7.0),
     (np.array([True]), 1.0), ([7.0, 7, 7, 7], 7.0), ((7.0,), 7.0),
     (None, 1.1), (np.array([[7.0]]), 1.1)],  # no answer: the dataset's value
)
def test_get_value_numbers_of_any_type_are_values(value, expected):
    rows = [("leg", T0, "+", 1.0, "EUR")]
    assert mc(rows, Quiet(value=value), mc_data()) == pytest.approx(expected)


@pytest.mark.parametrize("method", ["advance", "get_value"])
@pytest.mark.parametrize(
    "result, found",
    [("no", "'str'"), ({"a": 1.0}, "'dict'"), (np.array(["a"]), "an array of dtype <U1"),
     (np.array([1.0], dtype=object), "an array of dtype object"),
     (np.array([1j]), "an array of dtype complex128"), ([1.0, "x"], "a list holding 'str'")],
)
def test_results_that_are_no_numbers_name_the_method_and_the_question(method, result, found):
    state = Quiet(**{"advance" if method == "advance" else "value": result})
    with pytest.raises(RuntimeError) as error:
        mc([("leg", years(1.0), "+", 1.0, "EUR")], state, mc_data())
    call = "advance(1)" if method == "advance" else "get_value('EUR')"
    assert str(error.value).endswith(
        f"Error in Python method '{method}', caused by \nTypeError: {call} returned {found}: "
        "expected None, a number, or a one-dimensional array or list of numbers")


def laid_out(values, layout):
    """The same float64 values in another memory layout."""
    if layout == "strided":
        doubled = np.empty(2 * len(values))
        doubled[::2] = values
        return doubled[::2]
    if layout == "unaligned":
        raw = np.zeros(len(values) * 8 + 1, dtype=np.uint8)
        array = raw[1:].view(np.float64)
        array[:] = values
        return array
    return values.astype(">f8")


@pytest.mark.parametrize("layout", ["strided", "unaligned", "big-endian"])
def test_path_arrays_of_any_layout_give_the_same_bits(layout):
    # Contiguous float64 arrays are read where they lie; any other layout is
    # copied first: no path's value may tell them apart.
    rng = np.random.default_rng(5)
    steps = {t: rng.uniform(0.9, 1.0, 6) for t in (1.0, 2.0)}
    spots = {t: rng.uniform(50.0, 150.0, 6) for t in (1.0, 2.0)}

    class Paths(Recorder):
        def __init__(self, arrange):
            super().__init__()
            self.arrange, self.t = arrange, 0.0

        def advance(self, t):
            self.t = round(t)
            return self.arrange(steps[self.t])

        def get_value(self, name):
            return self.arrange(spots[self.t])

    def present_values(rows, arrange):
        state = Paths(arrange)
        mc(rows, state, mc_data(paths=6, flags=1))
        return state.get("PV_VEC").tobytes()

    # One payment each, so that every path's value is the product itself.
    for rows in ([("leg", years(1.0), "+", 0.3, "X")], [("leg", years(2.0), ">", 1.7, "X")]):
        assert present_values(rows, np.copy) == present_values(rows, lambda v: laid_out(v, layout))


def test_per_path_values_and_discounts(recorder):
    class Paths(Recorder):
        def advance(self, t):
            return np.array([1.0, 0.5, 0.25])

        def get_value(self, name):
            return np.array([10.0, 20.0, 30.0, 40.0, 50.0, 60.0])[::2]  # strided

    state = Paths()
    rows = [("leg", years(1.0), ">", 1.0, "X"), ("leg", years(1.0), "+", 0.0, "USD")]
    value = mc(rows, state, mc_data(paths=3, flags=3))
    np.testing.assert_allclose(state.get("PV_VEC"), [10.0, 15.0, 12.5])
    assert value == pytest.approx((10.0 + 15.0 + 12.5) / 3)
    assert state.get("CHOICES")[0][0].tolist() == [1, 1, 1]


def test_european_call_within_three_standard_errors_of_black_scholes():
    spot, strike, rate, vol, expiry, paths = 100.0, 105.0, 0.03, 0.25, 1.5, 40_000
    state = gbm_paths(spot, rate, vol, paths, seed=11)
    data = dataset(ASSETS={"USD": flat_rate(rate)}, MC={"PATHS": paths, "SEED": 11, "FLAGS": 1})
    expressions = {"call": {"type": "phrase", "fn": lambda xs: [np.maximum(xs[0] - strike, 0.0)],
                            "inp": ["SPX"]}}
    value = _ravlin.mc_price(timetable([("opt", years(expiry), "+", 1.0, "call")]), state, data,
                             expressions)
    pv = state.stats["PV_VEC"]
    assert pv.shape == (paths,) and value == pytest.approx(pv.mean(), rel=1e-12)
    d1 = (math.log(spot / strike) + (rate + vol**2 / 2) * expiry) / (vol * math.sqrt(expiry))
    d2 = d1 - vol * math.sqrt(expiry)
    normal = lambda x: 0.5 * math.erfc(-x / math.sqrt(2))
    closed = spot * normal(d1) - strike * math.exp(-rate * expiry) * normal(d2)
    assert abs(value - closed) < 3 * pv.std(ddof=1) / math.sqrt(paths)


def test_snapper_values_per_path():
    class Paths(Quiet):
        def get_value(self, name):
            return np.array([1.0, 2.0]) if name == "X" else None

    expressions = {"sn": {"type": "snapper", "fn": lambda xs: [xs[0] * 3, xs[0]],
                          "inp": ["X"], "out": ["tripled"]}}
    rows = [("leg", T0, "+", 1.0, "sn"), ("leg", T0, "+", 2.0, "tripled")]
    state = Paths()
    state.set_stat = Recorder.set_stat.__get__(state)
    value = mc(rows, state, mc_data(paths=2, flags=1), expressions)
    assert value == pytest.approx(9.0)
    np.testing.assert_array_equal(state.get("PV_VEC"), [6.0, 12.0])


DESC = '#0: track: "Track(0)", time: Single(2024-12-31T00:00:00Z), op: +, qty: 1, unit: "Asset(X)"'


class Raising(Quiet):
    def __init__(self, method):
        super().__init__()
        self.method = method

    def advance(self, t):
        if self.method == "advance":
            raise ValueError("no step")
        return None

    def get_value(self, name):
        if self.method == "get_value":
            raise KeyError(name)
        return {"short": np.ones(5), "wrong": np.ones(3)}.get(self.method)


class NoMethods:
    pass


@pytest.mark.parametrize(
    "state, paths, text",
    [
        (Raising("advance"), 3, "Error in Python method 'advance', caused by \nValueError: no step"),
        (NoMethods(), 3, "Error in Python method 'advance', caused by \n"
                         "AttributeError: 'NoMethods' object has no attribute 'advance'"),
        (Raising("get_value"), 3, "Error at event:\n  " + DESC + ", caused by \n"
                                  "Error in Python method 'get_value', caused by \nKeyError: 'X'"),
        (Raising("short"), 3, "Error at event:\n  " + DESC + ", caused by \n"
                              "Value arrays of lengths 5 and 3 cannot be combined"),
        (Raising("none"), 0, "Empty PV Vector"),
    ],
)
def test_state_faults(state, paths, text):
    data = mc_data(paths=paths)
    data["ASSETS"]["X"] = forward_curve(1.0)
    with pytest.raises(RuntimeError) as error:
        mc([("leg", T0 + YEAR_MS * 1, "+", 1.0, "X")], state, data)
    assert str(error.value) == ME + text


def test_mismatched_discount_lengths():
    class TwoDiscounts(Quiet):
        def __init__(self):
            super().__init__()
            self.n = 1

        def advance(self, t):
            self.n += 1
            return np.ones(self.n)

    rows = [("leg", years(1.0), "+", 1.0, "USD"), ("leg", years(2.0), "+", 1.0, "USD")]
    with pytest.raises(RuntimeError) as error:
        mc(rows, TwoDiscounts(), mc_data(paths=2))
    assert str(error.value) == ME + "Value arrays of lengths 2 and 3 cannot be combined"


@pytest.mark.parametrize(
    "rows, text",
    [
        ([("leg", None, "+", 1.0, "USD")], "missing time"),
        ([("leg", T0 - 1000, "+", 1.0, "USD")], f"event time is earlier than the current time {T0}"),
    ],
)
def test_event_time_faults(rows, text):
    with pytest.raises(RuntimeError) as error:
        mc(rows, Quiet(), mc_data())
    assert str(error.value).startswith(ME + "Error at event:\n  #0: ")
    assert str(error.value).endswith(", caused by \n" + text)


def test_seed_is_required_but_unused():
    rows = [("leg", years(1.0), "+", 1.0, "USD")]
    values = {mc(rows, Quiet(), {**mc_data(), "MC": {"PATHS": 2, "SEED": seed}}) for seed in (0, 2**64 - 1)}
    assert len(values) == 1
    with pytest.raises(RuntimeError, match="SEED, likely incorrect type"):
        mc(rows, Quiet(), {**mc_data(), "MC": {"PATHS": 2, "SEED": -1}})

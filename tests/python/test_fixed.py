"""fixed_price end to end: values, choices, conditions, references and errors."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _ravlin
from conftest import DAY_MS, T0, YEAR_MS, Recorder, dataset, forward_curve, timetable

ME = "Error during model evaluation, caused by\n"


def log_curve(t, times, logs):
    """The curve's log value at year fraction t, computed independently."""
    times, logs = np.asarray(times, float), np.asarray(logs, float)
    if times[0] > 0 and t <= times[0]:
        return logs[0] * t / times[0]
    assert times[0] <= t <= times[-1]
    return float(np.interp(t, times, logs))


def years(t):
    return T0 + round(t * YEAR_MS)


RATES = ([0.5, 1.0, 3.0, 7.0], [0.02, 0.03, 0.035, 0.04])
BASE = ("ZERO_RATES", np.column_stack(RATES))


def df(t):
    times, rates = RATES
    return math.exp(-log_curve(t, times, np.multiply(times, rates)))


def price(rows, data=None, expressions=None, state=None, **kwargs):
    return _ravlin.fixed_price(timetable(rows, **kwargs), state, data or base_data(), expressions or {})


def base_data(**sections):
    return dataset(ASSETS={"USD": BASE, "EUR": forward_curve(1.1, 0.01)}, **sections)


def test_bond_is_sum_of_discounted_cash_flows():
    times = [0.25 * k for k in range(1, 21)]
    rows = [("bond", years(t), "+", 1.25, "USD") for t in times]
    rows.append(("bond", years(5.0), "+", 100.0, "USD"))
    expected = sum(1.25 * df(t) for t in times) + 100.0 * df(5.0)
    assert price(rows) == pytest.approx(expected, rel=1e-14)


def test_coupons_in_a_foreign_asset():
    times = [1.0, 2.0, 3.0]
    rows = [("leg", years(t), "+", 10.0, "EUR") for t in times]
    expected = sum(10.0 * df(t) * 1.1 * math.exp(0.01 * t) for t in times)
    assert price(rows) == pytest.approx(expected, rel=1e-13)


def test_event_at_pricing_time_is_undiscounted():
    assert price([("leg", T0, "+", 100.0, "USD")]) == 100.0


@pytest.mark.parametrize("exercise", [90.0, 95.0, 99.0, 101.0])
@pytest.mark.parametrize("op", [">", "<"])
def test_choices_take_the_larger_or_smaller(op, exercise):
    rows = [("leg", years(1.0), op, exercise, "USD"), ("leg", years(2.0), "+", 100.0, "USD")]
    continuation, offer = 100.0 * df(2.0), exercise * df(1.0)
    expected = max(continuation, offer) if op == ">" else min(continuation, offer)
    assert price(rows) == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize("weight", [0.0, 1.0, 0.5, 0.25])
def test_conditional_payment_blends_by_the_weight(weight):
    rows = [("leg", years(1.0), "s", 50.0, "USD"), ("leg", years(2.0), "+", 100.0, "USD")]
    expressions = {"s": {"type": "phrase", "fn": lambda xs: [weight], "inp": []}}
    expected = 100.0 * df(2.0) * (1 - weight) + 50.0 * df(1.0) * weight
    assert price(rows, expressions=expressions) == pytest.approx(expected, rel=1e-14)


def test_track_reference_pays_the_later_value_of_the_other_track():
    rows = [
        ("a", years(1.0), "+", 7.0, "b"),  # the quantity is not applied to a reference
        ("b", years(2.0), "+", 100.0, "USD"),
        ("a", years(3.0), "+", 1.0, "USD"),
    ]
    assert price(rows) == pytest.approx(100.0 * df(2.0) + df(3.0), rel=1e-14)


def test_reference_choice_against_another_track():
    rows = [("a", years(1.0), ">", 1.0, "b"), ("a", years(2.0), "+", 50.0, "USD"),
            ("b", years(3.0), "+", 60.0, "USD")]
    assert price(rows) == pytest.approx(max(50.0 * df(2.0), 60.0 * df(3.0)), rel=1e-14)


def test_phrases_snappers_and_snaps():
    seen = []

    def double_eur(xs):
        seen.append([x.copy() for x in xs])
        return [np.array([0.0]), xs[0] * 2.0]

    expressions = {
        "p": {"type": "phrase", "fn": double_eur, "inp": ["EUR"]},
        "snap": {"type": "snapper", "fn": lambda xs: [xs[0] + 1.0, 3.0, 4.0],
                 "inp": ["p"], "out": ["x", "y"]},
    }
    rows = [("leg", years(1.0), "+", 1.0, "p"), ("leg", years(1.0), "+", 1.0, "snap"),
            ("leg", years(2.0), "+", 1.0, "x"), ("leg", years(2.0), "+", 1.0, "y")]
    eur1 = 1.1 * math.exp(0.01)
    expected = df(1.0) * 2 * eur1 + df(2.0) * (2 * eur1 + 1.0) + df(2.0) * 3.0
    assert price(rows, expressions=expressions) == pytest.approx(expected, rel=1e-13)
    assert all(len(call) == 1 and call[0].dtype == np.float64 and call[0].ndim == 1 for call in seen)


@pytest.mark.parametrize(
    "result, value",
    [([0.5], 0.5), ([np.array([True])], 1.0), ([np.array([False])], 0.0), ([2], 2.0),
     ([np.array([9.0, 4.0])[::2]], 9.0), ([1.0, 2.0, 0.25], 0.25), ([np.float32(0.5)], 0.5)],
)
def test_phrase_results_convert(result, value):
    expressions = {"p": {"type": "phrase", "fn": lambda xs: result, "inp": []}}
    assert price([("leg", T0, "+", 4.0, "p")], expressions=expressions) == pytest.approx(4.0 * value)


def event_error(desc, cause):
    return ME + "Error at event:\n  " + desc + ", caused by \n" + cause


DESC0 = '#0: track: "Track(0)", time: Single(2024-01-01T00:00:00Z), op: +, qty: 2, unit: "Phrase(p)"'


@pytest.mark.parametrize(
    "fn, cause",
    [
        (lambda xs: (1.0,), "Error in found value, likely incorrect type: 'tuple' object cannot be converted to 'PyList'"),
        (lambda xs: ["a"], "Error in Python execution:\nExpected float or array, received <class 'str'>"),
        (lambda xs: [np.array([1, 2])], "Error in Python execution:\nExpected float or array, received <class 'numpy.ndarray'>"),
        (lambda xs: [np.ones((2, 2))], "Error in Python execution:\nExpected float or array, received <class 'numpy.ndarray'>"),
        (lambda xs: 1.0 / 0.0, "ZeroDivisionError: float division by zero"),
        (42, "TypeError: 'int' object is not callable"),
    ],
)
def test_phrase_failures_are_wrapped_with_the_event(fn, cause):
    expressions = {"p": {"type": "phrase", "fn": fn, "inp": []}}
    with pytest.raises(RuntimeError) as error:
        price([("leg", T0, "+", 2.0, "p")], expressions=expressions)
    assert str(error.value) == event_error(DESC0, "Error in Phrase Evaluation, caused by \n" + cause)


def test_empty_phrase_result():
    expressions = {"p": {"type": "phrase", "fn": lambda xs: [], "inp": []}}
    with pytest.raises(RuntimeError) as error:
        price([("leg", T0, "+", 2.0, "p")], expressions=expressions)
    assert str(error.value) == event_error(DESC0, "No output from phrase")


ROW = ("leg", T0, "+", 100.0, "USD")
DESC = '#{i}: track: "{track}", time: {time}, op: {op}, qty: 100, unit: "{unit}"'


@pytest.mark.parametrize(
    "rows, text",
    [
        ([("leg", T0 - 1, "+", 100.0, "USD")],
         event_error(DESC.format(i=0, track="Track(0)", time="Single(2023-12-31T23:59:59.999Z)", op="+", unit="Asset(USD)"),
                     f"event time is earlier than the current time {T0}")),
        ([ROW, ("leg", T0 + DAY_MS, "+", 100.0, "USD"), ("leg", T0 + DAY_MS - 1, "+", 100.0, "USD")],
         event_error(DESC.format(i=2, track="Track(0)", time="Single(2024-01-01T23:59:59.999Z)", op="+", unit="Asset(USD)"),
                     f"event time is earlier than the current time {T0 + DAY_MS}")),
        ([("leg", None, "+", 100.0, "USD")],
         event_error(DESC.format(i=0, track="Track(0)", time="Single(1970-01-01T00:00:00Z)", op="+", unit="Asset(USD)"), "No event time")),
        ([("leg", T0, "+", 100.0, None)],
         event_error(DESC.format(i=0, track="Track(0)", time="Single(2024-01-01T00:00:00Z)", op="+", unit="<none>"),
                     "Error in Event Specs: Missing Unit Name")),
        ([("leg", T0, "+", 100.0, "GBP")],
         event_error(DESC.format(i=0, track="Track(0)", time="Single(2024-01-01T00:00:00Z)", op="+", unit="Asset(GBP)"),
                     "Asset 'GBP' not found in snaps, expressions, or in dataset[ASSETS]")),
        ([("leg", T0, "+", 100.0, "x")],
         event_error(DESC.format(i=0, track="Track(0)", time="Single(2024-01-01T00:00:00Z)", op="+", unit="Snap(x)"),
                     "Unknown Snap 'x'")),
        ([("leg", years(8.0), "+", 100.0, "USD")],
         ME + "Error in 'discount factor' value at 8, caused by \n'Error: Interpolation out of range at time 8.\n"
              " Perhaps the time range in forwards/discount data is too short.'"),
        ([("leg", years(1.0), "+", 100.0, "EUR"), ("leg", years(40.0), "+", 1.0, "USD")],
         ME + "Error in 'discount factor' value at 40, caused by \n'Error: Interpolation out of range at time 40.\n"
              " Perhaps the time range in forwards/discount data is too short.'"),
        ([("leg", T0, None, 100.0, "USD")], ME + "Error in Op, caused by \nUnknown Op ''"),
        ([("a", T0, "+", 100.0, "b")], ME + "Track 1 not found"),
        ([(None, T0, "+", 100.0, "USD")], ME + "No track specified at event#0"),
        ([], ME + "Track 0 not found"),
    ],
)
def test_model_faults(rows, text):
    expressions = {"sn": {"type": "snapper", "fn": lambda xs: [1.0], "inp": [], "out": ["x"]}}
    with pytest.raises(RuntimeError) as error:
        price(rows, expressions=expressions, tracks=["a", "b"] if rows and rows[0][0] == "a" else None)
    assert str(error.value) == text


def test_reference_to_a_track_without_later_events():
    rows = [("a", T0, "+", 1.0, "b"), ("b", T0, "+", 1.0, "USD")]
    # Row 0 references b, whose only event comes later in the table: fine.
    assert price(rows) == pytest.approx(1.0)


def test_null_op_on_a_track_reference_fails_in_the_backward_pass():
    with pytest.raises(RuntimeError) as error:
        price([("a", T0, None, 1.0, "b"), ("b", T0, "+", 1.0, "USD")])
    assert str(error.value) == ME + "Error in Op, caused by \nUnknown Op ''"


# ---- statistics -----------------------------------------------------------

SMALL = [("leg", years(1.0), "+", 5.0, "USD"), ("leg", years(2.0), ">", 102.0, "USD"),
         ("leg", years(3.0), "+", 105.0, "USD"), ("other", years(3.0), "+", 1.0, "USD")]


def test_statistics_tables(recorder):
    value = price(SMALL, base_data(FIXED={"FLAGS": 11}), state=recorder)
    assert recorder.names() == ["PV_VEC", "CHOICES", "CASHFLOW"]
    assert value == pytest.approx(5 * df(1) + 102 * df(2), rel=1e-14)
    np.testing.assert_array_equal(recorder.get("PV_VEC"), [value])
    choices = recorder.get("CHOICES")
    assert list(choices) == [1] and list(choices[1]) == [0]
    assert choices[1][0].dtype == np.uint64 and choices[1][0].tolist() == [1]
    cashflow = recorder.get("CASHFLOW")
    assert sorted(cashflow) == [0, 1]
    assert {e: a.tolist() for e, a in cashflow[0].items()} == {
        0: [pytest.approx(5 * df(1))], 1: [pytest.approx(102 * df(2))], 2: [0.0]}
    assert {e: a.tolist() for e, a in cashflow[1].items()} == {3: [pytest.approx(df(3))]}
    for array in [choices[1][0], *cashflow[0].values()]:
        assert array.base is not None and not array.flags.owndata and array.flags.writeable
        assert array.ndim == 1


def test_choices_continue_on_ties_and_below(recorder):
    rows = [("leg", years(2.0), ">", 50.0, "USD"), ("leg", years(3.0), "+", 105.0, "USD")]
    price(rows, base_data(FIXED={"FLAGS": 2}), state=recorder)
    assert recorder.names() == ["CHOICES"]
    assert recorder.get("CHOICES")[0][0].tolist() == [0]


@pytest.mark.parametrize("flags, names", [(0, []), (4, []), (1, ["PV_VEC"]), (2, ["CHOICES"]),
                                          (8, ["CASHFLOW"]), (15, ["PV_VEC", "CHOICES", "CASHFLOW"])])
def test_flags_select_the_statistics(flags, names, recorder):
    price([ROW], base_data(FIXED={"FLAGS": flags}), state=recorder)
    assert recorder.names() == names


def test_choices_empty_without_choice_events(recorder):
    price([ROW], base_data(FIXED={"FLAGS": 2}), state=recorder)
    assert recorder.stats == [("CHOICES", {})]


def test_state_is_untouched_without_flags():
    class Untouchable:
        def __getattribute__(self, name):
            raise AssertionError(name)

    assert price([ROW], state=Untouchable()) == 100.0


class Failing(Recorder):
    def set_stat(self, name, value):
        super().set_stat(name, value)
        if name == "PV_VEC":
            raise ValueError("refused")


@pytest.mark.parametrize("state", [object(), None, Failing()])
def test_python_side_failures_of_statistics_are_swallowed(state):
    assert price(SMALL, base_data(FIXED={"FLAGS": 11}), state=state) > 0
    if isinstance(state, Failing):
        assert state.names() == ["PV_VEC", "CHOICES", "CASHFLOW"]


def test_no_statistics_when_pricing_fails(recorder):
    with pytest.raises(RuntimeError, match="Track 0 not found"):
        price([], base_data(FIXED={"FLAGS": 1}), state=recorder)
    assert recorder.stats == []


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.floats(0.0, 6.9), st.floats(-1e6, 1e6)), min_size=1, max_size=40))
def test_any_stream_of_payments_is_its_discounted_sum(payments):
    payments.sort()
    rows = [("leg", years(t), "+", q, "USD") for t, q in payments]
    expected = sum(q * df((years(t) - T0) / YEAR_MS) for t, q in payments)
    assert price(rows) == pytest.approx(expected, rel=1e-12, abs=1e-9)


# ---- prices pinned to the last bit ------------------------------------------

def _pinned_coupons():
    rows = [("bond", years(0.137 * k), "+", 1.25 + 0.01 * k, "USD" if k % 3 else "EUR")
            for k in range(1, 51)]
    return rows + [("bond", years(6.85), "+", 100.0, "USD")], {}


def _pinned_choices():
    return [("a", years(0.7), ">", 1.0, "b"), ("b", years(0.9), "<", 97.0, "USD"),
            ("a", years(1.5), "+", 3.5, "EUR"), ("b", years(2.5), "+", 102.0, "USD"),
            ("a", years(2.5), "+", 40.0, "EUR"), ("a", years(2.5), ">", 45.0, "USD"),
            ("a", years(4.0), "+", 60.0, "USD")], {}


def _pinned_conditions():
    expressions = {"s": {"type": "phrase", "fn": lambda xs: [xs[0] * 0.3], "inp": ["EUR"]},
                   "snap": {"type": "snapper", "fn": lambda xs: [xs[0] * 0.5], "inp": ["EUR"],
                            "out": ["x"]}}
    return [("leg", years(0.3), "+", 1.0, "snap"), ("leg", years(1.2), "s", 20.0, "USD"),
            ("leg", years(1.2), "+", 7.0, "x"), ("leg", years(3.3), "s", 30.0, "x"),
            ("leg", years(5.5), "+", 100.0, "USD")], expressions


@pytest.mark.parametrize("contract, pinned", [
    (_pinned_coupons, "0x1.21822d99a257ap+7"),
    (_pinned_choices, "0x1.8342bde894811p+6"),
    (_pinned_conditions, "0x1.7d5ac8b0ec979p+5"),
])
def test_prices_keep_their_last_bit(contract, pinned):
    """The arithmetic and its order are part of the result: a faster walk
    must give the very same double."""
    rows, expressions = contract()
    assert price(rows, expressions=expressions).hex() == pinned

"""Black-76, Bachelier and implied volatility against QuantLib and against their own inverses."""

import numpy as np
import pytest

import ravlin

# A standard test grid: strikes from a quarter to four times the forward,
# a week to ten years, volatilities from 5% to 150% a year (Black), and
# strikes within 300 basis points with 5 to 300 basis points a year (normal).
MONEYNESS = np.array([0.25, 0.5, 0.8, 0.9, 0.97, 1.0, 1.03, 1.1, 1.25, 1.5, 2.0, 4.0])
EXPIRIES = np.array([1 / 52, 0.25, 1.0, 3.0, 10.0])
BLACK_VOLS = np.array([0.05, 0.1, 0.2, 0.4, 0.8, 1.5])
OFFSETS = np.array([-0.03, -0.01, -0.002, 0.0, 0.001, 0.005, 0.02, 0.03])
NORMAL_VOLS = np.array([0.0005, 0.002, 0.01, 0.03])


def grid(levels, vols):
    k, t, v = np.meshgrid(levels, EXPIRIES, vols, indexing="ij")
    return k.ravel(), t.ravel(), v.ravel()


@pytest.mark.parametrize("kind", ["call", "put"])
@pytest.mark.parametrize("model", ["black", "shifted", "normal"])
def test_premiums_agree_with_quantlib(model, kind):
    ql = pytest.importorskip("QuantLib")
    option = ql.Option.Call if kind == "call" else ql.Option.Put
    forward, discount = (0.02, 4.2) if model != "black" else (100.0, 0.93)
    if model == "normal":
        strikes, expiries, vols = grid(forward + OFFSETS, NORMAL_VOLS)
        ours = ravlin.bachelier_price(forward, strikes, expiries, vols, discount=discount, kind=kind)
        theirs = [ql.bachelierBlackFormula(option, k, forward, v * t**0.5, discount)
                  for k, t, v in zip(strikes, expiries, vols)]
    else:
        shift = 0.03 if model == "shifted" else 0.0
        levels = forward * MONEYNESS if model == "black" else forward + OFFSETS[OFFSETS > -0.02]
        strikes, expiries, vols = grid(levels, BLACK_VOLS)
        ours = ravlin.black_scholes_price(forward, strikes, expiries, vols, discount=discount, kind=kind,
                                          displacement=shift)
        theirs = [ql.blackFormula(option, k, forward, v * t**0.5, discount, shift)
                  for k, t, v in zip(strikes, expiries, vols)]
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-12 * discount * (forward + 0.03))


def round_trip(model, kind):
    """Out-of-the-money premiums of the grid, their volatilities, and what the solver gives back."""
    if model == "black":
        forward = 100.0
        strikes, expiries, vols = grid(forward * MONEYNESS, BLACK_VOLS)
        price = ravlin.black_scholes_price
    else:
        forward = 0.02
        strikes, expiries, vols = grid(forward + OFFSETS, NORMAL_VOLS)
        price = ravlin.bachelier_price
    otm = strikes >= forward if kind == "call" else strikes <= forward
    premiums = price(forward, strikes[otm], expiries[otm], vols[otm], discount=0.9, kind=kind)
    keep = premiums > 1e-300
    implied = ravlin.implied_volatility(premiums[keep], forward, strikes[otm][keep], expiries[otm][keep],
                                        discount=0.9, kind=kind, model=model)
    return forward, strikes[otm][keep], expiries[otm][keep], vols[otm][keep], premiums[keep], implied


@pytest.mark.parametrize("kind", ["call", "put"])
@pytest.mark.parametrize("model", ["black", "normal"])
def test_implied_volatility_inverts_the_premium_to_1e12(model, kind):
    *_, vols, premiums, implied = round_trip(model, kind)
    assert premiums.size > 50
    np.testing.assert_allclose(implied, vols, rtol=1e-12)


@pytest.mark.parametrize("model", ["black", "normal"])
def test_implied_volatility_agrees_with_quantlib_near_the_money(model):
    ql = pytest.importorskip("QuantLib")
    forward, strikes, expiries, vols, premiums, implied = round_trip(model, "call")
    near = np.abs(np.log(strikes / forward) if model == "black" else strikes - forward) \
        <= (1.5 if model == "black" else 3.0) * vols * np.sqrt(expiries)
    theirs = []
    for k, t, p in zip(strikes[near], expiries[near], premiums[near]):
        if model == "black":
            theirs.append(ql.blackFormulaImpliedStdDev(ql.Option.Call, k, forward, p, 0.9, 0.0, 0.3 * t**0.5,
                                                       1e-15, 1000)
                          / t**0.5)
        else:
            theirs.append(ql.bachelierBlackFormulaImpliedVol(ql.Option.Call, k, forward, t, p, 0.9))
    np.testing.assert_allclose(implied[near], theirs, rtol=1e-12)


def test_in_the_money_premiums_reprice_exactly():
    strikes, expiries, vols = grid(100.0 * MONEYNESS, BLACK_VOLS)
    calls = ravlin.black_scholes_price(100.0, strikes, expiries, vols)
    implied = ravlin.implied_volatility(calls, 100.0, strikes, expiries)
    np.testing.assert_allclose(ravlin.black_scholes_price(100.0, strikes, expiries, implied), calls,
                               rtol=1e-13, atol=1e-13)


@pytest.mark.parametrize("price, kwargs, message", [
    (9.9, dict(forward=100.0, strike=90.0), "below its discounted intrinsic value 10"),
    (100.0, dict(forward=100.0, strike=90.0), "reaches the Black model's upper bound 100 (discount × forward)"),
    (95.0, dict(forward=100.0, strike=95.0, kind="put", discount=0.5), "upper bound 47.5 (discount × strike)"),
    (1.0, dict(forward=100.0, strike=100.0, expiry=0.0), "at expiry 0 differs"),
    (-0.1, dict(forward=0.01, strike=0.02, model="normal"), "below its discounted intrinsic value 0"),
])
def test_prices_outside_the_bounds_are_refused(price, kwargs, message):
    kwargs = {"expiry": 1.0, **kwargs}
    with pytest.raises(ValueError, match="no volatility gives it") as error:
        ravlin.implied_volatility(price, **kwargs)
    assert message in str(error.value)


def test_the_intrinsic_value_itself_has_zero_volatility():
    assert ravlin.implied_volatility([10.0, 0.0], 100.0, [90.0, 110.0], 1.0).tolist() == [0.0, 0.0]
    # no normal upper bound: any time value has a volatility
    assert ravlin.implied_volatility(5.0, 0.0, 0.0, 1.0, model="normal") == pytest.approx(5.0 * np.sqrt(2 * np.pi))

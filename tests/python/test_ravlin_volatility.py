"""Volatility inputs: interpolation in total variance, arbitrage refused by name, Dupire's local volatility."""

import math

import numpy as np
import pytest

import ravlin

MARKET = ravlin.Market(base="USD", pricing_time="2025-01-01",
                       curves={"USD": ravlin.ZeroCurve.flat(0.03), "SPX": ravlin.ForwardCurve.flat(100.0, 0.02)})
EXPIRIES = [0.25, 0.5, 1.0, 2.0]
MONEYNESS = [0.6, 0.8, 0.9, 1.0, 1.1, 1.25, 1.6]


def svi(k, t):
    """A smile without arbitrage: raw SVI total variance, growing with the expiry."""
    return t * (0.02 + 0.08 * (-0.6 * k + np.sqrt(k**2 + 0.04)))


def smile_surface(by="strikes"):
    forwards = np.array([MARKET.forward("SPX", t) for t in EXPIRIES])
    k = np.log(MONEYNESS)
    vols = [np.sqrt(svi(k, t) / t) for t in EXPIRIES]
    if by == "moneyness":
        return ravlin.VolatilitySurface(expiries=EXPIRIES, moneyness=MONEYNESS, volatilities=vols)
    # one strike grid for all expiries: the moneyness of each quote differs by expiry
    strikes = 100.0 * np.array(MONEYNESS)
    vols = [np.sqrt(svi(np.log(strikes / f), t) / t) for f, t in zip(forwards, EXPIRIES)]
    return ravlin.VolatilitySurface(expiries=EXPIRIES, strikes=strikes, volatilities=vols)


@pytest.mark.parametrize("by", ["strikes", "moneyness"])
def test_surface_gives_back_its_quotes_and_is_linear_in_total_variance_at_fixed_moneyness(by):
    surface = smile_surface(by)
    levels = np.array(surface.strikes if by == "strikes" else surface.moneyness)
    for i, t in enumerate(EXPIRIES):
        strikes = levels if by == "strikes" else levels * MARKET.forward("SPX", t)
        np.testing.assert_allclose(surface.volatility(MARKET, "SPX", t, strikes), surface.volatilities[i],
                                   rtol=1e-13)
    # between two expiries, at a quoted moneyness of both (the moneyness surface's own grid)
    if by == "moneyness":
        t = 0.75
        got = surface.volatility(MARKET, "SPX", t, 1.1 * MARKET.forward("SPX", t)) ** 2 * t
        assert got == pytest.approx(0.5 * (svi(math.log(1.1), 0.5) + svi(math.log(1.1), 1.0)), rel=1e-13)


def test_term_structure_is_flat_forward_in_variance():
    term = ravlin.VolatilityTermStructure(times=[0.5, 1.0, 2.0], volatilities=[0.3, 0.25, 0.22])
    w = np.array([0.3**2 * 0.5, 0.25**2, 0.22**2 * 2])
    np.testing.assert_allclose(term.variance([0.25, 0.75, 1.5]),
                               [w[0] / 2, (w[0] + w[1]) / 2, (w[1] + w[2]) / 2], rtol=1e-14)
    with pytest.raises(ValueError, match=r"ends at 2 years; 2\.5 years is outside it"):
        term.volatility(2.5)


def quotes_with(t_index, j, vol, by="moneyness"):
    """The smile's quotes with one changed: the volatility at (t_index, j), or the whole row scaled when j is None."""
    vols = [list(np.sqrt(svi(np.log(MONEYNESS), t) / t)) for t in EXPIRIES]
    vols[t_index] = [v * vol for v in vols[t_index]] if j is None else vols[t_index]
    if j is not None:
        vols[t_index][j] = vol
    return dict(expiries=EXPIRIES, volatilities=vols, **{by: MONEYNESS})


@pytest.mark.parametrize("quotes, message", [
    (quotes_with(2, None, 0.6),
     "calendar arbitrage between expiries 0.5 and 1 at moneyness 0.6: the total variance falls"),
    (quotes_with(0, 3, 0.3),
     "butterfly arbitrage at expiry 0.25 between moneyness 0.9, 1 and 1.1: call prices are not convex"),
    (quotes_with(1, 6, 0.6),
     "butterfly arbitrage at expiry 0.5 between moneyness 1.25 and 1.6: the call at the higher strike is worth more"),
    (dict(expiries=[1.0], moneyness=[0.5, 0.7, 1.0], volatilities=[[2.0, 0.05, 0.05]]),
     "butterfly arbitrage at expiry 1 between moneyness 0.5 and 0.7: the calls differ by more than the strikes"),
])
def test_arbitrage_is_refused_naming_the_points(quotes, message):
    with pytest.raises(ValueError, match="VolatilitySurface: ") as error:
        ravlin.VolatilitySurface(**quotes)
    assert message in str(error.value)


def test_a_surface_in_strikes_is_checked_against_the_forwards_it_is_read_with():
    quotes = quotes_with(2, None, 0.6, by="strikes")
    quotes["strikes"] = [m * 100.0 for m in MONEYNESS]
    surface = ravlin.VolatilitySurface(**quotes)  # no forwards yet: nothing to check against
    with pytest.raises(ValueError, match=r"calendar arbitrage between expiries 0\.5 and 1"):
        surface.volatility(MARKET, "SPX", 1.0, 100.0)


def test_dupire_of_a_smile_free_surface_is_the_forward_volatility():
    vols = [0.3, 0.25, 0.22, 0.21]
    surface = ravlin.VolatilitySurface(expiries=EXPIRIES, moneyness=[0.5, 1.0, 2.0],
                                       volatilities=[[v] * 3 for v in vols])
    local = ravlin.LocalVolSurface.from_surface(surface)
    term = ravlin.VolatilityTermStructure(times=EXPIRIES, volatilities=vols)
    for t in (0.1, 0.4, 0.7, 1.5):
        np.testing.assert_allclose(local.volatility(MARKET, "SPX", t, [60.0, 100.0, 170.0]),
                                   math.sqrt(term.forward_variance(t - 0.01, t)), rtol=1e-12)
